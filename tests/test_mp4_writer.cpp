// MP4 writer: files made from real H.264 and AAC are checked by independent
// tools, and the box layout is checked by walking the written file.
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <x264.h>
}

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "mp4/mp4_output.h"
#include "mp4/mp4_writer.h"
#include "support/boxes.h"
#include "support/files.h"
#include "support/peers.h"

namespace {

using testutil::Be32;
using testutil::Be64;
using testutil::Box;
using testutil::Bytes;
using testutil::Children;
using testutil::ExpectPeersAccept;
using testutil::FfprobeValues;
using testutil::FindPath;
using testutil::ReadFile;

// ---- I/O over a stdio file ------------------------------------------------

int64_t FileRead(void* u, void* dst, int64_t n) {
    return static_cast<int64_t>(fread(dst, 1, static_cast<size_t>(n), static_cast<FILE*>(u)));
}
int64_t FileWrite(void* u, const void* src, int64_t n) {
    return static_cast<int64_t>(fwrite(src, 1, static_cast<size_t>(n), static_cast<FILE*>(u)));
}
int FileSeek(void* u, int64_t off, int origin) {
    int whence = origin == kMp4SeekSet ? SEEK_SET : origin == kMp4SeekCur ? SEEK_CUR : SEEK_END;
    return fseeko(static_cast<FILE*>(u), off, whence) == 0 ? 0 : -1;
}
int64_t FileTell(void* u) {
    return ftello(static_cast<FILE*>(u));
}

Mp4Io IoOf(FILE* f) {
    return Mp4Io{f, FileRead, FileWrite, FileSeek, FileTell, nullptr};
}

// ---- real content ---------------------------------------------------------

struct Frame {
    std::vector<Bytes> nals;  // each with its start code as the encoder made it
    int64_t pts = 0, dts = 0;
    bool key = false;
};

struct H264 {
    Bytes headers;  // SPS and PPS with start codes
    std::vector<Frame> frames;
};

H264 EncodeH264(int frames, int bframes, int keyint) {
    H264 out;
    x264_param_t p;
    x264_param_default_preset(&p, "ultrafast", nullptr);
    p.i_csp = X264_CSP_I420;
    p.i_width = 320;
    p.i_height = 160;
    p.i_fps_num = 25;
    p.i_fps_den = 1;
    p.i_bframe = bframes;
    p.i_keyint_max = keyint;
    p.b_repeat_headers = 0;
    p.b_annexb = 1;
    p.i_threads = 1;
    p.i_log_level = X264_LOG_NONE;
    x264_t* h = x264_encoder_open(&p);
    if (!h) return out;
    x264_nal_t* nals = nullptr;
    int count = 0;
    x264_encoder_headers(h, &nals, &count);
    for (int i = 0; i < count; ++i)
        if (nals[i].i_type == NAL_SPS || nals[i].i_type == NAL_PPS)
            out.headers.insert(out.headers.end(), nals[i].p_payload,
                               nals[i].p_payload + nals[i].i_payload);
    x264_picture_t pic, pout;
    x264_picture_alloc(&pic, X264_CSP_I420, 320, 160);
    auto take = [&](int n) {
        if (n <= 0) return;
        Frame f;
        for (int i = 0; i < count; ++i)
            f.nals.emplace_back(nals[i].p_payload, nals[i].p_payload + nals[i].i_payload);
        f.pts = pout.i_pts;
        f.dts = pout.i_dts;
        f.key = pout.b_keyframe != 0;
        out.frames.push_back(f);
    };
    for (int i = 0; i < frames; ++i) {
        for (int y = 0; y < 160; ++y)
            for (int x = 0; x < 320; ++x)
                pic.img.plane[0][y * pic.img.i_stride[0] + x] =
                    static_cast<uint8_t>(x + y * 2 + i * 5);
        for (int c = 1; c < 3; ++c)
            for (int y = 0; y < 80; ++y)
                for (int x = 0; x < 160; ++x)
                    pic.img.plane[c][y * pic.img.i_stride[c] + x] =
                        static_cast<uint8_t>(128 + c * 20 + i);
        pic.i_pts = i;
        take(x264_encoder_encode(h, &nals, &count, &pic, &pout));
    }
    while (x264_encoder_delayed_frames(h) > 0)
        take(x264_encoder_encode(h, &nals, &count, nullptr, &pout));
    x264_picture_clean(&pic);
    x264_encoder_close(h);
    return out;
}

struct Aac {
    Bytes config;
    std::vector<Bytes> frames;
};

Aac EncodeAac(int frames) {
    Aac out;
    av_log_set_level(AV_LOG_QUIET);
    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    if (!codec) return out;
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    ctx->sample_rate = 48000;
    ctx->sample_fmt = AV_SAMPLE_FMT_FLTP;
    ctx->bit_rate = 64000;
    av_channel_layout_default(&ctx->ch_layout, 2);
    if (avcodec_open2(ctx, codec, nullptr) < 0) {
        avcodec_free_context(&ctx);
        return out;
    }
    out.config.assign(ctx->extradata, ctx->extradata + ctx->extradata_size);
    AVFrame* f = av_frame_alloc();
    f->nb_samples = ctx->frame_size;
    f->format = ctx->sample_fmt;
    av_channel_layout_copy(&f->ch_layout, &ctx->ch_layout);
    av_frame_get_buffer(f, 0);
    AVPacket* pkt = av_packet_alloc();
    auto drain = [&]() {
        while (avcodec_receive_packet(ctx, pkt) == 0) {
            out.frames.emplace_back(pkt->data, pkt->data + pkt->size);
            av_packet_unref(pkt);
        }
    };
    for (int i = 0; i < frames; ++i) {
        av_frame_make_writable(f);
        for (int c = 0; c < 2; ++c) {
            auto* s = reinterpret_cast<float*>(f->data[c]);
            for (int k = 0; k < f->nb_samples; ++k)
                s[k] =
                    0.3f * static_cast<float>(std::sin((i * f->nb_samples + k) * 0.05 * (c + 1)));
        }
        f->pts = int64_t{i} * f->nb_samples;
        avcodec_send_frame(ctx, f);
        drain();
    }
    avcodec_send_frame(ctx, nullptr);
    drain();
    av_packet_free(&pkt);
    av_frame_free(&f);
    avcodec_free_context(&ctx);
    return out;
}

uint32_t AacMs(size_t k) {
    return static_cast<uint32_t>((k * 1024 * 1000 + 24000) / 48000);
}

// Each NAL with a start code of exactly `code` bytes.
Bytes WithStartCode(const Bytes& nal, int code) {
    size_t skip = nal[2] == 1 ? 3 : 4;
    Bytes out(static_cast<size_t>(code), 0);
    out.back() = 1;
    out.insert(out.end(), nal.begin() + static_cast<long>(skip), nal.end());
    return out;
}

// ---- writer helpers -------------------------------------------------------

class FileWriter {
  public:
    FileWriter(const std::string& path, const std::string& spillPath) {
        m_out = fopen(path.c_str(), "w+b");
        if (!spillPath.empty()) m_spill = fopen(spillPath.c_str(), "w+b");
        Mp4Io spill = IoOf(m_spill);
        rc = MP4WriterCreate(IoOf(m_out), m_spill ? &spill : nullptr, &w);
    }
    ~FileWriter() {
        if (w) MP4WriterClose(w);
        if (m_out) fclose(m_out);
        if (m_spill) fclose(m_spill);
    }
    int Close() {
        int r = MP4WriterClose(w);
        w = nullptr;
        fflush(m_out);
        return r;
    }
    uint32_t Video(uint32_t codec = kMp4CodecH264) {
        Mp4VideoParams v{codec, 0, 320, 160, 25.0f, 500000, 0, 0};
        uint32_t id = 0;
        EXPECT_EQ(MP4WriterAddTrack(w, kMp4HandlerVideo, &v, sizeof v, &id), 0);
        return id;
    }
    uint32_t Sound(const Bytes* config) {
        Mp4SoundParams s{kMp4CodecAac, 0, 2, 16, 0, 48000, 64000, 0, 0};
        uint32_t id = 0;
        EXPECT_EQ(MP4WriterAddTrack(w, kMp4HandlerSound, &s, sizeof s, &id), 0);
        if (config) SetBytes(kMp4PropCodecConfig, id, *config);
        return id;
    }
    void SetBytes(int number, uint32_t track, const Bytes& b) {
        Mp4WriterTrackBytes r{track, static_cast<uint32_t>(b.size()), b.data()};
        EXPECT_EQ(MP4WriterSetProperty(w, number, &r, sizeof r), 0);
    }
    void SetValue(int number, uint32_t track, uint32_t value) {
        Mp4WriterTrackValue r{track, value};
        EXPECT_EQ(MP4WriterSetProperty(w, number, &r, sizeof r), 0);
    }
    int Sample(uint32_t track, const Bytes& data, uint32_t pts, uint32_t dts, bool sync) {
        Mp4SampleInfo info{static_cast<uint32_t>(data.size()), pts, dts, 0, 0, sync ? 1u : 0u, 0};
        return MP4WriterWriteSample(w, track, data.data(), &info);
    }

