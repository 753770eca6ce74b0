// The view recorder without GL: synthetic frames in, files that ffprobe and
// ffmpeg read out.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "convert/convert_client.h"
#include "mp4/mp4_copy.h"
#include "platform/file.h"
#include "record/view_recorder.h"
#include "sample/samplegen.h"
#include "support/command.h"
#include "support/files.h"
#include "support/peers.h"

namespace {

RescaleCsconvertFn Converter() {
    static ConvertClient client;
    static const bool loaded = [] {
        std::string error;
        return client.Load(&error);
    }();
    return loaded ? client.rescaleCsconvert : nullptr;
}

// A source camera video, made once per kind.
std::string Source(int fps, bool audio) {
    static testutil::TempDir dir;
    const std::string path = dir.File("src" + std::to_string(fps) + (audio ? "a" : "") + ".mp4");
    if (!platform::FileExists(path.c_str())) {
        sample::Mp4Options o;
        o.width = 320;
        o.height = 160;
        o.seconds = 4;
        o.fps = fps;
        o.audio = audio;
        o.cameraType = 0;
        EXPECT_EQ(sample::WriteMp4(path, {}, o), 0);
    }
    return path;
}

// A drawn view as the renderer reads it back (rows from the bottom): a bar
// that moves with the frame number over a gradient.
std::vector<uint8_t> ViewPixels(int w, int h, int n) {
    std::vector<uint8_t> px(static_cast<size_t>(w) * h * 4);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &px[(static_cast<size_t>(y) * w + x) * 4];
            const bool bar = ((x + 4 * n) % w) < 16;
            p[0] = bar ? 255 : static_cast<uint8_t>(x);
            p[1] = static_cast<uint8_t>(y * 2);
            p[2] = bar ? 0 : 128;
            p[3] = 255;
        }
    }
    return px;
}

RecordSpec Spec(const std::string& source, const std::string& out, int64_t startMs) {
    RecordSpec s;
    s.sourcePath = source.c_str();
    s.outputPath = out.c_str();
    s.startMs = startMs;
    s.width = 320;
    s.height = 160;
    return s;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) out.push_back(line);
    return out;
}

struct Written {
    int track;
    Mp4SampleInfo info;
};

}  // namespace

