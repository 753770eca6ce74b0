#include "remux.h"

#include <cstdio>
#include <vector>

#include "interrupt.h"
#include "messages.h"
#include "mp4/mp4_common.h"
#include "mp4/mp4_copy.h"
#include "mp4/mp4_output.h"
#include "mp4/mp4_reader.h"
#include "mp4/mp4_writer.h"
#include "platform/file.h"

namespace {

constexpr uint32_t kMaxTracks = 64;

// Copies every track the writer can describe. *lost counts the tracks that
// cannot be carried: tables the reader could not prepare (listed without a
// handler), text tracks, codecs without a complete sample description, and
// tracks past the 64th.
int Copy(MP4Spliter* sp, MP4Writer* w, uint32_t* lost) {
    Mp4TrackEntry entries[kMaxTracks];
    uint32_t count = 0;
    int r = MP4SpliterListTracks(sp, entries, kMaxTracks, &count);
    if (r != 0) return r;
    *lost = count > kMaxTracks ? count - kMaxTracks : 0;
    std::vector<Mp4TrackCopy> tracks;
    tracks.reserve(count);
    for (uint32_t i = 0; i < count && i < kMaxTracks; ++i) {
        const Mp4TrackEntry& e = entries[i];
        if (e.handler != kMp4HandlerVideo && e.handler != kMp4HandlerSound) {
            ++*lost;
            continue;
        }
        Mp4SoundParams sound{};
        Mp4VideoParams video{};
        const bool isSound = e.handler == kMp4HandlerSound;
        void* params = isSound ? static_cast<void*>(&sound) : static_cast<void*>(&video);
        const uint32_t size = isSound ? sizeof(sound) : sizeof(video);
        const int track = static_cast<int>(e.index);
        r = MP4SpliterGetTrackParams(sp, track, params, size);
        if (r != 0) return r;
        const std::vector<uint8_t> config = Mp4QueryBytes(sp, track, kMp4QueryCodecConfig);
        if (!MP4WriterDescribesCodec(isSound ? sound.codec : video.codec, config.size())) {
            ++*lost;
            continue;
        }
        tracks.emplace_back();
        tracks.back().cursor.track = track;
        r = Mp4AddTrackLike(w, e.handler, params, size, config,
                            Mp4QueryBytes(sp, track, kMp4QueryHandlerName),
                            &tracks.back().writerId);
        if (r != 0) return r;
        r = tracks.back().cursor.Next(sp);
        if (r != 0) return r;
    }
    if (tracks.empty()) return *lost > 0 ? kRemuxLostTrack : kRemuxNoTracks;
    // Samples go out in decode-time order across the tracks.
    const Mp4CopyResult copied = Mp4CopySamples(sp, &tracks, w, 0, &InterruptFlag());
    return copied.status == kMp4CopyStopped ? kRemuxInterrupted : copied.code;
}

}  // namespace

int RemuxFile(const char* input, const char* output) {
    // Writing over the original would lose it.
    if (platform::IsSameFile(input, output)) return kRemuxOutputIsInput;
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
    uint32_t lost = 0;
    r = opened == kMp4OutputOk ? Copy(sp, out.Writer(), &lost) : out.WriterCode();
    if (r == 0 && lost > 0) r = kRemuxLostTrack;
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
    if (r != 0) PrintFailure(RemuxMessage(r, args[0], args[1]));
    std::printf("result: %d\n", r);
    return r == 0 ? 0 : 1;
}
