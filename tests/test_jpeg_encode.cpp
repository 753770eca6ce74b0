// The baseline JPEG encoder: segment layout, tables, edge handling, and its
// output checked with libjpeg-turbo, djpeg, cjpeg and exiftool.
#include <gtest/gtest.h>
// clang-format off
#include <cstdio>  // jpeglib.h needs FILE
#include <jpeglib.h>
// clang-format on

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "../jpeg/src/jpeg_tables.h"
#include "jpeg/jpeg.h"
#include "platform/bytes.h"
#include "platform/file.h"
#include "platform/worker_pool.h"
#include "support/command.h"
#include "support/files.h"
#include "support/libjpeg.h"
#include "support/peers.h"
#include "support/picture.h"

using testutil::RunCommand;

namespace {

using testutil::Bytes;
using testutil::DecodeTurboRgb;
using testutil::EncodeOurs;
using testutil::EncodeToBytes;
using testutil::Interleaved;
using testutil::Picture;
using testutil::ReadFile;

// RGB to 4:2:0 the way libjpeg does it: fixed-point JFIF equations with 16
// fractional bits, then 2x2 averages with the alternating bias 1, 2.
Picture ToPlanes(const Interleaved& rgb) {
    const auto fix = [](double v) { return static_cast<int32_t>(v * 65536.0 + 0.5); };
    const int32_t half = 1 << 15, offset = 128 << 16;
    Picture p(rgb.w, rgb.h);
    const size_t n = static_cast<size_t>(p.w) * p.h;
    Bytes cb(n), cr(n);
    for (size_t i = 0; i < n; ++i) {
        const int32_t r = rgb.px[3 * i], g = rgb.px[3 * i + 1], b = rgb.px[3 * i + 2];
        p.y[i] =
            static_cast<uint8_t>((fix(0.299) * r + fix(0.587) * g + fix(0.114) * b + half) >> 16);
        cb[i] = static_cast<uint8_t>(
            (-fix(0.16874) * r - fix(0.33126) * g + fix(0.5) * b + offset + half - 1) >> 16);
        cr[i] = static_cast<uint8_t>(
            (fix(0.5) * r - fix(0.41869) * g - fix(0.08131) * b + offset + half - 1) >> 16);
    }
    for (int y = 0; y < p.ch(); ++y) {
        int bias = 1;
        for (int x = 0; x < p.cw(); ++x) {
            const int x0 = 2 * x, x1 = std::min(2 * x + 1, p.w - 1);
            const int y0 = 2 * y, y1 = std::min(2 * y + 1, p.h - 1);
            const auto avg = [&](const Bytes& f) {
                return static_cast<uint8_t>((f[y0 * p.w + x0] + f[y0 * p.w + x1] +
                                             f[y1 * p.w + x0] + f[y1 * p.w + x1] + bias) >>
                                            2);
            };
            p.cb[y * p.cw() + x] = avg(cb);
            p.cr[y * p.cw() + x] = avg(cr);
            bias ^= 3;
        }
    }
    return p;
}

// A picture with gradients, edges and noise.
Picture Synthetic(int w, int h) {
    Picture p(w, h);
    uint32_t n = 7;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            n = n * 1664525u + 1013904223u;
            p.y[y * w + x] =
                static_cast<uint8_t>(((x / 5 + y / 3) & 1 ? x * 7 : 200 - y) ^ (n >> 28));
        }
    for (size_t i = 0; i < p.cb.size(); ++i) {
        p.cb[i] = static_cast<uint8_t>(i * 13);
        p.cr[i] = static_cast<uint8_t>(255 - i * 5);
    }
    return p;
}

struct Segment {
    uint8_t marker;
    size_t offset;  // of the 0xFF
    size_t length;  // the length field; 0 for SOI
};

// The marker segments up to and including SOS.
std::vector<Segment> Segments(const Bytes& b) {
    std::vector<Segment> out;
    size_t i = 0;
    while (i + 1 < b.size() && b[i] == 0xFF) {
        const uint8_t m = b[i + 1];
        if (m == kJpegSoi) {
            out.push_back({m, i, 0});
            i += 2;
            continue;
        }
        if (i + 3 >= b.size()) break;
        const size_t len = platform::Be16(&b[i + 2]);
        out.push_back({m, i, len});
        if (m == kJpegSos) break;
        i += 2 + len;
    }
    return out;
}

