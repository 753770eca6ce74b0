// The stitched export: a decode thread, stitch workers and the encoder on the
// calling thread, joined by one bounded frame pool; the sound track is copied
// sample by sample for the trimmed span.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

#include "codec/h264_encoder.h"
#include "internal.h"
#include "mp4/mp4_common.h"
#include "mp4/mp4_copy.h"
#include "mp4/mp4_output.h"
#include "mp4/mp4_reader.h"
#include "mp4/mp4_writer.h"
#include "platform/file.h"
#include "stitch/stitch.h"

namespace convert {
namespace {

using Clock = std::chrono::steady_clock;

struct Frame {
    int64_t index = 0;  // order of output
    double timeMs = 0;  // from the start of the span
    // The decoder's own 4:2:0 picture, held by reference and stitched in
    // place; other layouts are converted into `src` instead.
    AVFrame* picture = av_frame_alloc();
    std::vector<uint8_t> src, out;
    ~Frame() { av_frame_free(&picture); }
    bool InPlace() const { return picture != nullptr && picture->data[0] != nullptr; }
};

// The decoder side: format, stream and codec, opened on the calling thread.
struct Source {
    AVFormatContext* fmt = nullptr;
    AVCodecContext* dec = nullptr;
    SwsContext* sws = nullptr;
    int stream = -1;
    int width = 0, height = 0;  // even
    double fps = 0;
    double durationMs = 0;
    ~Source() {
        sws_freeContext(sws);
        avcodec_free_context(&dec);
        avformat_close_input(&fmt);
    }
};

int OpenSource(const ExportJob& job, Source* s) {
    av_log_set_level(AV_LOG_QUIET);
    if (avformat_open_input(&s->fmt, job.input.c_str(), nullptr, nullptr) < 0)
        return kConvertCannotOpenInput;
    if (avformat_find_stream_info(s->fmt, nullptr) < 0) return kConvertCannotOpenInput;
    const AVCodec* codec = nullptr;
    s->stream = av_find_best_stream(s->fmt, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (s->stream == AVERROR_STREAM_NOT_FOUND) return kConvertNoVideo;
    if (s->stream < 0 || codec == nullptr) return kConvertCannotDecode;
    AVStream* st = s->fmt->streams[s->stream];
    s->dec = avcodec_alloc_context3(codec);
    if (s->dec == nullptr) return kConvertNoMemory;
    if (avcodec_parameters_to_context(s->dec, st->codecpar) < 0) return kConvertCannotDecode;
    s->dec->thread_count = 0;
    s->dec->thread_type = FF_THREAD_FRAME;
    if (avcodec_open2(s->dec, codec, nullptr) < 0) return kConvertCannotDecode;
    s->width = st->codecpar->width & ~1;
    s->height = st->codecpar->height & ~1;
    if (s->width < 2 || s->height < 2) return kConvertCannotDecode;
    AVRational rate = st->avg_frame_rate.num > 0 ? st->avg_frame_rate : st->r_frame_rate;
    s->fps = rate.num > 0 && rate.den > 0 ? av_q2d(rate) : 25.0;
    if (st->duration != AV_NOPTS_VALUE) {
        s->durationMs = static_cast<double>(st->duration) * av_q2d(st->time_base) * 1000;
    } else if (s->fmt->duration != AV_NOPTS_VALUE) {
        s->durationMs = static_cast<double>(s->fmt->duration) / 1000.0;
    }
    return kConvertOk;
}

// The state shared by the threads; every field below `mutex` is guarded by it.
struct Pipeline {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::unique_ptr<Frame>> decoded;          // in index order
    std::map<int64_t, std::unique_ptr<Frame>> stitched;  // by index
    std::vector<std::unique_ptr<Frame>> spare;           // buffers to reuse
    int64_t inFlight = 0;  // taken by the decoder and not yet given back by the encoder
    int64_t limit = 8;
    bool decodeDone = false;
    int64_t decodedCount = 0;
    int error = kConvertOk;  // the first failure of any thread
    bool abort = false;      // the encoder side gave up

    bool Stopping() const { return abort || error != kConvertOk || g_stop.load(); }
    void Fail(int code) {
        std::lock_guard<std::mutex> lock(mutex);
        if (error == kConvertOk) error = code;
        changed.notify_all();
    }
};

// Copies or converts a decoded picture into one contiguous 4:2:0 block.
bool ToContiguous420(Source* s, const AVFrame* f, std::vector<uint8_t>* dst) {
    const int w = s->width, h = s->height;
    if (f->width < w || f->height < h) return false;
    dst->resize(static_cast<size_t>(w) * h * 3 / 2);
    uint8_t* planes[3] = {dst->data(), dst->data() + static_cast<size_t>(w) * h, nullptr};
    planes[2] = planes[1] + static_cast<size_t>(w / 2) * (h / 2);
    if (f->format == AV_PIX_FMT_YUV420P || f->format == AV_PIX_FMT_YUVJ420P) {
        for (int k = 0; k < 3; ++k) {
            const int pw = k == 0 ? w : w / 2, ph = k == 0 ? h : h / 2;
            for (int y = 0; y < ph; ++y)
                std::memcpy(planes[k] + static_cast<size_t>(y) * pw,
                            f->data[k] + static_cast<ptrdiff_t>(y) * f->linesize[k],
                            static_cast<size_t>(pw));
        }
        return true;
    }
    s->sws = sws_getCachedContext(s->sws, w, h, static_cast<AVPixelFormat>(f->format), w, h,
                                  AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (s->sws == nullptr) return false;
    int strides[3] = {w, w / 2, w / 2};
    return sws_scale(s->sws, f->data, f->linesize, 0, h, planes, strides) == h;
}

// Decode thread: frames of the span at the output rate into `decoded`.
void DecodeLoop(const ExportJob& job, Source* s, double outFps, Pipeline* p) {
    const bool stitch = job.stitch;
    AVStream* st = s->fmt->streams[s->stream];
    const double tb = av_q2d(st->time_base) * 1000;
    const int64_t origin = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
    if (job.startMs > 0) {
        const int64_t ts = origin + static_cast<int64_t>(static_cast<double>(job.startMs) / tb);
        av_seek_frame(s->fmt, s->stream, ts, AVSEEK_FLAG_BACKWARD);
        avcodec_flush_buffers(s->dec);
    }
    const double half = 500.0 / s->fps;  // half a source frame
    const double endMs =
        job.lengthMs >= 0 ? static_cast<double>(job.startMs + job.lengthMs) : 1e300;
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    int64_t next = 0;  // output frames taken so far
    bool reading = true, ended = false;
    int rc = pkt && frame ? kConvertOk : kConvertNoMemory;
    while (rc == kConvertOk && !ended) {
        {
            std::lock_guard<std::mutex> lock(p->mutex);
            if (p->Stopping()) break;
        }
        int got = avcodec_receive_frame(s->dec, frame);
        if (got == AVERROR(EAGAIN)) {
            if (!reading) break;
            const int r = av_read_frame(s->fmt, pkt);
            if (r < 0) {
                reading = false;
                avcodec_send_packet(s->dec, nullptr);
                continue;
            }
            // A damaged packet is skipped; the decoder reports what it cannot recover.
            if (pkt->stream_index == s->stream) avcodec_send_packet(s->dec, pkt);
            av_packet_unref(pkt);
            continue;
        }
        if (got == AVERROR_EOF) break;
        if (got < 0) {
            rc = kConvertCannotDecode;
            break;
        }
        const int64_t pts = frame->best_effort_timestamp != AV_NOPTS_VALUE
                                ? frame->best_effort_timestamp
                                : frame->pts;
        const double t = pts == AV_NOPTS_VALUE ? 0 : static_cast<double>(pts - origin) * tb;
        if (t >= endMs - half) {
            ended = true;
        } else if (t >= static_cast<double>(job.startMs) - half) {
            const double rel = std::max(0.0, t - static_cast<double>(job.startMs));
            if (rel >= static_cast<double>(next) * 1000.0 / outFps - half) {
                std::unique_ptr<Frame> f;
                {
                    std::unique_lock<std::mutex> lock(p->mutex);
                    while (!p->Stopping() && p->decoded.size() >= static_cast<size_t>(p->limit)) {
                        p->changed.wait(lock);
                    }
                    if (p->Stopping()) {
                        av_frame_unref(frame);
                        break;
                    }
                    if (!p->spare.empty()) {
                        f = std::move(p->spare.back());
                        p->spare.pop_back();
                    }
                }
                if (!f) f = std::make_unique<Frame>();
                f->index = next++;
                f->timeMs = rel;
                const bool planar420 =
                    (frame->format == AV_PIX_FMT_YUV420P || frame->format == AV_PIX_FMT_YUVJ420P) &&
                    frame->width >= s->width && frame->height >= s->height &&
                    frame->linesize[0] > 0 && frame->linesize[1] > 0 &&
                    frame->linesize[1] == frame->linesize[2];
                bool ok;
                if (stitch && planar420 && f->picture != nullptr) {
                    ok = av_frame_ref(f->picture, frame) == 0;
                } else {
                    ok = ToContiguous420(s, frame, &f->src);
                }
                if (!ok) {
                    rc = kConvertCannotDecode;
                } else {
                    std::lock_guard<std::mutex> lock(p->mutex);
                    p->decoded.push_back(std::move(f));
                    ++p->decodedCount;
                    p->changed.notify_all();
                }
            }
        }
        av_frame_unref(frame);
    }
    av_frame_free(&frame);
    av_packet_free(&pkt);
    if (rc != kConvertOk) p->Fail(rc);
    std::lock_guard<std::mutex> lock(p->mutex);
    p->decodeDone = true;
    p->changed.notify_all();
}

// Stitch worker: frames from `decoded` into `stitched`.
void StitchLoop(const CStitchRemap* remap, size_t outSize, Pipeline* p) {
    for (;;) {
        std::unique_ptr<Frame> f;
        {
            std::unique_lock<std::mutex> lock(p->mutex);
            while (!p->Stopping() && (p->decoded.empty() || p->inFlight >= p->limit) &&
                   !(p->decodeDone && p->decoded.empty())) {
                p->changed.wait(lock);
            }
            if (p->Stopping() || p->decoded.empty()) return;
            f = std::move(p->decoded.front());
            p->decoded.pop_front();
            ++p->inFlight;
            p->changed.notify_all();
        }
        if (remap != nullptr) {
            f->out.resize(outSize);
            if (f->InPlace()) {
                const uint8_t* planes[3] = {f->picture->data[0], f->picture->data[1],
                                            f->picture->data[2]};
                const size_t strides[3] = {static_cast<size_t>(f->picture->linesize[0]),
                                           static_cast<size_t>(f->picture->linesize[1]),
                                           static_cast<size_t>(f->picture->linesize[2])};
                remap->Apply(planes, strides, f->out.data());
                av_frame_unref(f->picture);  // the decoder may reuse it now
            } else {
                remap->Apply(f->src.data(), f->out.data());
            }
        } else {
            f->out.swap(f->src);
        }
        std::lock_guard<std::mutex> lock(p->mutex);
        const int64_t index = f->index;
        p->stitched[index] = std::move(f);
        p->changed.notify_all();
    }
}

// The source's sound track, copied for the span.
struct SoundCopy {
    Mp4File file;
    MP4Spliter* sp = nullptr;
    Mp4SampleCursor cursor;
    uint32_t writerId = 0;
    uint32_t originMs = 0;  // the time the seek reached
    int64_t endMs = -1;     // source time where the span ends (-1: none)
    ~SoundCopy() { MP4SpliterClose(sp); }

    // Reads the next sample of the span into the cursor, its times made
    // relative to the span's start.
    void ReadNext() {
        if (cursor.Next(sp) != 0 || (endMs >= 0 && int64_t{cursor.info.dtsMs} >= endMs)) {
            cursor.pending = false;
            return;
        }
        if (!cursor.pending) return;
        cursor.info.dtsMs -= std::min(cursor.info.dtsMs, originMs);
        cursor.info.ptsMs -= std::min(cursor.info.ptsMs, originMs);
    }
    // Writes every pending sample that decodes at or before `untilMs`.
    int WriteUntil(MP4Writer* w, int64_t untilMs) {
        while (cursor.pending && int64_t{cursor.info.dtsMs} <= untilMs) {
            const int r = MP4WriterWriteSample(w, writerId, cursor.buffer.data(), &cursor.info);
            if (r != 0) return r;
            ReadNext();
        }
        return 0;
    }
};

// Adds the source's sound track to the writer when it has one that can be
// positioned at the start; without one the output has video only.
int SetUpSound(const ExportJob& job, MP4Writer* w, SoundCopy* s) {
    if (s->file.OpenRead(job.input.c_str()) != 0) return 0;
    MP4SpliterSetTrace(0);
    if (MP4SpliterOpen(s->file.Io(), kMp4ReadModeAll, &s->sp) != 0) return 0;
    Mp4TrackEntry entries[16];
    uint32_t count = 0;
    if (MP4SpliterListTracks(s->sp, entries, 16, &count) != 0) return 0;
    int track = 0;
    for (uint32_t i = 0; i < count && i < 16; ++i) {
        if (entries[i].handler == kMp4HandlerSound) {
            track = static_cast<int>(entries[i].index);
            break;
        }
    }
    if (track == 0) return 0;
    Mp4SoundParams params{};
    if (MP4SpliterGetTrackParams(s->sp, track, &params, sizeof params) != 0) return 0;
    uint32_t at = static_cast<uint32_t>(job.startMs);
    if (MP4SpliterSeek(s->sp, track, &at, kMp4SeekToSample) != 0) return 0;
    s->cursor.track = track;
    s->originMs = at;
    if (job.lengthMs >= 0) s->endMs = job.startMs + job.lengthMs;
    if (job.lengthMs >= 0) params.durationMs = static_cast<uint32_t>(job.lengthMs);
    const int r = Mp4AddTrackLike(w, kMp4HandlerSound, &params, sizeof params,
                                  Mp4QueryBytes(s->sp, track, kMp4QueryCodecConfig),
                                  Mp4QueryBytes(s->sp, track, kMp4QueryHandlerName), &s->writerId);
    if (r != 0) return r;
    s->ReadNext();
    return 0;
}

int MapStitchResult(int r) {
    switch (r) {
        case kStitchCannotOpenInput:
            return kConvertCannotOpenInput;
        case kStitchNoMemory:
            return kConvertNoMemory;
        default:
            return kConvertNoCalibration;
    }
}

// Encodes, writes and hands progress on; runs on the calling thread.
int EncodeAndWrite(const ExportJob& job, const Source& src, double outFps, int outW, int outH,
                   Pipeline* p, MP4Writer* w) {
    EncoderSettings es;
    es.width = outW;
    es.height = outH;
    es.frameRate = outFps;
    es.keyInterval = 30;
    es.bitRateKbps = job.bitRateKbps;
    es.keepDefaults = job.high;
    es.profile = job.profile;
    es.preset = job.preset;
    es.refs = job.refs;
    es.bFrames = job.bFrames;
    VideoEncoder enc;
    if (enc.Open(es) != 0) return kConvertEncoderFailed;

    const double spanMs = job.lengthMs >= 0
                              ? static_cast<double>(job.lengthMs)
                              : std::max(1.0, src.durationMs - static_cast<double>(job.startMs));
    Mp4VideoParams vp{kMp4CodecH264,
                      static_cast<uint32_t>(spanMs),
                      static_cast<uint32_t>(outW),
                      static_cast<uint32_t>(outH),
                      static_cast<float>(outFps),
                      static_cast<uint32_t>(job.bitRateKbps) * 1000u,
                      static_cast<uint32_t>(outW) * static_cast<uint32_t>(outH) * 3 / 2 + 1024,
                      0};
    uint32_t videoId = 0;
    int r = MP4WriterAddTrack(w, kMp4HandlerVideo, &vp, sizeof vp, &videoId);
    if (r != 0) return kConvertWriteFailed;
    const Mp4WriterTrackBytes cfg{videoId, static_cast<uint32_t>(enc.Config().size()),
                                  enc.Config().data()};
    if (MP4WriterSetProperty(w, kMp4PropCodecConfig, &cfg, sizeof cfg) != 0)
        return kConvertWriteFailed;
    SoundCopy sound;
    if (SetUpSound(job, w, &sound) != 0) return kConvertWriteFailed;

    const double tickMs = 1000.0 * enc.FpsDen() / enc.FpsNum();
    const uint32_t frameMs = static_cast<uint32_t>(std::lround(tickMs));
    bool shiftKnown = false;
    int64_t shift = 0;  // makes the first decode time 0
    int64_t written = 0;
    float reported = 0;
    ReportProgress(0);
    auto write = [&](const EncodedPicture& pic) -> int {
        if (!shiftKnown) {
            shift = pic.dts < 0 ? -pic.dts : 0;
            shiftKnown = true;
        }
        const int64_t dts = pic.dts + shift, pts = pic.pts + shift;
        Mp4SampleInfo info{static_cast<uint32_t>(pic.data.size()),
                           static_cast<uint32_t>(std::llround(static_cast<double>(pts) * tickMs)),
                           static_cast<uint32_t>(std::llround(static_cast<double>(dts) * tickMs)),
                           frameMs,
                           0,
                           pic.key ? 1u : 0u,
                           0};
        if (sound.WriteUntil(w, info.dtsMs) != 0) return kConvertWriteFailed;
        if (MP4WriterWriteSample(w, videoId, pic.data.data(), &info) != 0)
            return kConvertWriteFailed;
        g_framesDone.store(++written);
        const float percent = static_cast<float>(
            std::min(99.9, static_cast<double>(written) * tickMs / spanMs * 100.0));
        if (percent > reported) {
            reported = percent;
            ReportProgress(percent);
        }
        return kConvertOk;
    };

    EncodedPicture pic;
    int64_t nextIndex = 0;
    for (;;) {
        std::unique_ptr<Frame> f;
        {
            std::unique_lock<std::mutex> lock(p->mutex);
            for (;;) {
                if (p->error != kConvertOk) return p->error;
                if (g_stop.load()) return kConvertStopped;
                auto it = p->stitched.find(nextIndex);
                if (it != p->stitched.end()) {
                    f = std::move(it->second);
                    p->stitched.erase(it);
                    break;
                }
                if (p->decodeDone && p->decoded.empty() && p->inFlight == 0) break;
                p->changed.wait(lock);
            }
        }
        if (!f) break;  // every frame is through
        ++nextIndex;
        const int got = enc.Encode(f->out.data(), f->index, &pic);
        {
            std::lock_guard<std::mutex> lock(p->mutex);
            --p->inFlight;
            p->spare.push_back(std::move(f));
            p->changed.notify_all();
        }
        if (got < 0) return kConvertEncoderFailed;
        if (got > 0 && (r = write(pic)) != kConvertOk) return r;
    }
    while (enc.HasDelayed()) {
        if (g_stop.load()) return kConvertStopped;
        const int got = enc.Encode(nullptr, 0, &pic);
        if (got < 0) return kConvertEncoderFailed;
        if (got > 0 && (r = write(pic)) != kConvertOk) return r;
    }
    if (written == 0) return kConvertEmptySpan;
    if (sound.WriteUntil(w, INT64_MAX) != 0) return kConvertWriteFailed;
    return kConvertOk;
}

}  // namespace

int RunExport(const ExportJob& job) {
    Source src;
    int r = OpenSource(job, &src);
    if (r != kConvertOk) return r;
    if (job.startMs > 0 && src.durationMs > 0 && static_cast<double>(job.startMs) >= src.durationMs)
        return kConvertEmptySpan;
    CStitchRemap remap;
    int outW = src.width, outH = src.height;
    if (job.stitch) {
        r = remap.Init(job.input.c_str(), false, src.width, src.height, job.rotation);
        if (r != kStitchOk) return MapStitchResult(r);
        outW = remap.OutputWidth();
        outH = remap.OutputHeight();
    }
    const double outFps = job.frameRate > 0 ? std::min(job.frameRate, src.fps) : src.fps;

    Mp4Output out;
    const int opened = out.Open(job.output.c_str());
    if (opened == kMp4OutputCannotCreate) return kConvertCannotCreate;
    if (opened != kMp4OutputOk) {
        r = kConvertWriteFailed;
    } else {
        Pipeline p;
        SetStopWaker(&p.mutex, &p.changed);
        const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
        const int workers = job.stitch ? static_cast<int>(std::clamp(cores / 4, 1u, 4u)) : 1;
        p.limit = 2 * workers + 4;
        const size_t outSize = static_cast<size_t>(outW) * outH * 3 / 2;
        std::thread decoder(DecodeLoop, std::cref(job), &src, outFps, &p);
        std::vector<std::thread> stitchers;
        for (int i = 0; i < workers; ++i)
            stitchers.emplace_back(StitchLoop, job.stitch ? &remap : nullptr, outSize, &p);
        r = EncodeAndWrite(job, src, outFps, outW, outH, &p, out.Writer());
        {
            std::lock_guard<std::mutex> lock(p.mutex);
            p.abort = true;
            p.changed.notify_all();
        }
        decoder.join();
        for (std::thread& t : stitchers) t.join();
        SetStopWaker(nullptr, nullptr);
    }
    r = FinishOutput(&out, r);
    if (r == kConvertOk) ReportProgress(100);
    return r;
}

}  // namespace convert
