// Stitching a camera photo into an equirectangular JPEG: decode to planar
// 4:2:0 while the other cores build the remap table (one entry per pixel, from
// polynomial lens angles checked against the exact ones), then resample with
// integer arithmetic and 8-bit weights on every core, and encode.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "calib/trailer.h"
#include "jpeg/jpeg.h"
#include "lens/geometry.h"
#include "platform/bytes.h"
#include "platform/memory.h"
#include "platform/worker_pool.h"
#include "resample_kernels.h"
#include "stitch/stitch.h"

using namespace platform;

namespace {

constexpr double kPi = 3.14159265358979323846;

// A planar 4:2:0 picture of even width; the planes point into one block. A
// single-lens output may have an odd height: its chroma planes have the
// rounded-up half of it as rows.
struct Planes {
    int w = 0, h = 0;
    size_t ys = 0, cs = 0;  // row strides of the luma and chroma planes
    uint8_t* y = nullptr;
    uint8_t* cb = nullptr;
    uint8_t* cr = nullptr;
    size_t CStride() const { return cs; }
    size_t CRows() const { return static_cast<size_t>((h + 1) / 2); }
    size_t CSize() const { return static_cast<size_t>(w / 2) * CRows(); }
    // Positions are never negative, so the halving is a plain shift.
    size_t ChromaAt(int x, int yy) const {
        return (static_cast<size_t>(static_cast<unsigned>(yy)) >> 1) * CStride() +
               (static_cast<size_t>(static_cast<unsigned>(x)) >> 1);
    }
};

// Runs body(first, last) over [0, count) in contiguous slices on the shared
// worker pool; short loops stay on the calling thread.
template <typename Body>
void ParallelRanges(int count, const Body& body) {
    platform::WorkerPool::Shared().ParallelFor(count, 32, body);
}

// Limits to [0, upper], upper bound first; NaN becomes 0.
double Limit(double v, double upper) {
    if (v >= upper) v = upper;
    if (!(v >= 0.0)) v = 0.0;
    return v;
}

int MakeEven(int v) {
    return (v % 2 != 0) ? v - 1 : v;
}

// x and y are within [0, 32767) here; roundWeights adds the half before truncation.
inline __attribute__((always_inline)) DualEntry MakeEntry(double x, double y, bool roundWeights) {
    const int ix = static_cast<int>(x);
    const int iy = static_cast<int>(y);
    const double half = roundWeights ? 0.5 : 0.0;
    const int fx = std::min(255, static_cast<int>((x - ix) * 255.0 + half));
    const int fy = std::min(255, static_cast<int>((y - iy) * 255.0 + half));
    return DualEntry{static_cast<int16_t>(ix),       static_cast<uint8_t>(255 - fx),
                     static_cast<uint8_t>(fx),       static_cast<int16_t>(iy),
                     static_cast<uint8_t>(255 - fy), static_cast<uint8_t>(fy)};
}

// Clears output row i where no lens sees: luma 0, and its chroma row 128.
void ClearRow(Planes* out, int i) {
    std::memset(out->y + static_cast<size_t>(i) * out->ys, 0, static_cast<size_t>(out->w));
    if ((i & 1) == 0) {
        const size_t c = static_cast<size_t>(i / 2) * out->cs;
        std::memset(out->cb + c, 128, static_cast<size_t>(out->w / 2));
        std::memset(out->cr + c, 128, static_cast<size_t>(out->w / 2));
    }
}

// Bilinear luma through a dual-lens entry (weights sum to 255 each way).
inline int DualLuma(const Planes& s, const DualEntry& e) {
    return BlendLuma(s.y, s.ys, e);
}

// --- Dual lens ------------------------------------------------------------------

// Which geometry the tables are built with; read once per build.
std::atomic<int> g_geometry{kStitchGeometryFast};

// The remap tables of both lenses: rows x cols entries each.
// Owns a large block of T, in huge pages where the system offers them.
template <typename T>
struct LargeArray {
    T* p = nullptr;
    size_t bytes = 0;
    LargeArray() = default;
    LargeArray(const LargeArray&) = delete;
    LargeArray& operator=(const LargeArray&) = delete;
    ~LargeArray() { platform::FreeLarge(p, bytes); }
    bool Allocate(size_t n) {
        platform::FreeLarge(p, bytes);
        bytes = n * sizeof(T);
        p = static_cast<T*>(platform::AllocateLarge(bytes));
        return p != nullptr;
    }
    T& operator[](size_t i) const { return p[i]; }
    T* get() const { return p; }
};

// Tables are touched row by row, often only in part (a photo's), so they
// take ordinary pages; only whole pictures take huge ones.
template <typename T>
struct TableArray {
    std::unique_ptr<T[]> p;
    bool Allocate(size_t n) {
        p.reset(new (std::nothrow) T[n]);
        return p != nullptr;
    }
    T& operator[](size_t i) const { return p[i]; }
    T* get() const { return p.get(); }
};

struct DualTables {
    TableArray<DualEntry> lens[2];  // filled by the builder, not cleared first
    int rows = 0, cols = 0;
    const DualEntry* At(int l, int r, int c) const {
        return &lens[l][static_cast<size_t>(r) * cols + c];
    }
};

#if defined(__x86_64__) && defined(__GNUC__)
#define STITCH_AVX2 __attribute__((target("avx2"), always_inline)) inline

// Limit in four lanes: the upper bound first, then anything not at least 0
// (NaN) to 0.
STITCH_AVX2 __m256d LimitAvx2(__m256d upper, __m256d x) {
    x = _mm256_blendv_pd(x, upper, _mm256_cmp_pd(x, upper, _CMP_GE_OQ));
    const __m256d zero = _mm256_setzero_pd();
    return _mm256_blendv_pd(zero, x, _mm256_cmp_pd(x, zero, _CMP_GE_OQ));
}

// MakeEntry with rounded weights in four lanes: each entry's eight bytes as
// the dwords lo (x and the horizontal weights) and hi (y and the vertical ones).
STITCH_AVX2 void EntriesAvx2(__m256d x, __m256d y, __m128i* lo, __m128i* hi) {
    const __m128i ix = _mm256_cvttpd_epi32(x);
    const __m128i iy = _mm256_cvttpd_epi32(y);
    const __m256d k255 = _mm256_set1_pd(255.0);
    const __m256d half = _mm256_set1_pd(0.5);
    const __m128i max = _mm_set1_epi32(255);
    const __m128i fx = _mm_min_epi32(
        max, _mm256_cvttpd_epi32(_mm256_add_pd(
                 _mm256_mul_pd(_mm256_sub_pd(x, _mm256_cvtepi32_pd(ix)), k255), half)));
    const __m128i fy = _mm_min_epi32(
        max, _mm256_cvttpd_epi32(_mm256_add_pd(
                 _mm256_mul_pd(_mm256_sub_pd(y, _mm256_cvtepi32_pd(iy)), k255), half)));
    const __m128i low16 = _mm_set1_epi32(0xFFFF);
    *lo = _mm_or_si128(
        _mm_and_si128(ix, low16),
        _mm_or_si128(_mm_slli_epi32(_mm_sub_epi32(max, fx), 16), _mm_slli_epi32(fx, 24)));
    *hi = _mm_or_si128(
        _mm_and_si128(iy, low16),
        _mm_or_si128(_mm_slli_epi32(_mm_sub_epi32(max, fy), 16), _mm_slli_epi32(fy, 24)));
}
#endif

// Rotations 0 and 180: each lens's map area is ho rows by fw columns; both
// lenses see (lambda, beta) of their own map the same way. Makes the table
// rows of both lenses for one output row; rotation 180 is the table turned
// half a turn.
class DualUprightRows {
  public:
    DualUprightRows(const DualPhotoGeometry& g, int fw, bool reverse, bool exact)
        : m_g(g),
          m_fw(fw),
          m_reverse(reverse),
          m_exact(exact),
          m_a(kPi / g.ho),
          m_maxXY(g.wo / 2 - 2),
          m_cosL(static_cast<size_t>(fw)),
          m_sinL(static_cast<size_t>(fw)) {
        for (int j = 0; j < fw; ++j) {
            const double lambda = -fw * m_a / 2 + j * m_a;
            m_cosL[j] = std::cos(lambda);
            m_sinL[j] = std::sin(lambda);
        }
    }
    int Rows() const { return m_g.ho; }
    int Cols() const { return m_fw; }

