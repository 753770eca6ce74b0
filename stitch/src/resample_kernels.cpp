#include "resample_kernels.h"

#include <cstdlib>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define ORBIVUE_STITCH_AVX2 1
#endif

namespace {

inline uint8_t Blend(const LumaPlane& s, const DualEntry& e) {
    return static_cast<uint8_t>(BlendLuma(s.y, s.stride, e));
}

#if defined(ORBIVUE_STITCH_AVX2)
// Eight samples at a time: the entries' positions become offsets, two
// gathers fetch four bytes at each position and the row below, and the same
// integer arithmetic as the plain form blends them. A gather reads two bytes
// past the pair it needs, so positions within two samples of the plane's
// last row end take the plain form.
__attribute__((target("avx2"))) void LumaRunAvx2(const LumaPlane& src, const DualEntry* e, int n,
                                                 uint8_t* out) {
    const __m256i stride = _mm256_set1_epi32(static_cast<int>(src.stride));
    const __m256i lastX = _mm256_set1_epi32(src.w - 4);  // x beyond: reads past the row end
    const __m256i lastY = _mm256_set1_epi32(src.h - 3);  // y beyond: the row below is the last
    // Per dword: bytes 0 and 1 of the gathered samples, and the weights at bytes 2 and 3.
    const __m256i samples =
        _mm256_setr_epi8(0, -1, 1, -1, 4, -1, 5, -1, 8, -1, 9, -1, 12, -1, 13, -1, 0, -1, 1, -1, 4,
                         -1, 5, -1, 8, -1, 9, -1, 12, -1, 13, -1);
    const __m256i weights =
        _mm256_setr_epi8(2, -1, 3, -1, 6, -1, 7, -1, 10, -1, 11, -1, 14, -1, 15, -1, 2, -1, 3, -1,
                         6, -1, 7, -1, 10, -1, 11, -1, 14, -1, 15, -1);
    const __m256i byteMask = _mm256_set1_epi32(0xFF);
    const __m256i half = _mm256_set1_epi32(32768);
    const int* base = reinterpret_cast<const int*>(src.y);
    int k = 0;
    for (; k + 8 <= n; k += 8) {
        // The source rows a run crosses are rarely in the cache yet (a frame
        // just decoded): ask for the samples of the entries a few groups ahead.
        if (k + 40 < n) {
            const DualEntry& f = e[k + 40];
            const uint8_t* p =
                src.y + static_cast<ptrdiff_t>(f.y) * static_cast<ptrdiff_t>(src.stride) + f.x;
            __builtin_prefetch(p);
            __builtin_prefetch(p + src.stride);
        }
        const __m256 a =
            _mm256_castsi256_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(e + k)));
        const __m256 b =
            _mm256_castsi256_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(e + k + 4)));
        // Even dwords (x and the horizontal weights) and odd ones (y and the
        // vertical weights) of the eight entries, back in entry order.
        const __m256i xw = _mm256_permute4x64_epi64(
            _mm256_castps_si256(_mm256_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0))), 0xD8);
        const __m256i yw = _mm256_permute4x64_epi64(
            _mm256_castps_si256(_mm256_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1))), 0xD8);
        const __m256i x = _mm256_srai_epi32(_mm256_slli_epi32(xw, 16), 16);
        const __m256i y = _mm256_srai_epi32(_mm256_slli_epi32(yw, 16), 16);
        const __m256i risky =
            _mm256_and_si256(_mm256_cmpgt_epi32(x, lastX), _mm256_cmpgt_epi32(y, lastY));
        if (!_mm256_testz_si256(risky, risky)) {
            for (int j = 0; j < 8; ++j) out[k + j] = Blend(src, e[k + j]);
            continue;
        }
        const __m256i at = _mm256_add_epi32(x, _mm256_mullo_epi32(y, stride));
        const __m256i up = _mm256_i32gather_epi32(base, at, 1);
        const __m256i down = _mm256_i32gather_epi32(base, _mm256_add_epi32(at, stride), 1);
        // Words (left, right) of the samples and of the weights in every dword.
        const __m256i wh = _mm256_shuffle_epi8(xw, weights);
        const __m256i top = _mm256_madd_epi16(_mm256_shuffle_epi8(up, samples), wh);
        const __m256i bottom = _mm256_madd_epi16(_mm256_shuffle_epi8(down, samples), wh);
        const __m256i wUp = _mm256_and_si256(_mm256_srli_epi32(yw, 16), byteMask);
        const __m256i wDown = _mm256_srli_epi32(yw, 24);
        const __m256i sum = _mm256_add_epi32(
            _mm256_add_epi32(_mm256_mullo_epi32(top, wUp), _mm256_mullo_epi32(bottom, wDown)),
            half);
        const __m256i v = _mm256_srli_epi32(sum, 16);  // 0..255
        const __m256i words = _mm256_packus_epi32(v, v);
        const __m256i bytes = _mm256_packus_epi16(words, words);
        const uint32_t lo = static_cast<uint32_t>(_mm256_cvtsi256_si32(bytes));
        const uint32_t hi =
            static_cast<uint32_t>(_mm256_cvtsi256_si32(_mm256_permute4x64_epi64(bytes, 2)));
        std::memcpy(out + k, &lo, 4);
        std::memcpy(out + k + 4, &hi, 4);
    }
    for (; k < n; ++k) out[k] = Blend(src, e[k]);
}
#endif

LumaRunFn ChooseLumaRun() {
    const char* plain = std::getenv("ORBIVUE_STITCH_PLAIN");
    if (plain != nullptr && plain[0] != '\0' && std::strcmp(plain, "0") != 0) return &LumaRunPlain;
    const LumaRunFn avx2 = Avx2LumaRun();
    return avx2 != nullptr ? avx2 : &LumaRunPlain;
}

}  // namespace

void LumaRunPlain(const LumaPlane& src, const DualEntry* e, int n, uint8_t* out) {
    for (int k = 0; k < n; ++k) out[k] = Blend(src, e[k]);
}

LumaRunFn Avx2LumaRun() {
#if defined(ORBIVUE_STITCH_AVX2)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return &LumaRunAvx2;
#endif
    return nullptr;
}

LumaRunFn ActiveLumaRun() {
    static const LumaRunFn run = ChooseLumaRun();
    return run;
}
