// MP4Spliter over arbitrary bytes: open in both modes, query every track and
// read all of its samples with a buffer that grows on demand.
#include <cstdint>
#include <cstring>
#include <vector>

#include "mp4/mp4_reader.h"

namespace {

struct Mem {
    const uint8_t* data;
    int64_t size;
    int64_t pos;
};

Mp4Io MemIo(Mem* m) {
    Mp4Io io{};
    io.user = m;
    io.read = [](void* u, void* dst, int64_t n) -> int64_t {
        Mem* s = static_cast<Mem*>(u);
        int64_t left = s->pos < s->size ? s->size - s->pos : 0;
        if (n > left) n = left;
        if (n > 0) std::memcpy(dst, s->data + s->pos, static_cast<size_t>(n));
        s->pos += n;
        return n;
    };
    io.seek = [](void* u, int64_t off, int origin) -> int {
        Mem* s = static_cast<Mem*>(u);
        int64_t base = origin == kMp4SeekCur ? s->pos : origin == kMp4SeekEnd ? s->size : 0;
        if (off > 0 && base > INT64_MAX - off) return -1;
        if (base + off < 0) return -1;
        s->pos = base + off;
        return 0;
    };
    io.tell = [](void* u) -> int64_t { return static_cast<Mem*>(u)->pos; };
    io.size = [](void* u) -> int64_t { return static_cast<Mem*>(u)->size; };
    return io;
}

void Exercise(MP4Spliter* sp) {
    uint32_t count = 0;
    if (MP4SpliterListTracks(sp, nullptr, 0, &count) != 0) return;
    std::vector<uint8_t> buf(16);
    for (uint32_t t = 1; t <= count; ++t) {
        int track = static_cast<int>(t);
        uint8_t record[36];
        MP4SpliterGetTrackParams(sp, track, record, sizeof record);
        uint8_t cfg[64];
        uint32_t size = sizeof cfg;
        MP4SpliterQuery(sp, track, kMp4QueryCodecConfig, cfg, &size);
        uint32_t ms = 1000;
        MP4SpliterSeek(sp, track, &ms, kMp4SeekToSync);
        ms = 0;
        MP4SpliterSeek(sp, track, &ms, kMp4SeekToSample);
        for (;;) {
            Mp4SampleInfo info{};
            int r = MP4SpliterReadSample(sp, track, buf.data(), static_cast<uint32_t>(buf.size()),
                                         &info);
            if (r == kMp4ReadBufferTooSmall) {
                if (info.size <= buf.size()) __builtin_trap();  // must ask for more
                buf.resize(info.size);
                continue;
            }
            if (r != 0) break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MP4SpliterSetTrace(0);
    for (int mode : {kMp4ReadModeAll, kMp4ReadModeVideoOnly}) {
        Mem m{data, static_cast<int64_t>(size), 0};
        MP4Spliter* sp = nullptr;
        int r = MP4SpliterOpen(MemIo(&m), mode, &sp);
        if (r == kMp4ReadLateMovie) r = MP4SpliterOpen(MemIo(&m), mode, &sp);
        if (r == 0) Exercise(sp);
        MP4SpliterClose(sp);
    }
    return 0;
}
