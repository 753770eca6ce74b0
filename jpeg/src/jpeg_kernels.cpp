// The per-block kernels of the JPEG coder in their plain and vectorised forms,
// and the choice among them. Every form is exact integer arithmetic whose
// results equal the plain form's bit for bit, garbage input included.
#include "jpeg_kernels.h"

#include <cstdlib>
#include <cstring>

#include "jpeg_tables.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#include <immintrin.h>
#define ORBIVUE_JPEG_X86_KERNELS 1
#endif

namespace {

// Constants of the accurate integer DCTs, 13 fractional bits.
constexpr int kConstBits = 13;
constexpr int kPass1Bits = 2;
constexpr int32_t kFix0298 = 2446, kFix0390 = 3196, kFix0541 = 4433, kFix0765 = 6270,
                  kFix0899 = 7373, kFix1175 = 9633, kFix1501 = 12299, kFix1847 = 15137,
                  kFix1961 = 16069, kFix2053 = 16819, kFix2562 = 20995, kFix3072 = 25172;

// Descale of the inverse DCT's second pass; the level shift of 128 is added
// before the shift, in the same wrapping arithmetic as the rounding bias.
constexpr int kIdctShift2 = kConstBits + kPass1Bits + 3;
constexpr uint32_t kIdctBias2 = (uint32_t{1} << (kIdctShift2 - 1)) + (uint32_t{128} << kIdctShift2);
constexpr int kIdctShift1 = kConstBits - kPass1Bits;
constexpr uint32_t kIdctBias1 = uint32_t{1} << (kIdctShift1 - 1);

inline uint8_t Clamp255(int32_t v) {
    return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

// ---- Plain forms ----

// One 1-D inverse transform of eight values; wrapping arithmetic so that
// garbage coefficients cannot overflow. o = (result + bias) >> shift.
inline void Idct1d(const uint32_t i[8], uint32_t bias, int shift, uint32_t o[8]) {
    uint32_t z1 = (i[2] + i[6]) * kFix0541;
    const uint32_t t2 = z1 - i[6] * kFix1847;
    const uint32_t t3 = z1 + i[2] * kFix0765;
    const uint32_t t0 = ((i[0] + i[4]) << kConstBits) + bias;
    const uint32_t t1 = ((i[0] - i[4]) << kConstBits) + bias;
    const uint32_t e10 = t0 + t3, e13 = t0 - t3, e11 = t1 + t2, e12 = t1 - t2;

    z1 = i[7] + i[1];
    uint32_t z2 = i[5] + i[3];
    uint32_t z3 = i[7] + i[3];
    uint32_t z4 = i[5] + i[1];
    const uint32_t z5 = (z3 + z4) * kFix1175;
    uint32_t a0 = i[7] * kFix0298, a1 = i[5] * kFix2053, a2 = i[3] * kFix3072, a3 = i[1] * kFix1501;
    z1 *= 0u - kFix0899;
    z2 *= 0u - kFix2562;
    z3 = z3 * (0u - kFix1961) + z5;
    z4 = z4 * (0u - kFix0390) + z5;
    a0 += z1 + z3;
    a1 += z2 + z4;
    a2 += z2 + z3;
    a3 += z1 + z4;
    const uint32_t r[8] = {e10 + a3, e11 + a2, e12 + a1, e13 + a0,
                           e13 - a0, e12 - a1, e11 - a2, e10 - a3};
    for (int k = 0; k < 8; ++k) o[k] = static_cast<uint32_t>(static_cast<int32_t>(r[k]) >> shift);
}

// Columns, then rows, one at a time.
void InverseDctPlain(const int16_t* coef, const uint16_t* quant, uint8_t* out, size_t stride) {
    uint32_t ws[64];
    for (int c = 0; c < 8; ++c) {
        uint32_t in[8], o[8];
        for (int r = 0; r < 8; ++r) {
            in[r] = static_cast<uint32_t>(int32_t{coef[r * 8 + c]} * int32_t{quant[r * 8 + c]});
        }
        Idct1d(in, kIdctBias1, kIdctShift1, o);
        for (int r = 0; r < 8; ++r) ws[r * 8 + c] = o[r];
    }
    for (int r = 0; r < 8; ++r) {
        uint32_t o[8];
        Idct1d(ws + r * 8, kIdctBias2, kIdctShift2, o);
        for (int c = 0; c < 8; ++c) out[r * stride + c] = Clamp255(static_cast<int32_t>(o[c]));
    }
}

// One 1-D forward DCT on eight lanes at once: in[e][lane] is element e of each
// lane's vector, out[u][lane] its coefficient u. kShift0 applies to outputs 0
// and 4 (a left shift when negative), kShiftOther is the descale of the others.
template <int kShift0, int kShiftOther>
inline void Dct8Lanes(const int32_t in[8][8], int32_t out[8][8]) {
    for (int l = 0; l < 8; ++l) {
        const int32_t tmp0 = in[0][l] + in[7][l];
        const int32_t tmp7 = in[0][l] - in[7][l];
        const int32_t tmp1 = in[1][l] + in[6][l];
        const int32_t tmp6 = in[1][l] - in[6][l];
        const int32_t tmp2 = in[2][l] + in[5][l];
        const int32_t tmp5 = in[2][l] - in[5][l];
        const int32_t tmp3 = in[3][l] + in[4][l];
        const int32_t tmp4 = in[3][l] - in[4][l];

        const int32_t tmp10 = tmp0 + tmp3;
        const int32_t tmp13 = tmp0 - tmp3;
        const int32_t tmp11 = tmp1 + tmp2;
        const int32_t tmp12 = tmp1 - tmp2;
        if (kShift0 < 0) {
            out[0][l] = (tmp10 + tmp11) * (1 << -kShift0);
            out[4][l] = (tmp10 - tmp11) * (1 << -kShift0);
        } else {
            out[0][l] = (tmp10 + tmp11 + (1 << kShift0 >> 1)) >> kShift0;
            out[4][l] = (tmp10 - tmp11 + (1 << kShift0 >> 1)) >> kShift0;
        }
        constexpr int32_t kRound = 1 << (kShiftOther - 1);
        const int32_t z1e = (tmp12 + tmp13) * kFix0541;
        out[2][l] = (z1e + tmp13 * kFix0765 + kRound) >> kShiftOther;
        out[6][l] = (z1e - tmp12 * kFix1847 + kRound) >> kShiftOther;

        const int32_t z5 = (tmp4 + tmp5 + tmp6 + tmp7) * kFix1175;
        const int32_t z1 = -(tmp4 + tmp7) * kFix0899;
        const int32_t z2 = -(tmp5 + tmp6) * kFix2562;
        const int32_t z3 = -(tmp4 + tmp6) * kFix1961 + z5;
        const int32_t z4 = -(tmp5 + tmp7) * kFix0390 + z5;
        out[7][l] = (tmp4 * kFix0298 + z1 + z3 + kRound) >> kShiftOther;
        out[5][l] = (tmp5 * kFix2053 + z2 + z4 + kRound) >> kShiftOther;
        out[3][l] = (tmp6 * kFix3072 + z2 + z3 + kRound) >> kShiftOther;
        out[1][l] = (tmp7 * kFix1501 + z1 + z4 + kRound) >> kShiftOther;
    }
}

// Rows, then columns; the output is scaled up by 8 before quantisation.
uint64_t ForwardDctPlain(const uint8_t* const* rows, size_t x, const JpegQuantTable& q,
                         int16_t* out) {
    int32_t a[8][8], b[8][8];
    // a[i][r]: sample i of row r, level-shifted; the first pass runs on all
    // eight rows at once.
    for (int r = 0; r < 8; ++r) {
        const uint8_t* p = rows[r] + x;
        for (int i = 0; i < 8; ++i) a[i][r] = static_cast<int32_t>(p[i]) - 128;
    }
    Dct8Lanes<-kPass1Bits, kConstBits - kPass1Bits>(a, b);  // b[u][r]
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j) a[j][i] = b[i][j];     // a[r][u]
    Dct8Lanes<kPass1Bits, kConstBits + kPass1Bits>(a, b);  // b[v][u]
    const int32_t* c = &b[0][0];
    uint64_t mask = 0;
    for (int i = 0; i < 64; ++i) {
        const int32_t v = c[i];
        const int32_t s = v >> 31;
        const uint32_t m = static_cast<uint32_t>((v ^ s) - s);
        const uint32_t n = (m + q.bias[i]) >> 3;
        const int32_t r = static_cast<int32_t>((n * q.mul[i]) >> 19);
        out[i] = static_cast<int16_t>((r ^ s) - s);
        mask |= static_cast<uint64_t>(r != 0) << i;
    }
    return mask;
}

uint64_t AcMaskPlain(const int16_t* zz) {
    uint64_t m = 0;
    for (int k = 1; k < 64; ++k) m |= static_cast<uint64_t>(zz[k] != 0) << (k - 1);
    return m;
}

// A pair of blocks as two single ones.
template <JpegForwardDctFn kFdct>
void ForwardDctPairOfSingles(const uint8_t* const* rowsA, size_t xA, const uint8_t* const* rowsB,
                             size_t xB, const JpegQuantTable& q, int16_t* outA, int16_t* outB,
                             uint64_t masks[2]) {
    masks[0] = kFdct(rowsA, xA, q, outA);
    masks[1] = kFdct(rowsB, xB, q, outB);
}

const JpegKernels kPlain = {"plain", &ForwardDctPlain, &ForwardDctPairOfSingles<ForwardDctPlain>,
                            &InverseDctPlain, &AcMaskPlain};

#if defined(ORBIVUE_JPEG_X86_KERNELS)

// ---- SSE2 and AVX2 forms ----

#if defined(__GNUC__)
#define JPEG_INLINE inline __attribute__((always_inline))
#else
#define JPEG_INLINE inline
#endif

// One pass of the inverse transform over eight lanes (the columns of in),
// each lane independent so that the compiler vectorises the loop; the same
// arithmetic as Idct1d.
JPEG_INLINE void IdctPass(const uint32_t* __restrict in, uint32_t* __restrict out, int shift,
                          uint32_t bias) {
    for (int c = 0; c < 8; ++c) {
        const uint32_t i0 = in[c], i1 = in[8 + c], i2 = in[16 + c], i3 = in[24 + c];
        const uint32_t i4 = in[32 + c], i5 = in[40 + c], i6 = in[48 + c], i7 = in[56 + c];
        uint32_t z1 = (i2 + i6) * kFix0541;
        const uint32_t t2 = z1 - i6 * kFix1847;
        const uint32_t t3 = z1 + i2 * kFix0765;
        const uint32_t t0 = ((i0 + i4) << kConstBits) + bias;
        const uint32_t t1 = ((i0 - i4) << kConstBits) + bias;
        const uint32_t e10 = t0 + t3, e13 = t0 - t3, e11 = t1 + t2, e12 = t1 - t2;
        z1 = i7 + i1;
        uint32_t z2 = i5 + i3;
        uint32_t z3 = i7 + i3;
        uint32_t z4 = i5 + i1;
        const uint32_t z5 = (z3 + z4) * kFix1175;
        uint32_t a0 = i7 * kFix0298, a1 = i5 * kFix2053, a2 = i3 * kFix3072, a3 = i1 * kFix1501;
        z1 *= 0u - kFix0899;
        z2 *= 0u - kFix2562;
        z3 = z3 * (0u - kFix1961) + z5;
        z4 = z4 * (0u - kFix0390) + z5;
        a0 += z1 + z3;
        a1 += z2 + z4;
        a2 += z2 + z3;
        a3 += z1 + z4;
        out[0 * 8 + c] = static_cast<uint32_t>(static_cast<int32_t>(e10 + a3) >> shift);
        out[7 * 8 + c] = static_cast<uint32_t>(static_cast<int32_t>(e10 - a3) >> shift);
        out[1 * 8 + c] = static_cast<uint32_t>(static_cast<int32_t>(e11 + a2) >> shift);
        out[6 * 8 + c] = static_cast<uint32_t>(static_cast<int32_t>(e11 - a2) >> shift);
        out[2 * 8 + c] = static_cast<uint32_t>(static_cast<int32_t>(e12 + a1) >> shift);
        out[5 * 8 + c] = static_cast<uint32_t>(static_cast<int32_t>(e12 - a1) >> shift);
        out[3 * 8 + c] = static_cast<uint32_t>(static_cast<int32_t>(e13 + a0) >> shift);
        out[4 * 8 + c] = static_cast<uint32_t>(static_cast<int32_t>(e13 - a0) >> shift);
    }
}

JPEG_INLINE void Transpose32(const uint32_t* __restrict in, uint32_t* __restrict out) {
    for (int bi = 0; bi < 2; ++bi) {
        for (int bj = 0; bj < 2; ++bj) {
            const uint32_t* s = in + bi * 32 + bj * 4;
            const __m128i r0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
            const __m128i r1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 8));
            const __m128i r2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 16));
            const __m128i r3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 24));
            const __m128i t0 = _mm_unpacklo_epi32(r0, r1), t1 = _mm_unpacklo_epi32(r2, r3);
            const __m128i t2 = _mm_unpackhi_epi32(r0, r1), t3 = _mm_unpackhi_epi32(r2, r3);
            uint32_t* d = out + bj * 32 + bi * 4;
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_unpacklo_epi64(t0, t1));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 8), _mm_unpackhi_epi64(t0, t1));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 16), _mm_unpacklo_epi64(t2, t3));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 24), _mm_unpackhi_epi64(t2, t3));
        }
    }
}

