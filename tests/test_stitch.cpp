// The photo stitch: sizes, map areas and blend bands, rotations, the single-lens
// rim, result codes, the temporary-file rule and the command line.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "../stitch/src/resample_kernels.h"
#include "calib/trailer.h"
#include "jpeg/jpeg.h"
#include "lens/geometry.h"
#include "platform/bytes.h"
#include "sample/samplegen.h"
#include "stitch/output_name.h"
#include "stitch/stitch.h"
#include "support/camera.h"
#include "support/command.h"
#include "support/files.h"
#include "support/peers.h"
#include "support/picture.h"

using testutil::Picture;
using testutil::RunCli;

namespace {

constexpr double kPi = 3.14159265358979323846;

// A dual-lens camera picture: left half luma 200, right half luma 40.
std::vector<uint8_t> HalvesPhoto(int w, int h, const sample::DualLensValues& v) {
    Picture p(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) p.y[static_cast<size_t>(y) * w + x] = x < w / 2 ? 200 : 40;
    return testutil::EncodePicture(p, testutil::DualTrailer(v));
}

double ColumnMean(const Picture& p, int c, int row0, int row1) {
    double s = 0;
    for (int r = row0; r < row1; ++r) s += p.y[static_cast<size_t>(r) * p.w + c];
    return s / (row1 - row0);
}

}  // namespace

TEST(StitchGeometry, LensAnglesMatchVectorMath) {
    for (double lambda = -3.1; lambda < 3.1; lambda += 0.37) {
        for (double beta = 0.05; beta < 3.1; beta += 0.29) {
            double theta, phi;
            DirectionToLensAngles(lambda, beta, &theta, &phi);
            const double x = std::sin(beta) * std::cos(lambda);  // along the lens axis
            const double e = std::sin(beta) * std::sin(lambda);
            const double f = std::cos(beta);
            EXPECT_NEAR(theta, std::acos(x), 1e-9);
            EXPECT_NEAR(phi, std::atan2(f, e), 1e-9);
            EXPECT_LT(phi, kPi);
            EXPECT_GE(phi, -kPi);
        }
    }
}

TEST(StitchGeometry, HalfTheFieldOfViewLandsOnTheRim) {
    DualLensRecord rec{};
    rec.fov = 190, rec.model = 1, rec.radialBase = 1.0f;
    rec.cx1 = rec.cy1 = rec.cx2 = rec.cy2 = 480;
    rec.r1 = rec.r2 = 470;
    DualPhotoGeometry g;
    ASSERT_TRUE(SetUpDualPhotoGeometry(rec, 3008, &g));
    EXPECT_EQ(g.cx1, 752);  // 480 x 3008 / 1920
    EXPECT_EQ(g.r1, 736);
    for (double phi : {-3.0, -1.0, 0.0, 0.3}) {  // profile 1.0 away from the seam segments
        double x, y;
        DualLensProject(g, 0, 95 * kPi / 180, phi, &x, &y);
        EXPECT_NEAR(std::hypot(x - g.cx1, y - g.cy1), 736.0, 0.01) << phi;
        EXPECT_NEAR(std::atan2(y - g.cy1, x - g.cx1), phi, 1e-9);
    }
    rec.model = 7;
    EXPECT_FALSE(SetUpDualPhotoGeometry(rec, 3008, &g));
}

TEST(StitchPhoto, DualLensSizesMapAreasAndBlendBands) {
    testutil::TempDir dir;
    sample::DualLensValues v;
    v.fov = 190;
    const std::string in = dir.File("cam.jpg"), out = dir.File("pano.jpg");
    testutil::WriteBytes(in, HalvesPhoto(3008, 1504, v));
    ASSERT_EQ(StitchPhoto(in.c_str(), out.c_str(), 0, 0, 0), 0);
    Picture p(0, 0);
    ASSERT_TRUE(testutil::DecodeFile(out, &p));
    EXPECT_EQ(p.w, 3008);
    EXPECT_EQ(p.h, 1504);
    // Fw = 1586, overlap 82 columns: 48-column bands centred on columns 752 and 2256.
    const int r0 = 600, r1 = 900;
    EXPECT_NEAR(ColumnMean(p, 1500, r0, r1), 198, 3);  // first lens, middle
    EXPECT_NEAR(ColumnMean(p, 100, r0, r1), 39, 3);    // second lens, quarters
    EXPECT_NEAR(ColumnMean(p, 2900, r0, r1), 39, 3);
    EXPECT_NEAR(ColumnMean(p, 722, r0, r1), 39, 4);   // just before the band
    EXPECT_NEAR(ColumnMean(p, 782, r0, r1), 198, 4);  // just after it
    EXPECT_NEAR(ColumnMean(p, 752, r0, r1), (39 + 198) / 2.0, 8);
    EXPECT_NEAR(ColumnMean(p, 2256, r0, r1), (39 + 198) / 2.0, 8);
    for (int c = 730; c < 774; c += 4) {
        EXPECT_LT(ColumnMean(p, c, r0, r1), ColumnMean(p, c + 4, r0, r1) + 1.5) << c;
    }
}