    MP4Writer* w = nullptr;
    int rc = -1;

  private:
    FILE* m_out = nullptr;
    FILE* m_spill = nullptr;
};

uint32_t FrameMs(int64_t t, int shift) {
    return static_cast<uint32_t>((t + shift) * 40);
}

// Writes the encoded video (and sound) with 4-byte start codes in mode 3;
// `split` sends each NAL on its own with the frame's decode time.
void WriteContent(FileWriter& fw, uint32_t video, const H264& h, int startCode, bool split,
                  uint32_t sound, const Aac* aac, int repeat = 1) {
    fw.SetBytes(kMp4PropCodecConfig, video, h.headers);
    fw.SetValue(kMp4PropStartCodeMode, video, static_cast<uint32_t>(startCode));
    size_t a = 0;
    int shift = 2;
    uint32_t period = static_cast<uint32_t>(h.frames.size()) * 40;
    for (int r = 0; r < repeat; ++r) {
        for (const Frame& f : h.frames) {
            uint32_t pts = FrameMs(f.pts, shift) + static_cast<uint32_t>(r) * period;
            uint32_t dts = FrameMs(f.dts, shift) + static_cast<uint32_t>(r) * period;
            while (aac && a < aac->frames.size() && AacMs(a) <= dts) {
                ASSERT_EQ(fw.Sample(sound, aac->frames[a], AacMs(a), AacMs(a), true), 0);
                ++a;
            }
            Bytes whole;
            for (const Bytes& nal : f.nals) {
                Bytes piece = WithStartCode(nal, startCode);
                if (split) {
                    ASSERT_EQ(fw.Sample(video, piece, pts, dts, f.key), 0);
                } else {
                    whole.insert(whole.end(), piece.begin(), piece.end());
                }
            }
            if (!split) {
                ASSERT_EQ(fw.Sample(video, whole, pts, dts, f.key), 0);
            }
        }
    }
    while (aac && a < aac->frames.size()) {
        ASSERT_EQ(fw.Sample(sound, aac->frames[a], AacMs(a), AacMs(a), true), 0);
        ++a;
    }
}

}  // namespace