// The DQT tables (zigzag order) of our output.
void QuantTables(const Bytes& b, uint8_t luma[64], uint8_t chroma[64]) {
    for (const Segment& s : Segments(b)) {
        if (s.marker != kJpegDqt) continue;
        for (size_t p = s.offset + 4; p + 65 <= s.offset + 2 + s.length; p += 65) {
            std::memcpy((b[p] & 15) == 0 ? luma : chroma, &b[p + 1], 64);
        }
    }
}

class FailingSink : public platform::ByteSink {
  public:
    explicit FailingSink(size_t budget) : budget_(budget) {}
    bool Write(const void*, size_t n) override {
        if (n > budget_) return false;
        budget_ -= n;
        return true;
    }

  private:
    size_t budget_;
};

}  // namespace

TEST(JpegEncode, XmpPacketLayout) {
    static_assert(sizeof(kPanoramaXmpPacket) == 1057, "packet size");
    const char* ns = "http://ns.adobe.com/xap/1.0/";
    EXPECT_EQ(std::memcmp(kPanoramaXmpPacket, ns, 28), 0);
    EXPECT_EQ(kPanoramaXmpPacket[28], 0);
    EXPECT_EQ(kPanoramaXmpPacket[1056], 0);
    const std::string xml(reinterpret_cast<const char*>(kPanoramaXmpPacket) + 29, 1027);
    EXPECT_EQ(xml.find('\0'), std::string::npos);
    EXPECT_EQ(xml.rfind("<x:xmpmeta", 0), 0u);
    EXPECT_EQ(xml.substr(xml.size() - 13), "</x:xmpmeta>\n");
    EXPECT_NE(xml.find("GPano:FullPanoWidthPixels=\"3008\""), std::string::npos);

    EXPECT_EQ(JpegQualityForIndex(0), 90);
    EXPECT_EQ(JpegQualityForIndex(1), 99);
    EXPECT_EQ(JpegQualityForIndex(2), 100);
    EXPECT_EQ(JpegQualityForIndex(7), 99);
}

namespace {

std::string PacketText(const uint8_t* p, size_t n) {
    return std::string(reinterpret_cast<const char*>(p), n);
}

// The fixed packet with the six size fields' values replaced.
std::string FixedPacketWithSize(const std::string& w, const std::string& h) {
    std::string t = PacketText(kPanoramaXmpPacket, sizeof(kPanoramaXmpPacket));
    int replaced = 0;
    for (const auto& [from, to] : {std::make_pair(std::string("\"3008\""), "\"" + w + "\""),
                                   std::make_pair(std::string("\"1504\""), "\"" + h + "\"")}) {
        for (size_t at = t.find(from); at != std::string::npos; at = t.find(from, at + to.size())) {
            t.replace(at, from.size(), to);
            ++replaced;
        }
    }
    EXPECT_EQ(replaced, 6);
    return t;
}

}  // namespace

// The packet of a picture's own size: 3008 x 1504 gives the fixed packet byte for byte, any
// other size the same packet with the six size fields changed, and nothing else.
TEST(JpegEncode, XmpPacketOfThePictureSize) {
    uint8_t p[kPanoramaXmpMaxBytes];
    ASSERT_EQ(PanoramaXmpPacket(3008, 1504, p), sizeof(kPanoramaXmpPacket));
    EXPECT_EQ(std::memcmp(p, kPanoramaXmpPacket, sizeof(kPanoramaXmpPacket)), 0);
    const struct {
        int w, h;
        const char *ws, *hs;
    } sizes[] = {{1440, 720, "1440", "720"},
                 {2, 1, "2", "1"},
                 {65535, 65535, "65535", "65535"},
                 {2147483647, 2147483647, "2147483647", "2147483647"}};
    for (const auto& sz : sizes) {
        const size_t n = PanoramaXmpPacket(sz.w, sz.h, p);
        ASSERT_LE(n, kPanoramaXmpMaxBytes);
        // Namespace id and its zero, the XML, a final zero; no other zero byte.
        const int digits = static_cast<int>(std::strlen(sz.ws) + std::strlen(sz.hs));
        ASSERT_EQ(n, static_cast<size_t>(1057 + 3 * (digits - 8))) << sz.ws;
        EXPECT_EQ(PacketText(p, n), FixedPacketWithSize(sz.ws, sz.hs)) << sz.ws;
        EXPECT_EQ(p[28], 0);
        EXPECT_EQ(p[n - 1], 0);
        EXPECT_EQ(PacketText(p + 29, n - 30).find('\0'), std::string::npos);
    }
    EXPECT_EQ(PanoramaXmpPacket(0, 10, p), 0u);
    EXPECT_EQ(PanoramaXmpPacket(10, -1, p), 0u);
}