TEST(StitchPhoto, RotationsTurnThePanorama) {
    testutil::TempDir dir;
    sample::DualLensValues v;
    const std::string in = dir.File("cam.jpg");
    // Left lens bright on its upper half only: where that lands tells the rotation.
    Picture cam(1024, 512);
    for (int y = 0; y < 512; ++y)
        for (int x = 0; x < 1024; ++x)
            cam.y[static_cast<size_t>(y) * 1024 + x] = (x < 512 && y < 256) ? 220 : 30;
    testutil::WriteBytes(in, testutil::EncodePicture(cam, testutil::DualTrailer(v)));
    Picture r[4] = {Picture(0, 0), Picture(0, 0), Picture(0, 0), Picture(0, 0)};
    const int rotations[4] = {0, 90, 180, 270};
    for (int k = 0; k < 4; ++k) {
        const std::string out = dir.File("r" + std::to_string(rotations[k]) + ".jpg");
        ASSERT_EQ(StitchPhoto(in.c_str(), out.c_str(), rotations[k], 0, 1), 0);
        ASSERT_TRUE(testutil::DecodeFile(out, &r[k]));
        EXPECT_EQ(r[k].w, 1024);
        EXPECT_EQ(r[k].h, 512);
    }
    auto at = [](const Picture& p, int x, int y) { return p.y[static_cast<size_t>(y) * p.w + x]; };
    // Rotation 0: the upper half of the first lens is the upper middle of the panorama.
    EXPECT_GT(at(r[0], 512, 150), 150);
    EXPECT_LT(at(r[0], 512, 360), 80);
    // Rotation 180 is rotation 0 turned by half a turn, away from the seams.
    double diff = 0;
    int n = 0;
    for (int y = 20; y < 492; y += 7)
        for (int x = 300; x < 724; x += 5, ++n)
            diff += std::abs(at(r[2], x, y) - at(r[0], 1023 - x, 511 - y));
    EXPECT_LT(diff / n, 3.0);
    // Rotations 90 and 270 put the lens axes at the top and bottom edges; 270 has the first
    // lens above, 90 below, and the two are mirror images of each other.
    double apart = 0;
    n = 0;
    for (int y = 20; y < 492; y += 7)
        for (int x = 10; x < 1014; x += 9, ++n) apart += std::abs(at(r[1], x, y) - at(r[3], x, y));
    EXPECT_GT(apart / n, 10.0);
    diff = 0, n = 0;
    for (int y = 20; y < 200; y += 7)
        for (int x = 10; x < 1014; x += 9, ++n)
            diff += std::abs(at(r[1], x, y) - at(r[3], 1023 - x, 511 - y));
    EXPECT_LT(diff / n, 6.0);
}

TEST(StitchPhoto, OddSourceSizesAndNonPanoramicFrames) {
    testutil::TempDir dir;
    sample::DualLensValues v;
    const std::string in = dir.File("odd.jpg"), out = dir.File("odd-pano.jpg");
    testutil::WriteBytes(in, HalvesPhoto(1023, 511, v));
    ASSERT_EQ(StitchPhoto(in.c_str(), out.c_str(), 0, 0, 0), 0);
    Picture p(0, 0);
    ASSERT_TRUE(testutil::DecodeFile(out, &p));
    EXPECT_EQ(p.w, 1024);
    EXPECT_EQ(p.h, 512);
    // A dual-lens photo that is not 2:1 would be read past its planes: refused.
    testutil::WriteBytes(in, HalvesPhoto(1024, 600, v));
    EXPECT_EQ(StitchPhoto(in.c_str(), out.c_str(), 0, 0, 0), kStitchNotTwoToOne);
}

TEST(StitchPhoto, SingleLensBeyondTheRimIsBlack) {
    testutil::TempDir dir;
    Picture cam(1440, 1080, 180);
    sample::SingleLensValues v;  // centre 960,540 in the reference frame: 720,540 here
    const std::string in = dir.File("single.jpg"), out = dir.File("single-pano.jpg");
    testutil::WriteBytes(in, testutil::EncodePicture(cam, testutil::SingleTrailer(v)));
    for (int rotation : {0, 180, 90, 270}) {
        ASSERT_EQ(StitchPhoto(in.c_str(), out.c_str(), rotation, 0, 2), 0) << rotation;
        Picture p(0, 0);
        ASSERT_TRUE(testutil::DecodeFile(out, &p));
        EXPECT_EQ(p.w, 1440);
        EXPECT_EQ(p.h, 720);
        const auto at = [&](int x, int y) { return p.y[static_cast<size_t>(y) * p.w + x]; };
        const auto cbAt = [&](int x, int y) {
            return p.cb[static_cast<size_t>(y / 2) * p.cw() + x / 2];
        };
        if (rotation == 0) {
            // Rows up to 95 degrees from the axis see the lens, rows beyond see nothing.
            EXPECT_GT(at(400, 100), 160);
            EXPECT_LE(at(400, 700), 3);
            EXPECT_NEAR(cbAt(400, 700), 128, 2);
        } else if (rotation == 180) {
            EXPECT_GT(at(400, 700), 160);
            EXPECT_LE(at(400, 20), 3);
        } else {
            EXPECT_GT(at(720, 360), 160);  // the axis at the centre
            EXPECT_LE(at(10, 360), 3);     // the opposite direction
        }
    }
}

