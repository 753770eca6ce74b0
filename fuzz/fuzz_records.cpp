// The record parser and lens readers behind a valid cipher layer: the input
// is the plaintext, enciphered and wrapped in a JPEG here so that mutations
// reach the records instead of failing the padding check.
#include <string>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 40000) return 0;
    const std::string text = TrailerText(data, size);
    std::vector<uint8_t> jpeg = {0xFF, 0xD8, 0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f'};
    jpeg.insert(jpeg.end(), text.begin(), text.end());
    const size_t len = jpeg.size() - 4;
    if (len > 0xFFFF) return 0;
    jpeg[4] = static_cast<uint8_t>(len >> 8);
    jpeg[5] = static_cast<uint8_t>(len);
    RunAllReaders(jpeg.data(), jpeg.size(), kTrailerInJpeg);
    return 0;
}
