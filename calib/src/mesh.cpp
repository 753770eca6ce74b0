#include "calib/mesh.h"

#include "bytes.h"
#include "calib/stitch.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

using namespace calib_detail;

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr float kPiF = 3.14159265f;
constexpr float kTwoPiF = 6.28318531f;

// First index of the five table entries that interpolate around index k.
int WindowStart(int k) {
    if (k <= 1) return 0;
    if (k > 48) return kLensTableSize - 5;
    return k - 2;
}

// The largest k with a[k] <= theta (0 when none). The angles are evenly
// spaced, so start from the quotient and correct by a step either way.
template <typename T, typename Angles>
int WindowIndex(T theta, const Angles& a) {
    const T q = theta / static_cast<T>(a[1]);
    int k = q >= static_cast<T>(kLensTableSize - 1) ? kLensTableSize - 1
                                                    : (q > 0 ? static_cast<int>(q) : 0);
    while (k + 1 < kLensTableSize && static_cast<T>(a[k + 1]) <= theta) ++k;
    while (k > 0 && static_cast<T>(a[k]) > theta) --k;
    return k;
}

template <typename T, typename Angles, typename Heights>
T Lagrange5(T theta, const Angles& a, const Heights& h) {
    const int k = theta == theta ? WindowIndex(theta, a) : 0;
    const int s = WindowStart(k);
    T sum = 0;
    for (int i = s; i < s + 5; ++i) {
        T term = static_cast<T>(h[i]);
        for (int j = s; j < s + 5; ++j) {
            if (j != i) term *= (theta - static_cast<T>(a[j])) / (static_cast<T>(a[i] - a[j]));
        }
        sum += term;
    }
    return sum;
}

// Upper bound first, then negative values become 0.
float ClampToFrame(float v, float upper) {
    if (v >= upper) v = upper;
    if (v < 0.0f) v = 0.0f;
    return v;
}

// Control-line point in pixels of the 1920 x 960 panorama, as angles.
float AzimuthOf(float x) {
    return x * kPiF / 960.0f - kPiF;
}
float PolarOf(float y) {
    return kPiF - y * kPiF / 960.0f;
}

// Turns one list of control lines into slopes and intercepts, with the order
// repair that keeps the intercepts increasing.
void SetUpLineList(const float (*lines)[4], int n, float* slope, float* intercept, bool* usable) {
    const float tau = static_cast<float>(1920 / n) * kPiF / 960.0f;
    float polar0[kMaxSeamLines];
    float az0[kMaxSeamLines];
    for (int i = 0; i < n; ++i) {
        float a0 = AzimuthOf(lines[i][0]);
        float a1 = AzimuthOf(lines[i][2]);
        const float p0 = PolarOf(lines[i][1]);
        const float p1 = PolarOf(lines[i][3]);
        if (i == 0) {
            if (a0 >= kPiF - tau) a0 -= kTwoPiF;
            if (a1 >= kPiF - tau) a1 -= kTwoPiF;
        }
        if (i == n - 1 && n > 1) {
            if (a0 <= -tau) a0 += kTwoPiF;
            if (a1 <= -tau) a1 += kTwoPiF;
        }
        polar0[i] = p0;
        az0[i] = a0;
        // A line whose ends share one polar angle has no slope; it is kept
        // out of the warp (directions that need it stay unwarped).
        usable[i] = (p1 != p0);
        slope[i] = usable[i] ? (a1 - a0) / (p1 - p0) : 0.0f;
        intercept[i] = a0 - p0 * slope[i];
    }
    for (int i = 1; i < n; ++i) {
        if (intercept[i - 1] > intercept[i]) {
            const float m = (intercept[i - 1] + intercept[i]) / 2.0f;
            intercept[i] = m + 0.08f;
            intercept[i - 1] = m - 0.08f;
            for (int k : {i - 1, i}) {
                // Turn the line about its first point through the new intercept.
                if (polar0[k] != 0.0f) {
                    slope[k] = (az0[k] - intercept[k]) / polar0[k];
                } else {
                    usable[k] = false;
                }
            }
        }
    }
}

}  // namespace