TEST(StitchPhoto, ResultCodesAndNothingLeftBehind) {
    testutil::TempDir dir;
    const std::string out = dir.File("pano.jpg");
    const std::string plain = dir.File("plain.jpg");
    testutil::WriteBytes(plain, testutil::EncodePicture(Picture(64, 32), {}));
    EXPECT_EQ(StitchPhoto(plain.c_str(), out.c_str(), 0, 0, 0), kStitchNoCalibration);
    EXPECT_EQ(StitchPhoto(dir.File("missing.jpg").c_str(), out.c_str(), 0, 0, 0),
              kStitchCannotOpenInput);
    const std::string cam = dir.File("cam.jpg");
    sample::DualLensValues v;
    testutil::WriteBytes(cam, HalvesPhoto(256, 128, v));
    EXPECT_EQ(StitchPhoto(cam.c_str(), out.c_str(), 45, 0, 0), kStitchBadArgument);
    EXPECT_EQ(StitchPhoto(cam.c_str(), out.c_str(), 0, 0, 3), kStitchBadArgument);
    EXPECT_EQ(StitchPhoto(cam.c_str(), out.c_str(), 0, 1, 0), kStitchBadArgument);
    // A folder that does not exist cannot hold the output.
    EXPECT_EQ(StitchPhoto(cam.c_str(), dir.File("no/such/pano.jpg").c_str(), 0, 0, 0),
              kStitchNoMemory);
    // A corrupt camera photo gives the decoder's code and leaves an existing output alone.
    testutil::WriteBytes(out, {'o', 'l', 'd'});
    std::vector<uint8_t> bytes = HalvesPhoto(256, 128, v);
    bytes.resize(bytes.size() - 300);
    testutil::WriteBytes(cam, bytes);
    const int r = StitchPhoto(cam.c_str(), out.c_str(), 0, 0, 0);
    EXPECT_TRUE(r == kJpegPrematureEnd || r == kJpegCorruptData) << r;
    FILE* f = std::fopen(out.c_str(), "rb");
    char buf[8] = {};
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(std::fread(buf, 1, 8, f), 3u);
    std::fclose(f);
    // No temporary file is left in the folder, after failures or success.
    testutil::WriteBytes(cam, HalvesPhoto(256, 128, v));
    EXPECT_EQ(StitchPhoto(cam.c_str(), out.c_str(), 0, 0, 0), 0);
    for (const auto& e : testutil::ListFolder(dir.path()))
        EXPECT_EQ(e.rfind(".orbivue", 0), std::string::npos) << e;
}

TEST(StitchPhoto, OutputCarriesExifAndPanoramaMetadata) {
    testutil::TempDir dir;
    sample::DualLensValues v;
    const std::string cam = dir.File("cam.jpg"), out = dir.File("pano.jpg");
    const std::vector<uint8_t> trailer = testutil::DualTrailer(v);
    testutil::WriteBytes(cam, HalvesPhoto(512, 256, v));
    ASSERT_EQ(StitchPhoto(cam.c_str(), out.c_str(), 0, 0, 2), 0);
    const std::vector<uint8_t> o = testutil::ReadFile(out);
    // SOI, the carried Exif segment (zero after 736 bytes), then XMP. The source's second
    // APP1 (its own XMP packet, of the same 512 x 256 size: 1051 bytes) is carried too,
    // with its marker and length.
    ASSERT_GT(o.size(), 10u);
    EXPECT_EQ(o[2], 0xFF);
    EXPECT_EQ(o[3], 0xE1);
    const size_t exifLen = platform::Be16(&o[4]);
    EXPECT_EQ(exifLen, trailer.size() + (4 + 1051) + 6);
    EXPECT_EQ(std::string(o.begin() + 6, o.begin() + 10), "Exif");
    for (size_t i = 10 + 736; i < 4 + exifLen; ++i) ASSERT_EQ(o[i], 0) << i;
    EXPECT_EQ(o[4 + exifLen], 0xFF);
    EXPECT_EQ(o[5 + exifLen], 0xE1);
    EXPECT_EQ(o[6 + exifLen], 0x04);
    EXPECT_EQ(o[7 + exifLen], 0x1D);  // 1053: the 1051-byte packet of a 512 x 256 picture
    // The trailer did not survive: the output is not a camera file any more.
    EXPECT_NE(ReadCameraType(out.c_str()), 2);
    const std::string tags = testutil::Exiftool("-s -XMP-GPano:all", out);
    EXPECT_NE(tags.find("ProjectionType                  : equirectangular"), std::string::npos)
        << tags;
    EXPECT_NE(tags.find("FullPanoWidthPixels             : 512"), std::string::npos) << tags;
    testutil::ExpectDjpegAccepts(out);
}

TEST(OutputName, NeverOverwritesAnExistingFile) {
    testutil::TempDir dir;
    const std::string folder = dir.path() + "/";
    EXPECT_EQ(MakeOutputPath(folder, "/some/where/VID_0001.MOV", false),
              folder + "VID_0001_orbivue360_0.mp4");
    EXPECT_EQ(MakeOutputPath(folder, "IMG_7.JPG", true), folder + "IMG_7_orbivue360_0.jpg");
    testutil::WriteBytes(folder + "a_orbivue360_0.mp4", {1});
    EXPECT_EQ(MakeOutputPath(folder, "a.MOV", false), folder + "a_orbivue360_1.mp4");
    testutil::WriteBytes(folder + "a_orbivue360_1.mp4", {1});
    EXPECT_EQ(MakeOutputPath(folder, "a.MOV", false), folder + "a_orbivue360_2.mp4");
    EXPECT_EQ(MakeOutputPath(folder, "noext", true), folder + "noext_orbivue360_0.jpg");
}

TEST(OutputName, OnlyTheLastExtensionIsReplacedAndTheSearchEnds) {
    testutil::TempDir dir;
    const std::string folder = dir.path() + "/";
    // The extension's text elsewhere in the name stays as it is.
    EXPECT_EQ(MakeOutputPath(folder, "MOVIE.MOV", false), folder + "MOVIE_orbivue360_0.mp4");
    EXPECT_EQ(MakeOutputPath(folder, "a.b.jpg.JPG", true), folder + "a.b.jpg_orbivue360_0.jpg");
    // A name ending in a full stop, whose first outputs exist, gets the next number.
    testutil::WriteBytes(folder + "clip_orbivue360_0.mp4", {1});
    testutil::WriteBytes(folder + "clip_orbivue360_1.mp4", {1});
    EXPECT_EQ(MakeOutputPath(folder, "clip.", false), folder + "clip_orbivue360_2.mp4");
    // A hidden file's only full stop starts its name.
    EXPECT_EQ(MakeOutputPath(folder, "/x/.pano", true), folder + ".pano_orbivue360_0.jpg");
}

