#include "calib/containers.h"

#include "platform/bytes.h"

#include <cstdio>
#include <cstring>
#include <limits>

const uint8_t kSphericalUuid[16] = {0xFF, 0xCC, 0x82, 0x63, 0xF8, 0x55, 0x4A, 0x93,
                                    0x88, 0x14, 0x58, 0x7A, 0x02, 0x52, 0x1F, 0xDD};

using namespace platform;

namespace {

bool IsType(const uint8_t* t, const char* name) {
    return std::memcmp(t, name, 4) == 0;
}
bool IsUserData(const uint8_t* t) {
    return IsType(t, "udta") || IsType(t, "udat");
}

// Reads len bytes at pos into the buffer. The length is checked against the
// source size first, so a corrupt size never causes a large allocation.
int ReadBlock(platform::ByteSource& src, int64_t pos, int64_t len, ByteBuffer* out) {
    const int64_t size = src.Size();
    if (len < 0 || pos < 0 || size < 0 || pos > size || len > size - pos) return kContainerNoData;
    if (static_cast<uint64_t>(len) > std::numeric_limits<size_t>::max()) return kContainerNoData;
    if (!out->Allocate(static_cast<size_t>(len))) return kContainerNoMemory;
    if (!src.Seek(pos, platform::kSeekSet) || !src.ReadExact(out->data(), out->size())) {
        out->Reset();
        return kContainerNoData;
    }
    return kContainerFound;
}

enum WalkStep { kStepContinue, kStepFound, kStepNoMemory, kStepAbort };

WalkStep FromBlock(int r) {
    if (r == kContainerFound) return kStepFound;
    if (r == kContainerNoMemory) return kStepNoMemory;
    return kStepAbort;
}

// A "uuid" box whose user type is the spherical identifier: read its payload.
// Returns kStepContinue for any other "uuid" box.
WalkStep TrySphericalUuid(platform::ByteSource& src, int64_t pos, int64_t boxSize, int64_t header,
                          ByteBuffer* out) {
    if (boxSize < header + 16) return kStepContinue;
    uint8_t id[16];
    if (!src.Seek(pos + header, platform::kSeekSet) || !src.ReadExact(id, 16)) return kStepAbort;
    if (std::memcmp(id, kSphericalUuid, 16) != 0) return kStepContinue;
    return FromBlock(ReadBlock(src, pos + header + 16, boxSize - header - 16, out));
}

// Walks the children of a "moov" (isMoov) or of a "trak" inside it, between
// start and end. Stops after the first user-data child.
WalkStep WalkChildren(platform::ByteSource& src, BoxWalkMode mode, bool isMoov, int64_t start,
                      int64_t end, ByteBuffer* out) {
    int64_t p = start;
    while (end - p >= 8) {
        uint8_t h[8];
        if (!src.Seek(p, platform::kSeekSet) || !src.ReadExact(h, 8)) return kStepAbort;
        int64_t size = Be32(h);
        // Size 0 ends the walk; sizes below a header cannot be walked past.
        if (size < 8) return kStepAbort;
        if (size > end - p) size = end - p;  // a child never extends past its parent
        const uint8_t* type = h + 4;
        if (IsUserData(type)) {
            if (mode == kWalkUserData) return FromBlock(ReadBlock(src, p + 8, size - 8, out));
            return kStepContinue;
        }
        if (mode == kWalkSpherical && IsType(type, "uuid")) {
            const WalkStep s = TrySphericalUuid(src, p, size, 8, out);
            if (s != kStepContinue) return s;
        } else if (isMoov && IsType(type, "trak")) {
            const WalkStep s = WalkChildren(src, mode, false, p + 8, p + size, out);
            if (s != kStepContinue) return s;
        }
        p += size;
    }
    return kStepContinue;
}

}  // namespace

int ReadJpegExifPayload(platform::ByteSource& src, ByteBuffer* payload) {
    uint8_t b[4];
    if (!src.Seek(0, platform::kSeekSet) || !src.ReadExact(b, 2)) return kContainerNoData;
    if (b[0] != 0xFF || b[1] != 0xD8) return kContainerNoData;
    if (!src.ReadExact(b, 2)) return kContainerNoData;
    if (b[0] == 0xFF && b[1] == 0xE0) {
        if (!src.ReadExact(b, 2)) return kContainerNoData;
        const uint16_t len = Be16(b);
        if (len <= 2) return kContainerNoData;
        if (!src.Seek(len - 2, platform::kSeekCur) || !src.ReadExact(b, 2)) return kContainerNoData;
    }
    if (b[0] != 0xFF || b[1] != 0xE1) return kContainerNoData;
    if (!src.ReadExact(b, 2)) return kContainerNoData;
    const uint16_t len = Be16(b);
    if (len < 6) return kContainerNoData;
    if (!src.ReadExact(b, 4) || std::memcmp(b, "Exif", 4) != 0) return kContainerNoData;
    return ReadBlock(src, src.Tell(), len - 6, payload);
}

int WalkMp4Boxes(platform::ByteSource& src, BoxWalkMode mode, ByteBuffer* payload) {
    const int64_t fileSize = src.Size();
    if (fileSize < 0) return kContainerNoData;
    int64_t pos = 0;
    while (fileSize - pos >= 8) {
        uint8_t h[16];
        if (!src.Seek(pos, platform::kSeekSet) || !src.ReadExact(h, 8)) break;
        int64_t size = Be32(h);
        int64_t header = 8;
        if (size == 1) {
            // 64-bit size after the type ("mdat" of large recordings).
            if (!src.ReadExact(h + 8, 8)) break;
            const uint64_t large = Be64(h + 8);
            if (large > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) break;
            size = static_cast<int64_t>(large);
            header = 16;
        } else if (size == 0) {
            size = fileSize - pos;  // the last box runs to the end of the file
        }
        if (size < header) break;
        const uint8_t* type = h + 4;
        WalkStep step = kStepContinue;
        if (IsUserData(type)) {
            if (mode == kWalkUserData)
                step = FromBlock(ReadBlock(src, pos + header, size - header, payload));
        } else if (IsType(type, "moov")) {
            const int64_t end = size > fileSize - pos ? fileSize : pos + size;
            step = WalkChildren(src, mode, true, pos + header, end, payload);
        } else if (mode == kWalkSpherical && IsType(type, "uuid")) {
            step = TrySphericalUuid(src, pos, size, header, payload);
        }
        if (step == kStepFound) return kContainerFound;
        if (step == kStepNoMemory) return kContainerNoMemory;
        if (step == kStepAbort) return kContainerNoData;
        if (size > fileSize - pos) break;
        pos += size;
    }
    return kContainerNoData;
}
