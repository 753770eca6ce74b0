// The per-pixel lens geometry of stitched pictures, shared by the photo stitch,
// the video remap tables, the mesh builders and the sample renderer.
#pragma once

#include <vector>

#include "lens/lens_model.h"
#include "lens/seam.h"

// Dual-lens camera at output width wo (height wo / 2).
struct DualPhotoGeometry {
    int wo = 0, ho = 0;
    double fov = 0;                          // degrees
    int cx1 = 0, cy1 = 0, cx2 = 0, cy2 = 0;  // lens centres in pixels (cx2 within the right half)
    int r1 = 0, r2 = 0;                      // radii in pixels
    double kScale1 = 0, kScale2 = 0;         // radius / image height at half the field of view
    const LensModel* model = nullptr;
    std::vector<float> profile;  // seam profile, wo entries
    SeamWarp warp;               // n == 0: no control lines
};

// False for a lens model other than 0..2 or more than 50 lines.
bool SetUpDualPhotoGeometry(const DualLensRecord& record, int wo, DualPhotoGeometry* g);

// A direction seen at output pixel (longitude lambda, latitude angle beta =
// pi at the top row) as the angle theta from a lens axis along +x and the
// azimuth phi in [-pi, pi), with the small-value guards of the stitch.
void DirectionToLensAngles(double lambda, double beta, double* theta, double* phi);
// The same from the sines and cosines of lambda and beta (for loops that
// compute them once per row and column).
void DirectionToLensAnglesFrom(double cosLambda, double sinLambda, double cosBeta, double sinBeta,
                               double* theta, double* phi);

// The same angles for the table builders of many pixels: theta by FastAcos,
// the azimuth's cosine and sine straight from the direction and the azimuth by
// FastAtan2, each within 3e-8 rad of DirectionToLensAnglesFrom. phi is in
// [-pi, pi); only its profile column is used by the tables, and callers
// recompute that exactly near a column boundary.
struct LensDirection {
    double theta = 0, phi = 0, cosPhi = 1, sinPhi = 0;
};
void FastDirectionToLens(double cosLambda, double sinLambda, double cosBeta, double sinBeta,
                         LensDirection* out);

// acos on [-1, 1] and atan2 by polynomials with an error of at most 2e-8 rad.
double FastAcos(double x);
double FastAtan2(double y, double x);

// The seam-profile entry of an azimuth: the nearest of wo columns over the turn.
int ProfileColumn(const DualPhotoGeometry& g, double phi);

// Where the first (lens 0) or second (lens 1) lens saw the direction
// (theta, phi) given in that lens's own frame: x, y in source pixels before
// clamping. The second lens applies the seam warp when the record has lines.
void DualLensProject(const DualPhotoGeometry& g, int lens, double theta, double phi, double* x,
                     double* y);

// Single-lens camera: the circle in source pixels of an even source height.
struct SinglePhotoGeometry {
    int cx = 0, cy = 0, r = 0;
    float scale = 0;  // r / h[50]
};
void SetUpSinglePhotoGeometry(float storedCx, float storedCy, float storedR, int evenHeight,
                              SinglePhotoGeometry* g);
// Image height of the single-lens model; 1e8 outside 0..95 degrees.
float SingleLensPhotoHeight(const SinglePhotoGeometry& g, float theta);