    // The output row whose directions mirror row i's across the equator
    // (rotation 180 turns the table, so the mirror moves by one), or -1.
    int Mirror(int i) const {
        const int m = m_reverse ? m_g.ho - 2 - i : m_g.ho - i;
        return m >= 0 && m < m_g.ho ? m : -1;
    }

    // Output row i into lens0 and lens1 and, when mirror is not null, the
    // output row Mirror(i) into mirror0 and mirror1.
    void Make(int i, DualEntry* lens0, DualEntry* lens1, DualEntry* mirror0 = nullptr,
              DualEntry* mirror1 = nullptr) const {
        const int row = m_reverse ? m_g.ho - 1 - i : i;
        const int other = mirror0 != nullptr ? m_g.ho - row : -1;
        if (m_exact) {
            MakeExact(row, lens0, lens1);
            if (other >= 0) MakeExact(other, mirror0, mirror1);
        } else {
            MakeFast(row, lens0, lens1, other >= 0 ? mirror0 : nullptr, mirror1);
        }
        if (m_reverse) {
            std::reverse(lens0, lens0 + m_fw);
            std::reverse(lens1, lens1 + m_fw);
            if (other >= 0) {
                std::reverse(mirror0, mirror0 + m_fw);
                std::reverse(mirror1, mirror1 + m_fw);
            }
        }
    }

  private:
    inline __attribute__((always_inline)) void Store(int l, double x, double y,
                                                     DualEntry* e) const {
        x = Limit(x, m_maxXY);
        y = Limit(y, m_maxXY);
        if (l == 1) x += m_g.wo / 2;
        *e = MakeEntry(x, y, true);
    }

    // The reference: library trigonometry for every pixel.
    void MakeExact(int i, DualEntry* lens0, DualEntry* lens1) const {
        const DualPhotoGeometry& g = m_g;
        const double beta = kPi - i * m_a;
        const double cosB = std::cos(beta), sinB = std::sin(beta);
        for (int j = 0; j < m_fw; ++j) {
            double theta, phi;
            DirectionToLensAnglesFrom(m_cosL[j], m_sinL[j], cosB, sinB, &theta, &phi);
            // Both lenses see the same (theta, phi) in their own frames, so
            // the image height, the profile column and the direction's
            // cosine and sine serve both unless the seam warp moves it.
            const double h = LensImageHeight(theta, *g.model, 1.0);
            const double v = g.profile[static_cast<size_t>(ProfileColumn(g, phi))];
            const double c = std::cos(phi), sn = std::sin(phi);
            Store(0, g.cx1 + h * g.kScale1 * v * c, g.cy1 + h * g.kScale1 * v * sn, &lens0[j]);
            double x, y;
            if (g.warp.n > 0) {
                DualLensProject(g, 1, theta, phi, &x, &y);
            } else {
                x = g.cx2 + h * g.kScale2 * v * c;
                y = g.cy2 + h * g.kScale2 * v * sn;
            }
            Store(1, x, y, &lens1[j]);
        }
    }

    // One direction seen by both lenses: its entries from the lens angles.
    inline __attribute__((always_inline)) void Emit(double theta, double phi, double cosPhi,
                                                    double sinPhi, double h, int column,
                                                    double cosB, double sinB, DualEntry* e0,
                                                    DualEntry* e1) const {
        const DualPhotoGeometry& g = m_g;
        // The azimuth is in [-pi, pi), so kf is positive and truncation floors it.
        const double kf = (phi + kPi) * m_perColumn + 0.5;
        const int kt = kf >= 0.0 && kf < 1e9 ? static_cast<int>(kf) : 0;
        const double frac = kf - kt;
        int k;
        // Near a profile column boundary, or the azimuth's wrap, the
        // reference's own angles decide; elsewhere the approximate azimuth
        // gives the same column.
        if (__builtin_expect(
                frac < m_margin || frac > 1.0 - m_margin || std::fabs(phi) > kPi - 1e-6, 0)) {
            DirectionToLensAnglesFrom(m_cosL[column], m_sinL[column], cosB, sinB, &theta, &phi);
            k = ProfileColumn(g, phi);
        } else {
            k = kt > g.wo - 1 ? g.wo - 1 : kt;
        }
        const double v = g.profile[static_cast<size_t>(k)];
        const double k1 = h * g.kScale1 * v;
        Store(0, g.cx1 + k1 * cosPhi, g.cy1 + k1 * sinPhi, e0);
        double x, y;
        if (g.warp.n > 0) {
            DualLensProject(g, 1, theta, phi, &x, &y);
        } else {
            const double k2 = h * g.kScale2 * v;
            x = g.cx2 + k2 * cosPhi;
            y = g.cy2 + k2 * sinPhi;
        }
        Store(1, x, y, e1);
    }

    // The same within 1e-4 pixel: the azimuth's cosine and sine from the
    // direction, theta and the azimuth by polynomials of known error, and
    // the profile column always the reference's. Directions mirrored across
    // the lens's meridian (column fw - j) and across the equator (row
    // ho - i) share theta and the image height and turn the azimuth, so one
    // evaluation serves up to four pixels.
    void MakeFast(int i, DualEntry* lens0, DualEntry* lens1, DualEntry* mirror0,
                  DualEntry* mirror1) const {
        const int fw = m_fw;
        const double beta = kPi - i * m_a;
        const double cosB = std::cos(beta), sinB = std::sin(beta);
        for (int j = fw / 2; j < fw; ++j) {
            LensDirection d;
            FastDirectionToLens(m_cosL[j], m_sinL[j], cosB, sinB, &d);
            const double h = LensImageHeight(d.theta, *m_g.model, 1.0);
            const double t = d.theta, c = d.cosPhi, sn = d.sinPhi;
            const int jm = fw - j;  // lambda turned to -lambda
            const bool pair = jm < fw && jm != j;
            if (pair && mirror0 != nullptr && m_four != nullptr) {
                // The four mirrored directions in vector lanes; false when one
                // of them needs the exact azimuth.
                const double phis[4] = {d.phi, Wrap(kPi - d.phi), Wrap(-d.phi), Wrap(d.phi - kPi)};
                DualEntry* const at[8] = {&lens0[j],   &lens1[j],   &lens0[jm],   &lens1[jm],
                                          &mirror0[j], &mirror1[j], &mirror0[jm], &mirror1[jm]};
                if (m_four(*this, phis, c, sn, h, at)) continue;
            }
            Emit(t, d.phi, c, sn, h, j, cosB, sinB, &lens0[j], &lens1[j]);
            if (pair) Emit(t, Wrap(kPi - d.phi), -c, sn, h, jm, cosB, sinB, &lens0[jm], &lens1[jm]);
            if (mirror0 == nullptr) continue;
            // beta turned to pi - beta: the azimuth's sine and the azimuth negated.
            Emit(t, Wrap(-d.phi), c, -sn, h, j, -cosB, sinB, &mirror0[j], &mirror1[j]);
            if (pair) {
                Emit(t, Wrap(d.phi - kPi), -c, -sn, h, jm, -cosB, sinB, &mirror0[jm], &mirror1[jm]);
            }
        }
        // Column 0 has no mirror within the map.
        for (int r = 0; r < (mirror0 != nullptr ? 2 : 1); ++r) {
            const double cb = r == 0 ? cosB : -cosB;
            LensDirection d;
            FastDirectionToLens(m_cosL[0], m_sinL[0], cb, sinB, &d);
            const double h = LensImageHeight(d.theta, *m_g.model, 1.0);
            Emit(d.theta, d.phi, d.cosPhi, d.sinPhi, h, 0, cb, sinB,
                 r == 0 ? &lens0[0] : &mirror0[0], r == 0 ? &lens1[0] : &mirror1[0]);
        }
    }

