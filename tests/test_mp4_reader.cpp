// MP4Spliter against files made by ffmpeg at test time: track records, codec
// configurations, every sample compared with ffmpeg's own packet list,
// seeking, buffer growth, and damaged inputs.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "mp4/mp4_common.h"
#include "mp4/mp4_reader.h"
#include "sample/samplegen.h"
#include "support/boxes.h"
#include "support/files.h"
#include "support/peers.h"

namespace {

using testutil::AllBoxes;
using testutil::AppendChild;
using testutil::Box;
using testutil::Bytes;
using testutil::FindBox;
using testutil::PutBe32;
using Reference = testutil::PeerPackets;

std::string Md5(const uint8_t* p, size_t n) {
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(p, n, d, &len, EVP_md5(), nullptr);
    std::string s;
    char hex[3];
    for (unsigned i = 0; i < len; ++i) {
        std::snprintf(hex, sizeof hex, "%02x", d[i]);
        s += hex;
    }
    return s;
}

const testutil::TempDir& Dir() {
    static testutil::TempDir dir;
    return dir;
}

// Makes (once) an MP4 with ffmpeg from the given arguments.
std::string Make(const std::string& name, const std::string& args) {
    static std::map<std::string, bool> made;
    std::string path = Dir().File(name);
    if (!made[name]) made[name] = testutil::FfmpegWrite(args, path) == 0;
    return made[name] ? path : std::string();
}

const char* kAv =
    "-f lavfi -i testsrc2=s=320x160:r=25:d=2 -f lavfi -i sine=d=2 -c:v libx264 -pix_fmt yuv420p "
    "-c:a aac -shortest";

std::string PlainFile() {
    return Make("plain.mp4", kAv);
}
std::string FastStartFile() {
    return Make("faststart.mp4", std::string(kAv) + " -movflags +faststart");
}

// An Mp4Io over bytes in memory.
struct MemStream {
    const uint8_t* data;
    int64_t size;
    int64_t pos = 0;