TEST(Mp4WriterSpherical, BoxIsThe441ByteV1Box) {
    const uint8_t* box = MP4SphericalBox();
    Bytes b(box, box + kMp4SphericalBoxSize);
    EXPECT_EQ(Be32(b, 0), 441u);
    EXPECT_EQ(std::string(b.begin() + 4, b.begin() + 8), "uuid");
    const uint8_t uuid[16] = {0xff, 0xcc, 0x82, 0x63, 0xf8, 0x55, 0x4a, 0x93,
                              0x88, 0x14, 0x58, 0x7a, 0x02, 0x52, 0x1f, 0xdd};
    EXPECT_EQ(std::memcmp(box + 8, uuid, 16), 0);
    std::string xml(b.begin() + 24, b.end());
    EXPECT_EQ(xml.size(), 417u);
    EXPECT_EQ(
        xml.find("<rdf:SphericalVideo xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\" "
                 "xmlns:GSpherical=\"http://ns.google.com/videos/1.0/spherical/\">  "
                 "<GSpherical:Spherical>true</GSpherical:Spherical>  "),
        0u);
    EXPECT_NE(xml.find("</GSpherical:ProjectionType></rdf:SphericalVideo>"), std::string::npos);
    EXPECT_EQ(xml.find('\n'), std::string::npos);
}

