// Camera pixel to panorama position, by undoing each step of the stitch's lookup.
#include "render_geometry.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace sample {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTwoPi = 2.0 * kPi;
constexpr double kDegree = kPi / 180.0;
constexpr int kInverseEntries = 4096;

double WrapAngle(double a) {
    a = std::fmod(a + kPi, kTwoPi);
    if (a < 0) a += kTwoPi;
    return a - kPi;
}

double WrapColumn(double c, int wo) {
    c = std::fmod(c, static_cast<double>(wo));
    if (c < 0) c += wo;
    return c >= wo ? 0.0 : c;
}

void Warp(const SeamWarp& warp, double theta, double phi, double* t, double* p) {
    float tw, pw;
    ApplySeamWarp(warp, static_cast<float>(theta), static_cast<float>(phi), &tw, &pw);
    *t = tw;
    *p = pw;
}

// The seam warp maps the second lens's true direction to the one it is looked up at. Undone by
// Newton steps (differences for the slopes) from the warped direction; a plain step where the
// slopes are degenerate.
void UnwarpSeam(const SeamWarp& warp, double theta, double phi, double* theta0, double* phi0) {
    constexpr double kH = 1e-4;
    double t = theta, p = phi;
    double bestT = t, bestP = p, bestErr = INFINITY;
    for (int it = 0; it < 30; ++it) {
        double tw, pw;
        Warp(warp, t, p, &tw, &pw);
        const double et = theta - tw;
        const double ep = WrapAngle(phi - pw);
        const double err = std::fabs(et) + std::fabs(ep);
        if (err < bestErr) {
            bestErr = err;
            bestT = t;
            bestP = p;
        }
        if (err < 1e-7) break;
        double t1, p1, t2, p2;
        Warp(warp, t + kH, p, &t1, &p1);
        Warp(warp, t, p + kH, &t2, &p2);
        const double a = (t1 - tw) / kH, b = (t2 - tw) / kH;
        const double c = WrapAngle(p1 - pw) / kH, d = WrapAngle(p2 - pw) / kH;
        const double det = a * d - b * c;
        double dt = et, dp = ep;
        if (std::fabs(det) > 1e-6) {
            dt = (d * et - b * ep) / det;
            dp = (a * ep - c * et) / det;
        }
        // Small steps only: the warp is piecewise and Newton may overshoot across pieces.
        const double len = std::fabs(dt) + std::fabs(dp);
        if (len > 0.2) {
            dt *= 0.2 / len;
            dp *= 0.2 / len;
        }
        t += dt;
        p = WrapAngle(p + dp);
    }
    *theta0 = bestT;
    *phi0 = bestP;
}

}  // namespace

void HeightInverse::Build(std::function<double(double)> height, double thetaMax) {
    height_ = std::move(height);
    thetaMax_ = thetaMax > 0 ? thetaMax : 0;
    top_ = thetaMax_ > 0 ? height_(thetaMax_) : 0;
    theta_.clear();
    if (!(top_ > 0) || !std::isfinite(top_)) {
        top_ = 0;
        return;
    }
    step_ = top_ / (kInverseEntries - 1);
    theta_.resize(kInverseEntries);
    for (int i = 0; i < kInverseEntries; ++i) {
        const double h = i * step_;
        double lo = 0, hi = thetaMax_;
        for (int k = 0; k < 60 && hi - lo > 1e-13; ++k) {
            const double mid = 0.5 * (lo + hi);
            (height_(mid) < h ? lo : hi) = mid;
        }
        theta_[i] = 0.5 * (lo + hi);
    }
    theta_.front() = 0;
    theta_.back() = thetaMax_;
}