TEST(ViewRecorder, ThirtyFpsSourceIsRecordedAtFifteenWithItsSoundInStep) {
    ASSERT_NE(Converter(), nullptr);
    testutil::TempDir dir;
    const std::string src = Source(30, true), out = dir.File("rec.mp4");
    std::vector<Written> log;
    RecorderOptions opt;
    opt.convert = Converter();
    opt.onWrite = [&](int track, const Mp4SampleInfo& info) { log.push_back({track, info}); };
    opt.queueLimit = 64;  // frames come faster than real time here
    CViewRecorder rec(opt);
    // Playback was at 0.9 s at tick 4900; the first frame comes at tick 5000.
    RecordSpec spec = Spec(src, out, 900);
    spec.startTick = 4900;
    ASSERT_EQ(rec.Open(spec), 0);
    EXPECT_TRUE(rec.HalvesFrames());
    EXPECT_DOUBLE_EQ(rec.FrameRate(), 15);
    // A second start leaves the running one alone.
    EXPECT_EQ(rec.Open(Spec(src, dir.File("other.mp4"), 0)), kRecordBusy);
    // 45 frames two source frames apart: every 66 or 67 ms from tick 5000.
    std::vector<int64_t> ticks;
    for (int i = 0; i < 45; ++i) {
        ticks.push_back(5000 + i * 200 / 3);
        const auto px = ViewPixels(320, 160, i);
        rec.FrameAt(px.data(), 320, 160, ticks.back());
    }
    ASSERT_EQ(rec.Close(), 0);
    EXPECT_EQ(rec.OutputPath(), out);
    EXPECT_FALSE(platform::FileExists(dir.File("other.mp4").c_str()));
    EXPECT_EQ(rec.Counts().dropped, 0u);

    testutil::ExpectPeersDecode(out);
    EXPECT_EQ(testutil::FfprobeStream(out, "v", "width,height,nb_read_frames"), "320,160,45");
    // Key frames: the first picture and the thirty-first, nothing else.
    const auto flags = Lines(
        testutil::FfprobeValues(out, "-select_streams v -show_entries packet=pts_time,flags"));
    ASSERT_EQ(flags.size(), 90u);
    for (int i = 0; i < 45; ++i) {
        const bool key = flags[2 * i + 1].find('K') != std::string::npos;
        EXPECT_EQ(key, i == 0 || i == 30) << "frame " << i;
        // Each frame at its own capture time.
        EXPECT_NEAR(std::stod(flags[2 * i]), (ticks[i] - ticks[0]) / 1000.0, 0.0015) << i;
    }
    // No sound sample is written before it has been played, relative to the
    // video frame that follows it.
    uint32_t lastVideo = 0;
    for (size_t i = 0; i < log.size(); ++i) {
        if (log[i].track == 0) {
            lastVideo = log[i].info.dtsMs;
            for (size_t j = i + 1; j < log.size() && log[j].track == 1; ++j)
                EXPECT_GE(lastVideo + 100, log[j].info.dtsMs);
            continue;
        }
        for (size_t j = i + 1; j < log.size(); ++j) {
            if (log[j].track != 0) continue;
            EXPECT_LE(log[i].info.dtsMs + log[i].info.durationMs, log[j].info.dtsMs);
            break;
        }
    }
    // The sound is the source's own, copied from the start position on.
    const double video =
        std::stod(testutil::FfprobeValues(out, "-select_streams v -show_entries stream=duration"));
    const double sound =
        std::stod(testutil::FfprobeValues(out, "-select_streams a -show_entries stream=duration"));
    EXPECT_NEAR(sound, video, 0.1);
    const auto copied = Lines(testutil::PacketHashes(out, 1));
    const auto original = Lines(testutil::PacketHashes(src, 1));
    ASSERT_GT(copied.size(), 100u);
    size_t at = 0;
    while (at + copied.size() <= original.size() &&
           !std::equal(copied.begin(), copied.end(), original.begin() + at))
        ++at;
    ASSERT_LE(at + copied.size(), original.size()) << "the sound is not a run of the source's";
    EXPECT_NEAR(at * 1024.0 / 48000.0, 1.0, 1024.0 / 48000.0);
    // A view of the sphere is not marked as a panorama.
    EXPECT_EQ(testutil::Exiftool("-s -XMP-GSpherical:all", out), "");
}

TEST(ViewRecorder, TwelveFpsSourceWithoutSoundGivesOneTrackAndIncreasingTimes) {
    ASSERT_NE(Converter(), nullptr);
    testutil::TempDir dir;
    const std::string src = Source(12, false), out = dir.File("rec.mp4");
    // The name is taken: the recording goes beside it.
    ASSERT_TRUE(testutil::WriteBytes(out, {1, 2, 3}));
    RecorderOptions opt;
    opt.convert = Converter();
    CViewRecorder rec(opt);
    RecordSpec spec = Spec(src, out, 0);
    spec.spherical = true;  // the flat view of a panorama
    ASSERT_EQ(rec.Open(spec), 0);
    EXPECT_FALSE(rec.HalvesFrames());
    EXPECT_DOUBLE_EQ(rec.FrameRate(), 12);
    EXPECT_EQ(rec.OutputPath(), dir.File("rec_1.mp4"));
    // Times fall on the 12 fps grid: a capture in the same millisecond as the
    // one before takes the next place, one that would run more than a frame
    // ahead is left out; a frame of another size is scaled to the recording's.
    const int64_t ticks[] = {100, 100, 183, 183, 266, 350};
    for (int i = 0; i < 6; ++i) {
        const int w = i == 4 ? 640 : 320, h = i == 4 ? 320 : 160;
        const auto px = ViewPixels(w, h, i);
        rec.FrameAt(px.data(), w, h, ticks[i]);
    }
    ASSERT_EQ(rec.Close(), 0);
    EXPECT_EQ(testutil::ReadFile(out), (testutil::Bytes{1, 2, 3}));
    const std::string made = dir.File("rec_1.mp4");
    testutil::ExpectPeersDecode(made);
    EXPECT_EQ(Lines(testutil::FfprobeValues(made, "-show_entries stream=codec_type")),
              (std::vector<std::string>{"video"}));
    EXPECT_EQ(Lines(testutil::FfprobeValues(made, "-show_entries packet=pts_time")),
              (std::vector<std::string>{"0.000000", "0.083000", "0.167000", "0.250000"}));
    EXPECT_EQ(rec.Counts().early, 2u);
    EXPECT_NE(testutil::Exiftool("-s -XMP-GSpherical:all", made).find("equirectangular"),
              std::string::npos);
}

