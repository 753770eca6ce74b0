// The lossless merge: the inputs of a list file joined in order, every sample
// copied unchanged and re-timed after the previous input's end.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "internal.h"
#include "mp4/mp4_common.h"
#include "mp4/mp4_copy.h"
#include "mp4/mp4_output.h"
#include "mp4/mp4_reader.h"
#include "mp4/mp4_writer.h"
#include "platform/file.h"

namespace convert {

bool ReadListFile(const std::string& path, std::vector<std::string>* files) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::string line;
    while (std::getline(in, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
        size_t at = line.find_first_not_of(" \t");
        if (at == std::string::npos || line[at] == '#') continue;
        if (line.compare(at, 4, "file") != 0) return false;
        at = line.find_first_not_of(" \t", at + 4);
        if (at == std::string::npos) return false;
        // Quoted pieces joined, with '\'' as an escaped quote between them.
        std::string name;
        while (at < line.size()) {
            const char c = line[at];
            if (c == '\'') {
                const size_t close = line.find('\'', at + 1);
                if (close == std::string::npos) return false;
                name.append(line, at + 1, close - at - 1);
                at = close + 1;
            } else if (c == '\\' && at + 1 < line.size()) {
                name.push_back(line[at + 1]);
                at += 2;
            } else if (c == ' ' || c == '\t') {
                break;
            } else {
                name.push_back(c);
                ++at;
            }
        }
        if (name.empty()) return false;
        files->push_back(name);
    }
    return !files->empty();
}

namespace {

// What must agree between the inputs of one track.
struct TrackShape {
    uint32_t handler = 0;
    int index = 0;
    uint32_t codec = 0, width = 0, height = 0, channels = 0, sampleRate = 0;
    std::vector<uint8_t> config, handlerName;
    Mp4VideoParams video{};
    Mp4SoundParams sound{};
};

struct Input {
    Mp4File file;
    MP4Spliter* sp = nullptr;
    std::vector<TrackShape> tracks;
    ~Input() { MP4SpliterClose(sp); }
};

int OpenInput(const std::string& path, Input* in) {
    if (in->file.OpenRead(path.c_str()) != 0) return kConvertMergeBadInput;
    MP4SpliterSetTrace(0);
    if (MP4SpliterOpen(in->file.Io(), kMp4ReadModeAll, &in->sp) != 0) return kConvertMergeBadInput;
    Mp4TrackEntry entries[16];
    uint32_t count = 0;
    if (MP4SpliterListTracks(in->sp, entries, 16, &count) != 0) return kConvertMergeBadInput;
    for (uint32_t i = 0; i < count && i < 16; ++i) {
        TrackShape t;
        t.handler = entries[i].handler;
        t.index = static_cast<int>(entries[i].index);
        if (t.handler == kMp4HandlerVideo) {
            if (MP4SpliterGetTrackParams(in->sp, t.index, &t.video, sizeof t.video) != 0)
                return kConvertMergeBadInput;
            t.codec = t.video.codec;
            t.width = t.video.width;
            t.height = t.video.height;
        } else if (t.handler == kMp4HandlerSound) {
            if (MP4SpliterGetTrackParams(in->sp, t.index, &t.sound, sizeof t.sound) != 0)
                return kConvertMergeBadInput;
            t.codec = t.sound.codec;
            t.channels = t.sound.channels;
            t.sampleRate = t.sound.sampleRate;
        } else {
            continue;
        }
        t.config = Mp4QueryBytes(in->sp, t.index, kMp4QueryCodecConfig);
        t.handlerName = Mp4QueryBytes(in->sp, t.index, kMp4QueryHandlerName);
        in->tracks.push_back(std::move(t));
    }
    return in->tracks.empty() ? kConvertMergeBadInput : kConvertOk;
}

bool SameShape(const Input& a, const Input& b) {
    if (a.tracks.size() != b.tracks.size()) return false;
    for (size_t i = 0; i < a.tracks.size(); ++i) {
        const TrackShape &x = a.tracks[i], &y = b.tracks[i];
        if (x.handler != y.handler || x.codec != y.codec || x.width != y.width ||
            x.height != y.height || x.channels != y.channels || x.sampleRate != y.sampleRate ||
            x.config != y.config)
            return false;
    }
    return true;
}

// Copies one input's samples in decode order across its tracks, every time
// moved by offsetMs; *endMs gets the latest sample end.
int CopyInput(Input* in, MP4Writer* w, const std::vector<uint32_t>& ids, uint32_t offsetMs,
              uint32_t* endMs) {
    std::vector<Mp4TrackCopy> tracks(in->tracks.size());
    for (size_t i = 0; i < tracks.size(); ++i) {
        tracks[i].cursor.track = in->tracks[i].index;
        tracks[i].writerId = ids[i];
        if (tracks[i].cursor.Next(in->sp) != 0) return kConvertMergeBadInput;
    }
    const Mp4CopyResult copied = Mp4CopySamples(in->sp, &tracks, w, offsetMs, &g_stop);
    switch (copied.status) {
        case kMp4CopyStopped:
            return kConvertStopped;
        case kMp4CopyWriteFailed:
            return kConvertWriteFailed;
        case kMp4CopyReadFailed:
            return kConvertMergeBadInput;
        default:
            break;
    }
    *endMs = copied.endMs;
    return kConvertOk;
}

}  // namespace

int RunMerge(const std::string& listPath, const std::string& output) {
    std::vector<std::string> files;
    if (!ReadListFile(listPath, &files)) return kConvertBadList;
    for (const std::string& f : files) {
        if (platform::IsSameFile(f.c_str(), output.c_str())) return kConvertOutputIsInput;
    }
    // Every input is opened and checked before anything is written.
    std::vector<std::unique_ptr<Input>> inputs;
    for (const std::string& f : files) {
        inputs.push_back(std::make_unique<Input>());
        const int r = OpenInput(f, inputs.back().get());
        if (r != kConvertOk) return r;
        if (inputs.size() > 1 && !SameShape(*inputs.front(), *inputs.back()))
            return kConvertMergeMismatch;
    }
    Mp4Output out;
    const int opened = out.Open(output.c_str());
    if (opened == kMp4OutputCannotCreate) return kConvertCannotCreate;
    int r = opened == kMp4OutputOk ? kConvertOk : kConvertWriteFailed;
    MP4Writer* w = out.Writer();
    std::vector<uint32_t> ids;
    uint32_t totalMs = 0;
    for (const std::unique_ptr<Input>& in : inputs) {
        for (const TrackShape& t : in->tracks) {
            totalMs += t.handler == kMp4HandlerVideo ? t.video.durationMs : 0;
        }
    }
    for (TrackShape& t : inputs.front()->tracks) {
        if (r != kConvertOk) break;
        uint32_t id = 0;
        Mp4VideoParams video = t.video;
        video.durationMs = totalMs;
        const bool isVideo = t.handler == kMp4HandlerVideo;
        if (Mp4AddTrackLike(w, t.handler, isVideo ? static_cast<const void*>(&video) : &t.sound,
                            isVideo ? sizeof video : sizeof t.sound, t.config, t.handlerName,
                            &id) != 0) {
            r = kConvertWriteFailed;
            break;
        }
        ids.push_back(id);
    }
    uint32_t offset = 0;
    ReportProgress(0);
    for (size_t i = 0; i < inputs.size() && r == kConvertOk; ++i) {
        uint32_t end = 0;
        r = CopyInput(inputs[i].get(), w, ids, offset, &end);
        offset = end;
        ReportProgress(static_cast<float>(100.0 * static_cast<double>(i + 1) /
                                          static_cast<double>(inputs.size())));
    }
    return FinishOutput(&out, r);
}

}  // namespace convert