TEST(JpegEncode, SegmentOrderWithAndWithoutExif) {
    const Picture p = Synthetic(40, 24);
    Bytes exif = {0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0};
    for (int withExif = 0; withExif < 2; ++withExif) {
        const Bytes b = EncodeToBytes(p, -1, withExif ? &exif : nullptr);
        const std::vector<Segment> s = Segments(b);
        ASSERT_EQ(s.size(), 7u);
        const uint8_t order[] = {
            kJpegSoi, withExif ? kJpegApp1 : kJpegApp0, kJpegApp1, kJpegDqt, kJpegSof0, kJpegDht,
            kJpegSos};
        for (size_t i = 0; i < s.size(); ++i) EXPECT_EQ(s[i].marker, order[i]) << i;
        if (withExif) {
            EXPECT_EQ(s[1].length, exif.size() + 6);
            EXPECT_EQ(std::memcmp(&b[s[1].offset + 4], "Exif", 4), 0);
            EXPECT_EQ(std::memcmp(&b[s[1].offset + 8], exif.data(), exif.size()), 0);
        } else {
            const uint8_t jfif[] = {0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0,
                                    1,    1,    0, 0,  1,   0,   1,   0,   0};
            EXPECT_EQ(std::memcmp(&b[0] + 2, jfif, sizeof(jfif)), 0);
        }
        // The XMP packet of a 40 x 24 picture: 1045 bytes.
        uint8_t xmp[kPanoramaXmpMaxBytes];
        ASSERT_EQ(PanoramaXmpPacket(40, 24, xmp), 1045u);
        EXPECT_EQ(b[s[2].offset + 2], 0x04);
        EXPECT_EQ(b[s[2].offset + 3], 0x17);
        EXPECT_EQ(std::memcmp(&b[s[2].offset + 4], xmp, 1045), 0);
        // SOF0: 8-bit, size, Y 2x2 on table 0, chroma 1x1 on table 1.
        const uint8_t* f = &b[s[4].offset + 4];
        const uint8_t sof[] = {8, 0, 24, 0, 40, 3, 1, 0x22, 0, 2, 0x11, 1, 3, 0x11, 1};
        EXPECT_EQ(std::memcmp(f, sof, sizeof(sof)), 0);
        ASSERT_GE(b.size(), 2u);
        EXPECT_EQ(b[b.size() - 2], 0xFF);
        EXPECT_EQ(b[b.size() - 1], kJpegEoi);
        Interleaved rgb;
        EXPECT_TRUE(DecodeTurboRgb(b, &rgb));
    }
}

TEST(JpegEncode, RefusesBadArgumentsAndOversizedExif) {
    platform::MemorySink sink;
    JpegEncoder enc;
    EXPECT_EQ(enc.Open(sink, 0, 8, DefaultJpegAllocator()), kJpegBadArgument);
    EXPECT_EQ(enc.Open(sink, 8, 70000, DefaultJpegAllocator()), kJpegBadArgument);
    EXPECT_EQ(enc.Encode(nullptr, 0, nullptr, nullptr, 0), kJpegBadArgument);
    EXPECT_EQ(enc.Finish(), kJpegBadArgument);

    const Picture p = Synthetic(16, 16);
    Bytes exif(65535 - 6 + 1, 0);
    platform::MemorySink big;
    EXPECT_EQ(EncodeOurs(p, big, 90, &exif), kJpegBadArgument);
    exif.pop_back();  // the largest that fits
    const Bytes b = EncodeToBytes(p, 90, &exif);
    ASSERT_FALSE(b.empty());
    EXPECT_EQ(b[4], 0xFF);
    EXPECT_EQ(b[5], 0xFF);
    Interleaved rgb;
    EXPECT_TRUE(DecodeTurboRgb(b, &rgb));
}