float LensImageHeight(float theta, const float* angle, const float* height, float scale) {
    if (theta < 0.0f) return 0.0f;
    return Lagrange5<float>(theta, angle, height) * scale;
}

double LensImageHeight(double theta, const LensModel& model, double scale) {
    if (theta < 0.0) return 0.0;
    if (model.lagrange == nullptr || !(theta == theta)) {
        return Lagrange5<double>(theta, model.angle, model.height) * scale;
    }
    // The same polynomial with its constant quotients taken from the table.
    const int s = WindowStart(WindowIndex(theta, model.angle));
    const double* a = model.angle + s;
    const double* w = model.lagrange + 5 * s;
    const double d0 = theta - a[0], d1 = theta - a[1], d2 = theta - a[2], d3 = theta - a[3],
                 d4 = theta - a[4];
    const double sum = w[0] * d1 * d2 * d3 * d4 + w[1] * d0 * d2 * d3 * d4 +
                       w[2] * d0 * d1 * d3 * d4 + w[3] * d0 * d1 * d2 * d4 +
                       w[4] * d0 * d1 * d2 * d3;
    return sum * scale;
}

void DecodeDualLensRecord(const uint8_t* b, DualLensRecord* out) {
    out->fov = LeFloat(b + 12);
    out->model = LeInt32(b + 16);
    out->cx1 = LeFloat(b + 20);
    out->cy1 = LeFloat(b + 24);
    out->r1 = LeFloat(b + 28);
    out->cx2 = LeFloat(b + 32);
    out->cy2 = LeFloat(b + 36);
    out->r2 = LeFloat(b + 40);
    out->radialBase = LeFloat(b + 44);
    out->n = LeInt32(b + 48);
    for (int i = 0; i < kMaxSeamLines; ++i) {
        for (int k = 0; k < 4; ++k) {
            out->lines1[i][k] = LeFloat(b + 52 + 16 * i + 4 * k);
            out->lines2[i][k] = LeFloat(b + 852 + 16 * i + 4 * k);
        }
    }
}

void BuildSeamProfile(float b, float profile[kMeshColumns]) {
    BuildSeamProfileN(b, kMeshColumns - 1, profile);
    profile[kMeshColumns - 1] = profile[0];
}

void SetUpSeamWarp(const DualLensRecord& record, SeamWarp* warp) {
    // n = 1 leaves one line as both ends of its own wrap interval; such a
    // record is not warped at all.
    warp->n = (record.n >= 2 && record.n <= kMaxSeamLines) ? record.n : 0;
    if (warp->n == 0) return;
    bool usable1[kMaxSeamLines];
    bool usable2[kMaxSeamLines];
    SetUpLineList(record.lines1, warp->n, warp->slope1, warp->intercept1, usable1);
    SetUpLineList(record.lines2, warp->n, warp->slope2, warp->intercept2, usable2);
    for (int i = 0; i < warp->n; ++i) {
        warp->usable[i] = usable1[i] && usable2[i];
        warp->polar1Of1[i] = PolarOf(record.lines1[i][3]);
        warp->polar0Of2[i] = PolarOf(record.lines2[i][1]);
    }
}