    // Entries of four directions that share theta and the azimuth's cosine
    // and sine up to sign: (+c, +s), (-c, +s), (+c, -s), (-c, -s) with the
    // azimuths phi[0..3], written to at[2k] (first lens) and at[2k + 1].
    // The same arithmetic as Emit, so the same bytes. False, writing nothing,
    // when an azimuth lies near a profile column boundary or the wrap.
    using FourFn = bool (*)(const DualUprightRows& rows, const double* phi, double c, double s,
                            double h, DualEntry* const* at);
#if defined(__x86_64__) && defined(__GNUC__)
    __attribute__((target("avx2"))) static bool FourAvx2(const DualUprightRows& rows,
                                                         const double* phi, double c, double s,
                                                         double h, DualEntry* const* at) {
        const DualPhotoGeometry& g = rows.m_g;
        const __m256d ph = _mm256_loadu_pd(phi);
        const __m256d kf = _mm256_add_pd(
            _mm256_mul_pd(_mm256_add_pd(ph, _mm256_set1_pd(kPi)), _mm256_set1_pd(rows.m_perColumn)),
            _mm256_set1_pd(0.5));
        // kf is positive and below 2 ho + 1 here, so truncation floors it.
        const __m128i kt = _mm256_cvttpd_epi32(kf);
        const __m256d frac = _mm256_sub_pd(kf, _mm256_cvtepi32_pd(kt));
        const __m256d margin = _mm256_set1_pd(rows.m_margin);
        const __m256d absPhi = _mm256_andnot_pd(_mm256_set1_pd(-0.0), ph);
        const __m256d near = _mm256_or_pd(
            _mm256_or_pd(
                _mm256_cmp_pd(frac, margin, _CMP_LT_OQ),
                _mm256_cmp_pd(frac, _mm256_sub_pd(_mm256_set1_pd(1.0), margin), _CMP_GT_OQ)),
            _mm256_cmp_pd(absPhi, _mm256_set1_pd(kPi - 1e-6), _CMP_GT_OQ));
        if (_mm256_movemask_pd(near) != 0) return false;
        const __m128i k = _mm_min_epi32(kt, _mm_set1_epi32(g.wo - 1));
        const __m256d v = _mm256_cvtps_pd(_mm_i32gather_ps(g.profile.data(), k, 4));
        const __m256d cosv = _mm256_mul_pd(_mm256_set1_pd(c), _mm256_setr_pd(1, -1, 1, -1));
        const __m256d sinv = _mm256_mul_pd(_mm256_set1_pd(s), _mm256_setr_pd(1, 1, -1, -1));
        const __m256d upper = _mm256_set1_pd(rows.m_maxXY);
        const __m256d hv = _mm256_set1_pd(h);
        const __m256d k1 = _mm256_mul_pd(_mm256_mul_pd(hv, _mm256_set1_pd(g.kScale1)), v);
        const __m256d k2 = _mm256_mul_pd(_mm256_mul_pd(hv, _mm256_set1_pd(g.kScale2)), v);
        const __m256d x0 =
            LimitAvx2(upper, _mm256_add_pd(_mm256_set1_pd(g.cx1), _mm256_mul_pd(k1, cosv)));
        const __m256d y0 =
            LimitAvx2(upper, _mm256_add_pd(_mm256_set1_pd(g.cy1), _mm256_mul_pd(k1, sinv)));
        const __m256d x1 = _mm256_add_pd(
            LimitAvx2(upper, _mm256_add_pd(_mm256_set1_pd(g.cx2), _mm256_mul_pd(k2, cosv))),
            _mm256_set1_pd(g.wo / 2));
        const __m256d y1 =
            LimitAvx2(upper, _mm256_add_pd(_mm256_set1_pd(g.cy2), _mm256_mul_pd(k2, sinv)));
        __m128i lo[2], hi[2];
        EntriesAvx2(x0, y0, &lo[0], &hi[0]);
        EntriesAvx2(x1, y1, &lo[1], &hi[1]);
        alignas(16) uint32_t words[2][2][4];
        for (int l = 0; l < 2; ++l) {
            _mm_store_si128(reinterpret_cast<__m128i*>(words[l][0]), lo[l]);
            _mm_store_si128(reinterpret_cast<__m128i*>(words[l][1]), hi[l]);
        }
        for (int lane = 0; lane < 4; ++lane) {
            for (int l = 0; l < 2; ++l) {
                const uint32_t pair[2] = {words[l][0][lane], words[l][1][lane]};
                std::memcpy(at[2 * lane + l], pair, sizeof pair);
            }
        }
        return true;
    }
#endif

    static FourFn ChooseFour(bool exact, const DualPhotoGeometry& g) {
#if defined(__x86_64__) && defined(__GNUC__)
        const char* plain = std::getenv("ORBIVUE_STITCH_PLAIN");
        const bool forced = plain != nullptr && plain[0] != '\0' && std::strcmp(plain, "0") != 0;
        __builtin_cpu_init();
        if (!exact && g.warp.n == 0 && !forced && g_geometry.load() != kStitchGeometryFastScalar &&
            __builtin_cpu_supports("avx2")) {
            return &FourAvx2;
        }
#else
        (void)exact;
        (void)g;
#endif
        return nullptr;
    }

    static double Wrap(double phi) {
        if (phi >= kPi) return phi - 2.0 * kPi;
        if (phi < -kPi) return phi + 2.0 * kPi;
        return phi;
    }

    const DualPhotoGeometry& m_g;
    int m_fw;
    bool m_reverse, m_exact;
    double m_a, m_maxXY;
    // How close to a profile column boundary the approximate azimuth may come
    // (in columns) before the exact one is taken: its error, 3e-8 rad, with room.
    double m_margin = 1e-6 + 1e-7 * m_g.ho;
    double m_perColumn = m_g.ho / kPi;
    FourFn m_four = ChooseFour(m_exact, m_g);  // null: one direction at a time
    std::vector<double> m_cosL, m_sinL;
};

// Rotations 90 and 270: fh rows of wo entries per lens; the lens axes at the
// top and bottom edges, the seam profile indexed by the column. Theta depends
// on the row only and the azimuth on the column only, so their cosines and
// sines are taken once per column.
class DualSidewaysRows {
  public:
    DualSidewaysRows(const DualPhotoGeometry& g, int fh, bool reverse)
        : m_g(g), m_fh(fh), m_reverse(reverse), m_a2(2.0 * kPi / g.wo), m_maxXY(g.wo / 2 - 2) {
        for (int l = 0; l < 2; ++l) {
            m_cos[l].resize(static_cast<size_t>(g.wo));
            m_sin[l].resize(static_cast<size_t>(g.wo));
            for (int j = 0; j < g.wo; ++j) {
                const double phi = l == 0 ? -j * m_a2 : -kPi + j * m_a2;
                m_cos[l][j] = std::cos(phi);
                m_sin[l][j] = std::sin(phi);
            }
        }
    }
    int Rows() const { return m_fh; }
    int Cols() const { return m_g.wo; }