// The whole block: columns, transpose, rows (as lanes again), transpose, and
// saturation to samples.
JPEG_INLINE void InverseDctLanes(const int16_t* coef, const uint16_t* quant, uint8_t* out,
                                 size_t stride) {
    alignas(16) uint32_t a[64];
    alignas(16) uint32_t b[64];
    for (int i = 0; i < 64; ++i) {
        a[i] = static_cast<uint32_t>(int32_t{coef[i]} * int32_t{quant[i]});
    }
    IdctPass(a, b, kIdctShift1, kIdctBias1);
    Transpose32(b, a);
    IdctPass(a, b, kIdctShift2, kIdctBias2);
    Transpose32(b, a);
    for (int r = 0; r < 8; ++r) {
        const __m128i lo = _mm_load_si128(reinterpret_cast<const __m128i*>(a + r * 8));
        const __m128i hi = _mm_load_si128(reinterpret_cast<const __m128i*>(a + r * 8 + 4));
        const __m128i w = _mm_packs_epi32(lo, hi);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + r * stride), _mm_packus_epi16(w, w));
    }
}

// The forward transform on 16-bit lanes, eight rows or columns per register.
// The odd outputs are written as one linear form of tmp4..tmp7 each (the
// products of the rotation folded into four constants), so pairs of terms go
// through one multiply-add and the results equal the plain form exactly.
inline __m128i Pair(int16_t a, int16_t b) {
    return _mm_set_epi16(b, a, b, a, b, a, b, a);
}

