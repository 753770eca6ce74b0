// Tables and helpers shared by the JPEG decoder and encoder.
#pragma once

#include <cstddef>
#include <cstdint>

// Natural (row-major) index of the k-th coefficient in zigzag order.
extern const uint8_t kJpegZigzag[64];

// Marker codes (the byte after 0xFF).
enum JpegMarker : uint8_t {
    kJpegSof0 = 0xC0,
    kJpegSof1 = 0xC1,
    kJpegDht = 0xC4,
    kJpegRst0 = 0xD0,
    kJpegSoi = 0xD8,
    kJpegEoi = 0xD9,
    kJpegSos = 0xDA,
    kJpegDqt = 0xDB,
    kJpegDri = 0xDD,
    kJpegApp0 = 0xE0,
    kJpegApp1 = 0xE1,
    kJpegCom = 0xFE,
};

// Bytes of the carried Exif segment that keep their content; later bytes are zero.
constexpr unsigned kJpegExifKeptBytes = 736;

// The accurate integer inverse DCT of one block: coefficients in natural
// order, dequantised by quant (natural order), 8x8 samples written at out.
// The reference form is the plain kernel; the fast form is the fastest one
// this processor runs (jpeg_kernels.h), bit-exact with it.
void JpegIdctReference(const int16_t* coef, const uint16_t* quant, uint8_t* out, size_t stride);
void JpegIdctFast(const int16_t* coef, const uint16_t* quant, uint8_t* out, size_t stride);
