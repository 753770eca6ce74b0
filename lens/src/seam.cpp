// The dual-lens record, the seam profile and the seam warp of the second lens.
#include "lens/seam.h"

#include <algorithm>
#include <cmath>

#include "platform/bytes.h"

using namespace platform;

namespace {

constexpr float kPiF = 3.14159265f;
constexpr float kTwoPiF = 6.28318531f;

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

void BuildSeamProfileN(float b, int count, float* profile) {
    // 48 segment values rising from segment 27 to b + 0.013 and back at 46,
    // interpolated over 1920 samples, then resampled to count entries.
    float g[48];
    for (float& v : g) v = b;
    const float top = b + 0.013f;
    for (int k = 27; k <= 36; ++k) g[k] = std::fmin(top, g[k - 1] + 0.0018f);
    for (int k = 45; k >= 37; --k) g[k] = std::fmin(top, g[k + 1] + 0.0018f);
    float curve[1921];
    for (int k = 0; k < 48; ++k) {
        const float next = g[(k + 1) % 48];
        for (int u = 0; u < 40; ++u) {
            curve[(40 * k + 20 + u) % 1920] = g[k] + static_cast<float>(u) * (next - g[k]) / 40.0f;
        }
    }
    curve[1920] = curve[1919];
    float p = 0.0f;
    const float step = 1920.0f / static_cast<float>(count);
    for (int j = 0; j < count; ++j) {
        int i = static_cast<int>(p);
        if (i > 1919) i = 1919;
        const float w = static_cast<float>(i + 1) - p;
        profile[j] = w * curve[i] + (1.0f - w) * curve[i + 1];
        p += step;
    }
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