// Sound first (track 1), video second (track 2), as the recorder adds them;
// each access unit sent NAL by NAL; all the movie settings in use.
TEST(Mp4Writer, RecorderFileIsReadByPeers) {
    testutil::TempDir dir;
    std::string path = dir.File("rec.mp4");
    H264 h = EncodeH264(30, 0, 250);
    Aac aac = EncodeAac(60);
    ASSERT_EQ(h.frames.size(), 30u);
    ASSERT_FALSE(aac.frames.empty());
    Bytes trailer = {'C', 'A', 'L', 'B', 1, 2, 3, 4, 5, 6, 7, 8, 9};
    {
        FileWriter fw(path, dir.File("headerinfo.dat"));
        ASSERT_EQ(fw.rc, 0);
        uint32_t sound = fw.Sound(&aac.config);
        uint32_t video = fw.Video();
        EXPECT_EQ(sound, 1u);
        EXPECT_EQ(video, 2u);
        uint32_t brand = Mp4FourCC('i', 's', 'o', 'm');
        EXPECT_EQ(MP4WriterSetProperty(fw.w, kMp4PropBrand, &brand, 4), 0);
        uint32_t zero = 0;
        EXPECT_EQ(MP4WriterSetProperty(fw.w, kMp4PropMovieFirst, &zero, 4), 0);
        fw.SetValue(kMp4PropTrackSetting, video, 15);
        fw.SetValue(kMp4PropRotation, video, 90);
        std::string name = "Orbivue video";
        fw.SetBytes(kMp4PropHandlerName, video, Bytes(name.begin(), name.end()));
        Mp4WriterBytes ud{static_cast<uint32_t>(trailer.size()), trailer.data()};
        EXPECT_EQ(MP4WriterSetProperty(fw.w, kMp4PropUserData, &ud, sizeof ud), 0);
        Mp4WriterTimes times{3800000000u, 3800000001u};
        EXPECT_EQ(MP4WriterSetProperty(fw.w, kMp4PropTimes, &times, sizeof times), 0);
        WriteContent(fw, video, h, 4, true, sound, &aac);
        ASSERT_EQ(fw.Close(), 0);
    }
    ExpectPeersAccept(path, true);
    EXPECT_EQ(
        FfprobeValues(path, "-select_streams v -count_frames -show_entries stream=nb_read_frames"),
        "30\n");
    EXPECT_NE(FfprobeValues(path, "-select_streams v -show_entries stream_side_data=rotation")
                  .find("-90"),
              std::string::npos);

    Bytes b = ReadFile(path);
    ASSERT_GT(b.size(), 40u);
    EXPECT_EQ(std::string(b.begin() + 4, b.begin() + 12), "ftypisom");
    Box mdat, moov, udta, trak0, trak1, hdlr, tkhd;
    ASSERT_TRUE(FindPath(b, "mdat", &mdat));
    EXPECT_EQ(mdat.at, 32u);
    ASSERT_TRUE(FindPath(b, "moov", &moov));
    EXPECT_GT(moov.at, mdat.at);
    ASSERT_TRUE(FindPath(b, "moov/udta", &udta));
    EXPECT_EQ(Bytes(b.begin() + static_cast<long>(udta.body()),
                    b.begin() + static_cast<long>(udta.at + udta.size)),
              trailer);
    // The spherical box ends the video track and only the video track.
    ASSERT_TRUE(FindPath(b, "moov/trak[0]", &trak0));
    ASSERT_TRUE(FindPath(b, "moov/trak[1]", &trak1));
    std::vector<Box> soundKids = Children(b, trak0), videoKids = Children(b, trak1);
    for (const Box& k : soundKids) EXPECT_NE(k.type, "uuid");
    ASSERT_FALSE(videoKids.empty());
    const Box& last = videoKids.back();
    EXPECT_EQ(last.type, "uuid");
    ASSERT_EQ(last.size, 441u);
    EXPECT_EQ(std::memcmp(&b[last.at], MP4SphericalBox(), 441), 0);
    ASSERT_TRUE(FindPath(b, "moov/trak[1]/mdia/hdlr", &hdlr));
    EXPECT_EQ(std::string(b.begin() + static_cast<long>(hdlr.at + 32),
                          b.begin() + static_cast<long>(hdlr.at + hdlr.size)),
              std::string("Orbivue video", 14));
    ASSERT_TRUE(FindPath(b, "moov/trak[1]/tkhd", &tkhd));
    EXPECT_EQ(Be32(b, tkhd.at + 48), 0u);           // a
    EXPECT_EQ(Be32(b, tkhd.at + 52), 0x10000u);     // b
    EXPECT_EQ(Be32(b, tkhd.at + 60), 0xFFFF0000u);  // c
    EXPECT_EQ(Be32(b, tkhd.at + 84), 320u << 16);
    Box stts;
    ASSERT_TRUE(FindPath(b, "moov/trak[0]/mdia/minf/stbl/stts", &stts));
    EXPECT_EQ(Be32(b, stts.at + 12), 1u);
    EXPECT_EQ(Be32(b, stts.at + 20), 1024u);
}

