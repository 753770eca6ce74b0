// Stitched output: a camera photo to an equirectangular JPEG, and the remap
// tables that stitch every frame of a camera video.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/file.h"

// Results of StitchPhoto besides the JPEG coder's own codes.
enum StitchResult {
    kStitchOk = 0,
    kStitchNoCalibration = 1000,  // no trailer, bad cipher data, no camera type 1 or 2,
                                  // no camera text, wrong or unusable lens record
    kStitchCannotOpenInput = 1001,
    kStitchNoMemory = 1004,       // out of memory, or the output cannot be written
    kStitchBadLayout = 1011,      // chroma layout other than 4:2:0, 4:2:2, 4:4:4
    kStitchBadArgument = 1012,    // rotation not 0/90/180/270, quality index not 0..2
    kStitchNotTwoToOne = 1013,    // a dual-lens photo whose picture is not 2:1
    kStitchOutputIsInput = 1014,  // the output path names the input file (also through a link)
};

// Stitches the camera photo at inputPath into an equirectangular JPEG at
// outputPath (written under a temporary name and renamed when complete).
// rotation: 0, 90, 180 or 270; extraPass must be 0; quality index 0, 1, 2.
// The output is w x w/2 for a picture of even width w.
int StitchPhoto(const char* inputPath, const char* outputPath, int rotation, int extraPass,
                int qualityIndex);

// The same stitch from a camera photo's bytes into a sink (fuzzers, tests):
// nothing is written to the sink unless the picture was decoded and remapped.
int StitchPhotoFrom(platform::ByteSource& input, platform::ByteSink& output, int rotation,
                    int qualityIndex);

// The lens geometry of the remap: the fast evaluation (within 1e-4 pixel of
// the exact one, profile columns identical) or the exact reference it is
// checked against. Process-wide; read when a remap is set up.
// kStitchGeometryFastScalar is the fast evaluation one direction at a time,
// without the vector lanes that give the same bytes (tests).
enum StitchGeometry {
    kStitchGeometryFast = 0,
    kStitchGeometryExact = 1,
    kStitchGeometryFastScalar = 2
};
void SetStitchGeometry(StitchGeometry geometry);

// Remaps camera frames of one file into equirectangular frames: the tables are
// built once (from the file's calibration, the frame size and the rotation),
// then every frame is resampled with integer arithmetic. Frames are planar
// 4:2:0 in one block: Y (w x h), then Cb and Cr (w/2 x h/2), sizes even.
// The output frame is w wide and w/2 rounded down to even high (the video
// encoder takes even sizes only): for a width of 2 mod 4 the last row, at the
// pole, is left out.
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
    int OutputHeight() const;  // half of it, rounded down to even
    // Writes the output frame (Y set to 0 and chroma to 128 where no lens sees).
    void Apply(const uint8_t* frame420, uint8_t* out420) const;
    // The same from planes of their own strides (a decoder's frame, read in
    // place); the two chroma planes share one stride.
    void Apply(const uint8_t* const planes[3], const size_t strides[3], uint8_t* out420) const;

  private:
    struct Tables;
    Tables* m_pTables;
};