    Mp4Io Io() {
        Mp4Io io{};
        io.user = this;
        io.read = [](void* u, void* dst, int64_t n) -> int64_t {
            auto* m = static_cast<MemStream*>(u);
            int64_t left = m->pos < m->size ? m->size - m->pos : 0;
            if (n > left) n = left;
            if (n > 0) std::memcpy(dst, m->data + m->pos, static_cast<size_t>(n));
            m->pos += n;
            return n;
        };
        io.seek = [](void* u, int64_t off, int origin) -> int {
            auto* m = static_cast<MemStream*>(u);
            int64_t base = origin == kMp4SeekCur ? m->pos : origin == kMp4SeekEnd ? m->size : 0;
            if (base + off < 0) return -1;
            m->pos = base + off;
            return 0;
        };
        io.tell = [](void* u) -> int64_t { return static_cast<MemStream*>(u)->pos; };
        io.size = [](void* u) -> int64_t { return static_cast<MemStream*>(u)->size; };
        return io;
    }
};

struct Closer {
    void operator()(MP4Spliter* sp) const { MP4SpliterClose(sp); }
};
using Reader = std::unique_ptr<MP4Spliter, Closer>;

// Opens bytes in memory; the stream must outlive the reader.
int OpenBytes(MemStream* ms, const Bytes& b, int mode, Reader* out) {
    ms->data = b.data();
    ms->size = static_cast<int64_t>(b.size());
    ms->pos = 0;
    MP4Spliter* sp = nullptr;
    int r = MP4SpliterOpen(ms->Io(), mode, &sp);
    out->reset(sp);
    return r;
}

struct ReadBack {
    std::vector<std::pair<uint32_t, std::string>> samples;
    std::vector<Mp4SampleInfo> infos;
    int last = 0;  // the code that ended the loop
};

// Reads every sample of a track, starting with a tiny buffer and growing it
// whenever the reader asks for more.
ReadBack ReadAll(MP4Spliter* sp, int track) {
    ReadBack rb;
    Bytes buf(16);
    for (;;) {
        Mp4SampleInfo info{};
        int r =
            MP4SpliterReadSample(sp, track, buf.data(), static_cast<uint32_t>(buf.size()), &info);
        if (r == kMp4ReadBufferTooSmall) {
            if (info.size <= buf.size()) {
                rb.last = -1;
                return rb;
            }
            buf.resize(info.size);
            continue;
        }
        if (r != 0) {
            rb.last = r;
            return rb;
        }
        rb.samples.push_back({info.size, Md5(buf.data(), info.size)});
        rb.infos.push_back(info);
    }
}

// Reads a whole file and checks every track against ffmpeg's packets.
void ExpectSameAsFfmpeg(const std::string& path, size_t expectTracks) {
    Reference ref = testutil::FfmpegPackets(path);
    ASSERT_EQ(ref.packets.size(), expectTracks);
    Mp4File file;
    ASSERT_EQ(file.OpenRead(path.c_str()), 0);
    MP4Spliter* raw = nullptr;
    ASSERT_EQ(MP4SpliterOpen(file.Io(), kMp4ReadModeAll, &raw), 0);
    Reader sp(raw);
    uint32_t count = 0;
    Mp4TrackEntry entries[8];
    ASSERT_EQ(MP4SpliterListTracks(sp.get(), entries, 8, &count), 0);
    ASSERT_EQ(count, expectTracks);
    for (uint32_t i = 0; i < count; ++i) {
        ReadBack rb = ReadAll(sp.get(), static_cast<int>(i + 1));
        EXPECT_EQ(rb.last, kMp4ReadEndOfTrack);
        EXPECT_EQ(rb.samples, ref.packets[static_cast<int>(i)]) << path << " track " << i + 1;
        for (size_t k = 1; k < rb.infos.size(); ++k)
            EXPECT_GE(rb.infos[k].dtsMs, rb.infos[k - 1].dtsMs);
    }
}

// Opens damaged bytes in both modes; when open succeeds every sample of
// every track is read. Returns the open code of mode 1, or -1 when it opened
// with a track left unprepared.
int Survive(const Bytes& b) {
    int first = 0;
    for (int mode : {kMp4ReadModeAll, kMp4ReadModeVideoOnly}) {
        MemStream ms;
        Reader sp;
        int r = OpenBytes(&ms, b, mode, &sp);
        if (mode == kMp4ReadModeAll) first = r;
        if (r != 0) {
            EXPECT_TRUE(sp == nullptr || r == kMp4ReadLateMovie);
            continue;
        }
        uint32_t count = 0;
        EXPECT_EQ(MP4SpliterListTracks(sp.get(), nullptr, 0, &count), 0);
        for (uint32_t t = 1; t <= count; ++t) ReadAll(sp.get(), static_cast<int>(t));
        Mp4TrackEntry e[8];
        MP4SpliterListTracks(sp.get(), e, 8, &count);
        for (uint32_t t = 0; t < count && t < 8 && mode == kMp4ReadModeAll; ++t)
            if (e[t].handler == 0) first = -1;
    }
    return first;
}

class Mp4Reader : public ::testing::Test {
  protected:
    void SetUp() override { MP4SpliterSetTrace(0); }
};

// ---- The buffered file behind the I/O table. ----

TEST_F(Mp4Reader, FileWritesPatchesAndReadsBack) {
    std::string path = Dir().File("io.bin");
    Mp4File f;
    ASSERT_EQ(f.OpenWrite(path.c_str()), 0);
    Mp4Io io = f.Io();
    Bytes big(200000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
    ASSERT_EQ(io.write(io.user, "abcd", 4), 4);
    ASSERT_EQ(io.write(io.user, big.data(), static_cast<int64_t>(big.size())), 200000);
    ASSERT_EQ(io.write(io.user, "tail", 4), 4);
    EXPECT_EQ(io.tell(io.user), 200008);
    // Patch the head, then read across the patch and the big block.
    ASSERT_EQ(io.seek(io.user, 1, kMp4SeekSet), 0);
    ASSERT_EQ(io.write(io.user, "XY", 2), 2);
    ASSERT_EQ(io.seek(io.user, -8, kMp4SeekEnd), 0);
    char tail[8];
    ASSERT_EQ(io.read(io.user, tail, 8), 8);
    EXPECT_EQ(std::memcmp(tail, big.data() + big.size() - 4, 4), 0);
    EXPECT_EQ(std::memcmp(tail + 4, "tail", 4), 0);
    ASSERT_EQ(io.seek(io.user, 0, kMp4SeekSet), 0);
    Bytes back(200008);
    ASSERT_EQ(io.read(io.user, back.data(), 200008), 200008);
    EXPECT_EQ(std::memcmp(back.data(), "aXYd", 4), 0);
    EXPECT_EQ(std::memcmp(back.data() + 4, big.data(), big.size()), 0);
    EXPECT_EQ(io.read(io.user, back.data(), 1), 0);
    EXPECT_EQ(io.seek(io.user, -1, kMp4SeekSet), -1);
    // A 64-bit position past 4 GiB, relative to the current one.
    ASSERT_EQ(io.seek(io.user, int64_t{5} << 30, kMp4SeekCur), 0);
    ASSERT_EQ(io.write(io.user, "z", 1), 1);
    EXPECT_EQ(io.size(io.user), 200008 + (int64_t{5} << 30) + 1);
    ASSERT_TRUE(f.Close());
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 200008 + (int64_t{5} << 30) + 1);
    ASSERT_EQ(f.OpenRead(path.c_str()), 0);
    io = f.Io();
    EXPECT_EQ(io.write(io.user, "q", 1), -1);
    ASSERT_EQ(io.seek(io.user, -1, kMp4SeekEnd), 0);
    char z = 0;
    EXPECT_EQ(io.read(io.user, &z, 1), 1);
    EXPECT_EQ(z, 'z');
    EXPECT_TRUE(f.Close());
    std::remove(path.c_str());
}

// ---- Track records and configurations. ----

TEST_F(Mp4Reader, TrackParamsOfVideoAndSound) {
    std::string path = PlainFile();
    ASSERT_FALSE(path.empty());
    Mp4File file;
    ASSERT_EQ(file.OpenRead(path.c_str()), 0);
    MP4Spliter* raw = nullptr;
    ASSERT_EQ(MP4SpliterOpen(file.Io(), kMp4ReadModeAll, &raw), 0);
    Reader sp(raw);
    Mp4TrackEntry e[2];
    uint32_t count = 0;
    ASSERT_EQ(MP4SpliterListTracks(sp.get(), e, 2, &count), 0);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(e[0].index, 1u);
    EXPECT_EQ(e[0].handler, kMp4HandlerVideo);
    EXPECT_EQ(e[1].handler, kMp4HandlerSound);

    Reference ref = testutil::FfmpegPackets(path);
    uint32_t maxVideo = 0, maxSound = 0;
    for (auto& p : ref.packets[0]) maxVideo = std::max(maxVideo, p.first);
    for (auto& p : ref.packets[1]) maxSound = std::max(maxSound, p.first);

    Mp4VideoParams v;
    v.reserved = 0xabcdef01;
    EXPECT_EQ(MP4SpliterGetTrackParams(sp.get(), 1, &v, 31), kMp4ReadRecordTooSmall);
    ASSERT_EQ(MP4SpliterGetTrackParams(sp.get(), 1, &v, sizeof v), 0);
    EXPECT_EQ(v.codec, kMp4CodecH264);
    EXPECT_EQ(v.width, 320u);
    EXPECT_EQ(v.height, 160u);
    EXPECT_NEAR(v.durationMs, 2000, 1);
    EXPECT_FLOAT_EQ(v.frameRate, 25.0f);
    EXPECT_GT(v.bitRate, 0u);
    EXPECT_EQ(v.bufferSize, maxVideo + 1024);
    EXPECT_EQ(v.reserved, 0xabcdef01u);

    Mp4SoundParams s;
    s.reserved = 7;
    EXPECT_EQ(MP4SpliterGetTrackParams(sp.get(), 2, &s, 32), kMp4ReadRecordTooSmall);
    ASSERT_EQ(MP4SpliterGetTrackParams(sp.get(), 2, &s, sizeof s), 0);
    EXPECT_EQ(s.codec, kMp4CodecAac);
    EXPECT_EQ(s.channels, 1u);
    EXPECT_EQ(s.sampleRate, 44100u);
    EXPECT_EQ(s.bitsPerSample, 16u);
    EXPECT_EQ(s.zero, 0u);
    EXPECT_NEAR(s.durationMs, 2000, 30);
    EXPECT_EQ(s.bufferSize, maxSound + 5);  // five bytes of AudioSpecificConfig
    EXPECT_EQ(s.reserved, 7u);

    EXPECT_EQ(MP4SpliterGetTrackParams(sp.get(), 0, &v, sizeof v), kMp4ReadBadArgument);
    EXPECT_EQ(MP4SpliterGetTrackParams(sp.get(), 3, &v, sizeof v), kMp4ReadBadArgument);
}

TEST_F(Mp4Reader, CodecConfigMatchesFfmpegExtradata) {
    std::string path = PlainFile();
    ASSERT_FALSE(path.empty());
    Reference ref = testutil::FfmpegPackets(path);
    Bytes bytes = testutil::ReadFile(path);
    MemStream ms;
    Reader sp;
    ASSERT_EQ(OpenBytes(&ms, bytes, kMp4ReadModeAll, &sp), 0);
    for (int track = 1; track <= 2; ++track) {
        uint8_t cfg[256];
        uint32_t size = 1;
        EXPECT_EQ(MP4SpliterQuery(sp.get(), track, kMp4QueryCodecConfig, cfg, &size),
                  kMp4ReadRecordTooSmall);
        ASSERT_GT(size, 1u);
        ASSERT_EQ(MP4SpliterQuery(sp.get(), track, kMp4QueryCodecConfig, cfg, &size), 0);
        EXPECT_EQ(Md5(cfg, size), ref.extradataMd5[track - 1]) << "track " << track;
    }
    uint32_t n = 0, size = 4;
    ASSERT_EQ(MP4SpliterQuery(sp.get(), 1, kMp4QuerySampleCount, &n, &size), 0);
    EXPECT_EQ(n, ref.packets[0].size());
    EXPECT_EQ(MP4SpliterQuery(sp.get(), 1, 999, &n, &size), kMp4ReadBadArgument);
}

// ---- Every sample, against ffmpeg's packets. ----

TEST_F(Mp4Reader, SamplesMatchFfmpegInEveryLayout) {
    std::string files[] = {
        PlainFile(),
        FastStartFile(),
        Make("soundfirst.mp4", std::string(kAv) + " -map 1 -map 0"),
        Make("long.mp4",
             "-f lavfi -i testsrc2=s=64x32:r=50:d=60 -f lavfi -i sine=d=60 -c:v libx264 "
             "-preset ultrafast -pix_fmt yuv420p -c:a aac -shortest"),
    };
    for (const std::string& f : files) {
        ASSERT_FALSE(f.empty());
        ExpectSameAsFfmpeg(f, 2);
    }
    std::string videoOnly = Make(
        "videoonly.mp4", "-f lavfi -i testsrc2=s=320x160:r=25:d=2 -c:v libx264 -pix_fmt yuv420p");
    ASSERT_FALSE(videoOnly.empty());
    ExpectSameAsFfmpeg(videoOnly, 1);
}

TEST_F(Mp4Reader, OtherCodecs) {
    struct Case {
        const char* name;
        const char* args;
        uint32_t codec;
    } cases[] = {
        {"hevc.mp4",
         "-f lavfi -i testsrc2=s=64x32:r=10:d=1 -c:v libx265 -tag:v hvc1 -x265-params "
         "log-level=none",
         kMp4CodecHevc},
        {"alac.m4a", "-f lavfi -i sine=d=1 -c:a alac", kMp4CodecAlac},
        {"ac3.mp4", "-f lavfi -i sine=d=1 -c:a ac3", kMp4CodecAc3},
        {"mp3.mov", "-f lavfi -i sine=d=1 -c:a libmp3lame", kMp4CodecMp3},
    };
    for (const Case& c : cases) {
        std::string path = Make(c.name, c.args);
        ASSERT_FALSE(path.empty()) << c.name;
        ExpectSameAsFfmpeg(path, 1);
        Bytes b = testutil::ReadFile(path);
        MemStream ms;
        Reader sp;
        ASSERT_EQ(OpenBytes(&ms, b, kMp4ReadModeAll, &sp), 0);
        uint32_t record[9] = {};
        ASSERT_EQ(MP4SpliterGetTrackParams(sp.get(), 1, record, sizeof record), 0);
        EXPECT_EQ(record[0], c.codec) << c.name;
        if (c.codec == kMp4CodecAlac) {
            EXPECT_EQ(record[2], 1u);      // channels
            EXPECT_EQ(record[5], 44100u);  // sample rate
        }
    }
}

TEST_F(Mp4Reader, PhoneVideo) {
    const char* path = "/usr/lib/python3/dist-packages/imageio/resources/images/realshort.mp4";
    struct stat st;
    if (stat(path, &st) != 0) GTEST_SKIP() << "python3-imageio not installed";
    Reference ref = testutil::FfmpegPackets(path);
    ExpectSameAsFfmpeg(path, ref.packets.size());
}

TEST_F(Mp4Reader, WideMdatBeforeMoov) {
    // ffmpeg leaves an 8-byte "free" before "mdat": together they become one
    // 16-byte header of a 64-bit "mdat" and no offset moves.
    std::string path = PlainFile();
    ASSERT_FALSE(path.empty());
    Bytes b = testutil::ReadFile(path);
    Box fr = FindBox(b, "free"), md = FindBox(b, "mdat");
    ASSERT_EQ(fr.size, 8u);
    ASSERT_EQ(md.at, fr.at + 8);
    uint64_t wide = md.size + 8;
    PutBe32(b, fr.at, 1);
    std::memcpy(&b[fr.at + 4], "mdat", 4);
    PutBe32(b, fr.at + 8, static_cast<uint32_t>(wide >> 32));
    PutBe32(b, fr.at + 12, static_cast<uint32_t>(wide));
    std::string widePath = Dir().File("wide.mp4");
    ASSERT_TRUE(testutil::WriteBytes(widePath, b));

    testing::internal::CaptureStdout();
    MP4SpliterSetTrace(1);
    ExpectSameAsFfmpeg(widePath, 2);
    MP4SpliterSetTrace(0);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("pMP4Spliter->llStreamSize2 = " + std::to_string(b.size()) + "\r\n"),
              std::string::npos);
    EXPECT_NE(log.find("llDataSize = " + std::to_string(wide) + "\r\n"), std::string::npos);
    EXPECT_NE(log.find("seek length2 = " + std::to_string(fr.at + wide) + "\r\n"),
              std::string::npos);
    EXPECT_NE(log.find("dwBoxType = 0x6d6f6f76\r\n"), std::string::npos);
    EXPECT_NE(log.find("pMP4Spliter->bMoovFound = 1, pMP4Spliter->bMdatFound = 1\r\n"),
              std::string::npos);