    void Make(int l, int r, DualEntry* out) const {
        const DualPhotoGeometry& g = m_g;
        const int wo = g.wo, ho = g.ho;
        const int row = m_reverse ? m_fh - 1 - r : r;
        const double theta0 = l == 0 ? row * m_a2 : kPi - (ho - m_fh + row) * m_a2;
        const double rhoBase0 = LensImageHeight(theta0, *g.model, l == 0 ? g.kScale1 : g.kScale2);
        const int cx = l == 0 ? g.cx1 : g.cx2, cy = l == 0 ? g.cy1 : g.cy2;
        for (int j = 0; j < wo; ++j) {
            const double v = g.profile[static_cast<size_t>(j)];
            double x, y;
            float tw, pw;
            const double phi = l == 0 ? -j * m_a2 : -kPi + j * m_a2;
            if (l == 1 && g.warp.n > 0 &&
                ApplySeamWarp(g.warp, static_cast<float>(theta0), static_cast<float>(phi), &tw,
                              &pw)) {
                const double rho = LensImageHeight(double{tw}, *g.model, g.kScale2) * v;
                x = cx + rho * std::cos(double{pw});
                y = cy + rho * std::sin(double{pw});
            } else {
                const double rho = rhoBase0 * v;
                x = cx + rho * m_cos[l][j];
                y = cy + rho * m_sin[l][j];
            }
            x = Limit(x, m_maxXY);
            y = Limit(y, m_maxXY);
            if (l == 1) x += wo / 2;
            out[j] = MakeEntry(x, y, false);
        }
        if (m_reverse) std::reverse(out, out + wo);
    }

  private:
    const DualPhotoGeometry& m_g;
    int m_fh;
    bool m_reverse;
    double m_a2, m_maxXY;
    std::vector<double> m_cos[2], m_sin[2];
};

// The rows of an upright map in an order that puts each row beside its
// mirror row: each unit is a row and, when it has one, its mirror.
std::vector<std::pair<int, int>> MirrorUnits(const DualUprightRows& rows, int count) {
    std::vector<std::pair<int, int>> units;
    units.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        int m = rows.Mirror(i);
        if (m >= count || m == i) m = -1;
        if (m >= 0 && m < i) continue;
        units.emplace_back(i, m);
    }
    return units;
}

// Rotations 0 and 180: the first lens fills the middle, the second lens the
// left and right quarters, blended across bands centred on the two seams.
class UprightResampler {
  public:
    UprightResampler(const Planes& src, int fw, Planes* out) : m_src(src), m_out(out) {
        const int ho = out->h, wo = out->w;
        const int h = std::max(0, std::min(fw - ho, 48)) / 2;
        const int s1 = ho / 2, s2 = 3 * ho / 2;
        const int off1 = fw / 2 - ho, off2l = fw / 2, off2r = fw / 2 - 2 * ho;
        const Span spans[5] = {
            {0, s1 - h, 1, off2l, -1, 0, 0, 0},     {s1 - h, s1 + h, 1, off2l, 0, off1, 0, 0},
            {s1 + h, s2 - h, 0, off1, -1, 0, 0, 0}, {s2 - h, s2 + h, 0, off1, 1, off2r, 0, 0},
            {s2 + h, wo, 1, off2r, -1, 0, 0, 0},
        };
        // Ramp weights across a band: position b, and the even position for chroma.
        m_ramp.resize(static_cast<size_t>(std::max(2 * h, 1)));
        for (int b = 0; b < 2 * h; ++b) m_ramp[b] = b * 255 / (2 * h);
        // Only the output columns whose map columns exist for every lens read;
        // whether the spans then write every column of a row, else each row
        // is cleared first.
        int covered = 0, reach = 0;
        for (Span sp : spans) {
            sp.lo = std::max(sp.c0, -sp.offA);
            sp.hi = std::min(sp.c1, fw - sp.offA);
            if (sp.lensB >= 0) {
                sp.lo = std::max(sp.lo, -sp.offB);
                sp.hi = std::min(sp.hi, fw - sp.offB);
            }
            if (sp.lo >= sp.hi) continue;
            m_whole = m_whole && sp.lo == reach;
            reach = sp.hi;
            covered += sp.hi - sp.lo;
            m_spans[m_count++] = sp;
        }
        m_whole = m_whole && covered == wo && reach == wo;
    }

    // Output row i from the table rows of both lenses.
    void Row(int i, const DualEntry* lens0, const DualEntry* lens1) const {
        const Planes& src = m_src;
        Planes* out = m_out;
        if (!m_whole) ClearRow(out, i);
        uint8_t* yRow = out->y + static_cast<size_t>(i) * out->ys;
        const bool chromaRow = (i & 1) == 0;
        uint8_t* cbRow = out->cb + static_cast<size_t>(i / 2) * out->CStride();
        uint8_t* crRow = out->cr + static_cast<size_t>(i / 2) * out->CStride();
        for (int k = 0; k < m_count; ++k) {
            const Span& sp = m_spans[k];
            const int c0 = sp.lo, c1 = sp.hi;
            const DualEntry* rowA = (sp.lensA == 0 ? lens0 : lens1) + sp.offA;
            if (sp.lensB < 0) {
                m_lumaRun(m_luma, rowA + c0, c1 - c0, yRow + c0);
                if (chromaRow) {
                    for (int c = c0 + (c0 & 1); c < c1; c += 2) {
                        const size_t sa = src.ChromaAt(rowA[c].x, rowA[c].y);
                        cbRow[c / 2] = src.cb[sa];
                        crRow[c / 2] = src.cr[sa];
                    }
                }
                continue;
            }
            const DualEntry* rowB = (sp.lensB == 0 ? lens0 : lens1) + sp.offB;
            for (int c = c0; c < c1; ++c) {
                const int w1 = m_ramp[c - sp.c0];
                const int luma = DualLuma(src, rowA[c]) * (255 - w1) + DualLuma(src, rowB[c]) * w1;
                yRow[c] = static_cast<uint8_t>((luma + 128) >> 8);
            }
            if (chromaRow) {
                for (int c = c0 + (c0 & 1); c < c1; c += 2) {
                    const int b = c - sp.c0;
                    const int w1 = m_ramp[b - (b & 1)];
                    const size_t sa = src.ChromaAt(rowA[c].x, rowA[c].y);
                    const size_t sb = src.ChromaAt(rowB[c].x, rowB[c].y);
                    cbRow[c / 2] = static_cast<uint8_t>(
                        (src.cb[sa] * (255 - w1) + src.cb[sb] * w1 + 128) >> 8);
                    crRow[c / 2] = static_cast<uint8_t>(
                        (src.cr[sa] * (255 - w1) + src.cr[sb] * w1 + 128) >> 8);
                }
            }
        }
    }

    // The rows written by Row: an odd last row stays clear.
    int Rows() const { return m_out->h / 2 * 2; }
    void ClearTail() const {
        for (int i = Rows(); i < m_out->h; ++i) ClearRow(m_out, i);
    }

  private:
    // Five column spans; in each, map column = output column + offset. A blend
    // span reads a second lens too and ramps from the first to the second.
    struct Span {
        int c0, c1;
        int lensA, offA;
        int lensB, offB;  // lensB < 0: no blend
        int lo, hi;       // the columns written
    };
    const Planes& m_src;
    Planes* m_out;
    LumaPlane m_luma{m_src.y, m_src.ys, m_src.w, m_src.h};
    LumaRunFn m_lumaRun = ActiveLumaRun();
    std::vector<int> m_ramp;
    Span m_spans[5];
    int m_count = 0;
    bool m_whole = true;
};

