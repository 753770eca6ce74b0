// The exact output contract of `orbivue-cli info`, and the refusals of
// `orbivue-cli render` that need no display.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "calib/trailer.h"
#include "lens/mesh.h"
#include "support/boxes.h"
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
                         "note: calibration 1: calibration read; a new lens circle, not an error\n"
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
              "calibration: none\nspherical: 0\nprobe: 1\n"
              "note: probe 1: the picture size cannot be read\n");
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

TEST(CliInfo, DamagedSampleTableIsAnsweredAtOnce) {
    const auto& s = testutil::Samples();
    testutil::TempDir dir;
    // A video whose "stts" declares 2^32 - 1 entries in its few bytes.
    testutil::Bytes b = testutil::ReadFile(s.sphericalVideo);
    testutil::Box stts;
    ASSERT_TRUE(testutil::FindPath(b, "moov/trak/mdia/minf/stbl/stts", &stts));
    testutil::PutBe32(b, stts.body() + 4, 0xffffffffu);
    const std::string file = dir.File("stall.mp4");
    ASSERT_TRUE(testutil::WriteBytes(file, b));
    const auto start = std::chrono::steady_clock::now();
    const CliRun r = Cli({"info", file});
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 5.0);  // generous: milliseconds, against a minute or more
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "file: " + file +
                         "\ncamera_type: 1000\nframe: 0x0\ncalibration: none\n"
                         "spherical: 1\nprobe: 1\n"
                         "note: probe 1: the picture size cannot be read\n");
}

namespace {

struct RenderRun {
    std::string out, err;
    int status;
};

// `orbivue-cli render ARGS...` with its standard error kept apart.
RenderRun Render(const std::vector<std::string>& args) {
    testutil::TempDir dir;
    const std::string errFile = dir.File("err.txt");
    // Under the leak checker, its report of suppressed leaks would join the sentence.
    std::string cmd = "LSAN_OPTIONS=\"$LSAN_OPTIONS:print_suppressions=0\" LC_ALL=C.UTF-8 ";
    cmd += std::string(ORBIVUE_CLI) + " render";
    for (const std::string& a : args) cmd += " " + testutil::ShellQuote(a);
    RenderRun r{{}, {}, -1};
    r.out = testutil::RunCommand(cmd + " 2>" + testutil::ShellQuote(errFile), &r.status);
    const testutil::Bytes err = testutil::ReadFile(errFile);
    r.err.assign(err.begin(), err.end());
    return r;
}

// One line on standard error holding every piece.
void ExpectOneSentence(const RenderRun& r, std::initializer_list<std::string> pieces) {
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    for (const std::string& p : pieces) EXPECT_NE(r.err.find(p), std::string::npos) << r.err;
}

}  // namespace

TEST(CliRender, HelpAndBadValuesAreUsageErrors) {
    const auto& s = testutil::Samples();
    RenderRun r = Render({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("usage: orbivue-cli render FILE OUT.png", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("8192x8192"), std::string::npos) << r.out;
    struct Case {
        std::vector<std::string> options;
        std::string says;
    } cases[] = {
        {{"--view", "9"}, "--view 9 is out of range"},
        {{"--view", "-1"}, "--view -1 is out of range"},
        {{"--view", "2.5"}, "--view 2.5 is out of range"},
        {{"--view", "sphere"}, "--view wants a view number"},
        {{"--yaw", "nan"}, "--yaw nan is not a finite number"},
        {{"--pitch", "-inf"}, "--pitch -inf is not a finite number"},
        {{"--fov", "inf"}, "--fov inf is not a finite number"},
        {{"--yaw", "1e300"}, "--yaw 1e300 is too large"},
        {{"--fov", "0"}, "--fov 0 is out of range"},
        {{"--fov", "180"}, "--fov 180 is out of range"},
        {{"--size", "8193x100"}, "--size 8193x100 is out of range"},
        {{"--size", "0x100"}, "--size 0x100 is out of range"},
        {{"--size", "99999999999x1"}, "is out of range"},
        {{"--size", "400x300junk"}, "--size wants WxH"},
        {{"--size", "+400x300"}, "--size wants WxH"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {s.dualPhoto, "out.png"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        r = Render(args);
        EXPECT_EQ(r.status, 2) << c.says;
        EXPECT_EQ(r.out, "") << c.says;
        ExpectOneSentence(r, {c.says});
    }
}

TEST(CliRender, ViewsTheCameraKindLacksAreRefused) {
    const auto& s = testutil::Samples();
    testutil::TempDir dir;
    const std::string out = dir.File("view.png");
    struct Case {
        std::string file, view;
    } cases[] = {{s.dualPhoto, "3"},
                 {s.dualPhoto, "5"},
                 {s.singlePhoto, "0"},
                 {s.singlePhoto, "2"},
                 {s.plainPano, "4"}};
    for (const Case& c : cases) {
        const RenderRun r = Render({c.file, out, "--view", c.view});
        EXPECT_EQ(r.status, 1) << c.file << " " << c.view;
        EXPECT_EQ(r.out, "result: -22\n") << c.file << " " << c.view;
        ExpectOneSentence(r, {c.file, "no view " + c.view});
    }
    EXPECT_TRUE(testutil::ListFolder(dir.path()).empty());
}

TEST(CliRender, FailuresNameTheFile) {
    const auto& s = testutil::Samples();
    testutil::TempDir dir;
    RenderRun r = Render({"/nonexistent/photo.jpg", dir.File("a.png")});
    EXPECT_EQ(r.out, "result: 1\n");
    ExpectOneSentence(r, {"/nonexistent/photo.jpg"});
    r = Render({s.plainPhoto, dir.File("a.png")});  // 3:2, no calibration
    EXPECT_EQ(r.out, "result: 1\n");
    ExpectOneSentence(r, {s.plainPhoto, "2:1"});
    // Nothing can be written there: refused before anything is drawn.
    const std::string missing = dir.File("no-such-folder/a.png");
    r = Render({s.dualPhoto, missing});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "result: -21\n");
    ExpectOneSentence(r, {missing, "no such folder"});
    r = Render({s.dualPhoto, dir.File("a.nosuchformat")});
    EXPECT_EQ(r.out, "result: -21\n");
    ExpectOneSentence(r, {dir.File("a.nosuchformat")});
    EXPECT_TRUE(testutil::ListFolder(dir.path()).empty());
}