    // A 64-bit size past the stream skips to its end: no movie is reached.
    PutBe32(b, fr.at + 8, 0x10);
    EXPECT_EQ(Survive(b), kMp4ReadNoMovie);
}

TEST_F(Mp4Reader, SphericalUuidInTrackIsSkipped) {
    std::string path = PlainFile();
    ASSERT_FALSE(path.empty());
    Bytes b = testutil::ReadFile(path);
    Bytes uuid = sample::Box("uuid", Bytes(433, 'x'));
    static const uint8_t id[16] = {0xff, 0xcc, 0x82, 0x63, 0xf8, 0x55, 0x4a, 0x93,
                                   0x88, 0x14, 0x58, 0x7a, 0x02, 0x52, 0x1f, 0xdd};
    std::memcpy(&uuid[8], id, 16);
    AppendChild(b, FindBox(b, "trak", 0), uuid);
    std::string out = Dir().File("spherical.mp4");
    ASSERT_TRUE(testutil::WriteBytes(out, b));
    ExpectSameAsFfmpeg(out, 2);
}

// ---- Seeking and buffer growth. ----

TEST_F(Mp4Reader, SeekLandsOnTheSampleForTheTime) {
    std::string path =
        Make("gop.mp4",
             "-f lavfi -i testsrc2=s=64x32:r=25:d=4 -f lavfi -i sine=d=4 -c:v libx264 -g 25 "
             "-keyint_min 25 -sc_threshold 0 -pix_fmt yuv420p -c:a aac -shortest");
    ASSERT_FALSE(path.empty());
    Bytes b = testutil::ReadFile(path);
    MemStream ms;
    Reader sp;
    ASSERT_EQ(OpenBytes(&ms, b, kMp4ReadModeAll, &sp), 0);
    Bytes buf(1 << 20);
    Mp4SampleInfo info{};

    uint32_t t = 1500;
    ASSERT_EQ(MP4SpliterSeek(sp.get(), 1, &t, kMp4SeekToSync), 0);
    EXPECT_EQ(t, 1000u);
    ASSERT_EQ(MP4SpliterReadSample(sp.get(), 1, buf.data(), 1 << 20, &info), 0);
    EXPECT_EQ(info.dtsMs, 1000u);
    EXPECT_EQ(info.sync, 1u);

    t = 1500;
    ASSERT_EQ(MP4SpliterSeek(sp.get(), 1, &t, kMp4SeekToSample), 0);
    EXPECT_EQ(t, 1480u);
    ASSERT_EQ(MP4SpliterReadSample(sp.get(), 1, buf.data(), 1 << 20, &info), 0);
    EXPECT_EQ(info.dtsMs, 1480u);
    EXPECT_EQ(info.durationMs, 40u);

    // Sound: the sample that covers the time.
    t = 2000;
    ASSERT_EQ(MP4SpliterSeek(sp.get(), 2, &t, kMp4SeekToSync), 0);
    EXPECT_LE(t, 2000u);
    EXPECT_GT(t + 24u, 2000u);
    ASSERT_EQ(MP4SpliterReadSample(sp.get(), 2, buf.data(), 1 << 20, &info), 0);
    EXPECT_EQ(info.dtsMs, t);

    t = 60000;
    EXPECT_EQ(MP4SpliterSeek(sp.get(), 2, &t, 0), kMp4ReadNotApplicable);
    t = 0;
    EXPECT_EQ(MP4SpliterSeek(sp.get(), 2, &t, 7), kMp4ReadBadArgument);
    ASSERT_EQ(MP4SpliterSeek(sp.get(), 1, &t, 0), 0);
    EXPECT_EQ(t, 0u);
    ASSERT_EQ(MP4SpliterReadSample(sp.get(), 1, buf.data(), 1 << 20, &info), 0);
    EXPECT_EQ(info.dtsMs, 0u);
}

