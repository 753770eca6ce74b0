// The conversion library through `orbivue-cli convert` and `merge`, and its
// stop entry called from another thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "convert/convert_api.h"
#include "convert/convert_client.h"
#include "sample/samplegen.h"
#include "support/camera.h"
#include "support/command.h"
#include "support/files.h"
#include "support/peers.h"
#include "support/picture.h"

using testutil::ExpectPeersAccept;
using testutil::FfprobeStream;
using testutil::RunCommand;
using testutil::ShellQuote;

namespace {

// A dual-lens camera video with sound, made once per size and length.
std::string CameraVideo(const testutil::TempDir& dir, int fps, double seconds) {
    sample::Mp4Options o;
    o.width = 640;
    o.height = 320;
    o.fps = fps;
    o.seconds = seconds;
    o.audio = true;
    const std::string path = dir.File("cam-" + std::to_string(fps) + ".mp4");
    EXPECT_EQ(sample::WriteMp4(path, testutil::DefaultTrailer(2), o), 0);
    return path;
}

// The export's vector for Low (0) or Medium (1) over the first second.
std::vector<std::string> ExportVector(const std::string& in, const std::string& out, int level) {
    std::vector<std::string> v = {"ffmpeg", "-d", "-ss", "00:00:00", "-i", in, "-t", "00:00:01"};
    if (level == 0) {
        for (const char* a : {"-b:v", "4096k", "-r", "15", "-profile:v", "main", "-preset",
                              "veryfast", "-refs", "1", "-bf", "0"})
            v.push_back(a);
    } else {
        for (const char* a : {"-b:v", "10000k", "-profile:v", "main", "-preset", "veryfast",
                              "-refs", "2", "-bf", "1"})
            v.push_back(a);
    }
    v.push_back(out);
    return v;
}

// `orbivue-cli VERB ARGS...`: its standard output.
std::string Cli(const std::string& verb, std::vector<std::string> args, int* status) {
    args.insert(args.begin(), verb);
    return testutil::RunCli(args, status);
}

}  // namespace

TEST(Convert, StitchedExportsPassThePeersAtEachLevel) {
    testutil::TempDir dir;
    const std::string cam = CameraVideo(dir, 30, 1.0);
    struct Case {
        int level;
        const char* frames;
        const char* profile;
        const char* bFrames;
    } cases[] = {{0, "15", "Main", "0"}, {1, "30", "Main", "1"}};
    for (const Case& c : cases) {
        const std::string out = dir.File("out-" + std::to_string(c.level) + ".mp4");
        int status = 0;
        const std::string text = Cli("convert", ExportVector(cam, out, c.level), &status);
        EXPECT_EQ(text, "result: 0\n");
        EXPECT_EQ(status, 0);
        ExpectPeersAccept(out);
        EXPECT_EQ(FfprobeStream(out, "v", "nb_read_frames"), c.frames);
        EXPECT_EQ(FfprobeStream(out, "v", "profile"), c.profile);
        EXPECT_EQ(FfprobeStream(out, "v", "has_b_frames"), c.bFrames);
        EXPECT_EQ(FfprobeStream(out, "v", "width,height"), "640,320");
        EXPECT_EQ(FfprobeStream(out, "a", "codec_name"), "aac");
    }
    // High keeps the defaults: the high profile with B frames.
    const std::string high = dir.File("high.mp4");
    int status = 0;
    EXPECT_EQ(Cli("convert",
                  {"--high", "--rotation", "90", "ffmpeg", "-d", "-ss", "00:00:00", "-i", cam, "-t",
                   "00:00:01", "-b:v", "20000k", high},
                  &status),
              "result: 0\n");
    EXPECT_EQ(FfprobeStream(high, "v", "profile"), "High");
}

TEST(Convert, RefusesWhatItCannotDo) {
    testutil::TempDir dir;
    const std::string cam = CameraVideo(dir, 30, 1.0);
    int status = 0;
    // Not a camera file: no calibration to stitch with.
    const std::string plain = dir.File("plain.mp4");
    ASSERT_EQ(testutil::FfmpegWrite("-f lavfi -i testsrc2=s=320x160:r=15:d=1 -c:v libx264", plain),
              0);
    const std::string out = dir.File("x.mp4");
    EXPECT_EQ(Cli("convert", ExportVector(plain, out, 1), &status),
              "result: " + std::to_string(kConvertNoCalibration) + "\n");
    EXPECT_EQ(status, 1);
    EXPECT_EQ(Cli("convert", ExportVector(dir.File("missing.mp4"), out, 1), &status),
              "result: " + std::to_string(kConvertCannotOpenInput) + "\n");
    EXPECT_EQ(Cli("convert", ExportVector(cam, dir.File("no/such/dir.mp4"), 1), &status),
              "result: -1013\n");
    EXPECT_FALSE(std::ifstream(out).good());
}

