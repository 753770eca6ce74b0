#include "player/mp4_frame.h"

#include <cstdint>
#include <vector>

#include "mp4/mp4_reader.h"
#include "platform/bytes.h"

namespace {

// Box types that only an MP4 or MOV file has at its top level.
constexpr uint32_t kTopLevelTypes[] = {
    Mp4FourCC('f', 't', 'y', 'p'), Mp4FourCC('s', 't', 'y', 'p'), Mp4FourCC('m', 'o', 'o', 'v'),
    Mp4FourCC('m', 'd', 'a', 't'), Mp4FourCC('m', 'o', 'o', 'f'), Mp4FourCC('m', 'f', 'r', 'a'),
    Mp4FourCC('f', 'r', 'e', 'e'), Mp4FourCC('s', 'k', 'i', 'p'), Mp4FourCC('w', 'i', 'd', 'e'),
    Mp4FourCC('p', 'n', 'o', 't'), Mp4FourCC('s', 'i', 'd', 'x'), Mp4FourCC('u', 'u', 'i', 'd'),
    Mp4FourCC('m', 'e', 't', 'a'), Mp4FourCC('p', 'd', 'i', 'n'),
};
// Boxes of unknown types walked over before giving up.
constexpr int kMaxWalkedBoxes = 16;

bool IsTopLevelType(uint32_t type) {
    for (uint32_t t : kTopLevelTypes)
        if (t == type) return true;
    return false;
}

bool IsPrintableType(const uint8_t* type) {
    for (int i = 0; i < 4; ++i)
        if (type[i] < 0x20 || type[i] > 0x7e) return false;
    return true;
}

// The MP4 reader's I/O table over a byte source.
int64_t SourceRead(void* user, void* dst, int64_t n) {
    if (n < 0) return -1;
    return static_cast<int64_t>(
        static_cast<platform::ByteSource*>(user)->Read(dst, static_cast<size_t>(n)));
}

int SourceSeek(void* user, int64_t offset, int origin) {
    const platform::SeekOrigin o = origin == kMp4SeekCur   ? platform::kSeekCur
                                   : origin == kMp4SeekEnd ? platform::kSeekEnd
                                                           : platform::kSeekSet;
    return static_cast<platform::ByteSource*>(user)->Seek(offset, o) ? 0 : -1;
}

int64_t SourceTell(void* user) {
    return static_cast<platform::ByteSource*>(user)->Tell();
}

int64_t SourceSize(void* user) {
    return static_cast<platform::ByteSource*>(user)->Size();
}

}  // namespace

bool IsMp4Structure(platform::ByteSource& file) {
    const int64_t size = file.Size();
    int64_t pos = 0;
    for (int n = 0; n < kMaxWalkedBoxes && (size < 0 || pos + 8 <= size); ++n) {
        uint8_t h[16];
        if (!file.Seek(pos, platform::kSeekSet) || !file.ReadExact(h, 8)) return false;
        if (!IsPrintableType(h + 4)) return false;
        if (IsTopLevelType(platform::Be32(h + 4))) return true;
        // An unknown box: step over it whole, if it is one.
        uint64_t boxSize = platform::Be32(h);
        if (boxSize == 1) {
            if (!file.ReadExact(h + 8, 8)) return false;
            boxSize = platform::Be64(h + 8);
            if (boxSize < 16) return false;
        } else if (boxSize < 8) {
            return false;  // 0 runs to the end: nothing known follows
        }
        if (size >= 0 && boxSize > static_cast<uint64_t>(size - pos)) return false;
        pos += static_cast<int64_t>(boxSize);
    }
    return false;
}

void Mp4FrameSize(platform::ByteSource& file, int* width, int* height) {
    *width = 0;
    *height = 0;
    MP4SpliterSetTrace(0);
    const Mp4Io io = {&file, SourceRead, nullptr, SourceSeek, SourceTell, SourceSize};
    MP4Spliter* sp = nullptr;
    int r = MP4SpliterOpen(io, kMp4ReadModeVideoOnly, &sp);
    // A large movie box after the data is parsed by a second open.
    if (r == kMp4ReadLateMovie) r = MP4SpliterOpen(io, kMp4ReadModeVideoOnly, &sp);
    if (r != 0) {
        MP4SpliterClose(sp);
        return;
    }
    uint32_t count = 0;
    MP4SpliterListTracks(sp, nullptr, 0, &count);
    std::vector<Mp4TrackEntry> tracks(count);
    if (count > 0 && MP4SpliterListTracks(sp, tracks.data(), count, &count) == 0) {
        for (const Mp4TrackEntry& t : tracks) {
            if (t.handler != kMp4HandlerVideo) continue;
            Mp4VideoParams p = {};
            if (MP4SpliterGetTrackParams(sp, static_cast<int>(t.index), &p, sizeof p) == 0 &&
                p.width <= INT32_MAX && p.height <= INT32_MAX) {
                *width = static_cast<int>(p.width);
                *height = static_cast<int>(p.height);
            }
            break;
        }
    }
    MP4SpliterClose(sp);
}