TEST(CliStitch, SingleAndBatchContract) {
    testutil::TempDir dir;
    sample::DualLensValues v;
    const std::string a = dir.File("a.jpg"), b = dir.File("b.JPG"), bad = dir.File("bad.jpg");
    testutil::WriteBytes(a, HalvesPhoto(256, 128, v));
    testutil::WriteBytes(b, HalvesPhoto(256, 128, v));
    testutil::WriteBytes(bad, testutil::EncodePicture(Picture(64, 32), {}));
    int status = 0;
    std::string out =
        RunCli({"stitch", a, dir.File("o.jpg"), "--rotation", "90", "--quality", "0"}, &status);
    EXPECT_EQ(out, "result: 0\n");
    EXPECT_EQ(status, 0);
    out = RunCli({"stitch", bad, dir.File("o2.jpg")}, &status);
    EXPECT_EQ(out, "result: 1000\n");
    EXPECT_EQ(status, 1);
    const std::string outDir = dir.File("out");
    ASSERT_EQ(std::system(("mkdir " + outDir).c_str()), 0);
    out = RunCli({"stitch", a, b, bad, "--out-dir", outDir}, &status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, "file: " + a + "\noutput: " + outDir + "/a_orbivue360_0.jpg\nresult: 0\n" +
                       "file: " + b + "\noutput: " + outDir + "/b_orbivue360_0.jpg\nresult: 0\n" +
                       "file: " + bad + "\nresult: 1000\n");
    // A second batch never overwrites the first.
    out = RunCli({"stitch", a, "--out-dir", outDir + "/"}, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "file: " + a + "\noutput: " + outDir + "/a_orbivue360_1.jpg\nresult: 0\n");
    EXPECT_EQ(RunCli({"stitch", a}, &status), "");
    EXPECT_EQ(status, 2);
    RunCli({"stitch", a, "x.jpg", "--rotation", "45"}, &status);
    EXPECT_EQ(status, 2);
}

TEST(StitchRemap, VideoFramesUseTheFilesCalibration) {
    testutil::TempDir dir;
    sample::Mp4Options o;
    o.width = 640;
    o.height = 320;
    o.seconds = 0.2;
    const std::string video = dir.File("cam.mp4");
    ASSERT_EQ(sample::WriteMp4(video, testutil::DefaultTrailer(2), o), 0);
    CStitchRemap remap;
    EXPECT_EQ(remap.Init(video.c_str(), false, 640, 300, 0), kStitchNotTwoToOne);
    EXPECT_EQ(remap.Init(video.c_str(), true, 640, 320, 0), kStitchNoCalibration);  // not a JPEG
    EXPECT_EQ(remap.Init(video.c_str(), false, 640, 320, 45), kStitchBadArgument);
    ASSERT_EQ(remap.Init(video.c_str(), false, 640, 320, 90), kStitchOk);
    EXPECT_EQ(remap.OutputWidth(), 640);
    EXPECT_EQ(remap.OutputHeight(), 320);
    // A frame whose left lens is bright: the panorama is bright where that lens is seen.
    std::vector<uint8_t> frame(640 * 320 * 3 / 2, 128), out(640 * 320 * 3 / 2, 7);
    for (int y = 0; y < 320; ++y)
        for (int x = 0; x < 320; ++x) frame[static_cast<size_t>(y) * 640 + x] = 230;
    ASSERT_EQ(remap.Init(video.c_str(), false, 640, 320, 0), kStitchOk);
    remap.Apply(frame.data(), out.data());
    EXPECT_GT(out[160 * 640 + 320], 200);  // the middle of the panorama: first lens
    EXPECT_LT(out[160 * 640 + 10], 140);   // the edge: second lens
}

namespace {

// A single-lens camera photo of w x h: luma 180 with Cb 60 and Cr 200 everywhere.
testutil::Bytes SinglePhoto(int w, int h, const sample::SingleLensValues& v = {}) {
    Picture cam(w, h, 180);
    std::fill(cam.cb.begin(), cam.cb.end(), 60);
    std::fill(cam.cr.begin(), cam.cr.end(), 200);
    return testutil::EncodePicture(cam, testutil::SingleTrailer(v), 100);
}

// The picture size a JPEG file declares; 0 x 0 when it cannot be read.
std::pair<int, int> DeclaredSize(const std::string& path) {
    platform::FileReader f;
    JpegDecoder dec;
    if (f.Open(path.c_str()) != 0 || dec.Open(f, DefaultJpegAllocator(), nullptr) != kJpegOk)
        return {0, 0};
    return {dec.Width(), dec.Height()};
}

}  // namespace

