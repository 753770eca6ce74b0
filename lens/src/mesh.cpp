#include "lens/mesh.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "platform/bytes.h"

using platform::TruncToInt;

namespace {

constexpr double kPi = 3.14159265358979323846;

// Upper bound first, then negative values become 0.
float ClampToFrame(float v, float upper) {
    if (v >= upper) v = upper;
    if (v < 0.0f) v = 0.0f;
    return v;
}

}  // namespace

void BuildSeamProfile(float b, float profile[kMeshColumns]) {
    BuildSeamProfileN(b, kMeshColumns - 1, profile);
    profile[kMeshColumns - 1] = profile[0];
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