TEST(ViewRecorder, FullQueueDropsTheNewestAndStopKeepsWhatWasQueued) {
    ASSERT_NE(Converter(), nullptr);
    testutil::TempDir dir;
    const std::string out = dir.File("slow.mp4");
    // A converter that holds the encoder until the test lets it go.
    static RescaleCsconvertFn real = Converter();
    static std::atomic<bool> go{false};
    go = false;
    RecorderOptions opt;
    opt.convert = [](const uint8_t* s, uint8_t* d, int sw, int sh, int f, int dw, int dh, int r) {
        while (!go) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return real(s, d, sw, sh, f, dw, dh, r);
    };
    opt.queueLimit = 8;
    CViewRecorder rec(opt);
    ASSERT_EQ(rec.Open(Spec(Source(30, true), out, 0)), 0);
    const auto px = ViewPixels(320, 160, 0);
    for (int i = 0; i < 40; ++i) rec.FrameAt(px.data(), 320, 160, i * 67);
    // Eight wait in the queue and the encoder may hold one: the rest went.
    const RecordCounts before = rec.Counts();
    EXPECT_EQ(before.offered, 40u);
    EXPECT_GE(before.dropped, 31u);
    EXPECT_LE(before.dropped, 32u);
    go = true;
    ASSERT_EQ(rec.Close(), 0);
    // Everything that was queued reached the file.
    const RecordCounts after = rec.Counts();
    EXPECT_EQ(after.encoded, after.offered - after.dropped);
    EXPECT_EQ(testutil::FfprobeStream(out, "v", "nb_read_frames"), std::to_string(after.encoded));
}

TEST(ViewRecorder, EveryFailureLeavesNoFile) {
    ASSERT_NE(Converter(), nullptr);
    testutil::TempDir dir, work;
    const std::string good = Source(30, true);
    const std::string photo = work.File("photo.jpg");
    ASSERT_TRUE(testutil::WriteBytes(photo, {0xFF, 0xD8, 0xFF, 0xD9}));
    RecorderOptions opt;
    opt.convert = Converter();
    const std::string out = dir.File("rec.mp4");
    struct Case {
        std::string source, output;
        RescaleCsconvertFn convert;
        int code;
    } cases[] = {
        {work.File("missing.mp4"), out, opt.convert, kRecordBadSource},
        {photo, out, opt.convert, kRecordBadSource},
        {good, dir.File("no/such/folder/rec.mp4"), opt.convert, kRecordCannotCreate},
        {good, out, nullptr, kRecordNoConverter},
        {good, "", opt.convert, kRecordBusy},
    };
    for (const Case& c : cases) {
        RecorderOptions o = opt;
        o.convert = c.convert;
        CViewRecorder rec(o);
        EXPECT_EQ(rec.Open(Spec(c.source, c.output, 0)), c.code) << c.source << " " << c.output;
        EXPECT_EQ(testutil::ListFolder(dir.path()), std::vector<std::string>()) << c.source;
    }
    // Stopped before any frame: nothing worth keeping.
    CViewRecorder rec(opt);
    ASSERT_EQ(rec.Open(Spec(good, out, 0)), 0);
    EXPECT_EQ(rec.Close(), kRecordNothingRecorded);
    EXPECT_EQ(testutil::ListFolder(dir.path()), std::vector<std::string>());
    // Frames after the stop are refused.
    const auto px = ViewPixels(320, 160, 0);
    rec.FrameAt(px.data(), 320, 160, 0);
    EXPECT_EQ(rec.Counts().offered, 0u);

    // A sound sample larger than the cursor's bound is refused, not trusted.
    Mp4File file;
    ASSERT_EQ(file.OpenRead(good.c_str()), 0);
    MP4Spliter* sp = nullptr;
    MP4SpliterSetTrace(0);
    ASSERT_EQ(MP4SpliterOpen(file.Io(), kMp4ReadModeAll, &sp), 0);
    Mp4SampleCursor cursor;
    cursor.track = 2;
    cursor.buffer.resize(16);
    cursor.limit = 64;
    EXPECT_EQ(cursor.Next(sp), kMp4ReadMalformed);
    EXPECT_FALSE(cursor.pending);
    MP4SpliterClose(sp);
}