TEST(JpegEncode, QualityTables) {
    const Picture p = Synthetic(16, 16);
    uint8_t luma[64], chroma[64];
    // Quality 90: scale 20 of the example tables; zigzag order.
    QuantTables(EncodeToBytes(p), luma, chroma);
    const uint8_t luma90[8] = {3, 2, 2, 3, 2, 2, 3, 3};
    EXPECT_EQ(std::memcmp(luma, luma90, 8), 0);
    EXPECT_EQ(luma[63], 20);
    EXPECT_EQ(chroma[0], 3);
    EXPECT_EQ(chroma[63], 20);
    QuantTables(EncodeToBytes(p, JpegQualityForIndex(1)), luma, chroma);
    EXPECT_EQ(luma[0], 1);   // (2*16 + 50) / 100
    EXPECT_EQ(luma[63], 2);  // (2*99 + 50) / 100
    EXPECT_EQ(chroma[63], 2);
    QuantTables(EncodeToBytes(p, JpegQualityForIndex(2)), luma, chroma);
    for (int k = 0; k < 64; ++k) {
        EXPECT_EQ(luma[k], 1);
        EXPECT_EQ(chroma[k], 1);
    }
    // Quality 0 clamps to 1: luma saturates at 255, chroma at 240.
    QuantTables(EncodeToBytes(p, 0), luma, chroma);
    EXPECT_EQ(luma[0], 255);
    EXPECT_EQ(chroma[63], 240);

    // Same quantisation and Huffman tables as libjpeg-turbo's defaults.
    jpeg_compress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    cinfo.in_color_space = JCS_YCbCr;
    cinfo.input_components = 3;
    jpeg_set_defaults(&cinfo);
    for (int q : {25, 50, 75, 90, 99}) {
        jpeg_set_quality(&cinfo, q, TRUE);
        const Bytes b = EncodeToBytes(p, q);
        QuantTables(b, luma, chroma);
        for (int k = 0; k < 64; ++k) {
            EXPECT_EQ(luma[k], cinfo.quant_tbl_ptrs[0]->quantval[kJpegZigzag[k]]) << q << " " << k;
            EXPECT_EQ(chroma[k], cinfo.quant_tbl_ptrs[1]->quantval[kJpegZigzag[k]])
                << q << " " << k;
        }
        if (q != 90) continue;
        for (const Segment& s : Segments(b)) {
            if (s.marker != kJpegDht) continue;
            ASSERT_EQ(s.length, 2u + 4 * 17 + 2 * 12 + 2 * 162);
            size_t at = s.offset + 4;
            for (int t = 0; t < 4; ++t) {
                const uint8_t id = b[at];
                JHUFF_TBL* ref =
                    (id >> 4) ? cinfo.ac_huff_tbl_ptrs[id & 15] : cinfo.dc_huff_tbl_ptrs[id & 15];
                ASSERT_NE(ref, nullptr);
                int count = 0;
                for (int l = 1; l <= 16; ++l) {
                    EXPECT_EQ(b[at + l], ref->bits[l]) << int{id} << " " << l;
                    count += ref->bits[l];
                }
                for (int i = 0; i < count; ++i) EXPECT_EQ(b[at + 17 + i], ref->huffval[i]);
                at += 17 + count;
            }
        }
    }
    jpeg_destroy_compress(&cinfo);
}

TEST(JpegEncode, OddSizesDecodeAtTheirSize) {
    const int sizes[][2] = {{33, 17}, {1, 1}, {17, 64}, {250, 3}};
    for (const auto& s : sizes) {
        const Picture p = Synthetic(s[0], s[1]);
        const Bytes b = EncodeToBytes(p, 100);
        Interleaved rgb;
        ASSERT_TRUE(DecodeTurboRgb(b, &rgb)) << s[0] << "x" << s[1];
        EXPECT_EQ(rgb.w, s[0]);
        EXPECT_EQ(rgb.h, s[1]);
        // At quality 100 the decoded luma stays close to the source, edges included.
        Interleaved ycc;
        ASSERT_TRUE(testutil::DecodeTurboYcc(b, &ycc)) << s[0] << "x" << s[1];
        int worst = 0;
        for (int y = 0; y < s[1]; ++y)
            for (int x = 0; x < s[0]; ++x)
                worst = std::max(worst, std::abs(ycc.px[3 * (y * s[0] + x)] - p.y[y * s[0] + x]));
        EXPECT_LE(worst, 2) << s[0] << "x" << s[1];
    }
}

