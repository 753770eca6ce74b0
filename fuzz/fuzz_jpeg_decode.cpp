// The JPEG decoder over arbitrary bytes: headers, the APP1 carry and every strip.
#include <cstdint>
#include <vector>

#include "jpeg/jpeg.h"
#include "platform/file.h"

namespace {

void DecodeAll(const uint8_t* data, size_t size, JpegExifCarry* carry) {
    const JpegAllocator alloc = DefaultJpegAllocator();
    platform::MemorySource src(data, size);
    JpegDecoder dec;
    if (dec.Open(src, alloc, carry) != kJpegOk) return;
    // A strip is at most 16 luma rows; the planes hold exactly one.
    const size_t w = static_cast<size_t>(dec.OutputWidth());
    size_t cw = w;
    switch (dec.Layout()) {
        case kJpeg420:
        case kJpeg422:
            cw = w / 2;
            break;
        case kJpegHorizontalF:
            cw = w / static_cast<size_t>(dec.ChromaFactor());
            break;
        default:
            break;
    }
    std::vector<uint8_t> y(w * 16), cb(cw * 16 + 1), cr(cw * 16 + 1);
    for (;;) {
        int rows = 0;
        if (dec.DecodeStrip(y.data(), w, cb.data(), cr.data(), cw, &rows) != kJpegOk) break;
        if (rows == 0) break;
    }
    if (carry != nullptr) JpegReleaseExif(carry, alloc);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    DecodeAll(data, size, nullptr);
    JpegExifCarry carry;
    DecodeAll(data, size, &carry);
    return 0;
}