bool HeightInverse::Solve(double h, double* theta) const {
    if (theta_.empty() || !(h >= 0) || h > top_ * (1 + 1e-12)) return false;
    const double f = h / step_;
    const int i = std::min(static_cast<int>(f), kInverseEntries - 2);
    const double slope = (theta_[i + 1] - theta_[i]) / step_;
    double t = theta_[i] + (h - i * step_) * slope;
    t -= (height_(t) - h) * slope;
    *theta = std::clamp(t, 0.0, thetaMax_);
    return true;
}

bool DualLensInverse::Init(const DualLensRecord& record, int wo) {
    if (!SetUpDualPhotoGeometry(record, wo, &g_)) return false;
    const LensModel* model = g_.model;
    auto height = [model](double t) { return LensImageHeight(t, *model, 1.0); };
    // The image circle ends a little past half the field of view, or where the height stops
    // growing (the tables are extrapolated past their end).
    const double limit = std::min(g_.fov / 2 + 1.0, 110.0) * kDegree;
    thetaMax_ = 0;
    const double step = 1e-3;
    while (thetaMax_ < limit) {
        const double next = std::min(thetaMax_ + step, limit);
        if (!(height(next) > height(thetaMax_))) break;
        thetaMax_ = next;
    }
    inverse_.Build(height, thetaMax_);
    return true;
}

bool DualLensInverse::Locate(double x, double y, double* column, double* row) const {
    const int half = g_.wo / 2;
    const int lens = x < half ? 0 : 1;
    const double dx = (lens == 0 ? x : x - half) - (lens == 0 ? g_.cx1 : g_.cx2);
    const double dy = y - (lens == 0 ? g_.cy1 : g_.cy2);
    double phi = std::atan2(dy, dx);
    if (phi >= kPi) phi -= kTwoPi;
    // The same seam profile entry as the forward lookup picks for this azimuth.
    const double a = kPi / g_.ho;
    double kf = (phi + kPi) / a + 0.5;
    if (!(kf >= 0.0)) kf = 0.0;
    if (kf > g_.wo - 1) kf = g_.wo - 1;
    const double scale =
        (lens == 0 ? g_.kScale1 : g_.kScale2) * g_.profile[static_cast<size_t>(kf)];
    if (!(scale > 0) || !std::isfinite(scale)) return false;
    double theta;
    if (!inverse_.Solve(std::hypot(dx, dy) / scale, &theta)) return false;
    if (lens == 1 && g_.warp.n > 0) UnwarpSeam(g_.warp, theta, phi, &theta, &phi);

    // Lens frame: axis, then the E (right) and F (down) directions of the panorama.
    const double axis = std::cos(theta);
    const double e = std::sin(theta) * std::cos(phi);
    const double f = std::sin(theta) * std::sin(phi);
    double lambda = std::atan2(e, axis);
    if (lens == 1) lambda -= kPi;
    const double beta = std::acos(std::clamp(f, -1.0, 1.0));
    *column = WrapColumn(g_.ho + lambda / a, g_.wo);
    *row = (kPi - beta) / a;
    return true;
}

void SingleLensInverse::Init(float storedCx, float storedCy, float storedR, int width, int height) {
    SetUpSinglePhotoGeometry(storedCx, storedCy, storedR, height - height % 2, &g_);
    wo_ = width - width % 2;
    const SinglePhotoGeometry g = g_;
    inverse_.Build(
        [g](double t) { return double{SingleLensPhotoHeight(g, static_cast<float>(t))}; },
        double{SingleLensAngles()[kLensTableSize - 1]});
}

bool SingleLensInverse::Locate(double x, double y, double* column, double* row) const {
    if (wo_ < 2) return false;
    const double dx = x - g_.cx;
    const double dy = y - g_.cy;
    double theta;
    if (!inverse_.Solve(std::hypot(dx, dy), &theta)) return false;
    // Output row i is the ring at i * q from the axis, column j the azimuth 2 pi - j * q.
    const double q = kTwoPi / wo_;
    *row = theta / q;
    *column = WrapColumn((kTwoPi - std::atan2(dy, dx)) / q, wo_);
    return true;
}

}  // namespace sample
