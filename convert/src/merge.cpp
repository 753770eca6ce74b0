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

std::vector<uint8_t> QueryBytes(MP4Spliter* sp, int track, int query) {
    uint32_t n = 0;
    if (MP4SpliterQuery(sp, track, query, nullptr, &n) != kMp4ReadRecordTooSmall || n == 0)
        return {};
    std::vector<uint8_t> bytes(n);
    if (MP4SpliterQuery(sp, track, query, bytes.data(), &n) != 0) return {};
    bytes.resize(n);
    return bytes;
}

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
        t.config = QueryBytes(in->sp, t.index, kMp4QueryCodecConfig);
        t.handlerName = QueryBytes(in->sp, t.index, kMp4QueryHandlerName);
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

struct Cursor {
    std::vector<uint8_t> buffer = std::vector<uint8_t>(1 << 16);
    Mp4SampleInfo info{};
    bool pending = false;
};

int ReadNext(MP4Spliter* sp, int track, Cursor* c) {
    for (;;) {
        const int r = MP4SpliterReadSample(sp, track, c->buffer.data(),
                                           static_cast<uint32_t>(c->buffer.size()), &c->info);
        if (r == kMp4ReadBufferTooSmall) {
            c->buffer.resize(c->info.size);
            continue;
        }
        c->pending = r == 0;
        return r == kMp4ReadEndOfTrack ? 0 : r;
    }
}

// Copies one input's samples in decode order across its tracks, every time
// moved by offsetMs; *endMs gets the latest sample end.
int CopyInput(Input* in, MP4Writer* w, const std::vector<uint32_t>& ids, uint32_t offsetMs,
              uint32_t* endMs) {
    std::vector<Cursor> cursors(in->tracks.size());
    for (size_t i = 0; i < cursors.size(); ++i) {
        if (ReadNext(in->sp, in->tracks[i].index, &cursors[i]) != 0) return kConvertMergeBadInput;
    }
    uint32_t end = offsetMs;
    for (;;) {
        if (g_stop.load()) return kConvertStopped;
        size_t next = cursors.size();
        for (size_t i = 0; i < cursors.size(); ++i) {
            if (cursors[i].pending &&
                (next == cursors.size() || cursors[i].info.dtsMs < cursors[next].info.dtsMs))
                next = i;
        }
        if (next == cursors.size()) break;
        Cursor& c = cursors[next];
        Mp4SampleInfo info = c.info;
        info.dtsMs += offsetMs;
        info.ptsMs += offsetMs;
        end = std::max(end, info.dtsMs + info.durationMs);
        if (MP4WriterWriteSample(w, ids[next], c.buffer.data(), &info) != 0)
            return kConvertWriteFailed;
        if (ReadNext(in->sp, in->tracks[next].index, &c) != 0) return kConvertMergeBadInput;
    }
    *endMs = end;
    return kConvertOk;
}

}  // namespace

int RunMerge(const std::string& listPath, const std::string& output) {
    std::vector<std::string> files;
    if (!ReadListFile(listPath, &files)) return kConvertBadList;
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
        if (t.handler == kMp4HandlerVideo) {
            Mp4VideoParams p = t.video;
            p.durationMs = totalMs;
            r = MP4WriterAddTrack(w, t.handler, &p, sizeof p, &id);
        } else {
            r = MP4WriterAddTrack(w, t.handler, &t.sound, sizeof t.sound, &id);
        }
        if (r != 0) {
            r = kConvertWriteFailed;
            break;
        }
        ids.push_back(id);
        if (!t.config.empty()) {
            const Mp4WriterTrackBytes rec{id, static_cast<uint32_t>(t.config.size()),
                                          t.config.data()};
            if (MP4WriterSetProperty(w, kMp4PropCodecConfig, &rec, sizeof rec) != 0)
                r = kConvertWriteFailed;
        }
        if (!t.handlerName.empty()) {
            const Mp4WriterTrackBytes rec{id, static_cast<uint32_t>(t.handlerName.size()),
                                          t.handlerName.data()};
            if (MP4WriterSetProperty(w, kMp4PropHandlerName, &rec, sizeof rec) != 0)
                r = kConvertWriteFailed;
        }
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
