// The record parser and lens readers behind a valid cipher layer: the input
// is the plaintext, enciphered and wrapped in a JPEG here so that mutations
// reach the records instead of failing the padding check.
#include <string>

#include "calib/cipher.h"
#include "fuzz_common.h"

namespace {

// Base64 without "=": a final group of two or three characters.
std::string Base64(const std::vector<uint8_t>& in) {
    static const char* alpha = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < in.size(); i += 3) {
        const size_t n = in.size() - i < 3 ? in.size() - i : 3;
        uint32_t v = uint32_t{in[i]} << 16;
        if (n > 1) v |= uint32_t{in[i + 1]} << 8;
        if (n > 2) v |= in[i + 2];
        for (size_t c = 0; c <= n; ++c) out += alpha[(v >> (18 - 6 * c)) & 63];
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 40000) return 0;
    std::vector<uint8_t> plain(data, data + size);
    const uint8_t pad = static_cast<uint8_t>(16 - size % 16);  // PKCS#7
    plain.insert(plain.end(), pad, pad);
    Aes128Key key;
    Aes128ExpandKey(kTrailerKey, &key);
    std::vector<uint8_t> cipher(plain.size());
    for (size_t off = 0; off < plain.size(); off += 16)
        Aes128EncryptBlock(key, plain.data() + off, cipher.data() + off);

    const std::string text = std::string(kTrailerMarker) + "...." + Base64(cipher);
    std::vector<uint8_t> jpeg = {0xFF, 0xD8, 0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f'};
    jpeg.insert(jpeg.end(), text.begin(), text.end());
    const size_t len = jpeg.size() - 4;
    if (len > 0xFFFF) return 0;
    jpeg[4] = static_cast<uint8_t>(len >> 8);
    jpeg[5] = static_cast<uint8_t>(len);
    RunAllReaders(jpeg.data(), jpeg.size(), kTrailerInJpeg);
    return 0;
}