template <int kShift>
inline __m128i DescalePack(__m128i lo, __m128i hi) {
    const __m128i round = _mm_set1_epi32(1 << (kShift - 1));
    lo = _mm_srai_epi32(_mm_add_epi32(lo, round), kShift);
    hi = _mm_srai_epi32(_mm_add_epi32(hi, round), kShift);
    return _mm_packs_epi32(lo, hi);
}

inline void Transpose16(__m128i r[8]) {
    const __m128i t0 = _mm_unpacklo_epi16(r[0], r[1]), t1 = _mm_unpackhi_epi16(r[0], r[1]);
    const __m128i t2 = _mm_unpacklo_epi16(r[2], r[3]), t3 = _mm_unpackhi_epi16(r[2], r[3]);
    const __m128i t4 = _mm_unpacklo_epi16(r[4], r[5]), t5 = _mm_unpackhi_epi16(r[4], r[5]);
    const __m128i t6 = _mm_unpacklo_epi16(r[6], r[7]), t7 = _mm_unpackhi_epi16(r[6], r[7]);
    const __m128i u0 = _mm_unpacklo_epi32(t0, t2), u1 = _mm_unpackhi_epi32(t0, t2);
    const __m128i u2 = _mm_unpacklo_epi32(t1, t3), u3 = _mm_unpackhi_epi32(t1, t3);
    const __m128i u4 = _mm_unpacklo_epi32(t4, t6), u5 = _mm_unpackhi_epi32(t4, t6);
    const __m128i u6 = _mm_unpacklo_epi32(t5, t7), u7 = _mm_unpackhi_epi32(t5, t7);
    r[0] = _mm_unpacklo_epi64(u0, u4);
    r[1] = _mm_unpackhi_epi64(u0, u4);
    r[2] = _mm_unpacklo_epi64(u1, u5);
    r[3] = _mm_unpackhi_epi64(u1, u5);
    r[4] = _mm_unpacklo_epi64(u2, u6);
    r[5] = _mm_unpackhi_epi64(u2, u6);
    r[6] = _mm_unpacklo_epi64(u3, u7);
    r[7] = _mm_unpackhi_epi64(u3, u7);
}