// B-frames: presentation and decode times differ, so composition offsets
// are written and peers decode every frame in order.
TEST(Mp4Writer, BFramesGetCompositionOffsets) {
    testutil::TempDir dir;
    std::string path = dir.File("b.mp4");
    H264 h = EncodeH264(30, 2, 250);
    ASSERT_EQ(h.frames.size(), 30u);
    bool reordered = false;
    for (const Frame& f : h.frames) reordered |= f.pts != f.dts;
    ASSERT_TRUE(reordered);
    {
        FileWriter fw(path, dir.File("spill.dat"));
        uint32_t video = fw.Video();
        WriteContent(fw, video, h, 4, false, 0, nullptr);
        ASSERT_EQ(fw.Close(), 0);
    }
    ExpectPeersAccept(path, false);
    EXPECT_EQ(
        FfprobeValues(path, "-select_streams v -count_frames -show_entries stream=nb_read_frames"),
        "30\n");
    std::string pts = FfprobeValues(path, "-show_entries packet=pts");
    EXPECT_NE(pts.find("80000\n"), std::string::npos) << pts;  // first frame, 80 ms
    Bytes b = ReadFile(path);
    Box ctts;
    ASSERT_TRUE(FindPath(b, "moov/trak[0]/mdia/minf/stbl/ctts", &ctts));
    EXPECT_GT(Be32(b, ctts.at + 12), 1u);
}

// Three-byte start codes (mode 2) grow each NAL by one byte into a length.
TEST(Mp4Writer, ThreeByteStartCodesBecomeLengths) {
    testutil::TempDir dir;
    std::string path = dir.File("sc3.mp4");
    H264 h = EncodeH264(10, 0, 250);
    {
        FileWriter fw(path, "");
        uint32_t video = fw.Video();
        WriteContent(fw, video, h, 3, true, 0, nullptr);
        ASSERT_EQ(fw.Close(), 0);
    }
    ExpectPeersAccept(path, false);
    Bytes b = ReadFile(path);
    Box stsz;
    ASSERT_TRUE(FindPath(b, "moov/trak[0]/mdia/minf/stbl/stsz", &stsz));
    size_t first = 0;
    for (const Bytes& nal : h.frames[0].nals) first += nal.size() - (nal[2] == 1 ? 3 : 4) + 4;
    EXPECT_EQ(Be32(b, stsz.at + 20), first);
}

