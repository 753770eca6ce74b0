// The baseline JPEG decoder, checked against libjpeg-turbo's raw planar output.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "../jpeg/src/jpeg_tables.h"
#include "jpeg/jpeg.h"
#include "platform/file.h"
#include "support/files.h"
#include "support/libjpeg.h"
#include "support/picture.h"

namespace {

using testutil::Bytes;
using testutil::DecodeTurboRaw;
using testutil::EncodeTurbo;
using testutil::RawPlanes;
using testutil::TurboOptions;

struct Ours {
    int rc = kJpegOk;
    int layout = -1, factor = 0, width = 0, height = 0;
    RawPlanes planes;
};

Ours DecodeOurs(const Bytes& bytes, JpegExifCarry* carry = nullptr) {
    Ours o;
    platform::MemorySource src(bytes.data(), bytes.size());
    JpegDecoder dec;
    const JpegAllocator alloc = DefaultJpegAllocator();
    o.rc = dec.Open(src, alloc, carry);
    if (o.rc != kJpegOk) return o;
    o.layout = dec.Layout();
    o.factor = dec.ChromaFactor();
    o.width = dec.Width();
    o.height = dec.Height();
    const int w = dec.OutputWidth(), h = dec.OutputHeight();
    int cw = w, chv = 1;
    switch (o.layout) {
        case kJpeg420:
            cw = w / 2, chv = 2;
            break;
        case kJpeg422:
            cw = w / 2;
            break;
        case kJpeg440:
            chv = 2;
            break;
        case kJpegHorizontalF:
            cw = w / o.factor;
            break;
        default:
            break;
    }
    RawPlanes& p = o.planes;
    p.widths[0] = w;
    p.rows[0] = h;
    const int nc = o.layout == kJpegGrey ? 1 : 3;
    for (int c = 1; c < nc; ++c) {
        p.widths[c] = cw;
        p.rows[c] = h / chv;
    }
    // Guard bytes around each plane catch writes outside it.
    for (int c = 0; c < nc; ++c)
        p.p[c].assign(static_cast<size_t>(p.widths[c]) * p.rows[c] + 64, 0xA5);
    int y = 0;
    for (;;) {
        int rows = 0;
        o.rc =
            dec.DecodeStrip(p.p[0].data() + static_cast<size_t>(y) * w, static_cast<size_t>(w),
                            nc == 3 ? p.p[1].data() + static_cast<size_t>(y / chv) * cw : nullptr,
                            nc == 3 ? p.p[2].data() + static_cast<size_t>(y / chv) * cw : nullptr,
                            static_cast<size_t>(cw), &rows);
        if (o.rc != kJpegOk || rows == 0) break;
        y += rows;
    }
    if (o.rc == kJpegOk) {
        EXPECT_EQ(y, h);
    }
    for (int c = 0; c < nc; ++c) {
        const Bytes& b = p.p[c];
        for (size_t i = b.size() - 64; i < b.size(); ++i) EXPECT_EQ(b[i], 0xA5) << "plane " << c;
    }
    return o;
}

// PSNR of our plane against the matching part of libjpeg-turbo's padded plane.
double PlanePsnr(const RawPlanes& ours, const RawPlanes& ref, int c) {
    return testutil::Psnr(ours.p[c].data(), ours.widths[c], ref.p[c].data(), ref.widths[c],
                          ours.widths[c], ours.rows[c]);
}

void ExpectMatchesTurbo(const Bytes& bytes, const std::string& what) {
    RawPlanes ref;
    ASSERT_TRUE(DecodeTurboRaw(bytes, &ref)) << what;
    const Ours o = DecodeOurs(bytes);
    ASSERT_EQ(o.rc, kJpegOk) << what;
    const int nc = o.layout == kJpegGrey ? 1 : 3;
    for (int c = 0; c < nc; ++c) {
        ASSERT_LE(o.planes.widths[c], ref.widths[c]) << what;
        ASSERT_LE(o.planes.rows[c], ref.rows[c]) << what;
        // Same integer transform: expect exact samples.
        EXPECT_GE(PlanePsnr(o.planes, ref, c), 999) << what << " plane " << c;
    }
}

TEST(JpegDecode, MatchesLibjpegTurboAcrossLayoutsSizesAndRestarts) {
    struct Kind {
        int components, h, v, layout;
    } kinds[] = {{3, 2, 2, kJpeg420}, {3, 2, 1, kJpeg422},         {3, 1, 2, kJpeg440},
                 {3, 1, 1, kJpeg444}, {3, 4, 1, kJpegHorizontalF}, {1, 1, 1, kJpegGrey}};
    const int sizes[][2] = {{1, 1}, {33, 17}, {64, 48}, {129, 70}};
    for (const Kind& k : kinds) {
        for (const auto& s : sizes) {
            for (int restart : {0, 1, 3}) {
                TurboOptions o;
                o.components = k.components;
                o.h = k.h;
                o.v = k.v;
                o.width = s[0];
                o.height = s[1];
                o.restart = restart;
                o.quality = restart == 3 ? 100 : 90;
                const Bytes b = EncodeTurbo(o);
                const std::string what = "layout " + std::to_string(k.layout) + " " +
                                         std::to_string(s[0]) + "x" + std::to_string(s[1]) +
                                         " restart " + std::to_string(restart);
                ASSERT_FALSE(b.empty()) << what;
                ExpectMatchesTurbo(b, what);
                const Ours ours = DecodeOurs(b);
                EXPECT_EQ(ours.layout, k.layout) << what;
                EXPECT_EQ(ours.factor, k.layout == kJpegHorizontalF ? 4 : 0) << what;
                EXPECT_EQ(ours.width, s[0]);
                EXPECT_EQ(ours.height, s[1]);
            }
        }
    }
}

TEST(JpegDecode, MatchesLibjpegTurboOnCameraFiles) {
    const std::string goexif = "/usr/share/gocode/src/github.com/rwcarlsen/goexif/exif/";
    std::vector<std::string> files = {
        goexif + "sample1.jpg", "/usr/share/xplanet/images/earth.jpg",
        "/usr/share/hugin/xrc/data/help_en_EN/Big_ben_equirectangular.jpg"};
    for (const char* dir : {"samples/", "corrupt/"}) {
        const std::string cmd = "ls " + goexif + dir + "*.jpg 2>/dev/null";
        FILE* p = popen(cmd.c_str(), "r");
        ASSERT_NE(p, nullptr);
        char line[1024];
        while (std::fgets(line, sizeof(line), p)) {
            std::string s(line);
            while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
            files.push_back(s);
        }
        pclose(p);
    }
    int matched = 0;
    for (const std::string& f : files) {
        const Bytes b = testutil::ReadFile(f);
        if (b.empty()) continue;
        RawPlanes ref;
        if (DecodeTurboRaw(b, &ref)) {
            ExpectMatchesTurbo(b, f);
            ++matched;
        } else {
            // Truncated or damaged: any result code will do, as long as nothing breaks.
            DecodeOurs(b);
        }
    }
    EXPECT_GE(matched, 3);
}

TEST(JpegDecode, FastIdctMatchesReference) {
    // Exact on coefficients of real 8x8 sample blocks (noise included, so outputs
    // saturate too); any input at all must still be safe.
    std::mt19937 rng(7);
    double basis[8][8];
    for (int u = 0; u < 8; ++u) {
        for (int x = 0; x < 8; ++x) {
            basis[u][x] = (u ? 0.5 : 0.5 / std::sqrt(2.0)) * std::cos((2 * x + 1) * u * M_PI / 16);
        }
    }
    for (int iter = 0; iter < 20000; ++iter) {
        int16_t coef[64] = {};
        uint16_t quant[64];
        const bool garbage = iter % 10 == 0;
        const int qmax = iter % 3 == 0 ? 2 : 60;
        for (int i = 0; i < 64; ++i) {
            quant[i] = static_cast<uint16_t>(1 + rng() % (garbage ? 65535 : qmax));
        }
        if (garbage) {
            for (int i = 0; i < 64; ++i) coef[i] = static_cast<int16_t>(rng());
        } else {
            double px[64];
            const int smooth = static_cast<int>(rng() % 3);
            for (int i = 0; i < 64; ++i) {
                px[i] = smooth == 0 ? double(rng() % 256) : double((i % 8) * 30 + (i / 8) * 5);
            }
            for (int v = 0; v < 8; ++v) {
                for (int u = 0; u < 8; ++u) {
                    double f = 0;
                    for (int y = 0; y < 8; ++y) {
                        for (int x = 0; x < 8; ++x)
                            f += (px[y * 8 + x] - 128) * basis[u][x] * basis[v][y];
                    }
                    coef[v * 8 + u] = static_cast<int16_t>(std::lround(f / quant[v * 8 + u]));
                }
            }
        }
        uint8_t a[8 * 10], b[8 * 10];
        JpegIdctReference(coef, quant, a, 10);
        JpegIdctFast(coef, quant, b, 10);
        if (garbage) continue;
        for (int r = 0; r < 8; ++r) {
            ASSERT_EQ(0, std::memcmp(a + r * 10, b + r * 10, 8)) << "iteration " << iter;
        }
    }
}

TEST(JpegDecode, RestartMarkersMustComeInOrder) {
    TurboOptions o;
    o.width = 64;
    o.height = 64;
    o.restart = 2;
    Bytes b = EncodeTurbo(o);
    // Swap RST1 for RST2: the decoder must notice rather than decode on.
    size_t at = 0;
    for (size_t i = 2; i + 1 < b.size(); ++i) {
        if (b[i] == 0xFF && b[i + 1] == 0xD1) {
            at = i + 1;
            break;
        }
    }
    ASSERT_NE(at, 0u);
    b[at] = 0xD2;
    EXPECT_EQ(DecodeOurs(b).rc, kJpegCorruptData);
}

Bytes Payload(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return b;
}

TEST(JpegDecode, CarriesApp1Segments) {
    const JpegAllocator alloc = DefaultJpegAllocator();
    {
        // A long Exif keeps its length and first 736 bytes; the rest reads zero.
        TurboOptions o;
        o.app1 = {Payload(20000, 3)};
        JpegExifCarry carry;
        ASSERT_EQ(DecodeOurs(EncodeTurbo(o), &carry).rc, kJpegOk);
        ASSERT_EQ(carry.size, 19996u);
        EXPECT_EQ(0, std::memcmp(carry.data, o.app1[0].data() + 4, 736));
        size_t nonzero = 0;
        for (size_t i = 736; i < carry.size; ++i) nonzero += carry.data[i] != 0;
        EXPECT_EQ(nonzero, 0u);
        JpegReleaseExif(&carry, alloc);
        EXPECT_EQ(carry.data, nullptr);
        EXPECT_EQ(carry.size, 0u);
    }
    {
        // Later segments follow with their own marker and length, cut at 736 bytes in all;
        // one too large for a single segment is dropped. A segment under 4 bytes carries nothing.
        TurboOptions o;
        o.app1 = {Payload(3, 1), Payload(500, 9), Payload(300, 50), Payload(65000, 2),
                  Payload(10, 77)};
        JpegExifCarry carry;
        ASSERT_EQ(DecodeOurs(EncodeTurbo(o), &carry).rc, kJpegOk);
        ASSERT_EQ(carry.size, 496u + 304u + 14u);
        Bytes want(carry.size, 0);
        std::memcpy(want.data(), o.app1[1].data() + 4, 496);
        const uint8_t head[4] = {0xFF, 0xE1, 0x01, 0x2E};  // 300 + 2
        std::memcpy(want.data() + 496, head, 4);
        std::memcpy(want.data() + 500, o.app1[2].data(), 236);
        EXPECT_EQ(Bytes(carry.data, carry.data + carry.size), want);
        JpegReleaseExif(&carry, alloc);
    }
    {
        // No carry asked for: segments are skipped. A truncated APP1 is an early end.
        TurboOptions o;
        o.app1 = {Payload(2000, 5)};
        Bytes b = EncodeTurbo(o);
        EXPECT_EQ(DecodeOurs(b, nullptr).rc, kJpegOk);
        b.resize(1000);
        JpegExifCarry carry;
        EXPECT_EQ(DecodeOurs(b, &carry).rc, kJpegPrematureEnd);
        EXPECT_EQ(carry.data, nullptr);
        EXPECT_EQ(carry.size, 0u);
        EXPECT_EQ(DecodeOurs(b, nullptr).rc, kJpegPrematureEnd);
    }
}

TEST(JpegDecode, RefusesUnsupportedKinds) {
    TurboOptions o;
    o.progressive = true;
    EXPECT_EQ(DecodeOurs(EncodeTurbo(o)).rc, kJpegUnsupported);
    o.progressive = false;
    o.separateScans = true;
    EXPECT_EQ(DecodeOurs(EncodeTurbo(o)).rc, kJpegUnsupported);
    o.separateScans = false;
    o.arithmetic = true;
    const Bytes arith = EncodeTurbo(o);
    if (!arith.empty()) {
        EXPECT_EQ(DecodeOurs(arith).rc, kJpegUnsupported);
    }
    o.arithmetic = false;
    o.h = 3;  // luma 3x1
    EXPECT_EQ(DecodeOurs(EncodeTurbo(o)).rc, kJpegUnsupported);

    // Patch the frame header of a baseline file: lossless, 12-bit, 4:2:0 with SOF1 still fine.
    o.h = 2;
    const Bytes base = EncodeTurbo(o);
    size_t sof = 0;
    for (size_t i = 2; i + 1 < base.size(); ++i) {
        if (base[i] == 0xFF && base[i + 1] == 0xC0) {
            sof = i;
            break;
        }
    }
    ASSERT_NE(sof, 0u);
    for (uint8_t m : {0xC3, 0xC5, 0xC9, 0xCB, 0xCF}) {
        Bytes b = base;
        b[sof + 1] = m;
        EXPECT_EQ(DecodeOurs(b).rc, kJpegUnsupported) << int(m);
    }
    Bytes b = base;
    b[sof + 4] = 12;
    EXPECT_EQ(DecodeOurs(b).rc, kJpegUnsupported);
    b = base;
    b[sof + 1] = 0xC1;
    EXPECT_EQ(DecodeOurs(b).rc, kJpegOk);
}

TEST(JpegDecode, CorruptAndTruncatedInputsGiveCodes) {
    EXPECT_EQ(DecodeOurs(Bytes{}).rc, kJpegPrematureEnd);
    EXPECT_EQ(DecodeOurs(Bytes{'G', 'I', 'F', '8', '9', 'a'}).rc, kJpegCorruptData);
    TurboOptions o;
    o.width = 100;
    o.height = 60;
    o.restart = 4;
    const Bytes good = EncodeTurbo(o);
    ASSERT_EQ(DecodeOurs(good).rc, kJpegOk);
    // Cut anywhere before the end of the entropy data: an early end, at Open or in a strip.
    for (size_t n = 0; n + 2 < good.size(); n += 13) {
        const Bytes cut(good.begin(), good.begin() + n);
        EXPECT_EQ(DecodeOurs(cut).rc, kJpegPrematureEnd) << n;
    }
    // Damaged bytes: some code or success, never a fault (the planes' guards are checked).
    std::mt19937 rng(11);
    for (int iter = 0; iter < 300; ++iter) {
        Bytes b = good;
        for (int k = 0; k < 1 + iter % 4; ++k) b[rng() % b.size()] = static_cast<uint8_t>(rng());
        const int rc = DecodeOurs(b).rc;
        EXPECT_TRUE(rc == kJpegOk || rc == kJpegCorruptData || rc == kJpegPrematureEnd ||
                    rc == kJpegUnsupported)
            << rc;
    }
}

// Offset of the first entropy-coded byte (after the SOS segment).
size_t EntropyStart(const Bytes& b) {
    for (size_t i = 2; i + 3 < b.size(); ++i) {
        if (b[i] == 0xFF && b[i + 1] == 0xDA) return i + 2 + (size_t{b[i + 2]} << 8) + b[i + 3];
    }
    return 0;
}

// The bit reader takes eight bytes at once when none is 0xFF and falls back
// to single bytes for stuffing, markers and the end of the buffer: dense
// 0xFF data (quality 100), restarts at every interval length, streams cut at
// every byte near the end, and a marker dropped into the data.
TEST(JpegDecode, EntropyDataWithStuffingRestartsAndCuts) {
    for (int restart : {0, 1, 2, 7}) {
        for (uint32_t seed : {1u, 2u}) {
            TurboOptions o;
            o.width = 129;
            o.height = 70;
            o.quality = 100;
            o.restart = restart;
            const Bytes b = EncodeTurbo(o, seed);
            ASSERT_FALSE(b.empty());
            size_t ff = 0;
            for (size_t i = EntropyStart(b); i + 1 < b.size(); ++i) ff += b[i] == 0xFF;
            EXPECT_GT(ff, 50u) << "too little stuffing to test";
            ExpectMatchesTurbo(b, "restart " + std::to_string(restart));
        }
    }
    TurboOptions o;
    o.width = 129;
    o.height = 70;
    o.quality = 100;
    const Bytes good = EncodeTurbo(o);
    const size_t start = EntropyStart(good);
    ASSERT_GT(start, 0u);
    for (size_t n = good.size() - 300; n + 2 < good.size(); ++n) {
        const Bytes cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_EQ(DecodeOurs(cut).rc, kJpegPrematureEnd) << n;
    }
    for (size_t at = start + 1; at + 300 < good.size(); at += 97) {
        for (uint8_t marker : {uint8_t{0xD0}, uint8_t{0xD9}, uint8_t{0xC4}}) {
            Bytes b = good;
            const uint8_t m[2] = {0xFF, marker};
            b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), m, m + 2);
            EXPECT_EQ(DecodeOurs(b).rc, kJpegCorruptData) << at << " " << int(marker);
        }
    }
}