// A single-lens photo whose width is 2 mod 4 has an output of odd height w/2: its chroma
// planes have (h + 1) / 2 rows, and its last row is stitched like every other.
TEST(StitchPhoto, SingleLensOutputsOfOddHeight) {
    testutil::TempDir dir;
    const std::string in = dir.File("cam.jpg"), out = dir.File("pano.jpg");
    const int sizes[][2] = {{642, 480}, {1442, 1080}, {18, 14}, {2, 2}};
    for (const auto& size : sizes) {
        const int w = size[0], h = size[1];
        testutil::WriteBytes(in, SinglePhoto(w, h));
        for (int rotation : {0, 90, 180, 270}) {
            const std::string at = std::to_string(w) + "x" + std::to_string(h) + " rotation " +
                                   std::to_string(rotation);
            ASSERT_EQ(StitchPhoto(in.c_str(), out.c_str(), rotation, 0, 1), 0) << at;
            EXPECT_EQ(DeclaredSize(out), std::make_pair(w, w / 2)) << at;
            Picture p;
            ASSERT_TRUE(testutil::DecodeFile(out, &p)) << at;
            if (rotation != 180 || w < 600) continue;
            // Turned by half a turn, the last row looks close to the lens axis: lens colours.
            const size_t last = static_cast<size_t>(w / 2 - 1);
            for (int x = 0; x < p.w; x += 37) {
                EXPECT_NEAR(p.y[last * p.w + x], 180, 4) << at << " x " << x;
                EXPECT_NEAR(p.cb[last / 2 * p.cw() + x / 2], 60, 4) << at << " x " << x;
                EXPECT_NEAR(p.cr[last / 2 * p.cw() + x / 2], 200, 4) << at << " x " << x;
            }
        }
    }
    // The stitch into memory writes the same bytes as the one into a file.
    testutil::WriteBytes(in, SinglePhoto(642, 480));
    ASSERT_EQ(StitchPhoto(in.c_str(), out.c_str(), 90, 0, 0), 0);
    const testutil::Bytes photo = testutil::ReadFile(in);
    platform::MemorySource src(photo.data(), photo.size());
    platform::MemorySink sink;
    ASSERT_EQ(StitchPhotoFrom(src, sink, 90, 0), 0);
    EXPECT_EQ(testutil::Bytes(sink.data(), sink.data() + sink.size()), testutil::ReadFile(out));
    EXPECT_EQ(StitchPhotoFrom(src, sink, 45, 0), kStitchBadArgument);
}

// Video frames of such a width: the output height is rounded down to even, and the rows
// that remain are the photo's.
TEST(StitchRemap, OddHalfWidthRoundsTheFrameHeightDown) {
    testutil::TempDir dir;
    const std::string photo = dir.File("cam.jpg");
    testutil::WriteBytes(photo, SinglePhoto(642, 480));
    CStitchRemap remap;
    ASSERT_EQ(remap.Init(photo.c_str(), true, 642, 480, 180), kStitchOk);
    EXPECT_EQ(remap.OutputWidth(), 642);
    EXPECT_EQ(remap.OutputHeight(), 320);
    const size_t ny = 642 * 480, nc = 321 * 240;
    std::vector<uint8_t> frame(ny + 2 * nc, 180);
    std::fill(frame.begin() + ny, frame.begin() + ny + nc, 60);
    std::fill(frame.begin() + ny + nc, frame.end(), 200);
    // One guard byte past the 642 x 320 output frame.
    const size_t outY = 642 * 320, outC = 321 * 160;
    std::vector<uint8_t> out(outY + 2 * outC + 1, 7);
    remap.Apply(frame.data(), out.data());
    EXPECT_EQ(out.back(), 7);
    EXPECT_NEAR(out[outY - 1], 180, 2);        // the last luma row is stitched
    EXPECT_NEAR(out[outY + outC - 1], 60, 2);  // and the last row of each chroma plane
    EXPECT_NEAR(out[outY + 2 * outC - 1], 200, 2);
    // A frame of 2 pixels would leave no row at all.
    EXPECT_EQ(remap.Init(photo.c_str(), true, 2, 2, 0), kStitchBadArgument);
}

// Single-lens records whose circle cannot be used are no calibration, not a black panorama.
TEST(StitchPhoto, UnusableSingleLensRecordsAreNoCalibration) {
    testutil::TempDir dir;
    const std::string in = dir.File("cam.jpg"), out = dir.File("pano.jpg");
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const sample::SingleLensValues refused[] = {
        {960, 540, 0},    {960, 540, -540},  {nan, 540, 540},  {960, nan, 540},
        {960, 540, nan},  {960, 540, inf},   {-inf, 540, 540}, {3000, 540, 540},
        {960, -700, 540}, {-500, -500, 600},  // nearest corner 707 away
    };
    for (const sample::SingleLensValues& v : refused) {
        testutil::WriteBytes(in, SinglePhoto(1440, 1080, v));
        EXPECT_EQ(StitchPhoto(in.c_str(), out.c_str(), 0, 0, 0), kStitchNoCalibration)
            << v.cx << " " << v.cy << " " << v.r;
        CStitchRemap remap;
        EXPECT_EQ(remap.Init(in.c_str(), true, 1440, 1080, 0), kStitchNoCalibration);
    }
    EXPECT_TRUE(testutil::ListFolder(dir.path()) == std::vector<std::string>{"cam.jpg"});
    // A circle reaching into the frame from outside it is used.
    testutil::WriteBytes(in, SinglePhoto(1440, 1080, {2200, 540, 540}));
    EXPECT_EQ(StitchPhoto(in.c_str(), out.c_str(), 0, 0, 0), 0);
}

// The output may never be the input, whatever path names it.
TEST(StitchPhoto, RefusesToWriteOverItsInput) {
    testutil::TempDir dir;
    const std::string in = dir.File("cam.jpg");
    sample::DualLensValues v;
    const testutil::Bytes original = HalvesPhoto(256, 128, v);
    testutil::WriteBytes(in, original);
    const std::string soft = dir.File("soft.jpg"), hard = dir.File("hard.jpg");
    ASSERT_EQ(::symlink(in.c_str(), soft.c_str()), 0);
    ASSERT_EQ(::link(in.c_str(), hard.c_str()), 0);
    for (const std::string& out : {in, soft, hard, dir.path() + "/./cam.jpg"}) {
        EXPECT_EQ(StitchPhoto(in.c_str(), out.c_str(), 0, 0, 0), kStitchOutputIsInput) << out;
        EXPECT_EQ(StitchPhoto(soft.c_str(), out.c_str(), 0, 0, 0), kStitchOutputIsInput) << out;
    }
    EXPECT_EQ(testutil::ReadFile(in), original);
    EXPECT_EQ(testutil::ListFolder(dir.path()).size(), 3u);  // nothing new, nothing left over
    EXPECT_EQ(StitchPhoto(in.c_str(), dir.File("pano.jpg").c_str(), 0, 0, 0), 0);
}

