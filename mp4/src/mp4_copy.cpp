#include "mp4/mp4_copy.h"

#include <algorithm>

std::vector<uint8_t> Mp4QueryBytes(MP4Spliter* sp, int track, int query) {
    uint32_t n = 0;
    if (MP4SpliterQuery(sp, track, query, nullptr, &n) != kMp4ReadRecordTooSmall || n == 0) {
        return {};
    }
    std::vector<uint8_t> bytes(n);
    if (MP4SpliterQuery(sp, track, query, bytes.data(), &n) != 0) return {};
    bytes.resize(n);
    return bytes;
}

int Mp4AddTrackLike(MP4Writer* w, uint32_t handler, const void* params, uint32_t size,
                    const std::vector<uint8_t>& config, const std::vector<uint8_t>& handlerName,
                    uint32_t* writerId) {
    int r = MP4WriterAddTrack(w, handler, params, size, writerId);
    if (r != 0) return r;
    const struct {
        int property;
        const std::vector<uint8_t>* bytes;
    } carried[] = {{kMp4PropCodecConfig, &config}, {kMp4PropHandlerName, &handlerName}};
    for (const auto& c : carried) {
        if (c.bytes->empty()) continue;
        const Mp4WriterTrackBytes rec{*writerId, static_cast<uint32_t>(c.bytes->size()),
                                      c.bytes->data()};
        r = MP4WriterSetProperty(w, c.property, &rec, sizeof rec);
        if (r != 0) return r;
    }
    return 0;
}

int Mp4SampleCursor::Next(MP4Spliter* sp) {
    for (;;) {
        const int r = MP4SpliterReadSample(sp, track, buffer.data(),
                                           static_cast<uint32_t>(buffer.size()), &info);
        if (r == kMp4ReadBufferTooSmall) {
            if (info.size <= buffer.size() || info.size > limit) {
                pending = false;
                return kMp4ReadMalformed;
            }
            buffer.resize(info.size);
            continue;
        }
        pending = r == 0;
        return r == kMp4ReadEndOfTrack ? 0 : r;
    }
}

Mp4CopyResult Mp4CopySamples(MP4Spliter* sp, std::vector<Mp4TrackCopy>* tracks, MP4Writer* w,
                             uint32_t offsetMs, const std::atomic<bool>* stop) {
    Mp4CopyResult result;
    result.endMs = offsetMs;
    for (;;) {
        if (stop != nullptr && stop->load()) {
            result.status = kMp4CopyStopped;
            return result;
        }
        Mp4TrackCopy* next = nullptr;
        for (Mp4TrackCopy& t : *tracks) {
            if (t.cursor.pending &&
                (next == nullptr || t.cursor.info.dtsMs < next->cursor.info.dtsMs)) {
                next = &t;
            }
        }
        if (next == nullptr) return result;
        Mp4SampleInfo info = next->cursor.info;
        info.dtsMs += offsetMs;
        info.ptsMs += offsetMs;
        result.endMs = std::max(result.endMs, info.dtsMs + info.durationMs);
        int r = MP4WriterWriteSample(w, next->writerId, next->cursor.buffer.data(), &info);
        if (r != 0) {
            result.status = kMp4CopyWriteFailed;
            result.code = r;
            return result;
        }
        r = next->cursor.Next(sp);
        if (r != 0) {
            result.status = kMp4CopyReadFailed;
            result.code = r;
            return result;
        }
    }
}
