// Fisheye lens models: field angles and normalised image heights, and their
// interpolation.
#pragma once

constexpr int kLensTableSize = 51;

// Field angles (radians) and normalised image heights of a fisheye lens.
struct LensModel {
    const double* angle;
    const double* height;
    // Per interpolation window s (0..46) and point i: height[s + i] divided by
    // the product of (angle[s + i] - angle[s + j]) over j != i, so evaluation
    // needs no division. Null: evaluate the quotients directly.
    const double* lagrange;
};

// The lens models of the dual-lens camera (0, 1, 2); null for other numbers.
const LensModel* DualLensModel(int number);
// The single-precision copy of model 0 used by the single-lens builder.
const float* SingleLensAngles();
const float* SingleLensHeights();

// Image height of field angle theta by five-point Lagrange interpolation of
// the table (extrapolated past its end), times scale. 0 for negative angles.
float LensImageHeight(float theta, const float* angle, const float* height, float scale);
double LensImageHeight(double theta, const LensModel& model, double scale);