TEST_F(Mp4Reader, TooSmallBufferGivesSizeThenSameSample) {
    std::string path = PlainFile();
    ASSERT_FALSE(path.empty());
    Reference ref = testutil::FfmpegPackets(path);
    Bytes b = testutil::ReadFile(path);
    MemStream ms;
    Reader sp;
    ASSERT_EQ(OpenBytes(&ms, b, kMp4ReadModeAll, &sp), 0);
    Bytes buf(8);
    Mp4SampleInfo info{};
    EXPECT_EQ(MP4SpliterReadSample(sp.get(), 1, buf.data(), 8, &info), kMp4ReadBufferTooSmall);
    EXPECT_EQ(info.size, ref.packets[0][0].first);
    EXPECT_EQ(MP4SpliterReadSample(sp.get(), 1, nullptr, 0, &info), kMp4ReadBufferTooSmall);
    buf.resize(info.size);
    ASSERT_EQ(MP4SpliterReadSample(sp.get(), 1, buf.data(), info.size, &info), 0);
    EXPECT_EQ(Md5(buf.data(), info.size), ref.packets[0][0].second);
    EXPECT_EQ(info.sync, 1u);
    EXPECT_EQ(MP4SpliterReadSample(sp.get(), 1, buf.data(), info.size, nullptr),
              kMp4ReadBadArgument);
}