// Rotations 0 and 180 from built tables.
void ResampleDualUpright(const Planes& src, const DualTables& t, Planes* out) {
    const UprightResampler resampler(src, t.cols, out);
    resampler.ClearTail();
    ParallelRanges(resampler.Rows(), [&](int first, int last) {
        for (int i = first; i < last; ++i) resampler.Row(i, t.At(0, i, 0), t.At(1, i, 0));
    });
}
// Rotations 90 and 270: one lens fills the upper rows, the other the lower,
// blended across a band of rows at the middle.
void ResampleDualSideways(const Planes& src, const DualTables& t, int upperLens, Planes* out) {
    const int ho = out->h, wo = out->w, fh = t.rows;
    const int lowerLens = 1 - upperLens;
    int e = std::max(0, std::min(2 * fh - ho, 48));
    e = MakeEven(e);
    const int bandStart = ho / 2 - e / 2, bandEnd = ho / 2 + e / 2;
    ParallelRanges(ho / 2, [&](int first, int last) {
        for (int i = first * 2; i < last * 2; ++i) {
            const int upperRow = i;            // upper lens continues its rows
            const int lowerRow = i - ho + fh;  // lower lens ends at its last row
            const bool inBand = i >= bandStart && i < bandEnd;
            int lens, row, wu = 255, wuEven = 255;
            if (inBand) {
                const int k = i - bandStart;
                wu = (e - k) * 255 / e;
                wuEven = (e - (k - (k & 1))) * 255 / e;
                lens = upperLens;
                row = upperRow;
            } else if (i < bandStart) {
                lens = upperLens;
                row = upperRow;
            } else {
                lens = lowerLens;
                row = lowerRow;
            }
            if ((row < 0 || row >= fh) || (inBand && (lowerRow < 0 || lowerRow >= fh))) {
                ClearRow(out, i);
                continue;
            }
            uint8_t* yRow = out->y + static_cast<size_t>(i) * out->ys;
            const DualEntry* rowA = t.At(lens, row, 0);
            const DualEntry* rowB = inBand ? t.At(lowerLens, lowerRow, 0) : nullptr;
            for (int c = 0; c < wo; ++c) {
                const DualEntry& ea = rowA[c];
                int luma = DualLuma(src, ea);
                const DualEntry* eb = inBand ? &rowB[c] : nullptr;
                if (eb != nullptr) luma = (luma * wu + DualLuma(src, *eb) * (255 - wu) + 128) >> 8;
                yRow[c] = static_cast<uint8_t>(luma);
                if ((i & 1) == 0 && (c & 1) == 0) {
                    const size_t o = out->ChromaAt(c, i);
                    const size_t sa = src.ChromaAt(ea.x, ea.y);
                    int cb = src.cb[sa], cr = src.cr[sa];
                    if (eb != nullptr) {
                        const size_t sb = src.ChromaAt(eb->x, eb->y);
                        cb = (cb * wuEven + src.cb[sb] * (255 - wuEven) + 128) >> 8;
                        cr = (cr * wuEven + src.cr[sb] * (255 - wuEven) + 128) >> 8;
                    }
                    out->cb[o] = static_cast<uint8_t>(cb);
                    out->cr[o] = static_cast<uint8_t>(cr);
                }
            }
        }
    });
    for (int i = ho / 2 * 2; i < ho; ++i) ClearRow(out, i);
}

// --- Single lens -----------------------------------------------------------------

constexpr int32_t kNoSource = -1;

// Table rows of the single-lens map: one (x * 256, y * 256) pair per output
// pixel, or (-1, -1) without source.
class SingleRows {
  public:
    SingleRows(const SinglePhotoGeometry& g, int rotation, int wd, int hd, int wo, int ho,
               bool exact)
        : m_g(g),
          m_rotation(rotation),
          m_wd(wd),
          m_hd(hd),
          m_wo(wo),
          m_exact(exact),
          m_q(static_cast<float>(2.0 * kPi / wo)),
          m_rowTheta(static_cast<size_t>(ho)),
          m_cos(static_cast<size_t>(wo)),
          m_sin(static_cast<size_t>(wo)) {
        // Rotation 0 accumulates the ring angle in single precision row by row.
        float acc = 0.0f;
        for (int i = 0; i < ho; ++i) {
            m_rowTheta[i] = acc;
            acc += m_q;
        }
        // Upright the column gives the azimuth, sideways the longitude.
        const double q = m_q;
        for (int j = 0; j < wo; ++j) {
            double angle;
            if (rotation == 0) {
                angle = 2.0 * kPi - j * q;
            } else if (rotation == 180) {
                angle = j * q;
            } else {
                angle = rotation == 90 ? -kPi + j * q : kPi - j * q;
            }
            m_cos[j] = std::cos(angle);
            m_sin[j] = std::sin(angle);
        }
    }
    int Cols() const { return m_wo; }

    void Make(int i, int32_t* row) const {
        std::fill(row, row + 2 * static_cast<size_t>(m_wo), kNoSource);
        if (m_rotation == 0 || m_rotation == 180) {
            const float theta = m_rotation == 0
                                    ? m_rowTheta[i]
                                    : static_cast<float>(kPi) - static_cast<float>(i) * m_q;
            const float rho = SingleLensPhotoHeight(m_g, theta);
            if (!(rho < static_cast<float>(m_g.r))) return;
            const double maxX = (m_wd - 1) * 256.0, maxY = (m_hd - 1) * 256.0;
            for (int j = 0; j < m_wo; ++j) {
                const double x = (m_g.cx + rho * m_cos[j]) * 256.0;
                const double y = (m_g.cy + rho * m_sin[j]) * 256.0;
                if (!(x >= 0.0 && x <= maxX && y >= 0.0 && y <= maxY)) continue;
                row[2 * j] = static_cast<int32_t>(x);
                row[2 * j + 1] = static_cast<int32_t>(y);
            }
            return;
        }
        const double beta = m_rotation == 90 ? kPi - i * double{m_q} : i * double{m_q};
        const double cosB = std::cos(beta), sinB = std::sin(beta);
        for (int j = 0; j < m_wo; ++j) {
            LensDirection d;
            if (m_exact) {
                DirectionToLensAnglesFrom(m_cos[j], m_sin[j], cosB, sinB, &d.theta, &d.phi);
                d.cosPhi = std::cos(d.phi);
                d.sinPhi = std::sin(d.phi);
            } else {
                FastDirectionToLens(m_cos[j], m_sin[j], cosB, sinB, &d);
            }
            const double rho = SingleLensPhotoHeight(m_g, static_cast<float>(d.theta));
            const double x = m_g.cx + rho * d.cosPhi;
            const double y = m_g.cy + rho * d.sinPhi;
            if (!(x >= 0.0 && y >= 0.0 && x <= m_wd - 1 && y <= m_hd - 1)) continue;
            row[2 * j] = static_cast<int32_t>(x * 256.0);
            row[2 * j + 1] = static_cast<int32_t>(y * 256.0);
        }
    }

  private:
    const SinglePhotoGeometry& m_g;
    int m_rotation, m_wd, m_hd, m_wo;
    bool m_exact;
    float m_q;
    std::vector<float> m_rowTheta;
    std::vector<double> m_cos, m_sin;
};

