// Stitch meshes: for a grid of viewing directions, the pixel of the camera
// frame that saw each direction.
//
// A StitchMesh is a caller-owned buffer of 9412 (x, y) float pairs, 181 pairs a
// row, in pixels of the whole frame. The builders are pure and never fail.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kMeshColumns = 181;
constexpr int kMeshRows = 52;
constexpr int kStitchMeshPairs = kMeshColumns * kMeshRows;              // 9412
constexpr int kStitchMeshFloats = kStitchMeshPairs * 2;                 // 18824
constexpr size_t kStitchMeshBytes = sizeof(float) * kStitchMeshFloats;  // 75296

constexpr int kLensTableSize = 51;
constexpr int kMaxSeamLines = 50;

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

// The dual-lens calibration record, decoded from its 1652 stored bytes.
struct DualLensRecord {
    float fov;                       // degrees, each lens
    int32_t model;                   // lens model number
    float cx1, cy1, r1;              // first lens, left half, 1920 x 960 reference frame
    float cx2, cy2, r2;              // second lens, x from the left edge of the right half
    float radialBase;                // base of the seam profile
    int32_t n;                       // control line pairs in use
    float lines1[kMaxSeamLines][4];  // x0, y0, x1, y1 in the output panorama
    float lines2[kMaxSeamLines][4];  // the same lines as the second lens saw them
};

constexpr size_t kDualLensRecordBytes = 1652;
void DecodeDualLensRecord(const uint8_t* bytes, DualLensRecord* out);

// The per-column radius factors V[0..180] of both lenses (V[180] = V[0]).
void BuildSeamProfile(float radialBase, float profile[kMeshColumns]);

// The seam correction of the second lens: control lines turned into
// azimuth = slope * polar + intercept, both lists.
struct SeamWarp {
    int n = 0;  // lines in use; 0 or 1 means no warp
    float slope1[kMaxSeamLines], intercept1[kMaxSeamLines], polar1Of1[kMaxSeamLines];
    float slope2[kMaxSeamLines], intercept2[kMaxSeamLines], polar0Of2[kMaxSeamLines];
    bool usable[kMaxSeamLines];  // false for a line whose ends share one polar angle
};

void SetUpSeamWarp(const DualLensRecord& record, SeamWarp* warp);
// Maps a direction of the second lens (angle from its axis, azimuth) through
// the warp. Returns false, leaving the outputs as the inputs, when the
// direction is not warped (no warp, an unusable line, a zero denominator).
bool ApplySeamWarp(const SeamWarp& warp, float theta, float phi, float* thetaOut, float* phiOut);

// Writes (rings + 1) x (columns + 1) pairs; the rest of the buffer is kept.
// fov does not change the result. Does nothing if the grid would not fit.
void BuildSingleLensMesh(int width, int height, int columns, int rings, int cx, int cy, float fov,
                         float radius, float* mesh);

// Writes rows x columns pairs into each buffer (first lens, second lens).
// The frame must be 2:1 (the reader checks). Does nothing for a lens model
// other than 0..2, more than 50 lines or a grid that would not fit.
void BuildDualLensMesh(const DualLensRecord& record, int width, int height, int columns, int rows,
                       float* meshA, float* meshB);

// Rotates every row by s columns (column count - 1 is a copy of column 0).
// src and dst may be the same buffer.
void ShiftMeshColumns(const float* src, float* dst, int columns, int rows, int shift);

// Half a turn: dst row i, column j = src row rows-1-i, column columns-1-j.
// src and dst may be the same buffer.
void MirrorMesh(const float* src, int columns, int rows, float* dst);
