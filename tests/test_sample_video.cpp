// `orbivue-sample --video --render`: camera videos of a panorama seen through the lenses while
// the view turns, with sound and the calibration trailer.
#include <gtest/gtest.h>

#include <string>

#include "support/command.h"
#include "support/files.h"
#include "support/peers.h"

namespace {

using testutil::ShellQuote;

// Runs orbivue-sample with its cache in `dir`, so that each run renders afresh and leaves
// nothing behind. Returns the exit status.
int Sample(const testutil::TempDir& dir, const std::string& args) {
    int status = -1;
    testutil::RunCommand(
        "TMPDIR=" + ShellQuote(dir.path()) + " " + ORBIVUE_SAMPLE + " " + args + " >/dev/null 2>&1",
        &status);
    return status;
}

// The luma sample at (x, y) of frame n as coded, without any range conversion; -1 on failure.
int Luma(const std::string& file, int n, int x, int y) {
    const std::string filter = "select=eq(n\\," + std::to_string(n) +
                               "),crop=2:2:" + std::to_string(x) + ":" + std::to_string(y);
    int status = -1;
    const std::string out = testutil::RunCommand(
        "ffmpeg -nostdin -v error -i " + ShellQuote(file) + " -vf " + ShellQuote(filter) +
            " -frames:v 1 -f rawvideo -pix_fmt yuv420p - 2>/dev/null",
        &status);
    return status == 0 && out.size() == 6 ? static_cast<unsigned char>(out[0]) : -1;
}

}  // namespace

TEST(SampleVideo, RenderedDualLensVideoShowsThePanoramaTurning) {
    testutil::TempDir dir;
    // A horizontal ramp: the luma of a column tells where in the panorama a pixel looks.
    const std::string pano = dir.File("ramp.png");
    ASSERT_EQ(testutil::FfmpegWrite("-f lavfi -i color=black:s=1024x512 -vf "
                                    "\"format=rgb24,geq=r='X/4':g='X/4':b='X/4'\" -frames:v 1",
                                    pano),
              0);
    const std::string video = dir.File("dual.mp4");
    ASSERT_EQ(Sample(dir, ShellQuote(video) + " --camera 2 --video --render --audio --seconds 2 " +
                              "--panorama " + ShellQuote(pano)),
              0);

    // 1920 x 960 H.264 at 30 fps by default, a sound track, two seconds.
    EXPECT_EQ(testutil::FfprobeValues(
                  video, "-show_entries stream=codec_type,codec_name,width,height,r_frame_rate"),
              "h264\nvideo\n1920\n960\n30/1\naac\naudio\n0/0\n");
    const double seconds =
        std::stod(testutil::FfprobeValues(video, "-show_entries format=duration"));
    EXPECT_NEAR(seconds, 2.0, 0.05);

    int status = -1;
    const std::string info = testutil::RunCli({"info", video}, &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(
        info.find("camera_type: 2\nframe: 1920x960\ncalibration: 0\nspherical: 0\nprobe: 0\n"),
        std::string::npos)
        << info;

    // The front lens looks at the middle of the panorama (luma 128) first; the view then turns
    // a few degrees a second, so the last frame sees columns further on. Outside the circles
    // the picture is black.
    const int first = Luma(video, 0, 480, 480), last = Luma(video, 59, 480, 480);
    EXPECT_NEAR(first, 128, 3);
    EXPECT_GE(last - first, 8);
    EXPECT_LE(last - first, 30);
    EXPECT_LE(Luma(video, 30, 0, 0), 4);
    EXPECT_GE(Luma(video, 30, 0, 0), 0);
}

TEST(SampleVideo, RenderedVideosOfEachCameraAndTheirRefusals) {
    testutil::TempDir dir;
    const std::string single = dir.File("single.mp4");
    ASSERT_EQ(Sample(dir, ShellQuote(single) + " --camera 1 --video --render --seconds 0.5"), 0);
    int status = -1;
    const std::string info = testutil::RunCli({"info", single}, &status);
    EXPECT_NE(info.find("camera_type: 1\nframe: 1920x1080\ncalibration: 1\n"), std::string::npos)
        << info;

    // Camera 0 has no lenses, a dual-lens picture must be 2:1, the panorama must exist; no
    // file is left behind by a refusal.
    const std::string out = dir.File("refused.mp4");
    EXPECT_EQ(Sample(dir, ShellQuote(out) + " --camera 0 --video --render"), 1);
    EXPECT_EQ(Sample(dir, ShellQuote(out) + " --camera 2 --video --render --size 1920x1080"), 1);
    EXPECT_EQ(Sample(dir, ShellQuote(out) + " --camera 2 --video --render --seconds 0.5 " +
                              "--panorama " + ShellQuote(dir.File("none.jpg"))),
              1);
    EXPECT_TRUE(testutil::ReadFile(out).empty());
}