void ResampleSingle(const Planes& src, const int32_t* table, Planes* out) {
    const int wo = out->w;
    // Pairs of rows; an odd height ends with a row of its own and its chroma row.
    ParallelRanges(static_cast<int>(out->CRows()), [&](int first, int last) {
        for (int i = first * 2; i < std::min(last * 2, out->h); ++i) {
            const int32_t* row = table + static_cast<size_t>(i) * wo * 2;
            uint8_t* yRow = out->y + static_cast<size_t>(i) * out->ys;
            for (int j = 0; j < wo; ++j) {
                const int32_t X = row[2 * j], Y = row[2 * j + 1];
                const bool has = X != kNoSource || Y != kNoSource;
                if (has) {
                    const int px = X >> 8, py = Y >> 8, fx = X & 255, fy = Y & 255;
                    // The neighbours are clamped to the picture: at its last
                    // column or row their weight is 0, but they are never read
                    // from outside it.
                    const int px1 = std::min(px + 1, src.w - 1);
                    const int py1 = std::min(py + 1, src.h - 1);
                    const uint8_t* r0 = src.y + static_cast<size_t>(py) * src.ys;
                    const uint8_t* r1 = src.y + static_cast<size_t>(py1) * src.ys;
                    const int top = r0[px] * (256 - fx) + r0[px1] * fx;
                    const int bottom = r1[px] * (256 - fx) + r1[px1] * fx;
                    yRow[j] = static_cast<uint8_t>(((256 - fy) * top + fy * bottom + 32768) >> 16);
                } else {
                    yRow[j] = 0;
                }
                if ((i & 1) == 0 && (j & 1) == 0) {
                    const size_t o = out->ChromaAt(j, i);
                    if (has) {
                        const size_t s = src.ChromaAt(X >> 8, Y >> 8);
                        out->cb[o] = src.cb[s];
                        out->cr[o] = src.cr[s];
                    } else {
                        out->cb[o] = 128;
                        out->cr[o] = 128;
                    }
                }
            }
        }
    });
}

// --- Flow ----------------------------------------------------------------------------

// The photo's lens record, read from its JPEG segments.
struct PhotoCalibration {
    int cameraType = 0;
    float singleCx = 0, singleCy = 0, singleR = 0;
    DualLensRecord dual{};
};

int ReadPhotoCalibration(platform::ByteSource& src, TrailerContainer container,
                         PhotoCalibration* out) {
    CalibrationTrailer trailer;
    if (ReadCalibrationTrailer(src, container, &trailer) != kTrailerOk) {
        return kStitchNoCalibration;
    }
    const CalibrationRecord* type = FindRecord(trailer.table, 5);
    const CalibrationRecord* text = FindRecord(trailer.table, 3);
    const CalibrationRecord* lens = FindRecord(trailer.table, 7);
    if (type == nullptr || type->length < 4 || text == nullptr || text->length > 36 ||
        lens == nullptr) {
        return kStitchNoCalibration;
    }
    out->cameraType = static_cast<int>(Le32(type->value));
    if (out->cameraType == 1) {
        // The readers' own rule: a circle that cannot be used is no calibration.
        if (!IsUsableSingleLensRecord(*lens)) return kStitchNoCalibration;
        out->singleCx = LeFloat(lens->value + 16);
        out->singleCy = LeFloat(lens->value + 20);
        out->singleR = LeFloat(lens->value + 24);
        return kStitchOk;
    }
    if (out->cameraType == 2 && (lens->length == 1652 || lens->length == 1656)) {
        DecodeDualLensRecord(lens->value, &out->dual);
        // An unusable field of view would make the map area empty or huge.
        if (!(out->dual.fov > 0.0f && out->dual.fov <= 360.0f)) return kStitchNoCalibration;
        if (DualLensModel(out->dual.model) == nullptr || out->dual.n < 0 ||
            out->dual.n > kMaxSeamLines) {
            return kStitchNoCalibration;
        }
        return kStitchOk;
    }
    return kStitchNoCalibration;
}

// The remap of one calibration, source size and rotation: the row makers,
// and for video frames the whole tables they made.
struct RemapTables {
    int cameraType = 0, rotation = 0;
    int srcW = 0, srcH = 0, wo = 0, ho = 0;
    DualPhotoGeometry dualGeometry;
    SinglePhotoGeometry singleGeometry;
    std::unique_ptr<DualUprightRows> upright;
    std::unique_ptr<DualSidewaysRows> sideways;
    std::unique_ptr<SingleRows> singleRows;
    bool built = false;  // the tables below are filled
    DualTables dual;
    TableArray<int32_t> single;
};

// Fills the whole tables from the row makers. Units of rows (an upright row
// with its mirror row) are handed out one at a time, so any number of threads
// may join in, also one that first had other work.
class TableFiller {
  public:
    int Prepare(RemapTables* t) {
        m_t = t;
        if (t->singleRows) {
            const size_t rowSize = static_cast<size_t>(t->wo) * 2;
            if (!t->single.Allocate(rowSize * static_cast<size_t>(t->ho))) return kStitchNoMemory;
            m_count = t->ho;
        } else {
            DualTables& d = t->dual;
            const size_t n = static_cast<size_t>(d.rows) * d.cols;
            for (auto& l : d.lens) {
                if (!l.Allocate(n)) return kStitchNoMemory;
            }
            if (t->upright) m_units = MirrorUnits(*t->upright, d.rows);
            m_count = t->upright ? static_cast<int>(m_units.size()) : d.rows;
        }
        return kStitchOk;
    }

    // Makes units until none is left (or Stop was called).
    void Work() {
        RemapTables* t = m_t;
        for (;;) {
            // A unit once claimed is always made, so the units before Done()
            // are complete when every Work has returned.
            if (m_stop.load()) return;
            const int u = m_next.fetch_add(1);
            if (u >= m_count) return;
            if (t->singleRows) {
                t->singleRows->Make(u, &t->single[static_cast<size_t>(u) * t->wo * 2]);
                continue;
            }
            DualTables& d = t->dual;
            if (t->upright) {
                const int row = m_units[u].first, m = m_units[u].second;
                const size_t at = static_cast<size_t>(row) * d.cols;
                const size_t mat = static_cast<size_t>(std::max(m, 0)) * d.cols;
                t->upright->Make(row, &d.lens[0][at], &d.lens[1][at],
                                 m >= 0 ? &d.lens[0][mat] : nullptr, &d.lens[1][mat]);
            } else {
                const size_t at = static_cast<size_t>(u) * d.cols;
                t->sideways->Make(0, u, &d.lens[0][at]);
                t->sideways->Make(1, u, &d.lens[1][at]);
            }
        }
    }

    void Stop() { m_stop.store(true); }
    int Done() const { return std::min(m_next.load(), m_count); }
    const std::vector<std::pair<int, int>>& Units() const { return m_units; }
    // Marks the tables complete; call once every Work has returned.
    void Finish() { m_t->built = !m_stop.load(); }

  private:
    RemapTables* m_t = nullptr;
    std::vector<std::pair<int, int>> m_units;
    int m_count = 0;
    std::atomic<int> m_next{0};       // the next unit to hand out
    std::atomic<bool> m_stop{false};  // the work is no longer wanted
};

// Runs body(slice) for slices 0..n-1 on the shared pool, one per thread.
template <typename Body>
void OnEveryThread(const Body& body) {
    platform::WorkerPool& pool = platform::WorkerPool::Shared();
    const int n = static_cast<int>(pool.Threads()) + 1;
    pool.ParallelFor(n, 2, [&](int first, int last) {
        for (int slice = first; slice < last; ++slice) body(slice);
    });
}

int FillTables(RemapTables* t) {
    TableFiller filler;
    const int r = filler.Prepare(t);
    if (r != kStitchOk) return r;
    OnEveryThread([&](int) { filler.Work(); });
    filler.Finish();
    return kStitchOk;
}