namespace {

// exiftool's "-s" lines as name -> value.
std::map<std::string, std::string> TagValues(const std::string& text) {
    std::map<std::string, std::string> out;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t colon = line.find(" : ");
        if (colon == std::string::npos) continue;
        std::string name = line.substr(0, colon);
        name.erase(name.find_last_not_of(' ') + 1);
        out[name] = line.substr(colon + 3);
    }
    return out;
}

}  // namespace

// The panorama metadata gives the output's own size; the other fields stay as they were.
TEST(StitchPhoto, PanoramaMetadataGivesTheOutputSize) {
    testutil::TempDir dir;
    const std::string in = dir.File("cam.jpg"), out = dir.File("pano.jpg");
    testutil::WriteBytes(in, SinglePhoto(1440, 1080));
    ASSERT_EQ(StitchPhoto(in.c_str(), out.c_str(), 0, 0, 1), 0);
    int status = -1;
    auto tags = TagValues(testutil::Exiftool("-s -XMP-GPano:all", out, &status));
    EXPECT_EQ(status, 0);
    const std::map<std::string, std::string> want = {
        {"FullPanoWidthPixels", "1440"},
        {"FullPanoHeightPixels", "720"},
        {"CroppedAreaImageWidthPixels", "1440"},
        {"CroppedAreaImageHeightPixels", "720"},
        {"LargestValidInteriorRectWidth", "1440"},
        {"LargestValidInteriorRectHeight", "720"},
        {"CroppedAreaTopPixels", "0"},
        {"CroppedAreaLeftPixels", "0"},
        {"ProjectionType", "equirectangular"},
        {"PoseHeadingDegrees", "306.0"},
    };
    for (const auto& [name, value] : want) EXPECT_EQ(tags[name], value) << name;
    EXPECT_EQ(tags.size(), 18u);  // every field of the packet
}

// The polynomials behind the fast remap geometry keep their stated error over
// the whole range, signs and quadrants included.
TEST(StitchGeometry, FastAnglesStayWithinTheirBounds) {
    double worst = 0;
    for (int k = -200000; k <= 200000; ++k) {
        const double x = k / 200000.0;
        worst = std::max(worst, std::fabs(FastAcos(x) - std::acos(x)));
    }
    for (double x : {1.0, -1.0, 1 - 1e-12, -1 + 1e-12, 1e-300}) {
        worst = std::max(worst, std::fabs(FastAcos(x) - std::acos(x)));
    }
    EXPECT_LT(worst, 2.5e-8);
    worst = 0;
    for (int k = 0; k < 100000; ++k) {
        const double a = -kPi + 2 * kPi * k / 100000.0, r = 0.5 + k % 7;
        const double got = FastAtan2(r * std::sin(a), r * std::cos(a));
        const double want = std::atan2(r * std::sin(a), r * std::cos(a));
        worst = std::max(worst, std::fabs(std::remainder(got - want, 2 * kPi)));
    }
    EXPECT_LT(worst, 2.5e-8);
    EXPECT_EQ(FastAtan2(0.0, 0.0), 0.0);
    EXPECT_EQ(FastAtan2(0.0, -1.0), kPi);
    EXPECT_EQ(FastAtan2(-0.0, -1.0), -kPi);
    // Whole directions, the small-value guards included (rows at the poles,
    // columns at a quarter turn).
    std::srand(5);
    worst = 0;
    for (int k = 0; k < 20000; ++k) {
        double lambda = -kPi + 2 * kPi * std::rand() / RAND_MAX;
        double beta = kPi * std::rand() / RAND_MAX;
        if (k % 10 == 1) lambda = kPi / 2 + 3e-5 * (std::rand() % 3 - 1);
        if (k % 10 == 2) beta = 3e-5 * (std::rand() % 3);
        double theta, phi;
        DirectionToLensAngles(lambda, beta, &theta, &phi);
        LensDirection d;
        FastDirectionToLens(std::cos(lambda), std::sin(lambda), std::cos(beta), std::sin(beta), &d);
        worst = std::max(
            {worst, std::fabs(d.theta - theta), std::fabs(std::remainder(d.phi - phi, 2 * kPi))});
        EXPECT_NEAR(d.cosPhi, std::cos(phi), 1e-9);
        EXPECT_NEAR(d.sinPhi, std::sin(phi), 1e-9);
        EXPECT_GE(d.phi, -kPi);
        EXPECT_LT(d.phi, kPi);
    }
    EXPECT_LT(worst, 3e-8);
}