// d[e]: element e of each lane's vector; replaced by the coefficients.
template <bool kFirstPass>
inline void Dct1dSse2(__m128i d[8]) {
    constexpr int kShift = kFirstPass ? kConstBits - kPass1Bits : kConstBits + kPass1Bits;
    const __m128i tmp0 = _mm_add_epi16(d[0], d[7]), tmp7 = _mm_sub_epi16(d[0], d[7]);
    const __m128i tmp1 = _mm_add_epi16(d[1], d[6]), tmp6 = _mm_sub_epi16(d[1], d[6]);
    const __m128i tmp2 = _mm_add_epi16(d[2], d[5]), tmp5 = _mm_sub_epi16(d[2], d[5]);
    const __m128i tmp3 = _mm_add_epi16(d[3], d[4]), tmp4 = _mm_sub_epi16(d[3], d[4]);
    const __m128i tmp10 = _mm_add_epi16(tmp0, tmp3), tmp13 = _mm_sub_epi16(tmp0, tmp3);
    const __m128i tmp11 = _mm_add_epi16(tmp1, tmp2), tmp12 = _mm_sub_epi16(tmp1, tmp2);
    if (kFirstPass) {
        d[0] = _mm_slli_epi16(_mm_add_epi16(tmp10, tmp11), kPass1Bits);
        d[4] = _mm_slli_epi16(_mm_sub_epi16(tmp10, tmp11), kPass1Bits);
    } else {
        // The column sums of the first pass fit 16 bits (at most 64 * 128 << 2).
        const __m128i round = _mm_set1_epi16(1 << (kPass1Bits - 1));
        d[0] = _mm_srai_epi16(_mm_add_epi16(_mm_add_epi16(tmp10, tmp11), round), kPass1Bits);
        d[4] = _mm_srai_epi16(_mm_add_epi16(_mm_sub_epi16(tmp10, tmp11), round), kPass1Bits);
    }
    const __m128i e0 = _mm_unpacklo_epi16(tmp13, tmp12), e1 = _mm_unpackhi_epi16(tmp13, tmp12);
    const __m128i k2 = Pair(kFix0541 + kFix0765, kFix0541);
    const __m128i k6 = Pair(kFix0541, kFix0541 - kFix1847);
    d[2] = DescalePack<kShift>(_mm_madd_epi16(e0, k2), _mm_madd_epi16(e1, k2));
    d[6] = DescalePack<kShift>(_mm_madd_epi16(e0, k6), _mm_madd_epi16(e1, k6));

    const __m128i a0 = _mm_unpacklo_epi16(tmp4, tmp5), a1 = _mm_unpackhi_epi16(tmp4, tmp5);
    const __m128i b0 = _mm_unpacklo_epi16(tmp6, tmp7), b1 = _mm_unpackhi_epi16(tmp6, tmp7);
    const auto odd = [&](int16_t c4, int16_t c5, int16_t c6, int16_t c7) {
        const __m128i ka = Pair(c4, c5), kb = Pair(c6, c7);
        return DescalePack<kShift>(_mm_add_epi32(_mm_madd_epi16(a0, ka), _mm_madd_epi16(b0, kb)),
                                   _mm_add_epi32(_mm_madd_epi16(a1, ka), _mm_madd_epi16(b1, kb)));
    };
    // z5 = (tmp4 + tmp5 + tmp6 + tmp7) * c(6/16), and the rotations of the
    // plain form, summed per input.
    constexpr int16_t k1175 = kFix1175;
    constexpr int16_t k0899 = kFix0899, k2562 = kFix2562;
    constexpr int16_t k1961 = kFix1961, k0390 = kFix0390;
    d[7] = odd(kFix0298 - k0899 - k1961 + k1175, k1175, k1175 - k1961, k1175 - k0899);
    d[5] = odd(k1175, kFix2053 - k2562 - k0390 + k1175, k1175 - k2562, k1175 - k0390);
    d[3] = odd(k1175 - k1961, k1175 - k2562, kFix3072 - k2562 - k1961 + k1175, k1175);
    d[1] = odd(k1175 - k0899, k1175 - k0390, k1175, kFix1501 - k0899 - k0390 + k1175);
}

// The inverse transform on 16-bit lanes. It is exact whenever the
// dequantised coefficients and the first pass's outputs fit 16 bits: the
// sums of products are then the plain form's 32-bit values (the same ring
// arithmetic, terms merely regrouped into the constants of the forward
// form). A first-pass output is at most (11363 * S + 1024) / 2048 in
// magnitude, S the column's sum of |coef * quant|, so S below kIdct16Limit
// keeps it under 2^15. Blocks outside that take the 32-bit lanes.
constexpr int kIdct16Limit = 5900;

// True when every column's sum of |coef * quant| is below kIdct16Limit; d
// receives the dequantised rows.
JPEG_INLINE bool DequantiseForIdct16(const int16_t* coef, const uint16_t* quant, __m128i d[8]) {
    __m128i sum = _mm_setzero_si128();
    __m128i high = _mm_setzero_si128();
    for (int r = 0; r < 8; ++r) {
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(coef + 8 * r));
        const __m128i q = _mm_loadu_si128(reinterpret_cast<const __m128i*>(quant + 8 * r));
        const __m128i sign = _mm_srai_epi16(c, 15);
        const __m128i a = _mm_sub_epi16(_mm_xor_si128(c, sign), sign);  // |c|, 32768 for -32768
        high = _mm_or_si128(high, _mm_mulhi_epu16(a, q));
        sum = _mm_adds_epu16(sum, _mm_mullo_epi16(a, q));
        d[r] = _mm_mullo_epi16(c, q);
    }
    const __m128i over = _mm_or_si128(high, _mm_subs_epu16(sum, _mm_set1_epi16(kIdct16Limit - 1)));
    return _mm_movemask_epi8(_mm_cmpeq_epi8(over, _mm_setzero_si128())) == 0xFFFF;
}

