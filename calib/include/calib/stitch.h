// Stitched photo output: a camera photo to an equirectangular JPEG, and the
// lens geometry it evaluates for every output pixel.
#pragma once

#include <cstdint>
#include <vector>

#include "calib/mesh.h"

// Results of StitchPhoto besides the JPEG coder's own codes.
enum StitchResult {
    kStitchOk = 0,
    kStitchNoCalibration = 1000,  // no trailer, bad cipher data, no camera type 1 or 2,
                                  // no camera text, wrong lens record
    kStitchCannotOpenInput = 1001,
    kStitchNoMemory = 1004,     // out of memory, or the output cannot be written
    kStitchBadLayout = 1011,    // chroma layout other than 4:2:0, 4:2:2, 4:4:4
    kStitchBadArgument = 1012,  // rotation not 0/90/180/270, quality index not 0..2
    kStitchNotTwoToOne = 1013,  // a dual-lens photo whose picture is not 2:1
};

// Stitches the camera photo at inputPath into an equirectangular JPEG at
// outputPath (written under a temporary name and renamed when complete).
// rotation: 0, 90, 180 or 270; extraPass must be 0; quality index 0, 1, 2.
int StitchPhoto(const char* inputPath, const char* outputPath, int rotation, int extraPass,
                int qualityIndex);

// Remaps camera frames of one file into equirectangular frames: the tables are
// built once (from the file's calibration, the frame size and the rotation),
// then every frame is resampled with integer arithmetic. Frames are planar
// 4:2:0 in one block: Y (w x h), then Cb and Cr (w/2 x h/2), sizes even.
// Apply may be called from several threads at once on different frames.
class CStitchRemap {
  public:
    CStitchRemap();
    ~CStitchRemap();
    CStitchRemap(const CStitchRemap&) = delete;
    CStitchRemap& operator=(const CStitchRemap&) = delete;

    // Reads the calibration of the camera file (its MP4 boxes, or its JPEG
    // segments when isPhoto) and builds the tables for frames of
    // frameWidth x frameHeight (even) at the rotation. Returns a StitchResult.
    int Init(const char* path, bool isPhoto, int frameWidth, int frameHeight, int rotation);
    int OutputWidth() const;   // the frame width
    int OutputHeight() const;  // half of it
    // Writes the output frame (Y set to 0 and chroma to 128 where no lens sees).
    void Apply(const uint8_t* frame420, uint8_t* out420) const;

  private:
    struct Tables;
    Tables* m_pTables;
};

// --- Geometry shared by the stitch and the sample renderer -------------------

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

// The seam profile with count entries over the full turn (count = 180 gives
// the mesh profile V[0..179]).
void BuildSeamProfileN(float radialBase, int count, float* profile);

// A direction seen at output pixel (longitude lambda, latitude angle beta =
// pi at the top row) as the angle theta from a lens axis along +x and the
// azimuth phi in [-pi, pi), with the small-value guards of the stitch.
void DirectionToLensAngles(double lambda, double beta, double* theta, double* phi);
// The same from the sines and cosines of lambda and beta (for loops that
// compute them once per row and column).
void DirectionToLensAnglesFrom(double cosLambda, double sinLambda, double cosBeta, double sinBeta,
                               double* theta, double* phi);

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
