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

double FastAcos(double x) {
    // acos(x) = sqrt(1 - x) * P(x) on [0, 1], error below 2e-8 (a classic
    // minimax fit); acos(-x) = pi - acos(x).
    const double a = std::fabs(x) >= 1.0 ? 1.0 : std::fabs(x);
    const double p =
        1.5707963050 +
        a * (-0.2145988016 +
             a * (0.0889789874 +
                  a * (-0.0501743046 +
                       a * (0.0308918810 +
                            a * (-0.0170881256 + a * (0.0066700901 + a * -0.0012624911))))));
    const double r = std::sqrt(1.0 - a) * p;
    return x < 0.0 ? kPi - r : r;
}

double FastAtan2(double y, double x) {
    const double ax = std::fabs(x), ay = std::fabs(y);
    if (ax == 0.0 && ay == 0.0) return (std::signbit(x) ? kPi : 0.0) * (std::signbit(y) ? -1 : 1);
    // atan(t) on [0, 1] as t * P(t^2), error below 1e-8 (a classic minimax
    // fit); the octant puts it back.
    const bool swap = ay > ax;
    const double t = swap ? ax / ay : ay / ax;
    const double t2 = t * t;
    const double p =
        1.0 + t2 * (-0.3333314528 +
                    t2 * (0.1999355085 +
                          t2 * (-0.1420889944 +
                                t2 * (0.1065626393 +
                                      t2 * (-0.0752896400 +
                                            t2 * (0.0429096138 +
                                                  t2 * (-0.0161657367 + t2 * 0.0028662257)))))));
    double r = t * p;
    if (swap) r = kPi / 2 - r;
    if (std::signbit(x)) r = kPi - r;
    return std::signbit(y) ? -r : r;
}

void FastDirectionToLens(double cosLambda, double sinLambda, double cosBeta, double sinBeta,
                         LensDirection* out) {
    const double cl = GuardSmall(cosLambda, false);
    const double sb = GuardSmall(sinBeta, true);
    out->theta = FastAcos(sb * cl);
    const double e = sb * sinLambda;
    const double f = cosBeta;
    const double norm = std::sqrt(e * e + f * f);
    if (norm > 0.0) {
        out->cosPhi = e / norm;
        out->sinPhi = f / norm;
        double p = FastAtan2(f, e);
        if (p >= kPi) p -= 2.0 * kPi;
        out->phi = p;
    } else {
        out->cosPhi = 1.0;
        out->sinPhi = 0.0;
        out->phi = 0.0;
    }
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