namespace {

// Noise: neighbouring samples unrelated, so any difference of position or
// weight between two remaps shows.
Picture NoisePicture(int w, int h, unsigned seed) {
    Picture p(w, h);
    std::srand(seed);
    for (auto* plane : {&p.y, &p.cb, &p.cr})
        for (auto& v : *plane) v = static_cast<uint8_t>(std::rand() & 255);
    return p;
}

// The remap of a noise frame through a camera photo's calibration.
std::vector<uint8_t> RemapNoise(const std::string& photo, int w, int h, int rotation,
                                StitchGeometry geometry) {
    SetStitchGeometry(geometry);
    CStitchRemap remap;
    const int r = remap.Init(photo.c_str(), true, w, h, rotation);
    SetStitchGeometry(kStitchGeometryFast);
    EXPECT_EQ(r, kStitchOk);
    if (r != kStitchOk) return {};
    const Picture in = NoisePicture(w, h, 11);
    std::vector<uint8_t> frame(in.y);
    frame.insert(frame.end(), in.cb.begin(), in.cb.end());
    frame.insert(frame.end(), in.cr.begin(), in.cr.end());
    std::vector<uint8_t> out(static_cast<size_t>(remap.OutputWidth()) * remap.OutputHeight() * 3 /
                             2);
    remap.Apply(frame.data(), out.data());
    return out;
}

}  // namespace

// The fast geometry against the exact reference, on noise (the worst case for
// a remap's differences): both camera kinds, seam lines or none, every
// rotation, through the video tables and through the photo stitch.
TEST(StitchRemap, FastGeometryMatchesTheExactReference) {
    testutil::TempDir dir;
    sample::DualLensValues plain;
    plain.fov = 190;
    plain.radialBase = 0.98f;
    sample::DualLensValues lines = plain;
    lines.n = 4;
    for (int i = 0; i < 4; ++i) {
        const float x = 240.0f + 480.0f * i;
        const float l1[4] = {x, 420.0f, x + 10, 540.0f};
        const float l2[4] = {x + 12, 425.0f, x + 20, 545.0f};
        for (int k = 0; k < 4; ++k) {
            lines.lines1[i][k] = l1[k];
            lines.lines2[i][k] = l2[k];
        }
    }
    struct Case {
        const char* name;
        testutil::Bytes photo;
        int w, h;
    };
    const Case cases[] = {
        {"dual", testutil::EncodePicture(NoisePicture(1504, 752, 3), testutil::DualTrailer(plain)),
         1504, 752},
        {"dual with seam lines",
         testutil::EncodePicture(NoisePicture(1504, 752, 3), testutil::DualTrailer(lines)), 1504,
         752},
        {"single", testutil::EncodePicture(NoisePicture(1200, 900, 3), testutil::SingleTrailer({})),
         1200, 900},
    };
    for (const Case& c : cases) {
        const std::string path = dir.File("cam.jpg");
        testutil::WriteBytes(path, c.photo);
        for (int rotation : {0, 90, 180, 270}) {
            SCOPED_TRACE(std::string(c.name) + " at " + std::to_string(rotation));
            const auto fast = RemapNoise(path, c.w, c.h, rotation, kStitchGeometryFast);
            const auto exact = RemapNoise(path, c.w, c.h, rotation, kStitchGeometryExact);
            // The vector lanes give exactly the one-at-a-time evaluation's bytes.
            EXPECT_TRUE(fast == RemapNoise(path, c.w, c.h, rotation, kStitchGeometryFastScalar));
            ASSERT_EQ(fast.size(), exact.size());
            ASSERT_FALSE(fast.empty());
            // A position moved by at most 1e-4 pixel changes a luma weight by
            // at most one step of 1/255, so a luma sample by at most 1 (2 in a
            // blend); a chroma sample (the nearest one) changes only where the
            // position lies that close to a sample boundary.
            const size_t luma = static_cast<size_t>(c.w) * (c.w / 2 / 2 * 2);
            int worst = 0;
            size_t differing = 0, chromaDiffering = 0;
            for (size_t i = 0; i < fast.size(); ++i) {
                const int d = std::abs(fast[i] - exact[i]);
                if (i < luma) {
                    worst = std::max(worst, d);
                    differing += d != 0;
                } else {
                    chromaDiffering += d != 0;
                }
            }
            const double psnr =
                testutil::Psnr(testutil::Bytes(fast.begin(), fast.begin() + luma),
                               testutil::Bytes(exact.begin(), exact.begin() + luma));
            std::printf(
                "%s at %d: fast against exact geometry: luma PSNR %.1f dB, %zu of %zu "
                "luma and %zu chroma samples differ, by at most %d\n",
                c.name, rotation, psnr, differing, luma, chromaDiffering, worst);
            EXPECT_LE(worst, 2);
            EXPECT_LT(differing, luma / 1000);
            EXPECT_LT(chromaDiffering, luma / 2 / 1000);
            EXPECT_GT(psnr, 55.0);
        }
        // The photo stitch builds its tables while the picture is decoded.
        for (int rotation : {0, 180}) {
            SCOPED_TRACE(std::string(c.name) + " photo at " + std::to_string(rotation));
            const std::string a = dir.File("fast.jpg"), b = dir.File("exact.jpg");
            ASSERT_EQ(StitchPhoto(path.c_str(), a.c_str(), rotation, 0, 0), 0);
            SetStitchGeometry(kStitchGeometryExact);
            ASSERT_EQ(StitchPhoto(path.c_str(), b.c_str(), rotation, 0, 0), 0);
            SetStitchGeometry(kStitchGeometryFast);
            Picture pa(0, 0), pb(0, 0);
            ASSERT_TRUE(testutil::DecodeFile(a, &pa));
            ASSERT_TRUE(testutil::DecodeFile(b, &pb));
            EXPECT_GT(testutil::Psnr(pa.y, pb.y), 50.0);
        }
    }
}