// One pass over eight lanes: d[e] holds element e of each lane's vector and
// receives output e, (value + bias) >> kShift packed to 16 bits.
template <int kShift>
JPEG_INLINE void Idct1dSse2(__m128i d[8], int32_t bias) {
    const __m128i b = _mm_set1_epi32(bias);
    const __m128i p04l = _mm_unpacklo_epi16(d[0], d[4]), p04h = _mm_unpackhi_epi16(d[0], d[4]);
    const __m128i p26l = _mm_unpacklo_epi16(d[2], d[6]), p26h = _mm_unpackhi_epi16(d[2], d[6]);
    const __m128i kSum = Pair(1 << kConstBits, 1 << kConstBits);
    const __m128i kDiff = Pair(1 << kConstBits, -(1 << kConstBits));
    const __m128i k3 = Pair(kFix0541 + kFix0765, kFix0541);
    const __m128i k2 = Pair(kFix0541, kFix0541 - kFix1847);
    const __m128i t0l = _mm_add_epi32(_mm_madd_epi16(p04l, kSum), b);
    const __m128i t0h = _mm_add_epi32(_mm_madd_epi16(p04h, kSum), b);
    const __m128i t1l = _mm_add_epi32(_mm_madd_epi16(p04l, kDiff), b);
    const __m128i t1h = _mm_add_epi32(_mm_madd_epi16(p04h, kDiff), b);
    const __m128i t3l = _mm_madd_epi16(p26l, k3), t3h = _mm_madd_epi16(p26h, k3);
    const __m128i t2l = _mm_madd_epi16(p26l, k2), t2h = _mm_madd_epi16(p26h, k2);
    const __m128i e10l = _mm_add_epi32(t0l, t3l), e10h = _mm_add_epi32(t0h, t3h);
    const __m128i e13l = _mm_sub_epi32(t0l, t3l), e13h = _mm_sub_epi32(t0h, t3h);
    const __m128i e11l = _mm_add_epi32(t1l, t2l), e11h = _mm_add_epi32(t1h, t2h);
    const __m128i e12l = _mm_sub_epi32(t1l, t2l), e12h = _mm_sub_epi32(t1h, t2h);

    const __m128i p75l = _mm_unpacklo_epi16(d[7], d[5]), p75h = _mm_unpackhi_epi16(d[7], d[5]);
    const __m128i p31l = _mm_unpacklo_epi16(d[3], d[1]), p31h = _mm_unpackhi_epi16(d[3], d[1]);
    constexpr int16_t k1175 = kFix1175;
    constexpr int16_t k0899 = kFix0899, k2562 = kFix2562;
    constexpr int16_t k1961 = kFix1961, k0390 = kFix0390;
    // The odd terms as linear forms of (i7, i5, i3, i1), as in the forward form.
    const auto odd = [&](int16_t c7, int16_t c5, int16_t c3, int16_t c1, __m128i* lo, __m128i* hi) {
        const __m128i ka = Pair(c7, c5), kb = Pair(c3, c1);
        *lo = _mm_add_epi32(_mm_madd_epi16(p75l, ka), _mm_madd_epi16(p31l, kb));
        *hi = _mm_add_epi32(_mm_madd_epi16(p75h, ka), _mm_madd_epi16(p31h, kb));
    };
    __m128i a0l, a0h, a1l, a1h, a2l, a2h, a3l, a3h;
    odd(kFix0298 - k0899 - k1961 + k1175, k1175, k1175 - k1961, k1175 - k0899, &a0l, &a0h);
    odd(k1175, kFix2053 - k2562 - k0390 + k1175, k1175 - k2562, k1175 - k0390, &a1l, &a1h);
    odd(k1175 - k1961, k1175 - k2562, kFix3072 - k2562 - k1961 + k1175, k1175, &a2l, &a2h);
    odd(k1175 - k0899, k1175 - k0390, k1175, kFix1501 - k0899 - k0390 + k1175, &a3l, &a3h);

    const auto out = [](__m128i lo, __m128i hi) {
        return _mm_packs_epi32(_mm_srai_epi32(lo, kShift), _mm_srai_epi32(hi, kShift));
    };
    d[0] = out(_mm_add_epi32(e10l, a3l), _mm_add_epi32(e10h, a3h));
    d[7] = out(_mm_sub_epi32(e10l, a3l), _mm_sub_epi32(e10h, a3h));
    d[1] = out(_mm_add_epi32(e11l, a2l), _mm_add_epi32(e11h, a2h));
    d[6] = out(_mm_sub_epi32(e11l, a2l), _mm_sub_epi32(e11h, a2h));
    d[2] = out(_mm_add_epi32(e12l, a1l), _mm_add_epi32(e12h, a1h));
    d[5] = out(_mm_sub_epi32(e12l, a1l), _mm_sub_epi32(e12h, a1h));
    d[3] = out(_mm_add_epi32(e13l, a0l), _mm_add_epi32(e13h, a0h));
    d[4] = out(_mm_sub_epi32(e13l, a0l), _mm_sub_epi32(e13h, a0h));
}

// Columns, transpose, rows, transpose; the second pass saturates to 16 bits
// and the store to samples, which clamps as the plain form does.
JPEG_INLINE void InverseDct16(__m128i d[8], uint8_t* out, size_t stride) {
    Idct1dSse2<kIdctShift1>(d, static_cast<int32_t>(kIdctBias1));
    Transpose16(d);
    Idct1dSse2<kIdctShift2>(d, static_cast<int32_t>(kIdctBias2));
    Transpose16(d);
    for (int r = 0; r < 8; ++r) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + r * stride),
                         _mm_packus_epi16(d[r], d[r]));
    }
}