// More than 2500 samples: every table is spilled in blocks and read back;
// the file matches the one written with the blocks kept in memory.
TEST(Mp4Writer, SpilledTablesAreReadBackInOrder) {
    testutil::TempDir dir;
    H264 h = EncodeH264(30, 0, 1);  // every frame a key frame: any order decodes
    Aac aac = EncodeAac(60);
    const int repeat = 90;  // 2700 video samples
    for (int spill = 0; spill < 2; ++spill) {
        FileWriter fw(dir.File(spill ? "spill.mp4" : "mem.mp4"),
                      spill ? dir.File("spill.dat") : "");
        uint32_t video = fw.Video();
        WriteContent(fw, video, h, 4, false, 0, nullptr, repeat);
        ASSERT_EQ(fw.Close(), 0);
    }
    Bytes a = ReadFile(dir.File("spill.mp4")), m = ReadFile(dir.File("mem.mp4"));
    EXPECT_EQ(a, m);
    EXPECT_GT(ReadFile(dir.File("spill.dat")).size(), 16000u);
    ExpectPeersAccept(dir.File("spill.mp4"), false);
    EXPECT_EQ(FfprobeValues(dir.File("spill.mp4"),
                            "-select_streams v -count_frames -show_entries stream=nb_read_frames"),
              "2700\n");
    Box stsz, stss, stco;
    ASSERT_TRUE(FindPath(a, "moov/trak[0]/mdia/minf/stbl/stsz", &stsz));
    ASSERT_TRUE(FindPath(a, "moov/trak[0]/mdia/minf/stbl/stss", &stss));
    ASSERT_TRUE(FindPath(a, "moov/trak[0]/mdia/minf/stbl/stco", &stco));
    ASSERT_EQ(Be32(a, stsz.at + 16), 2700u);
    EXPECT_EQ(Be32(a, stss.at + 12), 2700u);
    EXPECT_EQ(Be32(a, stss.at + 16 + 4 * 2699), 2700u);
    ASSERT_EQ(Be32(a, stco.at + 12), 2700u);
    uint32_t offset = 40;
    for (uint32_t i = 0; i < 2700; ++i) {
        size_t expect = 0;
        for (const Bytes& nal : h.frames[i % 30].nals)
            expect += nal.size() - (nal[2] == 1 ? 3 : 4) + 4;
        ASSERT_EQ(Be32(a, stsz.at + 20 + 4 * i), expect) << i;
        ASSERT_EQ(Be32(a, stco.at + 16 + 4 * i), offset) << i;
        offset += static_cast<uint32_t>(expect);
    }
}

// Sample data past the (lowered) 4 GiB mark: 64-bit media data header at
// offset 24 and 64-bit chunk offsets.
TEST(Mp4Writer, LargeDataUsesCo64AndLongMdat) {
    testutil::TempDir dir;
    std::string path = dir.File("large.mp4");
    H264 h = EncodeH264(30, 0, 250);
    Aac aac = EncodeAac(60);
    {
        FileWriter fw(path, dir.File("spill.dat"));
        uint64_t threshold = 1000;
        EXPECT_EQ(MP4WriterSetProperty(fw.w, kMp4PropLargeThreshold, &threshold, 8), 0);
        uint32_t sound = fw.Sound(&aac.config);
        uint32_t video = fw.Video();
        WriteContent(fw, video, h, 4, true, sound, &aac);
        ASSERT_EQ(fw.Close(), 0);
    }
    ExpectPeersAccept(path, true);
    EXPECT_EQ(
        FfprobeValues(path, "-select_streams v -count_frames -show_entries stream=nb_read_frames"),
        "30\n");
    Bytes b = ReadFile(path);
    EXPECT_EQ(Be32(b, 24), 1u);
    EXPECT_EQ(std::string(b.begin() + 28, b.begin() + 32), "mdat");
    Box mdat, co64;
    ASSERT_TRUE(FindPath(b, "mdat", &mdat));
    EXPECT_EQ(mdat.at, 24u);
    EXPECT_FALSE(FindPath(b, "moov/trak[1]/mdia/minf/stbl/stco", &co64));
    ASSERT_TRUE(FindPath(b, "moov/trak[1]/mdia/minf/stbl/co64", &co64));
    ASSERT_GE(Be32(b, co64.at + 12), 1u);
    EXPECT_GE(Be64(b, co64.at + 16), 40u);
    EXPECT_LT(Be64(b, co64.at + 16), mdat.at + mdat.size);
}