// A greyscale picture of random sparse blocks, entropy-coded with an AC table
// whose code lengths (1..16 bits) are dealt to the symbols at random: every
// pairing of code length and magnitude size occurs, on both sides of the
// decoder's one-step lookup of code and magnitude bits together, beside
// codes only the long-code search finds, zero-run codes and blocks without
// an end-of-block code.
Bytes ShuffledTablePicture(uint32_t seed, int width, int height) {
    std::mt19937 rng(seed);
    const uint8_t dcCounts[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
    const uint8_t acCounts[16] = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
    std::vector<uint8_t> acSymbols = {0x00, 0xF0};
    for (int r = 0; r < 16; ++r)
        for (int sz = 1; sz <= 10; ++sz) acSymbols.push_back(static_cast<uint8_t>(r << 4 | sz));
    std::shuffle(acSymbols.begin(), acSymbols.end(), rng);
    // Canonical codes of both tables.
    uint32_t dcCode[12], acCode[256] = {};
    int dcLen[12], acLen[256] = {};
    const auto assign = [](const uint8_t* counts, const uint8_t* symbols, uint32_t* code,
                           int* len) {
        uint32_t c = 0;
        int k = 0;
        for (int l = 1; l <= 16; ++l, c <<= 1) {
            for (int i = 0; i < counts[l - 1]; ++i, ++k, ++c) {
                code[symbols[k]] = c;
                len[symbols[k]] = l;
            }
        }
    };
    const uint8_t dcSymbols[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    assign(dcCounts, dcSymbols, dcCode, dcLen);
    assign(acCounts, acSymbols.data(), acCode, acLen);

    Bytes out = {0xFF, 0xD8, 0xFF, 0xDB, 0, 67, 0};
    out.insert(out.end(), 64, 1);  // every quantiser 1
    const uint8_t sof[] = {0xFF,
                           0xC0,
                           0,
                           11,
                           8,
                           static_cast<uint8_t>(height >> 8),
                           static_cast<uint8_t>(height),
                           static_cast<uint8_t>(width >> 8),
                           static_cast<uint8_t>(width),
                           1,
                           1,
                           0x11,
                           0};
    out.insert(out.end(), sof, sof + sizeof(sof));
    const uint8_t dht[] = {0xFF, 0xC4, 0, 2 + 17 + 12 + 17 + 162, 0x00};
    out.insert(out.end(), dht, dht + sizeof(dht));
    out.insert(out.end(), dcCounts, dcCounts + 16);
    out.insert(out.end(), dcSymbols, dcSymbols + 12);
    out.push_back(0x10);
    out.insert(out.end(), acCounts, acCounts + 16);
    out.insert(out.end(), acSymbols.begin(), acSymbols.end());
    const uint8_t sos[] = {0xFF, 0xDA, 0, 8, 1, 1, 0x00, 0, 63, 0};
    out.insert(out.end(), sos, sos + sizeof(sos));

    uint64_t acc = 0;
    int nbits = 0;
    const auto put = [&](uint32_t code, int len) {
        acc = (acc << len) | code;
        for (nbits += len; nbits >= 8; nbits -= 8) {
            const uint8_t b = static_cast<uint8_t>(acc >> (nbits - 8));
            out.push_back(b);
            if (b == 0xFF) out.push_back(0);
        }
    };
    const auto putValue = [&](int v, const uint32_t* code, const int* len, int run) {
        const int a = std::abs(v);
        int sz = 0;
        while ((1 << sz) <= a) ++sz;
        const int sym = run << 4 | sz;
        put(code[sym], len[sym]);
        if (sz) put(static_cast<uint32_t>(v < 0 ? v + (1 << sz) - 1 : v), sz);
    };
    const int blocks = ((width + 7) / 8) * ((height + 7) / 8);
    int pred = 0;
    for (int b = 0; b < blocks; ++b) {
        const int dc = static_cast<int>(rng() % 201) - 100;
        putValue(dc - pred, dcCode, dcLen, 0);
        pred = dc;
        // Up to six terms whose magnitudes sum below 5000 keep both decoders'
        // transforms exact, so the samples must agree.
        std::vector<int> pos;
        const int terms = static_cast<int>(rng() % 7);
        for (int t = 0; t < terms; ++t) pos.push_back(1 + static_cast<int>(rng() % 63));
        if (b % 5 == 0) pos.push_back(63);  // no end-of-block code
        std::sort(pos.begin(), pos.end());
        pos.erase(std::unique(pos.begin(), pos.end()), pos.end());
        int last = 0;
        for (int k : pos) {
            int run = k - last - 1;
            for (; run >= 16; run -= 16) put(acCode[0xF0], acLen[0xF0]);
            const int sz = 1 + static_cast<int>(rng() % 10);
            int v = (1 << (sz - 1)) + static_cast<int>(rng() % (1u << (sz - 1)));
            v = std::min(v, 800);
            putValue(rng() & 1 ? v : -v, acCode, acLen, run);
            last = k;
        }
        if (last < 63) put(acCode[0x00], acLen[0x00]);
    }
    put((1u << ((8 - nbits) & 7)) - 1, (8 - nbits) & 7);
    out.push_back(0xFF);
    out.push_back(0xD9);
    return out;
}

TEST(JpegDecode, MatchesLibjpegTurboWithShuffledCodeLengths) {
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        const Bytes b = ShuffledTablePicture(seed, 96, 88);
        ExpectMatchesTurbo(b, "seed " + std::to_string(seed));
        // Cut short, the same data ends early rather than decoding garbage.
        const Bytes cut(b.begin(), b.end() - static_cast<std::ptrdiff_t>(b.size() / 3));
        EXPECT_EQ(DecodeOurs(cut).rc, kJpegPrematureEnd) << seed;
    }
}

struct CountingHeap {
    int live = 0;
    int failAfter = -1;  // allocations left before one fails; -1 never
};
void* CountingAllocate(void* opaque, size_t bytes) {
    auto* h = static_cast<CountingHeap*>(opaque);
    if (h->failAfter == 0) return nullptr;
    if (h->failAfter > 0) --h->failAfter;
    ++h->live;
    return std::malloc(bytes);
}
void CountingRelease(void* opaque, void* block) {
    if (block == nullptr) return;
    --static_cast<CountingHeap*>(opaque)->live;
    std::free(block);
}

TEST(JpegDecode, UsesCallersAllocatorAndChecksArguments) {
    TurboOptions o;
    o.app1 = {Payload(100, 1), Payload(50, 2)};
    const Bytes b = EncodeTurbo(o);
    for (int failAfter = 0; failAfter < 8; ++failAfter) {
        CountingHeap heap;
        heap.failAfter = failAfter;
        const JpegAllocator alloc{&CountingAllocate, &CountingRelease, &heap};
        platform::MemorySource src(b.data(), b.size());
        JpegExifCarry carry;
        JpegDecoder dec;
        const int rc = dec.Open(src, alloc, &carry);
        EXPECT_TRUE(rc == kJpegOk || rc == kJpegNoMemory) << rc;
        if (rc == kJpegOk) {
            EXPECT_EQ(carry.size, 96u + 54u);
        }
        dec.Close();
        JpegReleaseExif(&carry, alloc);
        EXPECT_EQ(heap.live, 0) << failAfter;
    }

    JpegDecoder dec;
    uint8_t buf[64 * 64];
    int rows = -1;
    EXPECT_EQ(dec.DecodeStrip(buf, 64, buf, buf, 64, &rows), kJpegBadArgument);
    platform::MemorySource src(b.data(), b.size());
    ASSERT_EQ(dec.Open(src, DefaultJpegAllocator(), nullptr), kJpegOk);
    EXPECT_EQ(dec.OutputWidth(), 34);
    EXPECT_EQ(dec.OutputHeight(), 18);
    EXPECT_EQ(dec.DecodeStrip(buf, 64, buf, buf, 64, nullptr), kJpegBadArgument);
    EXPECT_EQ(dec.DecodeStrip(buf, 33, buf, buf, 64, &rows), kJpegBadArgument);
    EXPECT_EQ(dec.DecodeStrip(buf, 64, nullptr, buf, 64, &rows), kJpegBadArgument);
    EXPECT_EQ(dec.DecodeStrip(buf, 64, buf, buf, 16, &rows), kJpegBadArgument);
    EXPECT_EQ(dec.DecodeStrip(buf, 64, buf, buf, 17, &rows), kJpegOk);
    EXPECT_EQ(rows, 16);
    EXPECT_EQ(dec.DecodeStrip(buf, 64, buf, buf, 17, &rows), kJpegOk);
    EXPECT_EQ(rows, 2);
    EXPECT_EQ(dec.DecodeStrip(buf, 64, buf, buf, 17, &rows), kJpegOk);
    EXPECT_EQ(rows, 0);
}

}  // namespace