// ---- Arguments and unreadable movies. ----

TEST_F(Mp4Reader, OpenArgumentsAndModes) {
    std::string path = PlainFile();
    ASSERT_FALSE(path.empty());
    Bytes b = testutil::ReadFile(path);
    MemStream ms{b.data(), static_cast<int64_t>(b.size())};
    MP4Spliter* sp = nullptr;
    EXPECT_EQ(MP4SpliterOpen(ms.Io(), 0, &sp), kMp4ReadBadArgument);
    EXPECT_EQ(MP4SpliterOpen(ms.Io(), 3, &sp), kMp4ReadBadArgument);
    EXPECT_EQ(MP4SpliterOpen(ms.Io(), 1, nullptr), kMp4ReadBadArgument);
    EXPECT_EQ(sp, nullptr);
    MP4SpliterClose(nullptr);

    Reader r;
    ASSERT_EQ(OpenBytes(&ms, b, kMp4ReadModeVideoOnly, &r), 0);
    Mp4TrackEntry e[2];
    uint32_t count = 0;
    ASSERT_EQ(MP4SpliterListTracks(r.get(), e, 2, &count), 0);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(e[0].handler, kMp4HandlerVideo);
    EXPECT_EQ(e[1].handler, 0u);
    Mp4SoundParams s;
    EXPECT_EQ(MP4SpliterGetTrackParams(r.get(), 2, &s, sizeof s), kMp4ReadBadArgument);
}