bool ApplySeamWarp(const SeamWarp& w, float theta, float phi, float* thetaOut, float* phiOut) {
    *thetaOut = theta;
    *phiOut = phi;
    const int n = w.n;
    if (n < 2) return false;
    int lo = -1;
    float e = 0, f = 0;
    for (int i = 0; i + 1 < n; ++i) {
        e = theta * w.slope1[i] + w.intercept1[i];
        f = theta * w.slope1[i + 1] + w.intercept1[i + 1];
        if (e <= phi && phi <= f) {
            lo = i;
            break;
        }
    }
    int a = lo, b = lo + 1;
    if (lo < 0) {
        // Between the last line and the first, across the wrap.
        a = n - 1;
        b = 0;
        e = theta * w.slope1[a] + w.intercept1[a];
        f = theta * w.slope1[b] + w.intercept1[b];
    }
    if (!w.usable[a] || !w.usable[b] || w.polar1Of1[a] == 0.0f || w.polar1Of1[b] == 0.0f) {
        return false;
    }
    const float h = theta * w.polar0Of2[a] / w.polar1Of1[a];
    const float m = theta * w.polar0Of2[b] / w.polar1Of1[b];
    float g = w.slope2[a] * h + w.intercept2[a];
    float l = w.slope2[b] * m + w.intercept2[b];
    if (lo < 0) {
        if (phi < f) {
            e -= kTwoPiF;
            g -= kTwoPiF;
        } else {
            f += kTwoPiF;
            l += kTwoPiF;
        }
    }
    if (f - e == 0.0f || l - g == 0.0f) return false;
    const float phi2 = (phi * (l - g) - l * e + g * f) / (f - e);
    const float theta2 = ((l - phi2) * h + (phi2 - g) * m) / (l - g);
    *thetaOut = theta2;
    *phiOut = phi2 < kPiF ? phi2 : phi2 - kTwoPiF;
    return true;
}

void BuildSingleLensMesh(int width, int height, int columns, int rings, int cx, int cy, float fov,
                         float radius, float* mesh) {
    (void)fov;  // the grid always spans rings x (360 / columns) degrees
    if (columns <= 0 || rings < 0 || (int64_t{rings} + 1) * (columns + 1) > kStitchMeshPairs) {
        return;
    }
    const float* a = SingleLensAngles();
    const float* h = SingleLensHeights();
    const float scale = radius / h[kLensTableSize - 1];
    const float step = static_cast<float>(2.0 * kPi / columns);
    const float maxX = static_cast<float>(width - 1);
    const float maxY = static_cast<float>(height - 1);
    float theta = 0.0f;
    for (int i = 0; i <= rings; ++i) {
        const float rho = LensImageHeight(theta, a, h, scale);
        float phi = 4.712389f;
        float* row = mesh + 2 * static_cast<size_t>(i) * (columns + 1);
        for (int j = 0; j < columns; ++j) {
            const float x =
                static_cast<float>(cx + static_cast<double>(rho) * std::cos(double{phi}));
            const float y =
                static_cast<float>(cy + static_cast<double>(rho) * std::sin(double{phi}));
            row[2 * j] = ClampToFrame(x, maxX);
            row[2 * j + 1] = ClampToFrame(y, maxY);
            phi -= step;
        }
        row[2 * columns] = row[0];
        row[2 * columns + 1] = row[1];
        theta += step;
    }
}

