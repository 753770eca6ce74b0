#include "remux.h"

#include <cstdio>
#include <vector>

#include "mp4/mp4_common.h"
#include "mp4/mp4_copy.h"
#include "mp4/mp4_output.h"
#include "mp4/mp4_reader.h"
#include "mp4/mp4_writer.h"
#include "platform/file.h"

namespace {

// Results of the remux besides the reader's and the writer's codes.
constexpr int kRemuxCannotOpenInput = -1;
constexpr int kRemuxCannotCreateOutput = -2;
constexpr int kRemuxNoTracks = -3;

// Carries a track's parameter record, codec configuration and handler name.
int AddTrack(MP4Spliter* sp, MP4Writer* w, const Mp4TrackEntry& e, Mp4TrackCopy* t) {
    Mp4SoundParams sound{};
    Mp4VideoParams video{};
    const bool isSound = e.handler == kMp4HandlerSound;
    void* params = isSound ? static_cast<void*>(&sound) : static_cast<void*>(&video);
    const uint32_t size = isSound ? sizeof(sound) : sizeof(video);
    t->cursor.track = static_cast<int>(e.index);
    const int r = MP4SpliterGetTrackParams(sp, t->cursor.track, params, size);
    if (r != 0) return r;
    return Mp4AddTrackLike(w, e.handler, params, size,
                           Mp4QueryBytes(sp, t->cursor.track, kMp4QueryCodecConfig),
                           Mp4QueryBytes(sp, t->cursor.track, kMp4QueryHandlerName), &t->writerId);
}

int Copy(MP4Spliter* sp, MP4Writer* w) {
    Mp4TrackEntry entries[64];
    uint32_t count = 0;
    int r = MP4SpliterListTracks(sp, entries, 64, &count);
    if (r != 0) return r;
    std::vector<Mp4TrackCopy> tracks;
    tracks.reserve(count);
    for (uint32_t i = 0; i < count && i < 64; ++i) {
        if (entries[i].handler != kMp4HandlerVideo && entries[i].handler != kMp4HandlerSound) {
            continue;
        }
        tracks.emplace_back();
        r = AddTrack(sp, w, entries[i], &tracks.back());
        if (r != 0) return r;
        r = tracks.back().cursor.Next(sp);
        if (r != 0) return r;
    }
    if (tracks.empty()) return kRemuxNoTracks;
    // Samples go out in decode-time order across the tracks.
    return Mp4CopySamples(sp, &tracks, w, 0, nullptr).code;
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
