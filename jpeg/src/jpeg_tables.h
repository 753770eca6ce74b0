// Tables and helpers shared by the JPEG decoder and encoder.
#pragma once

#include <cstddef>
#include <cstdint>

// Natural (row-major) index of the k-th coefficient in zigzag order.
// Visible to the compiler so that loops over it unroll into fixed moves.
inline constexpr uint8_t kJpegZigzag[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
};

// For each nibble of a natural-order nonzero mask, the AC mask bits (bit k-1
// for zigzag index k) of its four coefficients.
struct JpegZigzagMaskTable {
    uint64_t bits[16][16];
};

constexpr JpegZigzagMaskTable JpegMakeZigzagMaskTable() {
    JpegZigzagMaskTable t{};
    int zigzagOf[64] = {};
    for (int k = 0; k < 64; ++k) zigzagOf[kJpegZigzag[k]] = k;
    for (int g = 0; g < 16; ++g) {
        for (int v = 0; v < 16; ++v) {
            uint64_t m = 0;
            for (int b = 0; b < 4; ++b) {
                const int k = zigzagOf[4 * g + b];
                if (((v >> b) & 1) != 0 && k > 0) m |= uint64_t{1} << (k - 1);
            }
            t.bits[g][v] = m;
        }
    }
    return t;
}

inline constexpr JpegZigzagMaskTable kJpegZigzagMask = JpegMakeZigzagMaskTable();

// A natural-order nonzero mask (bit n for coefficient n) as an AC mask in
// zigzag order: bit k-1 for the coefficient at zigzag index k, k = 1..63.
inline uint64_t JpegZigzagAcMask(uint64_t naturalMask) {
    uint64_t m = 0;
#pragma GCC unroll 16
    for (int g = 0; g < 16; ++g) m |= kJpegZigzagMask.bits[g][(naturalMask >> (4 * g)) & 15];
    return m;
}

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

// Entropy coding of blocks in zigzag order with the encoder's Huffman tables,
// for tests: block i uses table tables[i] (0 luma, 1 chroma) and the DC
// predictor of that table; the bits are padded to a byte at the end. fast
// picks the coder's own path, otherwise the symbol-at-a-time reference.
// out must hold 1024 bytes per block; returns the bytes written.
size_t JpegEntropyCodeBlocks(const int16_t* blocks, const uint8_t* tables, size_t count, bool fast,
                             uint8_t* out);