// Sets up the remap's row makers; with wholeTables the tables are built too
// (a photo builds them while its picture is decoded).
int BuildRemap(const PhotoCalibration& calib, int srcW, int srcH, int rotation, bool wholeTables,
               RemapTables* t) {
    if (srcW <= 0 || srcH <= 0 || srcW % 2 != 0 || srcH % 2 != 0) return kStitchBadArgument;
    if (calib.cameraType == 2 && srcW != 2 * srcH) return kStitchNotTwoToOne;
    const bool exact = g_geometry.load() == kStitchGeometryExact;
    t->cameraType = calib.cameraType;
    t->rotation = rotation;
    t->srcW = srcW;
    t->srcH = srcH;
    t->wo = srcW;
    t->ho = srcW / 2;
    if (calib.cameraType == 1) {
        SetUpSinglePhotoGeometry(calib.singleCx, calib.singleCy, calib.singleR, srcH,
                                 &t->singleGeometry);
        t->singleRows.reset(new (std::nothrow) SingleRows(t->singleGeometry, rotation, srcW, srcH,
                                                          t->wo, t->ho, exact));
        if (!t->singleRows) return kStitchNoMemory;
        return wholeTables ? FillTables(t) : kStitchOk;
    }
    const DualLensRecord& rec = calib.dual;
    DualPhotoGeometry& g = t->dualGeometry;
    if (!SetUpDualPhotoGeometry(rec, t->wo, &g)) return kStitchNoCalibration;
    if (rotation == 0 || rotation == 180) {
        const int fw = MakeEven(TruncToInt(t->ho * static_cast<double>(rec.fov) / 180.0));
        if (fw <= 0) return kStitchNoCalibration;
        t->upright.reset(new (std::nothrow) DualUprightRows(g, fw, rotation == 180, exact));
        if (!t->upright) return kStitchNoMemory;
        t->dual.rows = t->ho;
        t->dual.cols = fw;
    } else {
        const int fh = MakeEven(TruncToInt(t->ho * static_cast<double>(rec.fov) / 360.0));
        if (fh <= 0) return kStitchNoCalibration;
        t->sideways.reset(new (std::nothrow) DualSidewaysRows(g, fh, rotation == 90));
        if (!t->sideways) return kStitchNoMemory;
        t->dual.rows = fh;
        t->dual.cols = t->wo;
    }
    return wholeTables ? FillTables(t) : kStitchOk;
}

// Resamples a source of the table's size into an output of its width and at
// most its height; what no lens sees is cleared (luma 0, chroma 128).
void ApplyRemap(const RemapTables& t, const Planes& src, Planes* out) {
    if (!t.built) return;
    if (t.cameraType == 1) {
        ResampleSingle(src, t.single.get(), out);
    } else if (t.rotation == 0 || t.rotation == 180) {
        ResampleDualUpright(src, t.dual, out);
    } else {
        ResampleDualSideways(src, t.dual, t.rotation == 270 ? 0 : 1, out);
    }
}

// Planes over one contiguous 4:2:0 block of an even width: Y, Cb, Cr.
Planes PlanesOf(uint8_t* block, int w, int h) {
    Planes p;
    p.w = w;
    p.h = h;
    p.ys = static_cast<size_t>(w);
    p.cs = static_cast<size_t>(w / 2);
    p.y = block;
    p.cb = block + static_cast<size_t>(w) * h;
    p.cr = p.cb + p.CSize();
    return p;
}

// One picture's planes; freed on every path.
using Block = LargeArray<uint8_t>;

// Opens the photo's decoder: its header, size and layout.
int OpenPhoto(platform::ByteSource& file, const JpegAllocator& alloc, JpegExifCarry* carry,
              JpegDecoder* dec) {
    const int r = dec->Open(file, alloc, carry);
    if (r != kJpegOk) return r;
    const int layout = dec->Layout();
    if (layout != kJpeg420 && layout != kJpeg422 && layout != kJpeg444) return kStitchBadLayout;
    return kStitchOk;
}

// Decodes the opened photo into 4:2:0 planes of its even size.
int DecodePhoto(JpegDecoder& dec, Block* block, Planes* src) {
    int r;
    const int layout = dec.Layout();
    const int w = dec.OutputWidth(), h = dec.OutputHeight();
    const size_t n = static_cast<size_t>(w) * h;
    // Room for the decoder's chroma planes; 4:2:2 and 4:4:4 are reduced in place.
    const size_t cStride = layout == kJpeg444 ? static_cast<size_t>(w) : static_cast<size_t>(w / 2);
    const size_t cRows = layout == kJpeg420 ? static_cast<size_t>(h / 2) : static_cast<size_t>(h);
    if (!block->Allocate(n + 2 * cStride * cRows)) return kStitchNoMemory;
    uint8_t* cb = block->p + n;
    uint8_t* cr = cb + cStride * cRows;
    int row = 0;
    while (row < h) {
        int rows = 0;
        const size_t cRow =
            layout == kJpeg420 ? static_cast<size_t>(row / 2) : static_cast<size_t>(row);
        r = dec.DecodeStrip(block->p + static_cast<size_t>(row) * w, static_cast<size_t>(w),
                            cb + cRow * cStride, cr + cRow * cStride, cStride, &rows);
        if (r != kJpegOk) return r;
        if (rows <= 0) break;
        row += rows;
    }
    if (row < h) return kJpegPrematureEnd;
    // Keep every second chroma row (4:2:2), or the top-left of every 2x2 (4:4:4).
    const size_t cw = static_cast<size_t>(w / 2);
    if (layout != kJpeg420) {
        for (uint8_t* plane : {cb, cr}) {
            for (int y = 0; y < h / 2; ++y) {
                const uint8_t* in = plane + static_cast<size_t>(2 * y) * cStride;
                uint8_t* o = plane + static_cast<size_t>(y) * cw;
                if (layout == kJpeg422) {
                    std::memmove(o, in, cw);
                } else {
                    for (size_t x = 0; x < cw; ++x) o[x] = in[2 * x];
                }
            }
        }
    }
    src->w = w;
    src->h = h;
    src->ys = static_cast<size_t>(w);
    src->cs = cw;
    src->y = block->p;
    src->cb = cb;
    // Cr follows Cb directly once reduced, keeping the 4:2:0 buffer layout.
    src->cr = cb + cw * static_cast<size_t>(h / 2);
    std::memmove(src->cr, cr, cw * static_cast<size_t>(h / 2));
    return kStitchOk;
}

int EncodePhoto(const Planes& out, int qualityIndex, const JpegExifCarry& carry,
                const JpegAllocator& alloc, platform::ByteSink& sink) {
    JpegEncoder enc;
    int r = enc.Open(sink, out.w, out.h, alloc);
    if (r == kJpegOk) {
        enc.SetQuality(JpegQualityForIndex(qualityIndex));
        enc.SetParallel(true);
        if (carry.size > 0) enc.SetExif(carry.data, carry.size);
        r = enc.Encode(out.y, static_cast<size_t>(out.w), out.cb, out.cr, out.CStride());
    }
    if (r == kJpegOk) r = enc.Finish();
    enc.Close();
    return r;
}

// A camera photo read and stitched into planes: the calibration, the decode,
// the remap. The carried Exif segment is released with it.
struct StitchedPhoto {
    JpegAllocator alloc = DefaultJpegAllocator();
    JpegExifCarry carry;
    Block block;
    Planes out;
    ~StitchedPhoto() { JpegReleaseExif(&carry, alloc); }
};