TEST(Mp4Writer, RefusesBadCallsWithTheirCodes) {
    Mp4Io none{};
    MP4Writer* w = nullptr;
    EXPECT_EQ(MP4WriterCreate(none, nullptr, &w), kMp4WriterErrArgument);
    EXPECT_EQ(w, nullptr);
    testutil::TempDir dir;
    FileWriter fw(dir.File("x.mp4"), "");
    ASSERT_EQ(fw.rc, 0);
    uint32_t id = 0;
    EXPECT_EQ(MP4WriterAddTrack(fw.w, Mp4FourCC('h', 'i', 'n', 't'), nullptr, 0, &id),
              kMp4WriterErrHandler);
    uint32_t one = 1;
    EXPECT_EQ(MP4WriterSetProperty(fw.w, kMp4PropMovieFirst, &one, 4), kMp4WriterErrModeRefused);
    EXPECT_EQ(MP4WriterSetProperty(fw.w, kMp4PropModeFlags, &one, 4), kMp4WriterErrModeRefused);
    uint32_t video = fw.Video();
    Mp4WriterTrackValue rot{video, 45};
    EXPECT_EQ(MP4WriterSetProperty(fw.w, kMp4PropRotation, &rot, 4), kMp4WriterErrRecordSize);
    EXPECT_EQ(MP4WriterSetProperty(fw.w, kMp4PropRotation, &rot, sizeof rot),
              kMp4WriterErrArgument);
    Mp4WriterTrackValue unknown{video + 1, 3};
    EXPECT_EQ(MP4WriterSetProperty(fw.w, kMp4PropStartCodeMode, &unknown, sizeof unknown),
              kMp4WriterErrArgument);
    EXPECT_EQ(MP4WriterSetProperty(fw.w, 208, &one, 4), kMp4WriterErrUnknownProperty);
    const Mp4WriterTrackValue spherical{video, 2};
    EXPECT_EQ(MP4WriterSetProperty(fw.w, kMp4PropSpherical, &spherical, sizeof spherical),
              kMp4WriterErrArgument);
    EXPECT_EQ(fw.Sample(video + 1, Bytes(4, 0), 0, 0, true), kMp4WriterErrArgument);
}

