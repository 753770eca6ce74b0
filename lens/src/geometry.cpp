// The per-pixel lens geometry of stitched photos.
#include <cmath>

#include "lens/geometry.h"
#include "platform/bytes.h"

using namespace platform;

namespace {

constexpr double kPi = 3.14159265358979323846;

// A value closer to 0 than 0.0001 becomes +-0.0001 keeping its sign; zero
// itself stays zero unless zeroToPositive.
double GuardSmall(double v, bool zeroToPositive) {
    if (v == 0.0) return zeroToPositive ? 1e-4 : 0.0;
    if (std::fabs(v) < 1e-4) return v < 0 ? -1e-4 : 1e-4;
    return v;
}

}  // namespace

bool SetUpDualPhotoGeometry(const DualLensRecord& rec, int wo, DualPhotoGeometry* g) {
    g->model = DualLensModel(rec.model);
    if (g->model == nullptr || rec.n < 0 || rec.n > kMaxSeamLines || wo < 2) return false;
    g->wo = wo;
    g->ho = wo / 2;
    g->fov = rec.fov;
    const float s = static_cast<float>(wo / 1920.0);
    g->cx1 = TruncToInt(rec.cx1 * s);
    g->cy1 = TruncToInt(rec.cy1 * s);
    g->cx2 = TruncToInt(rec.cx2 * s);
    g->cy2 = TruncToInt(rec.cy2 * s);
    g->r1 = TruncToInt(rec.r1 * s);
    g->r2 = TruncToInt(rec.r2 * s);
    const double rim = LensImageHeight(double{rec.fov} * kPi / 360.0, *g->model, 1.0);
    g->kScale1 = g->r1 / rim;
    g->kScale2 = g->r2 / rim;
    g->profile.assign(static_cast<size_t>(wo) + 1, 0.0f);
    BuildSeamProfileN(rec.radialBase, wo, g->profile.data());
    g->profile[static_cast<size_t>(wo)] = g->profile[0];
    SetUpSeamWarp(rec, &g->warp);
    return true;
}

void DirectionToLensAnglesFrom(double cosLambda, double sinLambda, double cosBeta, double sinBeta,
                               double* theta, double* phi) {
    const double cl = GuardSmall(cosLambda, false);
    const double sb = GuardSmall(sinBeta, true);
    *theta = std::acos(sb * cl);
    const double e = sb * sinLambda;
    const double f = cosBeta;
    const double norm = std::sqrt(e * e + f * f);
    double p = norm > 0.0 ? std::asin(f / norm) : 0.0;
    if (e < 0.0) {
        p = kPi - p;
    } else if (e > 0.0 && f < 0.0) {
        p += 2.0 * kPi;
    }
    if (p >= kPi) p -= 2.0 * kPi;
    *phi = p;
}

void DirectionToLensAngles(double lambda, double beta, double* theta, double* phi) {
    DirectionToLensAnglesFrom(std::cos(lambda), std::sin(lambda), std::cos(beta), std::sin(beta),
                              theta, phi);
}

int ProfileColumn(const DualPhotoGeometry& g, double phi) {
    double kf = (phi + kPi) / (kPi / g.ho) + 0.5;
    if (!(kf >= 0.0)) kf = 0.0;
    if (kf > g.wo - 1) kf = g.wo - 1;
    return static_cast<int>(kf);
}

void DualLensProject(const DualPhotoGeometry& g, int lens, double theta, double phi, double* x,
                     double* y) {
    if (lens == 1 && g.warp.n > 0) {
        float t, p;
        ApplySeamWarp(g.warp, static_cast<float>(theta), static_cast<float>(phi), &t, &p);
        theta = t;
        phi = p;
    }
    const int k = ProfileColumn(g, phi);
    const double kScale = lens == 0 ? g.kScale1 : g.kScale2;
    const double rho = LensImageHeight(theta, *g.model, kScale) * g.profile[static_cast<size_t>(k)];
    *x = (lens == 0 ? g.cx1 : g.cx2) + rho * std::cos(phi);
    *y = (lens == 0 ? g.cy1 : g.cy2) + rho * std::sin(phi);
}

void SetUpSinglePhotoGeometry(float storedCx, float storedCy, float storedR, int evenHeight,
                              SinglePhotoGeometry* g) {
    const float s = static_cast<float>(evenHeight) / 1080.0f;
    g->cx = TruncToInt(static_cast<float>(int64_t{TruncToInt(storedCx)} - 240) * s);
    g->cy = TruncToInt(static_cast<float>(TruncToInt(storedCy)) * s);
    g->r = TruncToInt(static_cast<float>(TruncToInt(storedR)) * s);
    g->scale = static_cast<float>(g->r) / SingleLensHeights()[kLensTableSize - 1];
}

float SingleLensPhotoHeight(const SinglePhotoGeometry& g, float theta) {
    if (theta < 0.0f || theta > SingleLensAngles()[kLensTableSize - 1]) return 1e8f;
    return LensImageHeight(theta, SingleLensAngles(), SingleLensHeights(), g.scale);
}