int StitchToPlanes(platform::ByteSource& file, int rotation, StitchedPhoto* photo) {
    PhotoCalibration calib;
    int r = ReadPhotoCalibration(file, kTrailerInJpeg, &calib);
    if (r != kStitchOk) return r;

    JpegDecoder dec;
    if (!file.Seek(0, platform::kSeekSet)) return kStitchCannotOpenInput;
    r = OpenPhoto(file, photo->alloc, &photo->carry, &dec);
    if (r != kStitchOk) return r;
    const int w = dec.OutputWidth(), h = dec.OutputHeight();
    if (calib.cameraType == 2 && w != 2 * h) return kStitchNotTwoToOne;
    RemapTables tables;
    r = BuildRemap(calib, w, h, rotation, false, &tables);
    if (r != kStitchOk) return r;

    // The decoder runs on one thread while the others make the remap tables;
    // once the picture is in, the decoding thread helps with the rest.
    TableFiller filler;
    r = filler.Prepare(&tables);
    if (r != kStitchOk) return r;
    Block source;
    Planes src;
    int decoded = kStitchOk;
    // Upright dual-lens rows not made by the time the picture is in are made
    // where they are resampled, without a trip through the table.
    const bool rowsAtResample = tables.upright != nullptr;
    OnEveryThread([&](int slice) {
        if (slice == 0) {
            decoded = DecodePhoto(dec, &source, &src);
            if (decoded != kStitchOk || rowsAtResample) filler.Stop();
            if (rowsAtResample) return;
        }
        filler.Work();
    });
    if (decoded != kStitchOk) return decoded;

    // w x w/2: odd for a single-lens picture whose width is 2 mod 4.
    Planes& out = photo->out;
    out.w = src.w;
    out.h = out.w / 2;
    const size_t ny = static_cast<size_t>(out.w) * out.h;
    if (!photo->block.Allocate(ny + 2 * out.CSize())) return kStitchNoMemory;
    out = PlanesOf(photo->block.p, out.w, out.h);
    if (!rowsAtResample) {
        filler.Finish();
        ApplyRemap(tables, src, &out);
        return kStitchOk;
    }
    const DualTables& t = tables.dual;
    const UprightResampler resampler(src, t.cols, &out);
    resampler.ClearTail();
    const std::vector<std::pair<int, int>>& units = filler.Units();
    const int done = filler.Done();
    std::atomic<int> next{0};  // the next unit to resample
    OnEveryThread([&](int) {
        std::vector<DualEntry> buffer(static_cast<size_t>(t.cols) * 4);
        DualEntry* b[4];
        for (int k = 0; k < 4; ++k) b[k] = buffer.data() + static_cast<size_t>(t.cols) * k;
        for (;;) {
            const int u = next.fetch_add(1);
            if (u >= static_cast<int>(units.size())) return;
            const int row = units[u].first, mirror = units[u].second;
            const DualEntry* rows[4];
            if (u < done) {
                rows[0] = t.At(0, row, 0);
                rows[1] = t.At(1, row, 0);
                rows[2] = mirror >= 0 ? t.At(0, mirror, 0) : nullptr;
                rows[3] = mirror >= 0 ? t.At(1, mirror, 0) : nullptr;
            } else {
                tables.upright->Make(row, b[0], b[1], mirror >= 0 ? b[2] : nullptr, b[3]);
                std::copy(b, b + 4, rows);
            }
            if (row < resampler.Rows()) resampler.Row(row, rows[0], rows[1]);
            if (mirror >= 0 && mirror < resampler.Rows()) resampler.Row(mirror, rows[2], rows[3]);
        }
    });
    return kStitchOk;
}

bool ValidOptions(int rotation, int qualityIndex) {
    return (rotation == 0 || rotation == 90 || rotation == 180 || rotation == 270) &&
           qualityIndex >= 0 && qualityIndex <= 2;
}

}  // namespace

int StitchPhoto(const char* inputPath, const char* outputPath, int rotation, int extraPass,
                int qualityIndex) {
    if (!ValidOptions(rotation, qualityIndex) || extraPass != 0 || outputPath == nullptr ||
        outputPath[0] == '\0') {
        return kStitchBadArgument;
    }
    // Writing over the input would replace the photo being read.
    if (platform::IsSameFile(inputPath, outputPath)) return kStitchOutputIsInput;
    platform::FileReader file;
    if (file.Open(inputPath) != 0) return kStitchCannotOpenInput;
    StitchedPhoto photo;
    int r = StitchToPlanes(file, rotation, &photo);
    if (r != kStitchOk) return r;

    platform::PendingFile target;
    if (!target.Begin(outputPath)) return kStitchNoMemory;
    platform::FileWriter out;
    if (out.Open(target.TempPath().c_str()) != 0) return kStitchNoMemory;
    r = EncodePhoto(photo.out, qualityIndex, photo.carry, photo.alloc, out);
    if (!out.Close() && r == kJpegOk) r = kJpegWriteFailed;
    if (r == kJpegOk && !target.Commit()) r = kStitchNoMemory;
    return r;
}

int StitchPhotoFrom(platform::ByteSource& input, platform::ByteSink& output, int rotation,
                    int qualityIndex) {
    if (!ValidOptions(rotation, qualityIndex)) return kStitchBadArgument;
    StitchedPhoto photo;
    const int r = StitchToPlanes(input, rotation, &photo);
    if (r != kStitchOk) return r;
    return EncodePhoto(photo.out, qualityIndex, photo.carry, photo.alloc, output);
}

// --- Frames of a camera file ----------------------------------------------------------

struct CStitchRemap::Tables {
    RemapTables remap;
};

CStitchRemap::CStitchRemap() : m_pTables(nullptr) {}

CStitchRemap::~CStitchRemap() {
    delete m_pTables;
}

int CStitchRemap::Init(const char* path, bool isPhoto, int frameWidth, int frameHeight,
                       int rotation) {
    delete m_pTables;
    m_pTables = nullptr;
    if (rotation != 0 && rotation != 90 && rotation != 180 && rotation != 270) {
        return kStitchBadArgument;
    }
    platform::FileReader file;
    if (file.Open(path) != 0) return kStitchCannotOpenInput;
    PhotoCalibration calib;
    int r = ReadPhotoCalibration(file, isPhoto ? kTrailerInJpeg : kTrailerInMp4, &calib);
    if (r != kStitchOk) return r;
    Tables* t = new (std::nothrow) Tables;
    if (t == nullptr) return kStitchNoMemory;
    r = BuildRemap(calib, frameWidth, frameHeight, rotation, true, &t->remap);
    if (r == kStitchOk && MakeEven(t->remap.ho) <= 0) r = kStitchBadArgument;  // a 2-pixel frame
    if (r != kStitchOk) {
        delete t;
        return r;
    }
    m_pTables = t;
    return kStitchOk;
}

int CStitchRemap::OutputWidth() const {
    return m_pTables ? m_pTables->remap.wo : 0;
}

int CStitchRemap::OutputHeight() const {
    // Rounded down to even: for a width of 2 mod 4 the last row, at the pole,
    // is left out rather than a row past the pole added.
    return m_pTables ? MakeEven(m_pTables->remap.ho) : 0;
}

void CStitchRemap::Apply(const uint8_t* frame420, uint8_t* out420) const {
    if (m_pTables == nullptr || frame420 == nullptr) return;
    const RemapTables& t = m_pTables->remap;
    const uint8_t* cb = frame420 + static_cast<size_t>(t.srcW) * t.srcH;
    const uint8_t* planes[3] = {frame420, cb, cb + static_cast<size_t>(t.srcW / 2) * (t.srcH / 2)};
    const size_t strides[3] = {static_cast<size_t>(t.srcW), static_cast<size_t>(t.srcW / 2),
                               static_cast<size_t>(t.srcW / 2)};
    Apply(planes, strides, out420);
}

void CStitchRemap::Apply(const uint8_t* const planes[3], const size_t strides[3],
                         uint8_t* out420) const {
    if (m_pTables == nullptr || planes == nullptr || out420 == nullptr) return;
    const RemapTables& t = m_pTables->remap;
    // The source is only read; Planes holds non-const pointers for both roles.
    Planes src;
    src.w = t.srcW;
    src.h = t.srcH;
    src.ys = strides[0];
    src.y = const_cast<uint8_t*>(planes[0]);
    src.cb = const_cast<uint8_t*>(planes[1]);
    src.cr = const_cast<uint8_t*>(planes[2]);
    // The chroma planes share one stride, as every 4:2:0 decoder output does.
    src.cs = strides[1];
    if (strides[2] != strides[1]) return;
    Planes out = PlanesOf(out420, t.wo, OutputHeight());
    ApplyRemap(t, src, &out);
}

void SetStitchGeometry(StitchGeometry geometry) {
    g_geometry.store(geometry);
}
