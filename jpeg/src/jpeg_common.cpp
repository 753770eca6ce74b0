// Allocation and tables shared by the JPEG decoder and encoder.
#include <cstdlib>

#include "jpeg/jpeg.h"
#include "jpeg_tables.h"

const uint8_t kJpegZigzag[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
};

namespace {
void* MallocAllocate(void*, size_t bytes) {
    return std::malloc(bytes);
}
void MallocRelease(void*, void* block) {
    std::free(block);
}
}  // namespace

JpegAllocator DefaultJpegAllocator() {
    return JpegAllocator{&MallocAllocate, &MallocRelease, nullptr};
}

void JpegReleaseExif(JpegExifCarry* carry, const JpegAllocator& alloc) {
    if (carry == nullptr) return;
    if (carry->data != nullptr && alloc.release != nullptr)
        alloc.release(alloc.opaque, carry->data);
    carry->data = nullptr;
    carry->size = 0;
}