void InverseDctSse2(const int16_t* coef, const uint16_t* quant, uint8_t* out, size_t stride) {
    __m128i d[8];
    if (DequantiseForIdct16(coef, quant, d)) {
        InverseDct16(d, out, stride);
    } else {
        InverseDctLanes(coef, quant, out, stride);
    }
}

#if defined(__GNUC__)
#define ORBIVUE_JPEG_AVX2_KERNELS 1
// The same code with the wider registers the compiler may use for the lanes.
__attribute__((target("avx2"))) void InverseDctAvx2(const int16_t* coef, const uint16_t* quant,
                                                    uint8_t* out, size_t stride) {
    __m128i d[8];
    if (DequantiseForIdct16(coef, quant, d)) {
        InverseDct16(d, out, stride);
    } else {
        InverseDctLanes(coef, quant, out, stride);
    }
}
#endif

uint64_t ForwardDctSse2(const uint8_t* const* rows, size_t x, const JpegQuantTable& q,
                        int16_t* out) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i center = _mm_set1_epi16(128);
    __m128i d[8];
    for (int r = 0; r < 8; ++r) {
        const __m128i p = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(rows[r] + x));
        d[r] = _mm_sub_epi16(_mm_unpacklo_epi8(p, zero), center);
    }
    Transpose16(d);  // lanes: rows
    Dct1dSse2<true>(d);
    Transpose16(d);  // lanes: columns
    Dct1dSse2<false>(d);
    uint64_t zeroBits = 0;
    __m128i prevZero = _mm_setzero_si128();
    for (int v = 0; v < 8; ++v) {
        const __m128i c = d[v];
        const __m128i sign = _mm_srai_epi16(c, 15);
        const __m128i a = _mm_sub_epi16(_mm_xor_si128(c, sign), sign);
        const __m128i bias = _mm_load_si128(reinterpret_cast<const __m128i*>(q.bias16 + 8 * v));
        const __m128i mul = _mm_load_si128(reinterpret_cast<const __m128i*>(q.mul16 + 8 * v));
        const __m128i sc = _mm_load_si128(reinterpret_cast<const __m128i*>(q.scale16 + 8 * v));
        __m128i n = _mm_slli_epi16(_mm_srli_epi16(_mm_add_epi16(a, bias), 3), 5);
        n = _mm_mulhi_epu16(_mm_mulhi_epu16(n, mul), sc);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8 * v),
                         _mm_sub_epi16(_mm_xor_si128(n, sign), sign));
        // Zero flags of rows v-1 and v, one byte per coefficient.
        const __m128i isZero = _mm_cmpeq_epi16(n, zero);
        if (v & 1) {
            const uint32_t bits =
                static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(prevZero, isZero)));
            zeroBits |= static_cast<uint64_t>(bits) << (8 * (v - 1));
        }
        prevZero = isZero;
    }
    return ~zeroBits;
}

uint64_t AcMaskSse2(const int16_t* zz) {
    const __m128i zero = _mm_setzero_si128();
    uint64_t m = 0;
    for (int i = 0; i < 4; ++i) {
        const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(zz + 16 * i));
        const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(zz + 16 * i + 8));
        const __m128i eq = _mm_packs_epi16(_mm_cmpeq_epi16(lo, zero), _mm_cmpeq_epi16(hi, zero));
        m |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(eq))) << (16 * i);
    }
    return ~m >> 1;
}

#if defined(ORBIVUE_JPEG_AVX2_KERNELS)

// The forward transform of two blocks at once: block A in the low 128-bit
// half of each register, block B in the high one. Every operation below acts
// on the halves separately, so each half runs exactly the SSE2 code above.
#define JPEG_AVX2 __attribute__((target("avx2"), always_inline)) inline

JPEG_AVX2 __m256i Pair256(int16_t a, int16_t b) {
    return _mm256_set_epi16(b, a, b, a, b, a, b, a, b, a, b, a, b, a, b, a);
}

template <int kShift>
JPEG_AVX2 __m256i DescalePack256(__m256i lo, __m256i hi) {
    const __m256i round = _mm256_set1_epi32(1 << (kShift - 1));
    lo = _mm256_srai_epi32(_mm256_add_epi32(lo, round), kShift);
    hi = _mm256_srai_epi32(_mm256_add_epi32(hi, round), kShift);
    return _mm256_packs_epi32(lo, hi);
}

JPEG_AVX2 void Transpose16x2(__m256i r[8]) {
    const __m256i t0 = _mm256_unpacklo_epi16(r[0], r[1]), t1 = _mm256_unpackhi_epi16(r[0], r[1]);
    const __m256i t2 = _mm256_unpacklo_epi16(r[2], r[3]), t3 = _mm256_unpackhi_epi16(r[2], r[3]);
    const __m256i t4 = _mm256_unpacklo_epi16(r[4], r[5]), t5 = _mm256_unpackhi_epi16(r[4], r[5]);
    const __m256i t6 = _mm256_unpacklo_epi16(r[6], r[7]), t7 = _mm256_unpackhi_epi16(r[6], r[7]);
    const __m256i u0 = _mm256_unpacklo_epi32(t0, t2), u1 = _mm256_unpackhi_epi32(t0, t2);
    const __m256i u2 = _mm256_unpacklo_epi32(t1, t3), u3 = _mm256_unpackhi_epi32(t1, t3);
    const __m256i u4 = _mm256_unpacklo_epi32(t4, t6), u5 = _mm256_unpackhi_epi32(t4, t6);
    const __m256i u6 = _mm256_unpacklo_epi32(t5, t7), u7 = _mm256_unpackhi_epi32(t5, t7);
    r[0] = _mm256_unpacklo_epi64(u0, u4);
    r[1] = _mm256_unpackhi_epi64(u0, u4);
    r[2] = _mm256_unpacklo_epi64(u1, u5);
    r[3] = _mm256_unpackhi_epi64(u1, u5);
    r[4] = _mm256_unpacklo_epi64(u2, u6);
    r[5] = _mm256_unpackhi_epi64(u2, u6);
    r[6] = _mm256_unpacklo_epi64(u3, u7);
    r[7] = _mm256_unpackhi_epi64(u3, u7);
}

