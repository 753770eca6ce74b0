// Round trip through the lens geometry: a real panorama rendered into a camera
// photo by the sample maker, stitched back, compared with the panorama.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "sample/samplegen.h"
#include "stitch/stitch.h"
#include "support/files.h"
#include "support/picture.h"

namespace {

// Luma PSNR over the rows [row0, row1) of two pictures of the same width.
double LumaPsnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, int w, int row0,
                int row1) {
    const size_t from = static_cast<size_t>(row0) * w;
    return testutil::Psnr(a.data() + from, w, b.data() + from, w, w, row1 - row0);
}

}  // namespace

TEST(RoundTrip, DualLensPhotoStitchesBackToItsPanorama) {
    testutil::TempDir dir;
    const int w = 1920, h = 960;
    sample::DualLensValues v;  // 195 degrees a lens: every direction is seen
    const std::string cam = dir.File("cam.jpg"), pano = dir.File("pano.jpg");
    ASSERT_EQ(sample::WriteRenderedDualPhoto(cam, w, h, v, sample::DefaultTrailer(v)), 0);
    ASSERT_EQ(StitchPhoto(cam.c_str(), pano.c_str(), 0, 0, 1), 0);
    testutil::Picture out(0, 0);
    ASSERT_TRUE(testutil::DecodeFile(pano, &out));
    std::vector<uint8_t> ref;
    ASSERT_TRUE(sample::LoadPanorama(sample::kEarthPanorama, w, &ref));
    const double psnr = LumaPsnr(out.y, ref, w, 0, h);
    std::printf("dual-lens round trip: luma PSNR %.2f dB\n", psnr);
    EXPECT_GE(psnr, 28.0);
}

TEST(RoundTrip, SingleLensPhotoStitchesBackOverItsCircle) {
    testutil::TempDir dir;
    const int w = 1440, h = 1080;
    sample::SingleLensValues v;
    const std::string cam = dir.File("cam.jpg"), pano = dir.File("pano.jpg");
    ASSERT_EQ(sample::WriteRenderedSinglePhoto(cam, w, h, v, sample::DefaultTrailer(v)), 0);
    ASSERT_EQ(StitchPhoto(cam.c_str(), pano.c_str(), 0, 0, 1), 0);
    testutil::Picture out(0, 0);
    ASSERT_TRUE(testutil::DecodeFile(pano, &out));
    std::vector<uint8_t> ref;
    ASSERT_TRUE(sample::LoadPanorama(sample::kEarthPanorama, w, &ref));
    // The lens sees up to 95 degrees from its axis, the top rows of the output;
    // stop short of the rim, where the circle's edge blurs into black.
    const int rows = static_cast<int>(w * 90.0 / 360.0);
    const double psnr = LumaPsnr(out.y, ref, w, 2, rows);
    std::printf("single-lens round trip: luma PSNR %.2f dB\n", psnr);
    EXPECT_GE(psnr, 28.0);
}
