// Allocation and tables shared by the JPEG decoder and encoder.
#include <cstdlib>

#include "jpeg/jpeg.h"
#include "jpeg_tables.h"

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