TEST_F(Mp4Reader, LargeMoovAfterMdatInModeTwo) {
    std::string path = PlainFile();
    ASSERT_FALSE(path.empty());
    Bytes b = testutil::ReadFile(path);
    AppendChild(b, FindBox(b, "moov"), sample::Box("free", Bytes(70000, 0)));
    MemStream ms{b.data(), static_cast<int64_t>(b.size())};
    MP4Spliter* sp = nullptr;
    ASSERT_EQ(MP4SpliterOpen(ms.Io(), kMp4ReadModeVideoOnly, &sp), kMp4ReadLateMovie);
    ASSERT_NE(sp, nullptr);
    EXPECT_EQ(ms.pos, ms.size - 8);
    ASSERT_EQ(MP4SpliterOpen(ms.Io(), kMp4ReadModeVideoOnly, &sp), 0);
    Reader r(sp);
    EXPECT_EQ(ReadAll(r.get(), 1).samples.size(), 50u);
    EXPECT_EQ(Survive(b), 0);  // mode 1 reads it at once
}

TEST_F(Mp4Reader, FragmentedAndProtectedAreRefused) {
    std::string frag = Make("frag.mp4", std::string(kAv) + " -movflags frag_keyframe+empty_moov");
    ASSERT_FALSE(frag.empty());
    EXPECT_EQ(Survive(testutil::ReadFile(frag)), kMp4ReadFragmented);

    Bytes b = testutil::ReadFile(PlainFile());
    ASSERT_FALSE(b.empty());
    Box stsd = FindBox(b, "stsd");
    ASSERT_EQ(std::memcmp(&b[stsd.at + 20], "avc1", 4), 0);
    std::memcpy(&b[stsd.at + 20], "encv", 4);
    EXPECT_EQ(Survive(b), kMp4ReadProtected);
}