void BuildDualLensMesh(const DualLensRecord& rec, int width, int height, int columns, int rows,
                       float* meshA, float* meshB) {
    (void)height;  // 2:1 frames only: the half width bounds y as well
    const LensModel* model = DualLensModel(rec.model);
    if (model == nullptr || rec.n < 0 || rec.n > kMaxSeamLines || columns != kMeshColumns ||
        rows <= 0 || int64_t{rows} * columns > kStitchMeshPairs) {
        return;
    }
    const float s = static_cast<float>(width / 1920.0);
    const int cx1 = TruncToInt(rec.cx1 * s), cy1 = TruncToInt(rec.cy1 * s);
    const int cx2 = TruncToInt(rec.cx2 * s), cy2 = TruncToInt(rec.cy2 * s);
    const float r1 = rec.r1 * s, r2 = rec.r2 * s;

    float profile[kMeshColumns];
    BuildSeamProfile(rec.radialBase, profile);
    SeamWarp warp;
    SetUpSeamWarp(rec, &warp);

    const double rim = LensImageHeight(double{rec.fov} * kPi / 360.0, *model, 1.0);
    const double kScale1 = r1 / rim;
    const double kScale2 = r2 / rim;
    const double step = 2.0 * kPi / 180.0;
    const int halfWidth = width / 2;
    const float maxXY = static_cast<float>(halfWidth - 1);

    std::vector<float> scratchA(2 * static_cast<size_t>(rows) * columns);
    std::vector<float> scratchB(scratchA.size());
    for (int r = 0; r < rows; ++r) {
        const double theta = r * step;
        const double rhoBase = LensImageHeight(theta, *model, kScale1);
        double phi = 0.0;
        for (int j = 0; j < columns; ++j) {
            const double rho = rhoBase * profile[j];
            const size_t idx = 2 * (static_cast<size_t>(r) * columns + j);
            scratchA[idx] = ClampToFrame(static_cast<float>(cx1 + rho * std::cos(phi)), maxXY);
            scratchA[idx + 1] = ClampToFrame(static_cast<float>(cy1 + rho * std::sin(phi)), maxXY);
            phi -= step;
        }
    }
    for (int r = 0; r < rows; ++r) {
        const int k = r + 39;  // global ring index of the second lens's row
        const double theta = kPi - k * step;
        double phi = -kPi;
        for (int j = 0; j < columns; ++j) {
            double t = theta, p = phi;
            if (warp.n > 0) {
                float tw, pw;
                ApplySeamWarp(warp, static_cast<float>(theta), static_cast<float>(phi), &tw, &pw);
                t = tw;
                p = pw;
            }
            const double rho = LensImageHeight(t, *model, kScale2) * profile[j];
            const size_t idx = 2 * (static_cast<size_t>(r) * columns + j);
            scratchB[idx] = ClampToFrame(static_cast<float>(cx2 + rho * std::cos(p)), maxXY) +
                            static_cast<float>(halfWidth);
            scratchB[idx + 1] = ClampToFrame(static_cast<float>(cy2 + rho * std::sin(p)), maxXY);
            phi += step;
        }
    }
    std::memcpy(meshA, scratchA.data(), scratchA.size() * sizeof(float));
    std::memcpy(meshB, scratchB.data(), scratchB.size() * sizeof(float));
}

void ShiftMeshColumns(const float* src, float* dst, int columns, int rows, int shift) {
    if (columns <= 1 || rows <= 0 || int64_t{columns} * rows > kStitchMeshPairs) return;
    const int last = columns - 1;  // the copy of column 0
    const int s = shift % columns;
    std::vector<float> row(2 * static_cast<size_t>(columns));
    for (int r = 0; r < rows; ++r) {
        const float* in = src + 2 * static_cast<size_t>(r) * columns;
        int c = s >= 0 ? s : last + s;
        for (int j = 0; j < columns; ++j) {
            row[2 * j] = in[2 * c];
            row[2 * j + 1] = in[2 * c + 1];
            c = (c >= last) ? 1 : c + 1;
        }
        std::memcpy(dst + 2 * static_cast<size_t>(r) * columns, row.data(),
                    2 * static_cast<size_t>(columns) * sizeof(float));
    }
}

void MirrorMesh(const float* src, int columns, int rows, float* dst) {
    if (columns <= 0 || rows <= 0 || int64_t{columns} * rows > kStitchMeshPairs) return;
    // Row rows-1-i, column columns-1-j is the reversed order of all pairs.
    const size_t pairs = static_cast<size_t>(columns) * rows;
    if (src == dst) {
        for (size_t i = 0, k = pairs - 1; i < k; ++i, --k) {
            std::swap(dst[2 * i], dst[2 * k]);
            std::swap(dst[2 * i + 1], dst[2 * k + 1]);
        }
        return;
    }
    for (size_t i = 0; i < pairs; ++i) {
        dst[2 * i] = src[2 * (pairs - 1 - i)];
        dst[2 * i + 1] = src[2 * (pairs - 1 - i) + 1];
    }
}
