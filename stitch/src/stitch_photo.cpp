// Stitching a camera photo into an equirectangular JPEG: decode to planar
// 4:2:0, build the remap table once per pixel (row slices on every core), then
// resample with integer arithmetic and 8-bit weights, and encode.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include "calib/trailer.h"
#include "jpeg/jpeg.h"
#include "lens/geometry.h"
#include "platform/bytes.h"
#include "platform/worker_pool.h"
#include "stitch/stitch.h"

using namespace platform;

namespace {

constexpr double kPi = 3.14159265358979323846;

// One remap entry of a dual-lens table: integer position and 8-bit weights.
struct DualEntry {
    int16_t x;
    uint8_t wLeft, wRight;
    int16_t y;
    uint8_t wUp, wDown;
};
static_assert(sizeof(DualEntry) == 8, "remap entries are 8 bytes");

// A planar 4:2:0 picture of even width; the planes point into one block. A
// single-lens output may have an odd height: its chroma planes have the
// rounded-up half of it as rows.
struct Planes {
    int w = 0, h = 0;
    uint8_t* y = nullptr;
    uint8_t* cb = nullptr;
    uint8_t* cr = nullptr;
    size_t CStride() const { return static_cast<size_t>(w / 2); }
    size_t CRows() const { return static_cast<size_t>((h + 1) / 2); }
    size_t CSize() const { return CStride() * CRows(); }
    size_t ChromaAt(int x, int yy) const {
        return static_cast<size_t>(yy / 2) * CStride() + static_cast<size_t>(x / 2);
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
DualEntry MakeEntry(double x, double y, bool roundWeights) {
    const int ix = static_cast<int>(x);
    const int iy = static_cast<int>(y);
    const double half = roundWeights ? 0.5 : 0.0;
    const int fx = std::min(255, static_cast<int>((x - ix) * 255.0 + half));
    const int fy = std::min(255, static_cast<int>((y - iy) * 255.0 + half));
    return DualEntry{static_cast<int16_t>(ix),       static_cast<uint8_t>(255 - fx),
                     static_cast<uint8_t>(fx),       static_cast<int16_t>(iy),
                     static_cast<uint8_t>(255 - fy), static_cast<uint8_t>(fy)};
}

// Bilinear luma through a dual-lens entry (weights sum to 255 each way).
inline int DualLuma(const Planes& s, const DualEntry& e) {
    const uint8_t* p = s.y + static_cast<size_t>(e.y) * s.w + e.x;
    const int top = p[0] * e.wLeft + p[1] * e.wRight;
    const int bottom = p[s.w] * e.wLeft + p[s.w + 1] * e.wRight;
    return (top * e.wUp + bottom * e.wDown + 32768) >> 16;
}

// --- Dual lens ------------------------------------------------------------------

// The remap tables of both lenses: rows x cols entries each.
struct DualTables {
    std::vector<DualEntry> lens[2];
    int rows = 0, cols = 0;
    const DualEntry* At(int l, int r, int c) const {
        return &lens[l][static_cast<size_t>(r) * cols + c];
    }
};

// Rotations 0 and 180: each lens's map area is ho rows by fw columns; both
// lenses see (lambda, beta) of their own map the same way.
void BuildDualTablesUpright(const DualPhotoGeometry& g, int fw, bool reverse, DualTables* t) {
    const int ho = g.ho;
    const double a = kPi / ho;
    const double maxXY = g.wo / 2 - 2;
    t->rows = ho;
    t->cols = fw;
    for (auto& l : t->lens) l.resize(static_cast<size_t>(ho) * fw);
    std::vector<double> cosL(fw), sinL(fw);
    for (int j = 0; j < fw; ++j) {
        const double lambda = -fw * a / 2 + j * a;
        cosL[j] = std::cos(lambda);
        sinL[j] = std::sin(lambda);
    }
    const double ks[2] = {g.kScale1, g.kScale2};
    const int cx[2] = {g.cx1, g.cx2}, cy[2] = {g.cy1, g.cy2};
    ParallelRanges(ho, [&](int first, int last) {
        for (int i = first; i < last; ++i) {
            const double beta = kPi - i * a;
            const double cosB = std::cos(beta), sinB = std::sin(beta);
            for (int j = 0; j < fw; ++j) {
                double theta, phi;
                DirectionToLensAnglesFrom(cosL[j], sinL[j], cosB, sinB, &theta, &phi);
                // Both lenses see the same (theta, phi) in their own frames, so
                // the image height, the profile column and the direction's
                // cosine and sine serve both unless the seam warp moves it.
                const double h = LensImageHeight(theta, *g.model, 1.0);
                const double v = g.profile[static_cast<size_t>(ProfileColumn(g, phi))];
                const double c = std::cos(phi), sn = std::sin(phi);
                for (int l = 0; l < 2; ++l) {
                    double x, y;
                    if (l == 1 && g.warp.n > 0) {
                        DualLensProject(g, 1, theta, phi, &x, &y);
                    } else {
                        const double rho = h * ks[l] * v;
                        x = cx[l] + rho * c;
                        y = cy[l] + rho * sn;
                    }
                    x = Limit(x, maxXY);
                    y = Limit(y, maxXY);
                    if (l == 1) x += g.wo / 2;
                    t->lens[l][static_cast<size_t>(i) * fw + j] = MakeEntry(x, y, true);
                }
            }
        }
    });
    if (reverse) {
        for (auto& l : t->lens) std::reverse(l.begin(), l.end());
    }
}

// Rotations 90 and 270: fh rows of wo entries; the lens axes at the top and
// bottom edges, the seam profile indexed by the column.
void BuildDualTablesSideways(const DualPhotoGeometry& g, int fh, bool reverse, DualTables* t) {
    const int wo = g.wo, ho = g.ho;
    const double a2 = 2.0 * kPi / wo;
    const double maxXY = wo / 2 - 2;
    t->rows = fh;
    t->cols = wo;
    for (auto& l : t->lens) l.resize(static_cast<size_t>(fh) * wo);
    ParallelRanges(fh, [&](int first, int last) {
        for (int r = first; r < last; ++r) {
            for (int l = 0; l < 2; ++l) {
                const double theta0 = l == 0 ? r * a2 : kPi - (ho - fh + r) * a2;
                const double rhoBase0 =
                    LensImageHeight(theta0, *g.model, l == 0 ? g.kScale1 : g.kScale2);
                for (int j = 0; j < wo; ++j) {
                    double theta = theta0;
                    double phi = l == 0 ? -j * a2 : -kPi + j * a2;
                    double rhoBase = rhoBase0;
                    if (l == 1 && g.warp.n > 0) {
                        float tw, pw;
                        if (ApplySeamWarp(g.warp, static_cast<float>(theta),
                                          static_cast<float>(phi), &tw, &pw)) {
                            theta = tw;
                            phi = pw;
                            rhoBase = LensImageHeight(theta, *g.model, g.kScale2);
                        }
                    }
                    const double rho = rhoBase * g.profile[static_cast<size_t>(j)];
                    double x = Limit((l == 0 ? g.cx1 : g.cx2) + rho * std::cos(phi), maxXY);
                    const double y = Limit((l == 0 ? g.cy1 : g.cy2) + rho * std::sin(phi), maxXY);
                    if (l == 1) x += wo / 2;
                    t->lens[l][static_cast<size_t>(r) * wo + j] = MakeEntry(x, y, false);
                }
            }
        }
    });
    if (reverse) {
        for (auto& l : t->lens) std::reverse(l.begin(), l.end());
    }
}

// Rotations 0 and 180: the first lens fills the middle, the second lens the
// left and right quarters, blended across bands centred on the two seams.
void ResampleDualUpright(const Planes& src, const DualTables& t, Planes* out) {
    const int ho = out->h, wo = out->w, fw = t.cols;
    const int band = std::max(0, std::min(fw - ho, 48));
    const int h = band / 2;
    const int s1 = ho / 2, s2 = 3 * ho / 2;
    // Five column spans; in each, map column = output column + offset. A blend
    // span reads a second lens too and ramps from the first to the second.
    struct Span {
        int c0, c1;
        int lensA, offA;
        int lensB, offB;  // lensB < 0: no blend
    };
    const int off1 = fw / 2 - ho, off2l = fw / 2, off2r = fw / 2 - 2 * ho;
    const Span spans[5] = {
        {0, s1 - h, 1, off2l, -1, 0},     {s1 - h, s1 + h, 1, off2l, 0, off1},
        {s1 + h, s2 - h, 0, off1, -1, 0}, {s2 - h, s2 + h, 0, off1, 1, off2r},
        {s2 + h, wo, 1, off2r, -1, 0},
    };
    // Ramp weights across a band: position b, and the even position for chroma.
    std::vector<int> ramp(static_cast<size_t>(std::max(2 * h, 1)));
    for (int b = 0; b < 2 * h; ++b) ramp[b] = b * 255 / (2 * h);
    ParallelRanges(ho / 2, [&](int first, int last) {
        for (int i = first * 2; i < last * 2; ++i) {
            uint8_t* yRow = out->y + static_cast<size_t>(i) * wo;
            const bool chromaRow = (i & 1) == 0;
            uint8_t* cbRow = out->cb + static_cast<size_t>(i / 2) * out->CStride();
            uint8_t* crRow = out->cr + static_cast<size_t>(i / 2) * out->CStride();
            for (const Span& sp : spans) {
                // Output columns whose map columns exist for every lens read.
                int c0 = std::max(sp.c0, -sp.offA), c1 = std::min(sp.c1, fw - sp.offA);
                if (sp.lensB >= 0) {
                    c0 = std::max(c0, -sp.offB);
                    c1 = std::min(c1, fw - sp.offB);
                }
                if (c0 >= c1) continue;
                const DualEntry* rowA = t.At(sp.lensA, i, 0) + sp.offA;
                if (sp.lensB < 0) {
                    for (int c = c0; c < c1; ++c)
                        yRow[c] = static_cast<uint8_t>(DualLuma(src, rowA[c]));
                    if (chromaRow) {
                        for (int c = c0 + (c0 & 1); c < c1; c += 2) {
                            const size_t sa = src.ChromaAt(rowA[c].x, rowA[c].y);
                            cbRow[c / 2] = src.cb[sa];
                            crRow[c / 2] = src.cr[sa];
                        }
                    }
                    continue;
                }
                const DualEntry* rowB = t.At(sp.lensB, i, 0) + sp.offB;
                for (int c = c0; c < c1; ++c) {
                    const int w1 = ramp[c - sp.c0];
                    const int luma =
                        DualLuma(src, rowA[c]) * (255 - w1) + DualLuma(src, rowB[c]) * w1;
                    yRow[c] = static_cast<uint8_t>((luma + 128) >> 8);
                }
                if (chromaRow) {
                    for (int c = c0 + (c0 & 1); c < c1; c += 2) {
                        const int b = c - sp.c0;
                        const int w1 = ramp[b - (b & 1)];
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
            if (row < 0 || row >= fh) continue;
            if (inBand && (lowerRow < 0 || lowerRow >= fh)) continue;
            uint8_t* yRow = out->y + static_cast<size_t>(i) * wo;
            for (int c = 0; c < wo; ++c) {
                const DualEntry& ea = *t.At(lens, row, c);
                int luma = DualLuma(src, ea);
                const DualEntry* eb = inBand ? t.At(lowerLens, lowerRow, c) : nullptr;
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
}

// --- Single lens -----------------------------------------------------------------

constexpr int32_t kNoSource = -1;

// One (x * 256, y * 256) pair per output pixel, or (-1, -1) without source.
void BuildSingleTable(const SinglePhotoGeometry& g, int rotation, int wd, int hd, int wo, int ho,
                      std::vector<int32_t>* table) {
    table->assign(static_cast<size_t>(wo) * ho * 2, kNoSource);
    const float q = static_cast<float>(2.0 * kPi / wo);
    const double maxX = (wd - 1) * 256.0, maxY = (hd - 1) * 256.0;
    // Rotation 0 accumulates the ring angle in single precision row by row.
    std::vector<float> rowTheta(static_cast<size_t>(ho));
    float acc = 0.0f;
    for (int i = 0; i < ho; ++i) {
        rowTheta[i] = acc;
        acc += q;
    }
    ParallelRanges(ho, [&](int first, int last) {
        for (int i = first; i < last; ++i) {
            int32_t* row = table->data() + static_cast<size_t>(i) * wo * 2;
            if (rotation == 0 || rotation == 180) {
                const float theta = rotation == 0
                                        ? rowTheta[i]
                                        : static_cast<float>(kPi) - static_cast<float>(i) * q;
                const float rho = SingleLensPhotoHeight(g, theta);
                if (!(rho < static_cast<float>(g.r))) continue;
                for (int j = 0; j < wo; ++j) {
                    const double phi = rotation == 0 ? 2.0 * kPi - j * double{q} : j * double{q};
                    const double x = (g.cx + rho * std::cos(phi)) * 256.0;
                    const double y = (g.cy + rho * std::sin(phi)) * 256.0;
                    if (!(x >= 0.0 && x <= maxX && y >= 0.0 && y <= maxY)) continue;
                    row[2 * j] = static_cast<int32_t>(x);
                    row[2 * j + 1] = static_cast<int32_t>(y);
                }
            } else {
                const double beta = rotation == 90 ? kPi - i * double{q} : i * double{q};
                const double cosB = std::cos(beta), sinB = std::sin(beta);
                for (int j = 0; j < wo; ++j) {
                    const double lambda =
                        rotation == 90 ? -kPi + j * double{q} : kPi - j * double{q};
                    double theta, phi;
                    DirectionToLensAnglesFrom(std::cos(lambda), std::sin(lambda), cosB, sinB,
                                              &theta, &phi);
                    const double rho = SingleLensPhotoHeight(g, static_cast<float>(theta));
                    const double x = g.cx + rho * std::cos(phi);
                    const double y = g.cy + rho * std::sin(phi);
                    if (!(x >= 0.0 && y >= 0.0 && x <= wd - 1 && y <= hd - 1)) continue;
                    row[2 * j] = static_cast<int32_t>(x * 256.0);
                    row[2 * j + 1] = static_cast<int32_t>(y * 256.0);
                }
            }
        }
    });
}

void ResampleSingle(const Planes& src, const std::vector<int32_t>& table, Planes* out) {
    const int wo = out->w;
    // Pairs of rows; an odd height ends with a row of its own and its chroma row.
    ParallelRanges(static_cast<int>(out->CRows()), [&](int first, int last) {
        for (int i = first * 2; i < std::min(last * 2, out->h); ++i) {
            const int32_t* row = table.data() + static_cast<size_t>(i) * wo * 2;
            uint8_t* yRow = out->y + static_cast<size_t>(i) * wo;
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
                    const uint8_t* r0 = src.y + static_cast<size_t>(py) * src.w;
                    const uint8_t* r1 = src.y + static_cast<size_t>(py1) * src.w;
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

// The remap of one calibration, source size and rotation.
struct RemapTables {
    int cameraType = 0, rotation = 0;
    int srcW = 0, srcH = 0, wo = 0, ho = 0;
    DualTables dual;
    std::vector<int32_t> single;
};

int BuildRemap(const PhotoCalibration& calib, int srcW, int srcH, int rotation, RemapTables* t) {
    if (srcW <= 0 || srcH <= 0 || srcW % 2 != 0 || srcH % 2 != 0) return kStitchBadArgument;
    if (calib.cameraType == 2 && srcW != 2 * srcH) return kStitchNotTwoToOne;
    t->cameraType = calib.cameraType;
    t->rotation = rotation;
    t->srcW = srcW;
    t->srcH = srcH;
    t->wo = srcW;
    t->ho = srcW / 2;
    if (calib.cameraType == 1) {
        SinglePhotoGeometry g;
        SetUpSinglePhotoGeometry(calib.singleCx, calib.singleCy, calib.singleR, srcH, &g);
        BuildSingleTable(g, rotation, srcW, srcH, t->wo, t->ho, &t->single);
        return kStitchOk;
    }
    const DualLensRecord& rec = calib.dual;
    DualPhotoGeometry g;
    if (!SetUpDualPhotoGeometry(rec, t->wo, &g)) return kStitchNoCalibration;
    if (rotation == 0 || rotation == 180) {
        const int fw = MakeEven(TruncToInt(t->ho * static_cast<double>(rec.fov) / 180.0));
        if (fw <= 0) return kStitchNoCalibration;
        BuildDualTablesUpright(g, fw, rotation == 180, &t->dual);
    } else {
        const int fh = MakeEven(TruncToInt(t->ho * static_cast<double>(rec.fov) / 360.0));
        if (fh <= 0) return kStitchNoCalibration;
        BuildDualTablesSideways(g, fh, rotation == 90, &t->dual);
    }
    return kStitchOk;
}

// Resamples a source of the table's size into an output of its width and at
// most its height (cleared first).
void ApplyRemap(const RemapTables& t, const Planes& src, Planes* out) {
    std::memset(out->y, 0, static_cast<size_t>(out->w) * out->h);
    std::memset(out->cb, 128, out->CSize());
    std::memset(out->cr, 128, out->CSize());
    if (t.cameraType == 1) {
        ResampleSingle(src, t.single, out);
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
    p.y = block;
    p.cb = block + static_cast<size_t>(w) * h;
    p.cr = p.cb + p.CSize();
    return p;
}

// Owns one malloc'd block; freed on every path.
struct Block {
    uint8_t* p = nullptr;
    ~Block() { std::free(p); }
    bool Allocate(size_t n, int fill) {
        p = static_cast<uint8_t*>(std::malloc(n == 0 ? 1 : n));
        if (p != nullptr) std::memset(p, fill, n);
        return p != nullptr;
    }
};

// Decodes the photo into 4:2:0 planes of its even size.
int DecodePhoto(platform::ByteSource& file, const JpegAllocator& alloc, JpegExifCarry* carry,
                Block* block, Planes* src) {
    JpegDecoder dec;
    int r = dec.Open(file, alloc, carry);
    if (r != kJpegOk) return r;
    const int layout = dec.Layout();
    if (layout != kJpeg420 && layout != kJpeg422 && layout != kJpeg444) return kStitchBadLayout;
    const int w = dec.OutputWidth(), h = dec.OutputHeight();
    const size_t n = static_cast<size_t>(w) * h;
    // Room for full-size chroma planes; 4:2:2 and 4:4:4 are reduced in place.
    if (!block->Allocate(n * 3, 0)) return kStitchNoMemory;
    const size_t cStride = layout == kJpeg444 ? static_cast<size_t>(w) : static_cast<size_t>(w / 2);
    uint8_t* cb = block->p + n;
    uint8_t* cr = block->p + 2 * n;
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

    Block source;
    Planes src;
    if (!file.Seek(0, platform::kSeekSet)) return kStitchCannotOpenInput;
    r = DecodePhoto(file, photo->alloc, &photo->carry, &source, &src);
    if (r != kStitchOk) return r;
    if (calib.cameraType == 2 && src.w != 2 * src.h) return kStitchNotTwoToOne;

    // w x w/2: odd for a single-lens picture whose width is 2 mod 4.
    Planes& out = photo->out;
    out.w = src.w;
    out.h = out.w / 2;
    const size_t ny = static_cast<size_t>(out.w) * out.h;
    if (!photo->block.Allocate(ny + 2 * out.CSize(), 128)) return kStitchNoMemory;
    out = PlanesOf(photo->block.p, out.w, out.h);
    RemapTables tables;
    r = BuildRemap(calib, src.w, src.h, rotation, &tables);
    if (r == kStitchOk) ApplyRemap(tables, src, &out);
    return r;
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
    r = BuildRemap(calib, frameWidth, frameHeight, rotation, &t->remap);
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
    if (m_pTables == nullptr || frame420 == nullptr || out420 == nullptr) return;
    const RemapTables& t = m_pTables->remap;
    // The source is only read; Planes holds non-const pointers for both roles.
    const Planes src = PlanesOf(const_cast<uint8_t*>(frame420), t.srcW, t.srcH);
    Planes out = PlanesOf(out420, t.wo, OutputHeight());
    ApplyRemap(t, src, &out);
}
