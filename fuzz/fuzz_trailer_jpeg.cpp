// The calibration readers over arbitrary bytes taken as a JPEG photo.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    RunAllReaders(data, size, kTrailerInJpeg);
    return 0;
}
