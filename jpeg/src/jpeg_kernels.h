// The per-block kernels of the JPEG coder. Each has a plain form, the
// reference, and where the processor allows vectorised forms that give the
// same results bit for bit. One table of kernels is chosen per process, after
// a look at the processor; the coder fetches it once per call, outside its
// block loops. ORBIVUE_JPEG_PLAIN=1 in the environment forces the plain table.
#pragma once

#include <cstddef>
#include <cstdint>

// One quantisation table of the encoder: its entries, and for every
// coefficient the rounding bias and reciprocals of the division of the DCT
// output (scaled by 8) by 8*q. Both forms give exactly (|x| + 4q) / (8q): with
// n = (|x| + 4q) >> 3 below 2^11 and q below 2^8, the rounding error of each
// reciprocal times n stays below one unit of the final shift.
struct JpegQuantTable {
    uint8_t value[64];  // natural order, 1..255
    uint32_t bias[64];  // 4*q: rounds half up
    uint32_t mul[64];   // ceil(2^19 / q): n / q = n * mul >> 19
    // 16-bit form: n / q = ((n << 5) * mul16 >> 16) * scale16 >> 16.
    alignas(16) uint16_t bias16[64];
    alignas(16) uint16_t mul16[64];
    alignas(16) uint16_t scale16[64];
};

// Fills the bias and reciprocals of t from its entries.
void JpegPrepareQuantTable(JpegQuantTable* t);

// Accurate integer forward DCT of the 8x8 samples at rows[0..7] + x, then
// quantisation by q (rounding half away from zero); natural order. Returns
// the block's nonzero mask: bit n set when out[n] is not zero.
using JpegForwardDctFn = uint64_t (*)(const uint8_t* const* rows, size_t x, const JpegQuantTable& q,
                                      int16_t* out);
// The forward DCT and quantisation of two blocks, A at rowsA[0..7] + xA and B
// at rowsB[0..7] + xB, with the same table; masks receives both blocks'
// nonzero masks. The same results as two calls of JpegForwardDctFn.
using JpegForwardDctPairFn = void (*)(const uint8_t* const* rowsA, size_t xA,
                                      const uint8_t* const* rowsB, size_t xB,
                                      const JpegQuantTable& q, int16_t* outA, int16_t* outB,
                                      uint64_t masks[2]);
// Accurate integer inverse DCT of one block: coefficients in natural order,
// dequantised by quant (natural order), 8x8 samples written at out. Any
// coefficients at all are safe (the arithmetic wraps).
using JpegInverseDctFn = void (*)(const int16_t* coef, const uint16_t* quant, uint8_t* out,
                                  size_t stride);
// Bit k-1 set when zz[k] (k = 1..63) is not zero.
using JpegAcMaskFn = uint64_t (*)(const int16_t* zz);

struct JpegKernels {
    const char* name;  // "plain", "sse2", "avx2"
    JpegForwardDctFn forwardDct;
    JpegForwardDctPairFn forwardDctPair;
    JpegInverseDctFn inverseDct;
    JpegAcMaskFn acMask;
};

// The sample value of every pixel of a block whose only coefficient is dc:
// what each inverse DCT kernel gives for it, wrapping arithmetic included.
uint8_t JpegIdctDcValue(int16_t dc, uint16_t quant);

// The plain reference kernels.
const JpegKernels& JpegPlainKernels();
// Every table this processor can run, the plain one first and the fastest
// last; *count receives how many.
const JpegKernels* const* JpegRunnableKernels(size_t* count);
// The table the coder uses: the fastest runnable one, or the plain one when
// ORBIVUE_JPEG_PLAIN is set to anything but "0". Chosen on first use.
const JpegKernels& JpegActiveKernels();