// One odd output of Dct1dSse2 for both halves.
template <int kShift>
JPEG_AVX2 __m256i Odd256(const __m256i ab[4], int16_t c4, int16_t c5, int16_t c6, int16_t c7) {
    const __m256i ka = Pair256(c4, c5), kb = Pair256(c6, c7);
    return DescalePack256<kShift>(
        _mm256_add_epi32(_mm256_madd_epi16(ab[0], ka), _mm256_madd_epi16(ab[2], kb)),
        _mm256_add_epi32(_mm256_madd_epi16(ab[1], ka), _mm256_madd_epi16(ab[3], kb)));
}

template <bool kFirstPass>
JPEG_AVX2 void Dct1dAvx2(__m256i d[8]) {
    constexpr int kShift = kFirstPass ? kConstBits - kPass1Bits : kConstBits + kPass1Bits;
    const __m256i tmp0 = _mm256_add_epi16(d[0], d[7]), tmp7 = _mm256_sub_epi16(d[0], d[7]);
    const __m256i tmp1 = _mm256_add_epi16(d[1], d[6]), tmp6 = _mm256_sub_epi16(d[1], d[6]);
    const __m256i tmp2 = _mm256_add_epi16(d[2], d[5]), tmp5 = _mm256_sub_epi16(d[2], d[5]);
    const __m256i tmp3 = _mm256_add_epi16(d[3], d[4]), tmp4 = _mm256_sub_epi16(d[3], d[4]);
    const __m256i tmp10 = _mm256_add_epi16(tmp0, tmp3), tmp13 = _mm256_sub_epi16(tmp0, tmp3);
    const __m256i tmp11 = _mm256_add_epi16(tmp1, tmp2), tmp12 = _mm256_sub_epi16(tmp1, tmp2);
    if (kFirstPass) {
        d[0] = _mm256_slli_epi16(_mm256_add_epi16(tmp10, tmp11), kPass1Bits);
        d[4] = _mm256_slli_epi16(_mm256_sub_epi16(tmp10, tmp11), kPass1Bits);
    } else {
        const __m256i round = _mm256_set1_epi16(1 << (kPass1Bits - 1));
        d[0] =
            _mm256_srai_epi16(_mm256_add_epi16(_mm256_add_epi16(tmp10, tmp11), round), kPass1Bits);
        d[4] =
            _mm256_srai_epi16(_mm256_add_epi16(_mm256_sub_epi16(tmp10, tmp11), round), kPass1Bits);
    }
    const __m256i e0 = _mm256_unpacklo_epi16(tmp13, tmp12);
    const __m256i e1 = _mm256_unpackhi_epi16(tmp13, tmp12);
    const __m256i k2 = Pair256(kFix0541 + kFix0765, kFix0541);
    const __m256i k6 = Pair256(kFix0541, kFix0541 - kFix1847);
    d[2] = DescalePack256<kShift>(_mm256_madd_epi16(e0, k2), _mm256_madd_epi16(e1, k2));
    d[6] = DescalePack256<kShift>(_mm256_madd_epi16(e0, k6), _mm256_madd_epi16(e1, k6));

    const __m256i ab[4] = {_mm256_unpacklo_epi16(tmp4, tmp5), _mm256_unpackhi_epi16(tmp4, tmp5),
                           _mm256_unpacklo_epi16(tmp6, tmp7), _mm256_unpackhi_epi16(tmp6, tmp7)};
    constexpr int16_t k1175 = kFix1175;
    constexpr int16_t k0899 = kFix0899, k2562 = kFix2562;
    constexpr int16_t k1961 = kFix1961, k0390 = kFix0390;
    d[7] =
        Odd256<kShift>(ab, kFix0298 - k0899 - k1961 + k1175, k1175, k1175 - k1961, k1175 - k0899);
    d[5] =
        Odd256<kShift>(ab, k1175, kFix2053 - k2562 - k0390 + k1175, k1175 - k2562, k1175 - k0390);
    d[3] =
        Odd256<kShift>(ab, k1175 - k1961, k1175 - k2562, kFix3072 - k2562 - k1961 + k1175, k1175);
    d[1] =
        Odd256<kShift>(ab, k1175 - k0899, k1175 - k0390, k1175, kFix1501 - k0899 - k0390 + k1175);
}

