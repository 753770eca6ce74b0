// The dual-lens calibration record, the seam profile shared by both lenses and
// the seam warp of the second lens.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kMaxSeamLines = 50;

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

// The seam profile with count entries over the full turn (count = 180 gives
// the mesh profile V[0..179]).
void BuildSeamProfileN(float radialBase, int count, float* profile);
