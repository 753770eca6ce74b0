// The calibration readers over arbitrary bytes taken as an MP4 video.
#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    RunAllReaders(data, size, kTrailerInMp4);
    return 0;
}