__attribute__((target("avx2"))) void ForwardDctPairAvx2(const uint8_t* const* rowsA, size_t xA,
                                                        const uint8_t* const* rowsB, size_t xB,
                                                        const JpegQuantTable& q, int16_t* outA,
                                                        int16_t* outB, uint64_t masks[2]) {
    const __m256i center = _mm256_set1_epi16(128);
    __m256i d[8];
    for (int r = 0; r < 8; ++r) {
        const __m128i a = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(rowsA[r] + xA));
        const __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(rowsB[r] + xB));
        d[r] = _mm256_sub_epi16(_mm256_cvtepu8_epi16(_mm_unpacklo_epi64(a, b)), center);
    }
    Transpose16x2(d);  // lanes: rows
    Dct1dAvx2<true>(d);
    Transpose16x2(d);  // lanes: columns
    Dct1dAvx2<false>(d);
    const __m256i zero = _mm256_setzero_si256();
    uint64_t zeroA = 0, zeroB = 0;
    __m256i prevZero = zero;
    for (int v = 0; v < 8; ++v) {
        const __m256i c = d[v];
        const __m256i sign = _mm256_srai_epi16(c, 15);
        const __m256i a = _mm256_sub_epi16(_mm256_xor_si256(c, sign), sign);
        const __m256i bias = _mm256_broadcastsi128_si256(
            _mm_load_si128(reinterpret_cast<const __m128i*>(q.bias16 + 8 * v)));
        const __m256i mul = _mm256_broadcastsi128_si256(
            _mm_load_si128(reinterpret_cast<const __m128i*>(q.mul16 + 8 * v)));
        const __m256i sc = _mm256_broadcastsi128_si256(
            _mm_load_si128(reinterpret_cast<const __m128i*>(q.scale16 + 8 * v)));
        __m256i n = _mm256_slli_epi16(_mm256_srli_epi16(_mm256_add_epi16(a, bias), 3), 5);
        n = _mm256_mulhi_epu16(_mm256_mulhi_epu16(n, mul), sc);
        const __m256i o = _mm256_sub_epi16(_mm256_xor_si256(n, sign), sign);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(outA + 8 * v), _mm256_castsi256_si128(o));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(outB + 8 * v), _mm256_extracti128_si256(o, 1));
        const __m256i isZero = _mm256_cmpeq_epi16(n, zero);
        if (v & 1) {
            const uint32_t bits =
                static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_packs_epi16(prevZero, isZero)));
            zeroA |= static_cast<uint64_t>(bits & 0xFFFF) << (8 * (v - 1));
            zeroB |= static_cast<uint64_t>(bits >> 16) << (8 * (v - 1));
        }
        prevZero = isZero;
    }
    masks[0] = ~zeroA;
    masks[1] = ~zeroB;
}

#undef JPEG_AVX2
#endif

const JpegKernels kSse2 = {"sse2", &ForwardDctSse2, &ForwardDctPairOfSingles<ForwardDctSse2>,
                           &InverseDctSse2, &AcMaskSse2};
#if defined(ORBIVUE_JPEG_AVX2_KERNELS)
const JpegKernels kAvx2 = {"avx2", &ForwardDctSse2, &ForwardDctPairAvx2, &InverseDctAvx2,
                           &AcMaskSse2};
#endif

#endif  // ORBIVUE_JPEG_X86_KERNELS

struct RunnableList {
    const JpegKernels* table[3];
    size_t count;
};

RunnableList FindRunnable() {
    RunnableList list{{&kPlain, nullptr, nullptr}, 1};
#if defined(ORBIVUE_JPEG_X86_KERNELS)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("sse2")) list.table[list.count++] = &kSse2;
#if defined(ORBIVUE_JPEG_AVX2_KERNELS)
    if (__builtin_cpu_supports("avx2")) list.table[list.count++] = &kAvx2;
#endif
#endif
    return list;
}

const RunnableList& Runnable() {
    static const RunnableList list = FindRunnable();
    return list;
}

const JpegKernels* ChooseActive() {
    const char* plain = std::getenv("ORBIVUE_JPEG_PLAIN");
    if (plain != nullptr && plain[0] != '\0' && std::strcmp(plain, "0") != 0) return &kPlain;
    const RunnableList& list = Runnable();
    return list.table[list.count - 1];
}

}  // namespace

void JpegPrepareQuantTable(JpegQuantTable* t) {
    for (int i = 0; i < 64; ++i) {
        const uint32_t q = t->value[i];
        t->bias[i] = 4 * q;
        t->mul[i] = ((1u << 19) + q - 1) / q;
        // Total shift 16 + floor(log2 q) keeps the multiplier below 2^16 (one
        // less for powers of two, which divide exactly).
        int log2q = 0;
        while ((2u << log2q) <= q) ++log2q;
        const int shift = 16 + log2q - ((q & (q - 1)) == 0 ? 1 : 0);  // of n * mul16
        const int second = shift - 11;                                // of the second product
        t->bias16[i] = static_cast<uint16_t>(4 * q);
        t->mul16[i] = static_cast<uint16_t>(((1u << shift) + q - 1) / q);
        t->scale16[i] = static_cast<uint16_t>(1u << (16 - second));
    }
}

uint8_t JpegIdctDcValue(int16_t dc, uint16_t quant) {
    // Both passes of Idct1d with one input: (in << 13) + bias, shifted down.
    const uint32_t in = static_cast<uint32_t>(int32_t{dc} * int32_t{quant});
    const int32_t col = static_cast<int32_t>((in << kConstBits) + kIdctBias1) >> kIdctShift1;
    const uint32_t row = (static_cast<uint32_t>(col) << kConstBits) + kIdctBias2;
    return Clamp255(static_cast<int32_t>(row) >> kIdctShift2);
}

const JpegKernels& JpegPlainKernels() {
    return kPlain;
}

const JpegKernels* const* JpegRunnableKernels(size_t* count) {
    const RunnableList& list = Runnable();
    *count = list.count;
    return list.table;
}

const JpegKernels& JpegActiveKernels() {
    static const JpegKernels* const active = ChooseActive();
    return *active;
}

void JpegIdctReference(const int16_t* coef, const uint16_t* quant, uint8_t* out, size_t stride) {
    InverseDctPlain(coef, quant, out, stride);
}

void JpegIdctFast(const int16_t* coef, const uint16_t* quant, uint8_t* out, size_t stride) {
    size_t count = 0;
    const JpegKernels* const* list = JpegRunnableKernels(&count);
    list[count - 1]->inverseDct(coef, quant, out, stride);
}
