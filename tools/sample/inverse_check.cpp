// Checks the renderer's camera-to-panorama inverse against the stitch's forward lookup, both
// ways round: output pixel -> camera pixel -> back, and camera pixel -> panorama -> back.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>

#include "render_geometry.h"
#include "sample/samplegen.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kLimit = 0.01;  // pixels

struct Worst {
    double toPanorama = 0, toCamera = 0;
    long checked = 0, skipped = 0;
};

double ColumnDistance(double a, double b, int wo) {
    const double d = std::fabs(a - b);
    return std::min(d, wo - d);
}

// Where the stitch looks up output position (column, row) for the given lens; false where the
// lens does not see it or the stitch's small-value guards move the direction.
bool DualForward(const sample::DualLensInverse& inv, int lens, double column, double row, double* x,
                 double* y) {
    const DualPhotoGeometry& g = inv.geometry();
    const double a = kPi / g.ho;
    double lambda = (column - g.ho) * a;
    const double beta = kPi - row * a;
    if (lens == 1) lambda = lambda + kPi >= kPi ? lambda - kPi : lambda + kPi;
    if (std::fabs(std::cos(lambda)) < 1e-3 || std::fabs(std::sin(beta)) < 1e-3) return false;
    double theta, phi;
    DirectionToLensAngles(lambda, beta, &theta, &phi);
    double seen = theta;  // the angle the image circle limits: after the seam warp
    if (lens == 1 && g.warp.n > 0) {
        float t, p;
        ApplySeamWarp(g.warp, static_cast<float>(theta), static_cast<float>(phi), &t, &p);
        seen = t;
    }
    if (std::max(theta, seen) > inv.thetaMax() - 0.01) return false;
    DualLensProject(g, lens, theta, phi, x, y);
    const int half = g.wo / 2;
    if (!(*x >= 0 && *x < half)) return false;
    if (lens == 1) *x += half;
    return true;
}

Worst CheckDual(const sample::DualLensValues& v, int wo) {
    Worst w;
    const std::vector<uint8_t> bytes = sample::EncodeDualLensRecord(v);
    DualLensRecord rec;
    DecodeDualLensRecord(bytes.data(), &rec);
    sample::DualLensInverse inv;
    if (!inv.Init(rec, wo)) {
        w.toPanorama = w.toCamera = INFINITY;
        return w;
    }
    const int ho = wo / 2;
    std::mt19937 rng(1234);
    std::uniform_real_distribution<double> col(0, wo), row(0, ho);
    for (int n = 0; n < 200000; ++n) {
        const double c = col(rng), r = row(rng);
        for (int lens = 0; lens < 2; ++lens) {
            double x, y, c2, r2, x2, y2;
            if (!DualForward(inv, lens, c, r, &x, &y)) {
                ++w.skipped;
                continue;
            }
            ++w.checked;
            if (!inv.Locate(x, y, &c2, &r2)) {
                w.toPanorama = INFINITY;
                continue;
            }
            w.toPanorama = std::max({w.toPanorama, ColumnDistance(c, c2, wo), std::fabs(r - r2)});
            // The other way round, from the camera pixel.
            if (DualForward(inv, lens, c2, r2, &x2, &y2)) {
                w.toCamera = std::max({w.toCamera, std::fabs(x - x2), std::fabs(y - y2)});
            }
        }
    }
    return w;
}

Worst CheckSingle(const sample::SingleLensValues& v, int width, int height) {
    Worst w;
    sample::SingleLensInverse inv;
    inv.Init(v.cx, v.cy, v.r, width, height);
    const SinglePhotoGeometry& g = inv.geometry();
    const int wo = inv.panoramaWidth();
    const double q = 2 * kPi / wo;
    const double top = SingleLensAngles()[kLensTableSize - 1];
    std::mt19937 rng(99);
    std::uniform_real_distribution<double> col(0, wo), row(2, top / q - 0.5);
    for (int n = 0; n < 200000; ++n) {
        const double c = col(rng), r = row(rng);
        const double rho = SingleLensPhotoHeight(g, static_cast<float>(r * q));
        const double phi = 2 * kPi - c * q;
        const double x = g.cx + rho * std::cos(phi), y = g.cy + rho * std::sin(phi);
        double c2, r2;
        ++w.checked;
        if (!inv.Locate(x, y, &c2, &r2)) {
            w.toPanorama = INFINITY;
            continue;
        }
        w.toPanorama = std::max({w.toPanorama, ColumnDistance(c, c2, wo), std::fabs(r - r2)});
        const double rho2 = SingleLensPhotoHeight(g, static_cast<float>(r2 * q));
        const double phi2 = 2 * kPi - c2 * q;
        w.toCamera = std::max({w.toCamera, std::fabs(g.cx + rho2 * std::cos(phi2) - x),
                               std::fabs(g.cy + rho2 * std::sin(phi2) - y)});
    }
    return w;
}

void AddLines(sample::DualLensValues& d, int n, float shift) {
    d.n = n;
    for (int i = 0; i < n; ++i) {
        const float x = 1920.0f * (static_cast<float>(i) + 0.5f) / static_cast<float>(n);
        const float l1[4] = {x, 420.0f, x + 6.0f, 540.0f};
        const float l2[4] = {x + shift, 424.0f, x + 6.0f + 1.5f * shift, 544.0f};
        for (int k = 0; k < 4; ++k) {
            d.lines1[i][k] = l1[k];
            d.lines2[i][k] = l2[k];
        }
    }
}

bool Report(const char* name, const Worst& w) {
    const bool ok = w.toPanorama <= kLimit && w.toCamera <= kLimit && w.checked > 1000;
    std::printf("%-34s checked %7ld skipped %7ld  max error: panorama %.5f px, camera %.5f px%s\n",
                name, w.checked, w.skipped, w.toPanorama, w.toCamera, ok ? "" : "  FAILED");
    return ok;
}

}  // namespace

int main() {
    bool ok = true;
    sample::DualLensValues plain;
    ok &= Report("dual default 1920", CheckDual(plain, 1920));
    ok &= Report("dual default 3008", CheckDual(plain, 3008));
    sample::DualLensValues moved = plain;
    moved.cx1 = 470;
    moved.cy1 = 488;
    moved.r1 = 462;
    moved.cx2 = 491;
    moved.cy2 = 475;
    moved.r2 = 474;
    moved.radialBase = 1.02f;
    for (int model = 0; model < 3; ++model) {
        moved.model = model;
        char name[64];
        std::snprintf(name, sizeof name, "dual moved centres, model %d", model);
        ok &= Report(name, CheckDual(moved, 1920));
    }
    sample::DualLensValues lined = plain;
    AddLines(lined, 8, 4.0f);
    ok &= Report("dual 8 control lines", CheckDual(lined, 1920));
    AddLines(lined, 24, 10.0f);
    ok &= Report("dual 24 control lines, 10 px", CheckDual(lined, 3008));
    ok &= Report("single default 1440x1080", CheckSingle(sample::SingleLensValues{}, 1440, 1080));
    ok &= Report("single off centre 2048x1536",
                 CheckSingle(sample::SingleLensValues{940, 560, 520}, 2048, 1536));
    return ok ? 0 : 1;
}
