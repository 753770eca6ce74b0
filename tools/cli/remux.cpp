#include "remux.h"

#include <cstdio>
#include <vector>

#include "mp4/mp4_common.h"
#include "mp4/mp4_output.h"
#include "mp4/mp4_reader.h"
#include "mp4/mp4_writer.h"
#include "platform/file.h"

namespace {

// Results of the remux besides the reader's and the writer's codes.
constexpr int kRemuxCannotOpenInput = -1;
constexpr int kRemuxCannotCreateOutput = -2;
constexpr int kRemuxNoTracks = -3;

struct TrackCopy {
    int readerIndex = 0;
    uint32_t writerId = 0;
    bool pending = false;  // `info` holds the next sample's record (data in `buffer`)
    bool done = false;
    Mp4SampleInfo info{};
    std::vector<uint8_t> buffer = std::vector<uint8_t>(1 << 16);
};

// Reads the next sample of a track into its buffer, growing it on code 10.
int ReadNext(MP4Spliter* sp, TrackCopy* t) {
    for (;;) {
        const int r = MP4SpliterReadSample(sp, t->readerIndex, t->buffer.data(),
                                           static_cast<uint32_t>(t->buffer.size()), &t->info);
        if (r == kMp4ReadBufferTooSmall) {
            t->buffer.resize(t->info.size);
            continue;
        }
        if (r == kMp4ReadEndOfTrack) {
            t->done = true;
            t->pending = false;
            return 0;
        }
        t->pending = r == 0;
        return r;
    }
}

// Carries a track's parameter record, codec configuration and handler name.
int AddTrack(MP4Spliter* sp, MP4Writer* w, const Mp4TrackEntry& e, TrackCopy* t) {
    Mp4SoundParams sound{};
    Mp4VideoParams video{};
    const bool isSound = e.handler == kMp4HandlerSound;
    void* params = isSound ? static_cast<void*>(&sound) : static_cast<void*>(&video);
    const uint32_t size = isSound ? sizeof(sound) : sizeof(video);
    int r = MP4SpliterGetTrackParams(sp, static_cast<int>(e.index), params, size);
    if (r != 0) return r;
    r = MP4WriterAddTrack(w, e.handler, params, size, &t->writerId);
    if (r != 0) return r;
    t->readerIndex = static_cast<int>(e.index);
    for (int query : {kMp4QueryCodecConfig, kMp4QueryHandlerName}) {
        uint32_t n = 0;
        if (MP4SpliterQuery(sp, t->readerIndex, query, nullptr, &n) != kMp4ReadRecordTooSmall ||
            n == 0) {
            continue;
        }
        std::vector<uint8_t> bytes(n);
        if (MP4SpliterQuery(sp, t->readerIndex, query, bytes.data(), &n) != 0) continue;
        const Mp4WriterTrackBytes rec{t->writerId, n, bytes.data()};
        r = MP4WriterSetProperty(
            w, query == kMp4QueryCodecConfig ? kMp4PropCodecConfig : kMp4PropHandlerName, &rec,
            sizeof(rec));
        if (r != 0) return r;
    }
    return 0;
}

int Copy(MP4Spliter* sp, MP4Writer* w) {
    Mp4TrackEntry entries[64];
    uint32_t count = 0;
    int r = MP4SpliterListTracks(sp, entries, 64, &count);
    if (r != 0) return r;
    std::vector<TrackCopy> tracks;
    tracks.reserve(count);
    for (uint32_t i = 0; i < count && i < 64; ++i) {
        if (entries[i].handler != kMp4HandlerVideo && entries[i].handler != kMp4HandlerSound) {
            continue;
        }
        tracks.emplace_back();
        r = AddTrack(sp, w, entries[i], &tracks.back());
        if (r != 0) return r;
        r = ReadNext(sp, &tracks.back());
        if (r != 0) return r;
    }
    if (tracks.empty()) return kRemuxNoTracks;
    // Samples go out in decode-time order across the tracks.
    for (;;) {
        TrackCopy* next = nullptr;
        for (TrackCopy& t : tracks) {
            if (t.pending && (next == nullptr || t.info.dtsMs < next->info.dtsMs)) next = &t;
        }
        if (next == nullptr) return 0;
        r = MP4WriterWriteSample(w, next->writerId, next->buffer.data(), &next->info);
        if (r != 0) return r;
        r = ReadNext(sp, next);
        if (r != 0) return r;
    }
}

}  // namespace

int RemuxFile(const char* input, const char* output) {
    Mp4File in;
    if (in.OpenRead(input) != 0) return kRemuxCannotOpenInput;
    MP4SpliterSetTrace(0);
    MP4Spliter* sp = nullptr;
    int r = MP4SpliterOpen(in.Io(), kMp4ReadModeAll, &sp);
    if (r != 0) {
        MP4SpliterClose(sp);
        return r;
    }
    Mp4Output out;
    const int opened = out.Open(output);
    if (opened == kMp4OutputCannotCreate) {
        MP4SpliterClose(sp);
        return kRemuxCannotCreateOutput;
    }
    r = opened == kMp4OutputOk ? Copy(sp, out.Writer()) : out.WriterCode();
    MP4SpliterClose(sp);
    const int finished = out.Finish(r == 0);
    if (r == 0 && finished != kMp4OutputOk) {
        r = finished == kMp4OutputWriterFailed ? out.WriterCode() : kRemuxCannotCreateOutput;
    }
    return r;
}

int RunRemux(const std::vector<std::string>& args) {
    if (args.size() != 2) {
        std::fputs("usage: orbivue-cli remux INPUT OUTPUT\n", stderr);
        return 2;
    }
    const int r = RemuxFile(args[0].c_str(), args[1].c_str());
    std::printf("result: %d\n", r);
    return r == 0 ? 0 : 1;
}