// An hour of 15 fps video with 48 kHz AAC keeps the writer's own memory
// far below 20 MB: full table blocks live in the spill file.
TEST(Mp4Writer, HourOfRecordingStaysSmall) {
    testutil::TempDir dir;
    std::string path = dir.File("hour.mp4");
    const uint32_t kVideo = 54000, kSound = 168750;
    uint64_t peak = 0;
    {
        FileWriter fw(path, dir.File("headerinfo.dat"));
        uint32_t sound = fw.Sound(nullptr);  // default AudioSpecificConfig
        uint32_t video = fw.Video();
        fw.SetValue(kMp4PropStartCodeMode, video, 3);
        Bytes v(120, 0x55), s(24, 0x21);
        v[0] = v[1] = v[2] = 0;
        v[3] = 1;
        uint32_t a = 0;
        for (uint32_t i = 0; i < kVideo; ++i) {
            uint32_t t = static_cast<uint32_t>(uint64_t{i} * 1000 / 15);
            for (; a < kSound && AacMs(a) <= t; ++a)
                ASSERT_EQ(fw.Sample(sound, s, AacMs(a), AacMs(a), true), 0);
            v[4] = static_cast<uint8_t>(i % 30 == 0 ? 0x65 : 0x41);
            ASSERT_EQ(fw.Sample(video, v, t, t, i % 30 == 0), 0);
        }
        for (; a < kSound; ++a) ASSERT_EQ(fw.Sample(sound, s, AacMs(a), AacMs(a), true), 0);
        uint64_t now = 0;
        ASSERT_EQ(MP4WriterMemoryUse(fw.w, &now, &peak), 0);
        ASSERT_EQ(fw.Close(), 0);
    }
    std::printf("writer peak memory for the hour: %llu bytes\n",
                static_cast<unsigned long long>(peak));
    EXPECT_LT(peak, 20u * 1024 * 1024);
    Bytes b = ReadFile(path);
    Box stsz, stts, esds, mvhd;
    ASSERT_TRUE(FindPath(b, "moov/trak[0]/mdia/minf/stbl/stsz", &stsz));
    EXPECT_EQ(Be32(b, stsz.at + 16), kSound);
    ASSERT_TRUE(FindPath(b, "moov/trak[0]/mdia/minf/stbl/stts", &stts));
    EXPECT_EQ(Be32(b, stts.at + 16), kSound);
    EXPECT_EQ(Be32(b, stts.at + 20), 1024u);
    ASSERT_TRUE(FindPath(b, "moov/trak[0]/mdia/minf/stbl/stsd/mp4a", &esds));
    Bytes asc = {0x05, 0x80, 0x80, 0x80, 0x02, 0x11, 0x90};  // LC, 48 kHz, 2 channels
    EXPECT_NE(
        std::search(b.begin() + static_cast<long>(esds.at),
                    b.begin() + static_cast<long>(esds.at + esds.size), asc.begin(), asc.end()),
        b.begin() + static_cast<long>(esds.at + esds.size));
    ASSERT_TRUE(FindPath(b, "moov/trak[1]/mdia/minf/stbl/stsz", &stsz));
    EXPECT_EQ(Be32(b, stsz.at + 16), kVideo);
    EXPECT_EQ(Be32(b, stsz.at + 20 + 4 * (kVideo - 1)), 120u);
    ASSERT_TRUE(FindPath(b, "moov/mvhd", &mvhd));
    EXPECT_NEAR(Be32(b, mvhd.at + 24), 3600.0 * 100000, 100 * 100);
}

TEST(Mp4Output, ReplacesThePathOnlyWhenComplete) {
    testutil::TempDir dir;
    const std::string path = dir.File("movie.mp4");
    ASSERT_TRUE(testutil::WriteBytes(path, {1, 2, 3}));
    {
        Mp4Output out;
        ASSERT_EQ(out.Open(path.c_str()), kMp4OutputOk);
        ASSERT_NE(out.Writer(), nullptr);
        EXPECT_EQ(out.Finish(false), kMp4OutputOk);  // given up: nothing replaced
    }
    EXPECT_EQ(testutil::ReadFile(path), (testutil::Bytes{1, 2, 3}));
    EXPECT_EQ(testutil::ListFolder(dir.path()), std::vector<std::string>{"movie.mp4"});
    {
        Mp4Output out;
        ASSERT_EQ(out.Open(path.c_str()), kMp4OutputOk);
        // Destroyed without Finish: the temporary files go, the old file stays.
    }
    EXPECT_EQ(testutil::ListFolder(dir.path()), std::vector<std::string>{"movie.mp4"});
    Mp4Output out;
    ASSERT_EQ(out.Open(path.c_str()), kMp4OutputOk);
    const Mp4VideoParams video{kMp4CodecH264, 40, 64, 32, 25.0f, 0, 2048, 0};
    uint32_t id = 0;
    ASSERT_EQ(MP4WriterAddTrack(out.Writer(), kMp4HandlerVideo, &video, sizeof video, &id), 0);
    const uint8_t sample[] = {0, 0, 0, 2, 0x65, 0x88};
    Mp4SampleInfo info{sizeof sample, 0, 0, 40, 0, 1, 0};
    ASSERT_EQ(MP4WriterWriteSample(out.Writer(), id, sample, &info), 0);
    EXPECT_EQ(out.Finish(true), kMp4OutputOk);
    EXPECT_GT(testutil::ReadFile(path).size(), 100u);
    EXPECT_EQ(testutil::ListFolder(dir.path()), std::vector<std::string>{"movie.mp4"});
    Mp4Output nowhere;
    EXPECT_EQ(nowhere.Open(dir.File("missing/movie.mp4").c_str()), kMp4OutputCannotCreate);
}
