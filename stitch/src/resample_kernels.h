// The luma kernel of the dual-lens resample: a run of output samples, each
// the bilinear blend of the 2x2 source samples its table entry names. A plain
// form, the reference, and where the processor allows an AVX2 form that gives
// the same bytes. ORBIVUE_STITCH_PLAIN=1 in the environment forces the plain one.
#pragma once

#include <cstddef>
#include <cstdint>

// One remap entry of a dual-lens table: integer position and 8-bit weights
// (each pair sums to 255).
struct DualEntry {
    int16_t x;
    uint8_t wLeft, wRight;
    int16_t y;
    uint8_t wUp, wDown;
};
static_assert(sizeof(DualEntry) == 8, "remap entries are 8 bytes");

// The source's luma plane: w x h samples, rows `stride` apart. Every entry's
// x + 1 < w and y + 1 < h.
struct LumaPlane {
    const uint8_t* y;
    size_t stride;
    int w, h;
};

// The blend of the 2x2 samples at (e.x, e.y) of a plane with rows `stride`
// apart; weights sum to 255 each way.
inline int BlendLuma(const uint8_t* y, size_t stride, const DualEntry& e) {
    const uint8_t* p = y + static_cast<ptrdiff_t>(e.y) * static_cast<ptrdiff_t>(stride) + e.x;
    const int top = p[0] * e.wLeft + p[1] * e.wRight;
    const int bottom = p[stride] * e.wLeft + p[stride + 1] * e.wRight;
    return (top * e.wUp + bottom * e.wDown + 32768) >> 16;
}

// out[k] = the blend through e[k] for k < n.
using LumaRunFn = void (*)(const LumaPlane& src, const DualEntry* e, int n, uint8_t* out);

void LumaRunPlain(const LumaPlane& src, const DualEntry* e, int n, uint8_t* out);
// The fastest form this processor runs (the plain one when forced).
LumaRunFn ActiveLumaRun();
// The AVX2 form, or null where the processor lacks it.
LumaRunFn Avx2LumaRun();