TEST(JpegEncode, FailingSinkGivesWriteFailed) {
    const Picture p = Synthetic(300, 200);
    const size_t full = EncodeToBytes(p).size();
    for (size_t budget : {size_t{0}, size_t{1200}, full / 2, full - 1}) {
        FailingSink sink(budget);
        EXPECT_EQ(EncodeOurs(p, sink), kJpegWriteFailed) << budget;
    }
    FailingSink enough(full);
    EXPECT_EQ(EncodeOurs(p, enough), kJpegOk);
}

// A real photo through ours and through cjpeg at quality 90: djpeg reads ours
// without a word, and size and PSNR stay close to cjpeg's.
TEST(JpegEncode, MatchesCjpegOnAPhoto) {
    const Bytes src = ReadFile("/usr/share/xplanet/images/earth.jpg");
    Interleaved rgb;
    if (src.empty() || !DecodeTurboRgb(src, &rgb)) GTEST_SKIP() << "no test photo";
    const Picture p = ToPlanes(rgb);
    testutil::TempDir dir;
    const std::string ours = dir.File("ours.jpg"), ppm = dir.File("src.ppm"),
                      theirs = dir.File("cjpeg.jpg");
    {
        platform::FileWriter f;
        ASSERT_EQ(f.Open(ours.c_str()), 0);
        ASSERT_EQ(EncodeOurs(p, f, 90), kJpegOk);
        ASSERT_TRUE(f.Close());
    }
    {
        Bytes pnm;
        const std::string head =
            "P6\n" + std::to_string(rgb.w) + " " + std::to_string(rgb.h) + "\n255\n";
        pnm.assign(head.begin(), head.end());
        pnm.insert(pnm.end(), rgb.px.begin(), rgb.px.end());
        testutil::WriteBytes(ppm, pnm);
    }
    testutil::ExpectDjpegAccepts(ours);
    int status = -1;
    RunCommand("cjpeg -quality 90 -sample 2x2 -baseline -outfile " + testutil::ShellQuote(theirs) +
                   " " + testutil::ShellQuote(ppm) + " 2>&1",
               &status);
    ASSERT_EQ(status, 0);

    const Bytes a = ReadFile(ours), b = ReadFile(theirs);
    Interleaved ra, rb;
    ASSERT_TRUE(DecodeTurboRgb(a, &ra));
    ASSERT_TRUE(DecodeTurboRgb(b, &rb));
    // Our headers carry the XMP packet; compare what follows the headers.
    const double sizeA = static_cast<double>(a.size()) - 1061,
                 sizeB = static_cast<double>(b.size());
    const double psnrA = testutil::Psnr(rgb.px, ra.px), psnrB = testutil::Psnr(rgb.px, rb.px);
    std::printf("ours %zu bytes %.3f dB, cjpeg %zu bytes %.3f dB\n", a.size(), psnrA, b.size(),
                psnrB);
    EXPECT_LT(std::fabs(sizeA / sizeB - 1.0), 0.03);
    EXPECT_LT(std::fabs(psnrA - psnrB), 0.2);

    const std::string tags = testutil::Exiftool("-s -XMP-GPano:all", ours, &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(tags.find("ProjectionType"), std::string::npos) << tags;
    EXPECT_NE(tags.find("equirectangular"), std::string::npos) << tags;
    EXPECT_NE(tags.find("FullPanoWidthPixels             : 2048"), std::string::npos) << tags;
    EXPECT_NE(tags.find("FullPanoHeightPixels            : 1024"), std::string::npos) << tags;
}

namespace {

// Zigzag-order blocks for the entropy coder: legal magnitudes only (AC terms
// up to 10 bits, DC terms whose differences fit 11 bits).
std::vector<int16_t> EntropyTestBlocks(std::mt19937& rng, std::vector<uint8_t>* tables) {
    std::vector<int16_t> blocks;
    auto add = [&](const int16_t* zz, uint8_t table) {
        blocks.insert(blocks.end(), zz, zz + 64);
        tables->push_back(table);
    };
    int16_t zz[64];
    for (uint8_t t = 0; t < 2; ++t) {
        // Extremes: every AC term at +-1023 (all-ones magnitude bits, which
        // fill bytes with 0xFF), DC swinging end to end.
        for (int16_t v : {int16_t{1023}, int16_t{-1023}, int16_t{1}, int16_t{-1}}) {
            std::fill(zz, zz + 64, v);
            zz[0] = static_cast<int16_t>(v > 0 ? 1023 : -1023);
            add(zz, t);
        }
        // Long zero runs: a single term at each position (up to three ZRL
        // symbols before it), and empty blocks.
        for (int k = 1; k < 64; ++k) {
            std::fill(zz, zz + 64, int16_t{0});
            zz[k] = static_cast<int16_t>(k % 2 ? 1023 : -512);
            add(zz, t);
        }
        std::fill(zz, zz + 64, int16_t{0});
        add(zz, t);
        zz[63] = 1;
        add(zz, t);
    }
    for (int n = 0; n < 3000; ++n) {
        const int density = 1 + static_cast<int>(rng() % 16);
        for (int k = 0; k < 64; ++k) {
            const int mag = 1 << (rng() % 11);
            const int v = static_cast<int>(rng() % static_cast<unsigned>(mag));
            zz[k] = rng() % static_cast<unsigned>(density) == 0
                        ? static_cast<int16_t>(std::min(v, 1023) * (rng() % 2 ? 1 : -1))
                        : int16_t{0};
        }
        zz[0] = static_cast<int16_t>(static_cast<int>(rng() % 2047) - 1023);
        add(zz, static_cast<uint8_t>(n % 6 < 4 ? 0 : 1));
    }
    return blocks;
}

TEST(JpegEncode, FastEntropyCoderMatchesReference) {
    std::mt19937 rng(23);
    std::vector<uint8_t> tables;
    const std::vector<int16_t> blocks = EntropyTestBlocks(rng, &tables);
    const size_t count = tables.size();
    // Whole runs, and short prefixes that end at every bit position.
    for (size_t n : {count, size_t{1}, size_t{2}, size_t{3}, size_t{5}, size_t{7}, size_t{130}}) {
        std::vector<uint8_t> want(1024 * n), got(1024 * n);
        const size_t wantSize =
            JpegEntropyCodeBlocks(blocks.data(), tables.data(), n, false, want.data());
        const size_t gotSize =
            JpegEntropyCodeBlocks(blocks.data(), tables.data(), n, true, got.data());
        ASSERT_EQ(wantSize, gotSize) << n;
        ASSERT_TRUE(std::equal(want.begin(), want.begin() + wantSize, got.begin())) << n;
        // Byte stuffing: every 0xFF is followed by a zero.
        for (size_t i = 0; i < gotSize; ++i) {
            if (got[i] == 0xFF) {
                ASSERT_LT(i + 1, gotSize);
                EXPECT_EQ(got[i + 1], 0) << i;
                ++i;
            }
        }
    }
}

// Pictures whose entropy data is dense with 0xFF bytes and long codes: noise
// at quality 100, odd sizes. libjpeg-turbo must read them without a warning
// and get the samples back closely.
TEST(JpegEncode, NoisePicturesRoundTripThroughLibjpegTurbo) {
    std::mt19937 rng(29);
    for (const auto& size : {std::pair<int, int>{16, 16}, {37, 23}, {200, 120}}) {
        const int w = size.first, h = size.second, cw = (w + 1) / 2, ch = (h + 1) / 2;
        Bytes y(static_cast<size_t>(w) * h), cb(static_cast<size_t>(cw) * ch), cr(cb.size());
        for (auto* p : {&y, &cb, &cr})
            for (auto& v : *p) v = static_cast<uint8_t>(rng() % 2 ? rng() : (rng() % 2) * 255);
        platform::MemorySink sink;
        JpegEncoder enc;
        ASSERT_EQ(enc.Open(sink, w, h, DefaultJpegAllocator()), kJpegOk);
        enc.SetQuality(100);
        ASSERT_EQ(enc.Encode(y.data(), static_cast<size_t>(w), cb.data(), cr.data(),
                             static_cast<size_t>(cw)),
                  kJpegOk);
        ASSERT_EQ(enc.Finish(), kJpegOk);
        testutil::RawPlanes got;
        ASSERT_TRUE(testutil::DecodeTurboRaw(Bytes(sink.data(), sink.data() + sink.size()), &got))
            << w << "x" << h;
        // At quality 100 the round trip stays close to the input on every plane.
        EXPECT_GT(testutil::Psnr(got.p[0].data(), static_cast<size_t>(got.widths[0]), y.data(),
                                 static_cast<size_t>(w), w, h),
                  30.0);
    }
}

// The parallel coder: every MCU row a restart interval. libjpeg-turbo reads
// exactly the samples the serial coder's file gives (the coefficients are the
// same), the markers are where they belong, and a failing sink is reported.
TEST(JpegEncode, ParallelRowsDecodeToTheSerialPicture) {
    std::mt19937 rng(31);
    for (const auto& size :
         {std::pair<int, int>{16, 16}, {40, 20}, {37, 47}, {300, 200}, {1000, 33}}) {
        const int w = size.first, h = size.second, cw = (w + 1) / 2, ch = (h + 1) / 2;
        Bytes y(static_cast<size_t>(w) * h), cb(static_cast<size_t>(cw) * ch), cr(cb.size());
        for (auto* p : {&y, &cb, &cr})
            for (auto& v : *p) v = static_cast<uint8_t>(rng() % 3 ? (rng() & 255) : 255);
        Bytes coded[2];
        for (int parallel = 0; parallel < 2; ++parallel) {
            platform::MemorySink sink;
            JpegEncoder enc;
            ASSERT_EQ(enc.Open(sink, w, h, DefaultJpegAllocator()), kJpegOk);
            enc.SetQuality(97);
            enc.SetParallel(parallel == 1);
            ASSERT_EQ(enc.Encode(y.data(), static_cast<size_t>(w), cb.data(), cr.data(),
                                 static_cast<size_t>(cw)),
                      kJpegOk);
            ASSERT_EQ(enc.Finish(), kJpegOk);
            coded[parallel].assign(sink.data(), sink.data() + sink.size());
        }
        testutil::RawPlanes serial, parallel;
        ASSERT_TRUE(testutil::DecodeTurboRaw(coded[0], &serial)) << w << "x" << h;
        ASSERT_TRUE(testutil::DecodeTurboRaw(coded[1], &parallel)) << w << "x" << h;
        for (int c = 0; c < 3; ++c) EXPECT_TRUE(serial.p[c] == parallel.p[c]) << w << "x" << h;
        // Restart markers: none serially; one after every MCU row but the last,
        // numbered 0..7 in turn, when there are rows for two threads.
        const int mcuRows = (h + 15) / 16;
        std::vector<int> markers;
        bool dri = false;
        for (size_t i = 0; i + 1 < coded[1].size(); ++i) {
            if (coded[1][i] != 0xFF) continue;
            if (coded[1][i + 1] == 0xDD) dri = true;
            if (coded[1][i + 1] >= 0xD0 && coded[1][i + 1] <= 0xD7)
                markers.push_back(coded[1][i + 1] - 0xD0);
        }
        const bool split = mcuRows >= 2 && platform::WorkerPool::Shared().Threads() > 0;
        EXPECT_EQ(dri, split);
        ASSERT_EQ(static_cast<int>(markers.size()), split ? mcuRows - 1 : 0);
        for (size_t k = 0; k < markers.size(); ++k) EXPECT_EQ(markers[k], static_cast<int>(k % 8));
        // Our own decoder reads both the same way too.
        Picture ours[2] = {Picture(0, 0), Picture(0, 0)};
        for (int k = 0; k < 2; ++k) {
            const std::string path = testing::TempDir() + "/parallel.jpg";
            testutil::WriteBytes(path, coded[k]);
            ASSERT_TRUE(testutil::DecodeFile(path, &ours[k]));
        }
        EXPECT_TRUE(ours[0].y == ours[1].y && ours[0].cb == ours[1].cb && ours[0].cr == ours[1].cr);
    }
    // A sink that fails part way through the joined rows.
    const Picture p = Synthetic(300, 200);
    FailingSink sink(1500);
    JpegEncoder enc;
    ASSERT_EQ(enc.Open(sink, p.w, p.h, DefaultJpegAllocator()), kJpegOk);
    enc.SetParallel(true);
    EXPECT_EQ(enc.Encode(p.y.data(), static_cast<size_t>(p.w), p.cb.data(), p.cr.data(),
                         static_cast<size_t>((p.w + 1) / 2)),
              kJpegWriteFailed);
}

}  // namespace
