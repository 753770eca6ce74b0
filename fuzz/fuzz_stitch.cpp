// The photo stitch over small pictures of any size, both camera kinds: decode,
// remap and encode. The input is an options byte, optionally 12 bytes of lens
// values, then a JPEG picture; a camera photo is made of them here (the
// picture with a valid calibration trailer as its first segment), so that
// mutations reach the picture and the geometry instead of the cipher layer.
//
// Options byte: bit 0 camera type (0: single lens, 1: dual lens), bits 1-2 the
// rotation (0, 90, 180, 270), bits 3-4 the quality index (modulo 3), bit 5
// lens values follow (three little-endian floats: centre x, centre y and
// radius for a single lens; field of view and the two radii for a dual lens).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "jpeg/jpeg.h"
#include "platform/file.h"
#include "stitch/stitch.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Pictures beyond this many pixels are skipped: the stitch is linear in them.
constexpr int64_t kMaxPixels = 1 << 16;
constexpr int kMaxSide = 2048;

void PutLe32(Bytes* b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        (*b)[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

void PutFloat(Bytes* b, size_t at, float f) {
    uint32_t v;
    std::memcpy(&v, &f, 4);
    PutLe32(b, at, v);
}

void AddRecord(Bytes* plain, uint16_t type, const Bytes& value) {
    const size_t n = value.size();
    const uint8_t head[4] = {static_cast<uint8_t>(type), static_cast<uint8_t>(type >> 8),
                             static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8)};
    plain->insert(plain->end(), head, head + 4);
    plain->insert(plain->end(), value.begin(), value.end());
}

// The plaintext of a camera's trailer: camera text, camera type, lens record.
Bytes Plaintext(int cameraType, const float* lens) {
    Bytes type(4, 0);
    PutLe32(&type, 0, static_cast<uint32_t>(cameraType));
    Bytes record;
    if (cameraType == 1) {
        record.assign(28, 0);
        const float values[3] = {lens ? lens[0] : 960.0f, lens ? lens[1] : 540.0f,
                                 lens ? lens[2] : 540.0f};
        for (int i = 0; i < 3; ++i) PutFloat(&record, 16 + 4 * static_cast<size_t>(i), values[i]);
    } else {
        record.assign(1652, 0);
        const float r1 = lens ? lens[1] : 470.0f, r2 = lens ? lens[2] : 470.0f;
        const float values[7] = {480, 480, r1, 480, 480, r2, 1.0f};  // cx1 .. r2, radial base
        PutFloat(&record, 12, lens ? lens[0] : 195.0f);              // field of view
        for (int i = 0; i < 7; ++i) PutFloat(&record, 20 + 4 * static_cast<size_t>(i), values[i]);
    }
    Bytes records;
    AddRecord(&records, 3, {'C', 'A', 'M'});
    AddRecord(&records, 5, type);
    AddRecord(&records, 7, record);
    Bytes plain(12, 0);
    PutLe32(&plain, 0, static_cast<uint32_t>(16 + 12 + records.size()));
    PutLe32(&plain, 4, 3);
    plain.insert(plain.end(), records.begin(), records.end());
    return plain;
}

// SOI, the APP1 "Exif" segment holding the trailer, then the picture less its SOI.
Bytes CameraPhoto(const std::string& trailer, const uint8_t* picture, size_t size) {
    Bytes out = {0xFF, 0xD8, 0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f'};
    out.insert(out.end(), trailer.begin(), trailer.end());
    const size_t len = out.size() - 4;
    out[4] = static_cast<uint8_t>(len >> 8);
    out[5] = static_cast<uint8_t>(len);
    if (size >= 2 && picture[0] == 0xFF && picture[1] == 0xD8) picture += 2, size -= 2;
    out.insert(out.end(), picture, picture + size);
    return out;
}

// Whether the picture's size is small enough to stitch within the time limit.
bool SmallPicture(const Bytes& photo) {
    const JpegAllocator alloc = DefaultJpegAllocator();
    platform::MemorySource src(photo.data(), photo.size());
    JpegDecoder dec;
    if (dec.Open(src, alloc, nullptr) != kJpegOk) return true;  // refused early anyway
    const int w = dec.OutputWidth(), h = dec.OutputHeight();
    return w <= kMaxSide && h <= kMaxSide && int64_t{w} * h <= kMaxPixels;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t options = data[0];
    const int cameraType = (options & 1) ? 2 : 1;
    const int rotation = 90 * ((options >> 1) & 3);
    const int quality = ((options >> 3) & 3) % 3;
    size_t at = 1;
    float lens[3];
    const bool withLens = (options & 0x20) != 0 && size >= at + 12;
    if (withLens) {
        std::memcpy(lens, data + at, 12);
        at += 12;
    }
    const std::string trailer = [&] {
        const Bytes plain = Plaintext(cameraType, withLens ? lens : nullptr);
        return TrailerText(plain.data(), plain.size());
    }();
    const Bytes photo = CameraPhoto(trailer, data + at, size - at);
    if (!SmallPicture(photo)) return 0;

    platform::MemorySource src(photo.data(), photo.size());
    platform::MemorySink sink;
    if (StitchPhotoFrom(src, sink, rotation, quality) != kStitchOk) return 0;
    // A stitched photo is a JPEG of the picture's even width by half of it.
    JpegDecoder in, out;
    platform::MemorySource picture(photo.data(), photo.size()), result(sink.data(), sink.size());
    const JpegAllocator alloc = DefaultJpegAllocator();
    if (in.Open(picture, alloc, nullptr) != kJpegOk ||
        out.Open(result, alloc, nullptr) != kJpegOk || out.Width() != in.OutputWidth() ||
        out.Height() != in.OutputWidth() / 2) {
        std::abort();
    }
    return 0;
}