// ---- Damaged inputs. ----

TEST_F(Mp4Reader, TruncatedAtEveryBoxBoundary) {
    for (const std::string& path : {PlainFile(), FastStartFile()}) {
        ASSERT_FALSE(path.empty());
        Bytes b = testutil::ReadFile(path);
        std::vector<size_t> cuts;
        for (const Box& x : AllBoxes(b)) {
            cuts.push_back(x.at);
            cuts.push_back(x.at + 4);
            cuts.push_back(x.at + x.size - 1);
        }
        for (size_t cut : cuts) {
            if (cut >= b.size()) continue;
            Bytes part(b.begin(), b.begin() + static_cast<long>(cut));
            EXPECT_NE(Survive(part), 0) << path << " cut at " << cut;
        }
    }
}

TEST_F(Mp4Reader, BadSizesAndCountsGiveCodes) {
    Bytes base = testutil::ReadFile(PlainFile());
    ASSERT_FALSE(base.empty());
    Box moov = FindBox(base, "moov");
    for (uint32_t size : {0u, 1u, 7u}) {
        Bytes b = base;
        PutBe32(b, moov.at, size);
        EXPECT_EQ(Survive(b), kMp4ReadNoMovie) << size;
    }
    {
        Bytes b = base;  // a moov claiming 4 GB
        PutBe32(b, moov.at, 0xfffffff0u);
        EXPECT_NE(Survive(b), 0);
    }
    {
        Bytes b = base;  // a track box smaller than a header stops the walk
        PutBe32(b, FindBox(b, "trak").at, 7);
        EXPECT_EQ(Survive(b), kMp4ReadNoMovie);
    }
    {
        Bytes b = base;  // stsz claiming far more entries than it holds
        PutBe32(b, FindBox(b, "stsz").at + 16, 0x40000000u);
        EXPECT_EQ(Survive(b), kMp4ReadMalformed);
    }
    {
        Bytes b = base;  // fixed-size samples, a huge count
        Box stsz = FindBox(b, "stsz");
        PutBe32(b, stsz.at + 12, 1);
        PutBe32(b, stsz.at + 16, 0xffffffffu);
        EXPECT_EQ(Survive(b), -1);
    }
    {
        Bytes b = base;  // the first video chunk outside the file: that track is dropped
        PutBe32(b, FindBox(b, "stco").at + 16, 0xffffff00u);
        MemStream ms;
        Reader sp;
        ASSERT_EQ(OpenBytes(&ms, b, kMp4ReadModeAll, &sp), 0);
        Mp4TrackEntry e[2];
        uint32_t count = 0;
        ASSERT_EQ(MP4SpliterListTracks(sp.get(), e, 2, &count), 0);
        EXPECT_EQ(e[0].handler, 0u);
        EXPECT_EQ(e[1].handler, kMp4HandlerSound);
        EXPECT_EQ(Survive(b), -1);
    }
    {
        Bytes b = base;  // stts covering fewer samples than stsz
        PutBe32(b, FindBox(b, "stts").at + 16, 3);
        EXPECT_EQ(Survive(b), -1);
        MemStream ms;
        Reader sp;
        ASSERT_EQ(OpenBytes(&ms, b, kMp4ReadModeVideoOnly, &sp), kMp4ReadMalformed);
    }
    {
        Bytes b = base;  // a media time scale of 0
        PutBe32(b, FindBox(b, "mdhd").at + 20, 0);
        EXPECT_EQ(Survive(b), kMp4ReadNotApplicable);
    }
    {
        Bytes b = base;  // a child larger than its parent is clipped to it
        Box stbl = FindBox(b, "stbl");
        Box last;
        for (const Box& x : AllBoxes(b))
            if (x.at > stbl.at && x.at + x.size == stbl.at + stbl.size) last = x;
        ASSERT_FALSE(last.type.empty());
        PutBe32(b, last.at, 0x7fffffff);
        EXPECT_EQ(Survive(b), 0);
    }
    EXPECT_EQ(Survive(Bytes()), kMp4ReadNoMovie);
    EXPECT_EQ(Survive(Bytes(5, 0)), kMp4ReadBufferTooSmall);
}

}  // namespace
