// Camera videos for tests: rendered frames encoded with libx264, an AAC tone
// from libavcodec, written with our MP4 writer.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
}

#include "codec/h264_encoder.h"
#include "media_internal.h"
#include "mp4/mp4_common.h"
#include "mp4/mp4_writer.h"
#include "sample/samplegen.h"

namespace sample {
namespace {

constexpr double kTurnDegreesPerSecond = 12.0;  // a slow turn of the view

// One encoded sample with its times in milliseconds.
struct Packet {
    std::vector<uint8_t> data;
    uint32_t ptsMs = 0, dtsMs = 0;
    bool sync = false;
};

// The frame pictures: camera pictures of the camera type, or the panorama itself.
int RenderFrame(const Mp4Options& o, int index, std::vector<uint8_t>* yuv) {
    RenderOptions r;
    r.panorama = o.panorama;
    r.turnDegrees = kTurnDegreesPerSecond * index / o.fps;
    if (o.cameraType == 2) {
        if (o.width == 2 * o.height) return RenderDualPicture(o.width, o.height, o.dual, r, yuv);
        // A frame that is not 2:1 (to test refusals): the 2:1 picture of its height, cut or
        // padded at the right.
        std::vector<uint8_t> pic;
        if (int rc = RenderDualPicture(2 * o.height, o.height, o.dual, r, &pic); rc != 0) return rc;
        const int pw = 2 * o.height;
        yuv->assign(static_cast<size_t>(o.width) * o.height * 3 / 2, 128);
        for (int k = 0; k < 3; ++k) {
            const int w = k == 0 ? o.width : o.width / 2, h = k == 0 ? o.height : o.height / 2;
            const int sw = k == 0 ? pw : pw / 2;
            const uint8_t* src =
                pic.data() + (k == 0 ? 0
                                     : static_cast<size_t>(pw) * o.height +
                                           (k - 1) * size_t{1} * (pw / 2) * (o.height / 2));
            uint8_t* dst =
                yuv->data() + (k == 0 ? 0
                                      : static_cast<size_t>(o.width) * o.height +
                                            (k - 1) * size_t{1} * (o.width / 2) * (o.height / 2));
            for (int y = 0; y < h; ++y)
                std::memcpy(dst + static_cast<size_t>(y) * w, src + static_cast<size_t>(y) * sw,
                            static_cast<size_t>(std::min(w, sw)));
        }
        return 0;
    }
    if (o.cameraType == 1) {
        // The viewer reads a 16:9 video's circle without the 4:3 crop offset and 10 pixels
        // smaller; the renderer follows the photo geometry, so the values are moved to match.
        SingleLensValues v = o.single;
        if (int64_t{o.width} * 3 != int64_t{o.height} * 4) v.cx += 240.0f;
        v.r -= 10.0f;
        return RenderSinglePicture(o.width, o.height, v, r, yuv);
    }
    if (o.width != 2 * o.height) return kErrArgs;
    std::vector<uint8_t> pano;
    if (!LoadPanorama(o.panorama.empty() ? kEarthPanorama : o.panorama, o.width, &pano))
        return kErrIo;
    // Shift the columns for the turn.
    const int shift = static_cast<int>(std::lround(r.turnDegrees / 360.0 * o.width)) % o.width;
    yuv->assign(pano.size(), 0);
    const size_t ysz = static_cast<size_t>(o.width) * o.height;
    const int cw = o.width / 2, ch = o.height / 2;
    for (int y = 0; y < o.height; ++y)
        for (int x = 0; x < o.width; ++x)
            (*yuv)[static_cast<size_t>(y) * o.width + x] =
                pano[static_cast<size_t>(y) * o.width + (x + shift) % o.width];
    for (int k = 0; k < 2; ++k)
        for (int y = 0; y < ch; ++y)
            for (int x = 0; x < cw; ++x)
                (*yuv)[ysz + k * size_t{1} * cw * ch + static_cast<size_t>(y) * cw + x] =
                    pano[ysz + k * size_t{1} * cw * ch + static_cast<size_t>(y) * cw +
                         (x + shift / 2) % cw];
    return 0;
}

int EncodeVideo(const Mp4Options& o, std::vector<Packet>* out, std::vector<uint8_t>* config) {
    EncoderSettings es;
    es.width = o.width;
    es.height = o.height;
    es.frameRate = o.fps;
    es.keyInterval = o.fps;
    es.bitRateKbps = 0;  // constant quality
    es.preset = "ultrafast";
    es.threads = 1;  // the same bytes on every machine
    VideoEncoder enc;
    if (enc.Open(es) != 0) return kErrArgs;
    *config = enc.Config();

    const int frames = std::max(1, static_cast<int>(std::lround(o.seconds * o.fps)));
    std::vector<uint8_t> yuv;
    EncodedPicture got;
    auto take = [&](int r) {
        if (r <= 0) return r;
        Packet pk;
        pk.data = std::move(got.data);
        pk.ptsMs = static_cast<uint32_t>(got.pts * 1000 / o.fps);
        pk.dtsMs = static_cast<uint32_t>(std::max<int64_t>(0, got.dts) * 1000 / o.fps);
        pk.sync = got.key;
        out->push_back(std::move(pk));
        return 0;
    };
    for (int k = 0; k < frames; ++k) {
        if (int rc = RenderFrame(o, k, &yuv); rc != 0) return rc;
        if (take(enc.Encode(yuv.data(), k, &got)) < 0) return kErrFormat;
    }
    while (enc.HasDelayed()) {
        if (take(enc.Encode(nullptr, 0, &got)) < 0) return kErrFormat;
    }
    return 0;
}

// A 440 Hz stereo tone at 48 kHz, raw AAC frames and the decoder configuration.
// A tone rising from 200 Hz by 80 Hz a second: no two moments sound alike,
// so a copy of the sound can be placed on the source's timeline.
double SweepPhase(int64_t sample) {
    const double t = static_cast<double>(sample) / 48000.0;
    return 2 * 3.14159265358979 * (200.0 * t + 40.0 * t * t);
}

int EncodeSound(const Mp4Options& o, std::vector<Packet>* out, std::vector<uint8_t>* config) {
    av_log_set_level(AV_LOG_ERROR);  // the encoder reports its statistics otherwise
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (codec == nullptr) return kErrFfmpeg;
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    AVFrame* frame = av_frame_alloc();
    AVPacket* pkt = av_packet_alloc();
    int rc = kErrFfmpeg;
    const AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    if (ctx && frame && pkt) {
        ctx->sample_rate = 48000;
        av_channel_layout_copy(&ctx->ch_layout, &stereo);
        ctx->sample_fmt = AV_SAMPLE_FMT_FLTP;
        ctx->bit_rate = 96000;
        ctx->time_base = AVRational{1, 48000};
        ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (avcodec_open2(ctx, codec, nullptr) == 0) rc = 0;
    }
    if (rc == 0) {
        config->assign(ctx->extradata, ctx->extradata + ctx->extradata_size);
        frame->nb_samples = ctx->frame_size;
        frame->format = ctx->sample_fmt;
        frame->sample_rate = ctx->sample_rate;
        av_channel_layout_copy(&frame->ch_layout, &ctx->ch_layout);
        if (av_frame_get_buffer(frame, 0) < 0) rc = kErrFfmpeg;
    }
    const int64_t total = static_cast<int64_t>(o.seconds * 48000);
    int64_t at = 0;
    auto drain = [&]() {
        while (avcodec_receive_packet(ctx, pkt) == 0) {
            Packet p;
            p.data.assign(pkt->data, pkt->data + pkt->size);
            // Frames follow each other every 1024 samples from time 0.
            const int64_t t = static_cast<int64_t>(out->size()) * 1024 * 1000 / 48000;
            p.ptsMs = p.dtsMs = static_cast<uint32_t>(t);
            p.sync = true;
            out->push_back(std::move(p));
            av_packet_unref(pkt);
        }
    };
    while (rc == 0 && at < total) {
        if (av_frame_make_writable(frame) < 0) {
            rc = kErrFfmpeg;
            break;
        }
        for (int c = 0; c < 2; ++c) {
            float* s = reinterpret_cast<float*>(frame->data[c]);
            for (int i = 0; i < frame->nb_samples; ++i)
                s[i] = 0.2f * static_cast<float>(std::sin(SweepPhase(at + i)));
        }
        frame->pts = at;
        at += frame->nb_samples;
        if (avcodec_send_frame(ctx, frame) < 0) rc = kErrFfmpeg;
        drain();
    }
    if (rc == 0) {
        avcodec_send_frame(ctx, nullptr);
        drain();
    }
    av_packet_free(&pkt);
    av_frame_free(&frame);
    avcodec_free_context(&ctx);
    return rc;
}

int64_t IoRead(void* u, void* dst, int64_t n) {
    return static_cast<int64_t>(std::fread(dst, 1, static_cast<size_t>(n), static_cast<FILE*>(u)));
}
int64_t IoWrite(void* u, const void* src, int64_t n) {
    return static_cast<int64_t>(std::fwrite(src, 1, static_cast<size_t>(n), static_cast<FILE*>(u)));
}
int IoSeek(void* u, int64_t off, int origin) {
    const int whence = origin == kMp4SeekSet   ? SEEK_SET
                       : origin == kMp4SeekCur ? SEEK_CUR
                                               : SEEK_END;
    return fseeko(static_cast<FILE*>(u), static_cast<off_t>(off), whence) == 0 ? 0 : -1;
}
int64_t IoTell(void* u) {
    return static_cast<int64_t>(ftello(static_cast<FILE*>(u)));
}

Mp4Io FileIo(FILE* f) {
    return Mp4Io{f, IoRead, IoWrite, IoSeek, IoTell, nullptr};
}

int WriteSamples(const Mp4Options& o, const std::vector<uint8_t>& userData, FILE* file,
                 FILE* spillFile) {
    std::vector<Packet> video, sound;
    std::vector<uint8_t> videoConfig, soundConfig;
    if (int rc = EncodeVideo(o, &video, &videoConfig); rc != 0) return rc;
    if (o.audio) {
        if (int rc = EncodeSound(o, &sound, &soundConfig); rc != 0) return rc;
    }
    const Mp4Io io = FileIo(file), spill = FileIo(spillFile);
    MP4Writer* w = nullptr;
    if (MP4WriterCreate(io, &spill, &w) != 0) return kErrIo;
    const uint32_t durationMs = static_cast<uint32_t>(o.seconds * 1000);
    Mp4VideoParams vp{kMp4CodecH264,
                      durationMs,
                      static_cast<uint32_t>(o.width),
                      static_cast<uint32_t>(o.height),
                      static_cast<float>(o.fps),
                      0,
                      0,
                      0};
    size_t largest = 0;
    for (const Packet& p : video) largest = std::max(largest, p.data.size());
    vp.bufferSize = static_cast<uint32_t>(largest + 1024);
    uint32_t videoId = 0, soundId = 0;
    int rc = MP4WriterAddTrack(w, kMp4HandlerVideo, &vp, sizeof vp, &videoId);
    const Mp4WriterTrackBytes vc{videoId, static_cast<uint32_t>(videoConfig.size()),
                                 videoConfig.data()};
    if (rc == 0) rc = MP4WriterSetProperty(w, kMp4PropCodecConfig, &vc, sizeof vc);
    if (rc == 0 && o.audio) {
        Mp4SoundParams sp{kMp4CodecAac, durationMs, 2, 16, 0, 48000, 96000, 0, 0};
        sp.bufferSize = 8192;
        rc = MP4WriterAddTrack(w, kMp4HandlerSound, &sp, sizeof sp, &soundId);
        const Mp4WriterTrackBytes sc{soundId, static_cast<uint32_t>(soundConfig.size()),
                                     soundConfig.data()};
        if (rc == 0) rc = MP4WriterSetProperty(w, kMp4PropCodecConfig, &sc, sizeof sc);
    }
    if (rc == 0 && !userData.empty()) {
        const Mp4WriterBytes ud{static_cast<uint32_t>(userData.size()), userData.data()};
        rc = MP4WriterSetProperty(w, kMp4PropUserData, &ud, sizeof ud);
    }
    // Both tracks in decode-time order.
    size_t s = 0;
    auto put = [&](uint32_t id, const Packet& p) {
        const Mp4SampleInfo info{
            static_cast<uint32_t>(p.data.size()), p.ptsMs, p.dtsMs, 0, 0, p.sync ? 1u : 0u, 0};
        return MP4WriterWriteSample(w, id, p.data.data(), &info);
    };
    for (const Packet& v : video) {
        while (rc == 0 && s < sound.size() && sound[s].dtsMs <= v.dtsMs)
            rc = put(soundId, sound[s++]);
        if (rc == 0) rc = put(videoId, v);
    }
    while (rc == 0 && s < sound.size()) rc = put(soundId, sound[s++]);
    const int closed = MP4WriterClose(w);
    return rc != 0 ? kErrIo : (closed != 0 ? kErrIo : 0);
}

}  // namespace

// The MP4 bytes of a camera video before any box is moved; userData goes into
// a "udta" of "moov".
int EncodeCameraVideo(const Mp4Options& o, const std::vector<uint8_t>& userData,
                      std::vector<uint8_t>* bytes) {
    FILE* file = std::tmpfile();
    FILE* spill = std::tmpfile();
    int rc = (file && spill) ? WriteSamples(o, userData, file, spill) : kErrIo;
    if (rc == 0) {
        std::fflush(file);
        std::fseek(file, 0, SEEK_END);
        const long n = std::ftell(file);
        std::rewind(file);
        bytes->resize(n > 0 ? static_cast<size_t>(n) : 0);
        if (n <= 0 || std::fread(bytes->data(), 1, bytes->size(), file) != bytes->size())
            rc = kErrIo;
    }
    if (file) std::fclose(file);
    if (spill) std::fclose(spill);
    return rc;
}

}  // namespace sample
