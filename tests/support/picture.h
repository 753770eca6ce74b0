// Pictures in the tests: 4:2:0 planes, our JPEG coder on them, PSNR and pixel look-ups.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/file.h"
#include "support/files.h"

namespace testutil {

struct Picture {
    int w = 0, h = 0;
    Bytes y, cb, cr;  // 4:2:0, chroma ceil(w/2) x ceil(h/2)
    Picture() = default;
    Picture(int width, int height, uint8_t luma = 128)
        : w(width),
          h(height),
          y(static_cast<size_t>(width) * height, luma),
          cb(static_cast<size_t>((width + 1) / 2) * ((height + 1) / 2), 128),
          cr(cb) {}
    int cw() const { return (w + 1) / 2; }
    int ch() const { return (h + 1) / 2; }
};

// Our encoder into the sink; its result code. A quality below 0 keeps the encoder's own,
// `exif` (when given) becomes the APP1 "Exif" segment.
int EncodeOurs(const Picture& p, platform::ByteSink& sink, int quality = -1,
               const Bytes* exif = nullptr);
// The same into bytes; empty on any error.
Bytes EncodeToBytes(const Picture& p, int quality = -1, const Bytes* exif = nullptr);
// A camera photo: the picture with `exif` (e.g. a calibration trailer; none when empty) as
// its APP1 "Exif" segment.
Bytes EncodePicture(const Picture& p, const Bytes& exif, int quality = 95);

// Decodes a 4:2:0 JPEG file with our decoder; false on any error or another layout.
bool DecodeFile(const std::string& path, Picture* out);

// PSNR of 8-bit samples from their summed squared error; infinite when nothing differs.
double PsnrFromSquaredError(double squared, size_t count);
// PSNR of two sample arrays of the same size.
double Psnr(const Bytes& a, const Bytes& b);
// PSNR of a w x h window of two planes with their own row strides.
double Psnr(const uint8_t* a, size_t aStride, const uint8_t* b, size_t bStride, int w, int h);

// The luma of a BGR pixel (JFIF weights).
double BgrLuma(const uint8_t* bgr);
// Bilinear sample of a w x h plane at (x, y); columns wrap around, rows are clamped.
double SampleWrapped(const Bytes& plane, int w, int h, double x, double y);

}  // namespace testutil