// The remap writes every output sample, also where no lens sees (a narrow
// field of view leaves columns and rows uncovered): the buffer's old
// contents never show through.
TEST(StitchRemap, EverySampleIsWrittenWhateverTheBufferHeld) {
    testutil::TempDir dir;
    sample::DualLensValues wide, narrow;
    wide.fov = 195;
    narrow.fov = 120;
    const std::pair<const char*, testutil::Bytes> cameras[] = {
        {"wide", testutil::DualTrailer(wide)},
        {"narrow", testutil::DualTrailer(narrow)},
        {"single", testutil::SingleTrailer({})},
    };
    const Picture in = NoisePicture(640, 320, 4);
    std::vector<uint8_t> frame(in.y);
    frame.insert(frame.end(), in.cb.begin(), in.cb.end());
    frame.insert(frame.end(), in.cr.begin(), in.cr.end());
    for (const auto& cam : cameras) {
        const std::string path = dir.File("cam.jpg");
        testutil::WriteBytes(path, testutil::EncodePicture(in, cam.second));
        for (int rotation : {0, 90, 180, 270}) {
            SCOPED_TRACE(std::string(cam.first) + " at " + std::to_string(rotation));
            CStitchRemap remap;
            ASSERT_EQ(remap.Init(path.c_str(), true, 640, 320, rotation), kStitchOk);
            std::vector<uint8_t> a(640 * 320 * 3 / 2, 0x5A), b(a.size(), 0xA5);
            remap.Apply(frame.data(), a.data());
            remap.Apply(frame.data(), b.data());
            EXPECT_TRUE(a == b);
        }
    }
}

// The photo stitch (tables begun during the decode, the remaining rows made
// where they are resampled) gives exactly the picture the video tables give.
TEST(StitchPhoto, MatchesTheVideoTablesExactly) {
    testutil::TempDir dir;
    sample::DualLensValues v;
    v.fov = 190;
    const Picture cam = NoisePicture(1504, 752, 6);
    const std::string in = dir.File("cam.jpg"), out = dir.File("pano.jpg");
    testutil::WriteBytes(in, testutil::EncodePicture(cam, testutil::DualTrailer(v)));
    Picture decoded(0, 0);
    ASSERT_TRUE(testutil::DecodeFile(in, &decoded));
    std::vector<uint8_t> frame(decoded.y);
    frame.insert(frame.end(), decoded.cb.begin(), decoded.cb.end());
    frame.insert(frame.end(), decoded.cr.begin(), decoded.cr.end());
    for (int rotation : {0, 90, 180}) {
        SCOPED_TRACE(rotation);
        CStitchRemap remap;
        ASSERT_EQ(remap.Init(in.c_str(), true, 1504, 752, rotation), kStitchOk);
        std::vector<uint8_t> planes(frame.size());
        remap.Apply(frame.data(), planes.data());
        Picture viaTables(1504, 752);
        std::copy(planes.begin(), planes.begin() + 1504 * 752, viaTables.y.begin());
        std::copy(planes.begin() + 1504 * 752, planes.begin() + 1504 * 752 * 5 / 4,
                  viaTables.cb.begin());
        std::copy(planes.begin() + 1504 * 752 * 5 / 4, planes.end(), viaTables.cr.begin());
        ASSERT_EQ(StitchPhoto(in.c_str(), out.c_str(), rotation, 0, 0), 0);
        Picture photo(0, 0), expected(0, 0);
        ASSERT_TRUE(testutil::DecodeFile(out, &photo));
        const std::string ref = dir.File("ref.jpg");
        testutil::WriteBytes(ref, testutil::EncodePicture(viaTables, {}, 90));
        ASSERT_TRUE(testutil::DecodeFile(ref, &expected));
        EXPECT_TRUE(photo.y == expected.y);
        EXPECT_TRUE(photo.cb == expected.cb && photo.cr == expected.cr);
    }
}

// The vectorised luma kernel gives the plain kernel's bytes for any entries:
// random positions and weights, runs of every length, positions at the
// plane's last row and column (where it must not read past the plane), a
// stride wider than the picture.
TEST(StitchKernels, VectorLumaMatchesPlain) {
    const LumaRunFn avx2 = Avx2LumaRun();
    if (avx2 == nullptr) GTEST_SKIP() << "no AVX2 here";
    std::mt19937 rng(8);
    for (const auto& size : {std::pair<int, int>{64, 32}, {3, 3}, {1000, 17}}) {
        const int w = size.first, h = size.second;
        const size_t stride = static_cast<size_t>(w) + (w % 2 ? 5 : 0);
        // The plane ends exactly after its last sample, so an over-read shows
        // under the address sanitizer.
        std::vector<uint8_t> plane((static_cast<size_t>(h) - 1) * stride + w);
        for (auto& v : plane) v = static_cast<uint8_t>(rng());
        const LumaPlane src{plane.data(), stride, w, h};
        std::vector<DualEntry> e(200);
        for (size_t k = 0; k < e.size(); ++k) {
            const int wr = static_cast<int>(rng() % 256), wd = static_cast<int>(rng() % 256);
            int x = static_cast<int>(rng() % static_cast<unsigned>(w - 1));
            int y = static_cast<int>(rng() % static_cast<unsigned>(h - 1));
            if (k % 5 == 0) x = w - 2;  // the last pair of columns
            if (k % 7 == 0) y = h - 2;  // the last pair of rows
            e[k] = DualEntry{static_cast<int16_t>(x),        static_cast<uint8_t>(255 - wr),
                             static_cast<uint8_t>(wr),       static_cast<int16_t>(y),
                             static_cast<uint8_t>(255 - wd), static_cast<uint8_t>(wd)};
        }
        for (int n : {0, 1, 7, 8, 9, 15, 16, 17, 64, 199, 200}) {
            std::vector<uint8_t> a(static_cast<size_t>(n) + 1, 7), b(a);
            LumaRunPlain(src, e.data(), n, a.data());
            avx2(src, e.data(), n, b.data());
            EXPECT_TRUE(a == b) << w << "x" << h << " n " << n;
        }
    }
}
