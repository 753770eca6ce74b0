// Shared pieces of the fuzzers: every trailer reader over the same bytes, and
// a valid cipher layer around a plaintext so that mutations reach what lies
// behind it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "calib/cipher.h"
#include "calib/trailer.h"
#include "lens/mesh.h"
#include "platform/file.h"

inline void RunAllReaders(const uint8_t* data, size_t size, TrailerContainer container) {
    static std::vector<float> a(kStitchMeshFloats), b(kStitchMeshFloats);
    platform::MemorySource src(data, size);
    ReadCameraTypeFrom(src);
    ReadSingleLensCalibrationFrom(src, container, 1920, 1080, a.data());
    ReadSingleLensCalibrationFrom(src, container, 1440, 1080, a.data());
    ReadDualLensCalibrationFrom(src, container, 1920, 960, a.data(), b.data());
}

// Base64 without "=": a final group of two or three characters.
inline std::string Base64(const std::vector<uint8_t>& in) {
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

// The trailer text of a plaintext: marker, four bytes, the enciphered
// plaintext (PKCS#7) in base64.
inline std::string TrailerText(const uint8_t* data, size_t size) {
    std::vector<uint8_t> plain(data, data + size);
    const uint8_t pad = static_cast<uint8_t>(16 - size % 16);  // PKCS#7
    plain.insert(plain.end(), pad, pad);
    Aes128Key key;
    Aes128ExpandKey(kTrailerKey, &key);
    std::vector<uint8_t> cipher(plain.size());
    for (size_t off = 0; off < plain.size(); off += 16)
        Aes128EncryptBlock(key, plain.data() + off, cipher.data() + off);
    return std::string(kTrailerMarker) + "...." + Base64(cipher);
}
