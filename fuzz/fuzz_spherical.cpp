// The spherical-metadata reader over arbitrary bytes: the box walk, and the
// XML test on the raw bytes.
#include <cstddef>
#include <cstdint>

#include "calib/spherical.h"
#include "platform/file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    platform::MemorySource src(data, size);
    IsSphericalVideoFrom(src);
    IsSphericalXml(data, size);
    return 0;
}