namespace {

struct Percents {
    std::mutex mutex;
    std::vector<float> seen;
    std::atomic<float> last{0};
    bool holdAtHalf = false;
};

void Record(float percent, void* user) {
    Percents* p = static_cast<Percents*>(user);
    {
        std::lock_guard<std::mutex> lock(p->mutex);
        p->seen.push_back(percent);
    }
    const bool halfWay = p->last.load() < 50 && percent >= 50;
    p->last.store(percent);
    // Holds the job at half-way, so that the stop surely comes before its end.
    if (halfWay && p->holdAtHalf) std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

}  // namespace

TEST(Convert, StopReturnsPromptlyAndProgressEndsAt100) {
    testutil::TempDir dir;
    ConvertClient lib;
    std::string error;
    ASSERT_TRUE(lib.Load(&error)) << error;
    const SynthTransFn synth = lib.synthTrans;
    const StopTranscodingFn stop = lib.stopTranscoding;
    const SetPositionCallbackFn setCallback = lib.setPositionCallback;
    ASSERT_TRUE(synth && stop && setCallback && lib.synthImage && lib.rescaleCsconvert);

    auto run = [&](const std::string& in, const std::string& out, const std::string& length) {
        std::vector<std::string> v = ExportVector(in, out, 1);
        v[7] = length;
        std::vector<char*> argv;
        for (std::string& s : v) argv.push_back(s.data());
        return synth(static_cast<int>(argv.size()), argv.data(), 0, 0, 0);
    };

    // A complete job: rising percents ending at 100.
    Percents full;
    setCallback(Record, &full);
    const std::string cam = CameraVideo(dir, 30, 1.0);
    EXPECT_EQ(run(cam, dir.File("full.mp4"), "00:00:01"), 0);
    ASSERT_FALSE(full.seen.empty());
    for (size_t i = 1; i < full.seen.size(); ++i) EXPECT_GE(full.seen[i], full.seen[i - 1]);
    EXPECT_EQ(full.seen.back(), 100.0f);

    // Stopped half-way from this thread while the job runs on another.
    const std::string out = dir.File("stopped.mp4");
    Percents half;
    half.holdAtHalf = true;
    setCallback(Record, &half);
    std::atomic<int> result{1};
    std::atomic<bool> finished{false};
    std::thread job([&] {
        result = run(cam, out, "00:00:01");
        finished = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (half.last.load() < 50 && !finished && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_FALSE(finished.load()) << "the job ended before half-way";
    const auto asked = std::chrono::steady_clock::now();
    stop();
    job.join();
    const double waited =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count();
    EXPECT_LT(waited, 0.5);
    EXPECT_EQ(result.load(), kConvertStopped);
    EXPECT_FALSE(std::ifstream(out).good());
    setCallback(nullptr, nullptr);
}

TEST(Convert, MergeJoinsPacketsInOrderAndRefusesAMismatch) {
    testutil::TempDir dir;
    const std::string cam = CameraVideo(dir, 30, 1.0);
    // Three stitched files of the same settings, turned differently; one
    // path holds a single quote.
    std::vector<std::string> parts;
    int status = 0;
    for (int rotation : {0, 90, 180}) {
        const std::string out = dir.File("part" + std::to_string(rotation) + "'s.mp4");
        std::vector<std::string> args = {"--rotation", std::to_string(rotation)};
        for (const std::string& a : ExportVector(cam, out, 1)) args.push_back(a);
        ASSERT_EQ(Cli("convert", args, &status), "result: 0\n");
        parts.push_back(out);
    }
    const std::string merged = dir.File("merged.mp4");
    const std::string tmp = dir.File("tmp");
    ASSERT_EQ(RunCommand("mkdir " + ShellQuote(tmp), &status), "");
    std::vector<std::string> args = {"merge", merged};
    args.insert(args.end(), parts.begin(), parts.end());
    EXPECT_EQ(testutil::RunCli(args, &status, "TMPDIR=" + ShellQuote(tmp)), "result: 0\n");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(RunCommand("ls -A " + ShellQuote(tmp), &status), "") << "the list file is left";
    ExpectPeersAccept(merged);
    for (int s = 0; s < 2; ++s) {
        std::string joined;
        for (const std::string& p : parts) joined += testutil::PacketHashes(p, s);
        EXPECT_FALSE(joined.empty());
        EXPECT_EQ(testutil::PacketHashes(merged, s), joined) << "stream " << s;
    }
    EXPECT_EQ(FfprobeStream(merged, "v", "nb_read_frames"), "90");
    const double seconds = std::stod(FfprobeStream(merged, "v", "duration"));
    EXPECT_NEAR(seconds, 3.0, 0.1);

    // The camera file itself has other coding settings: refused, nothing written.
    const std::string refused = dir.File("refused.mp4");
    EXPECT_EQ(Cli("merge", {refused, parts[0], cam}, &status),
              "result: " + std::to_string(kConvertMergeMismatch) + "\n");
    EXPECT_EQ(status, 1);
    EXPECT_FALSE(std::ifstream(refused).good());
}

namespace {

// The luma planes of every frame of a video's first video stream, as decoded by ffmpeg in its
// own pixel format (4:2:0 here, so nothing is rescaled).
std::vector<std::vector<uint8_t>> LumaFrames(const testutil::TempDir& dir, const std::string& file,
                                             int w, int h) {
    const std::string raw = dir.File("frames.yuv");
    testutil::FfmpegWrite("-i " + ShellQuote(file) + " -map 0:v:0 -f rawvideo", raw);
    const testutil::Bytes bytes = testutil::ReadFile(raw);
    const size_t frame = static_cast<size_t>(w) * h * 3 / 2;
    std::vector<std::vector<uint8_t>> out;
    for (size_t at = 0; at + frame <= bytes.size(); at += frame)
        out.emplace_back(bytes.begin() + at, bytes.begin() + at + static_cast<ptrdiff_t>(w) * h);
    return out;
}

}  // namespace

// A trimmed span of a camera video turning through a real panorama, stitched and compared
// frame by frame with the same span of the panorama itself.
TEST(Convert, TrimmedSpanMatchesThePanoramaFrames) {
    testutil::TempDir dir;
    sample::Mp4Options o;
    o.width = 640;
    o.height = 320;
    o.fps = 30;
    o.seconds = 3.0;
    const std::string cam = dir.File("cam.mp4");
    ASSERT_EQ(sample::WriteMp4(cam, testutil::DefaultTrailer(2), o), 0);
    o.cameraType = 0;
    const std::string pano = dir.File("pano.mp4");
    ASSERT_EQ(sample::WriteMp4(pano, {}, o), 0);

    std::vector<std::string> v = ExportVector(cam, dir.File("span.mp4"), 1);
    v[3] = "00:00:01";  // -ss
    int status = 0;
    ASSERT_EQ(Cli("convert", v, &status), "result: 0\n");
    const std::string out = dir.File("span.mp4");
    ExpectPeersAccept(out);
    const int frames = std::stoi(FfprobeStream(out, "v", "nb_read_frames"));
    EXPECT_NEAR(frames, 30, 1);
    EXPECT_NEAR(std::stod(FfprobeStream(out, "v", "duration")), 1.0, 1.0 / 30 + 1e-6);

    const auto got = LumaFrames(dir, out, 640, 320);
    const auto want = LumaFrames(dir, pano, 640, 320);
    ASSERT_EQ(got.size(), static_cast<size_t>(frames));
    ASSERT_GE(want.size(), 30u + got.size());
    double worst = 99;
    for (size_t k = 0; k < got.size(); ++k)
        worst = std::min(worst, testutil::Psnr(got[k], want[30 + k]));
    std::printf("stitched span against the panorama: worst luma PSNR %.2f dB\n", worst);
    EXPECT_GE(worst, 28.0);
}

// A single-lens camera video stitches too, and its sound is kept.
TEST(Convert, SingleLensVideoExports) {
    testutil::TempDir dir;
    sample::Mp4Options o;
    o.width = 640;
    o.height = 480;
    o.fps = 15;
    o.seconds = 1.0;
    o.audio = true;
    o.cameraType = 1;
    const std::string cam = dir.File("single.mp4");
    ASSERT_EQ(sample::WriteMp4(cam, testutil::DefaultTrailer(1), o), 0);
    const std::string out = dir.File("single-out.mp4");
    int status = 0;
    EXPECT_EQ(Cli("convert", ExportVector(cam, out, 1), &status), "result: 0\n");
    ExpectPeersAccept(out);
    EXPECT_EQ(FfprobeStream(out, "v", "nb_read_frames"), "15");
    EXPECT_EQ(FfprobeStream(out, "a", "codec_name"), "aac");
}

// A single-lens video whose width is 2 mod 4: the panorama's height w/2 is odd, so the
// output is rounded down to the even height the video encoder takes.
TEST(Convert, SingleLensVideoOfOddHalfWidthExports) {
    testutil::TempDir dir;
    sample::Mp4Options o;
    o.width = 642;
    o.height = 480;
    o.fps = 15;
    o.seconds = 1.0;
    o.cameraType = 1;
    const std::string cam = dir.File("single-642.mp4");
    ASSERT_EQ(sample::WriteMp4(cam, testutil::DefaultTrailer(1), o), 0);
    const std::string out = dir.File("single-642-out.mp4");
    int status = 0;
    EXPECT_EQ(Cli("convert", ExportVector(cam, out, 1), &status), "result: 0\n");
    EXPECT_EQ(status, 0);
    ExpectPeersAccept(out);
    EXPECT_EQ(FfprobeStream(out, "v", "width,height"), "642,320");
    EXPECT_EQ(FfprobeStream(out, "v", "nb_read_frames"), "15");
}
