// The exact output contract of `orbivue-cli info`.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "calib/trailer.h"
#include "lens/mesh.h"
#include "support/command.h"
#include "support/samples.h"

namespace {

struct CliRun {
    std::string out;
    int status;
};

CliRun Cli(const std::vector<std::string>& args) {
    CliRun r{{}, -1};
    r.out = testutil::RunCli(args, &r.status);
    return r;
}

}  // namespace

TEST(CliInfo, PrintsOneBlockPerFileInOrder) {
    const auto& s = testutil::Samples();
    const CliRun r = Cli({"info", s.dualPhoto, s.singlePhoto, s.singlePhoto, s.plainPano});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "file: " + s.dualPhoto +
                         "\ncamera_type: 2\nframe: 1920x960\ncalibration: 0\n"
                         "spherical: 0\nprobe: 0\n"
                         "file: " +
                         s.singlePhoto +
                         "\ncamera_type: 1\nframe: 1920x1080\ncalibration: 1\n"
                         "lens_circle: 960 540 530.0000\nspherical: 0\nprobe: 0\n"
                         // The process-wide circle carries over: the same file again is unchanged.
                         "file: " +
                         s.singlePhoto +
                         "\ncamera_type: 1\nframe: 1920x1080\ncalibration: 0\n"
                         "lens_circle: 960 540 530.0000\nspherical: 0\nprobe: 0\n"
                         "file: " +
                         s.plainPano +
                         "\ncamera_type: 1000\nframe: 1024x512\ncalibration: none\n"
                         "spherical: 0\nprobe: 0\n");
}

TEST(CliInfo, VideosRefusalsAndExitStatus) {
    const auto& s = testutil::Samples();
    CliRun r = Cli({"info", s.sphericalVideo, s.singleVideoUdat});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("frame: 1280x640\ncalibration: none\nspherical: 1\nprobe: 0\n"),
              std::string::npos);
    EXPECT_NE(r.out.find("lens_circle: 640 360 353.3333\n"), std::string::npos) << r.out;

    r = Cli({"info", s.plainPhoto});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("probe: 1\n"), std::string::npos);
    r = Cli({"info", s.wideVideo});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("frame: 1922x960\ncalibration: 1014\nspherical: 0\nprobe: -2\n"),
              std::string::npos)
        << r.out;
    r = Cli({"info", "/nonexistent/file.mp4"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              "file: /nonexistent/file.mp4\ncamera_type: 1000\nframe: 0x0\n"
              "calibration: none\nspherical: 0\nprobe: 1\n");
    EXPECT_EQ(Cli({"info"}).status, 2);
    EXPECT_EQ(Cli({"info", s.dualPhoto, "--frame", "12"}).status, 2);
    EXPECT_EQ(Cli({"nosuchverb"}).status, 2);
}

TEST(CliInfo, KindAndFrameOptionsApplyToEveryFile) {
    const auto& s = testutil::Samples();
    // Read as a video, the photo has no video stream and its trailer is in no box.
    CliRun r = Cli({"info", "--video", s.dualPhoto});
    EXPECT_NE(r.out.find("camera_type: 2\nframe: 0x0\ncalibration: 1003\n"), std::string::npos)
        << r.out;
    r = Cli({"info", s.dualVideo, "--frame", "1920x1080"});
    EXPECT_NE(r.out.find("frame: 1920x1080\ncalibration: 1014\nspherical: 0\nprobe: 1\n"),
              std::string::npos)
        << r.out;
    r = Cli({"info", s.dualVideo, "--photo", "--frame", "3840x1920"});
    EXPECT_NE(r.out.find("frame: 3840x1920\ncalibration: 1003\n"), std::string::npos) << r.out;
}

TEST(CliInfo, MeshOutputHoldsBothMeshesOfTheLastFile) {
    const auto& s = testutil::Samples();
    testutil::TempDir dir;
    const std::string out = dir.File("mesh.bin");
    ASSERT_EQ(Cli({"info", s.singlePhoto, s.dualVideoTrak, "--mesh", out}).status, 0);
    std::ifstream f(out, std::ios::binary);
    std::vector<float> got(2 * kStitchMeshFloats + 1);
    f.read(reinterpret_cast<char*>(got.data()), static_cast<std::streamsize>(got.size() * 4));
    ASSERT_EQ(f.gcount(), static_cast<std::streamsize>(2 * kStitchMeshBytes));
    got.pop_back();
    std::vector<float> a(kStitchMeshFloats), b(kStitchMeshFloats);
    ASSERT_EQ(
        ReadDualLensCalibrationFromVideo(s.dualVideoTrak.c_str(), 1920, 960, a.data(), b.data()),
        0);
    EXPECT_TRUE(std::equal(a.begin(), a.end(), got.begin()));
    EXPECT_TRUE(std::equal(b.begin(), b.end(), got.begin() + kStitchMeshFloats));

    // A single-lens file leaves the second mesh and the unused rows zero.
    ASSERT_EQ(Cli({"info", s.singlePhoto, "--mesh", out}).status, 0);
    std::ifstream g(out, std::ios::binary);
    g.read(reinterpret_cast<char*>(got.data()), static_cast<std::streamsize>(got.size() * 4));
    EXPECT_EQ(got[0], 960.0f);
    EXPECT_EQ(got[2 * 49 * 181], 0.0f);
    EXPECT_EQ(got[kStitchMeshFloats + 5], 0.0f);
}
