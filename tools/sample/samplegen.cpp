// Calibration records, the enciphered trailer and small box helpers.
#include "sample/samplegen.h"

#include "platform/bytes.h"

#include <algorithm>

#include <openssl/evp.h>

#include <cstring>

namespace sample {
namespace {

constexpr char kMarker[] = "QUARTZNEBULAFORM";
constexpr char kBadMarker[] = "QUARTZNEBULAFORX";
constexpr char kKey[] = "5830194726058371";
constexpr size_t kMarkerLen = 16;

using platform::AppendLe16;
using platform::AppendLe32;
using platform::PutLe32;

void StoreF32(uint8_t* p, float f) {
    uint32_t v;
    std::memcpy(&v, &f, sizeof v);
    PutLe32(p, v);
}

void StoreI32(uint8_t* p, int32_t i) {
    PutLe32(p, static_cast<uint32_t>(i));
}

void PutBE(std::vector<uint8_t>& out, uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>((v >> (8 * i)) & 0xff));
}

// AES-128 ECB over whole blocks; padding is the caller's business so that broken padding can be
// produced on purpose.
bool EncryptBlocks(const std::vector<uint8_t>& plain, std::vector<uint8_t>& cipher) {
    if (plain.empty() || plain.size() % 16 != 0) return false;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (!ctx) return false;
    cipher.assign(plain.size() + 16, 0);
    int len1 = 0, len2 = 0;
    bool ok = EVP_EncryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr,
                                 reinterpret_cast<const unsigned char*>(kKey), nullptr) == 1 &&
              EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
              EVP_EncryptUpdate(ctx, cipher.data(), &len1, plain.data(),
                                static_cast<int>(plain.size())) == 1 &&
              EVP_EncryptFinal_ex(ctx, cipher.data() + len1, &len2) == 1;
    EVP_CIPHER_CTX_free(ctx);
    if (!ok || static_cast<size_t>(len1 + len2) != plain.size()) return false;
    cipher.resize(plain.size());
    return true;
}

}  // namespace

std::vector<uint8_t> EncodeSingleLensRecord(const SingleLensValues& v) {
    std::vector<uint8_t> out(28, 0);
    StoreF32(&out[16], v.cx);
    StoreF32(&out[20], v.cy);
    StoreF32(&out[24], v.r);
    return out;
}

std::vector<uint8_t> EncodeDualLensRecord(const DualLensValues& v) {
    std::vector<uint8_t> out(v.long1656 ? 1656 : 1652, 0);
    StoreF32(&out[12], v.fov);
    StoreI32(&out[16], v.model);
    const float lens[6] = {v.cx1, v.cy1, v.r1, v.cx2, v.cy2, v.r2};
    for (int i = 0; i < 6; ++i) StoreF32(&out[20 + 4 * i], lens[i]);
    StoreF32(&out[44], v.radialBase);
    StoreI32(&out[48], v.n);
    for (size_t i = 0; i < 50; ++i) {
        for (size_t k = 0; k < 4; ++k) {
            StoreF32(&out[52 + 16 * i + 4 * k], v.lines1[i][k]);
            StoreF32(&out[852 + 16 * i + 4 * k], v.lines2[i][k]);
        }
    }
    return out;
}

Record CameraTypeRecord(int32_t type) {
    Record r;
    r.type = 5;
    r.value.resize(4);
    StoreI32(r.value.data(), type);
    return r;
}

Record CameraTextRecord(const std::string& text) {
    Record r;
    r.type = 3;
    r.value.assign(text.begin(), text.end());
    return r;
}

std::vector<Record> DefaultRecords(int cameraType) {
    std::vector<Record> out;
    try {
        out.push_back(CameraTextRecord("ORBIVUE SAMPLE CAM"));
        out.push_back(CameraTypeRecord(cameraType));
        Record lens;
        lens.type = 7;
        if (cameraType == 1) {
            lens.value = EncodeSingleLensRecord(SingleLensValues{});
            out.push_back(lens);
        } else if (cameraType == 2) {
            lens.value = EncodeDualLensRecord(DualLensValues{});
            out.push_back(lens);
        }
    } catch (...) {
        out.clear();
    }
    return out;
}

std::vector<uint8_t> Base64Encode(const uint8_t* data, size_t size, bool pad) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::vector<uint8_t> out;
    try {
        out.reserve((size + 2) / 3 * 4);
        size_t i = 0;
        for (; i + 3 <= size; i += 3) {
            uint32_t v = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8) | data[i + 2];
            for (int k = 3; k >= 0; --k) out.push_back(kAlphabet[(v >> (6 * k)) & 63]);
        }
        size_t rest = size - i;
        if (rest > 0) {
            uint32_t v = uint32_t{data[i]} << 16;
            if (rest == 2) v |= uint32_t{data[i + 1]} << 8;
            out.push_back(kAlphabet[(v >> 18) & 63]);
            out.push_back(kAlphabet[(v >> 12) & 63]);
            if (rest == 2) out.push_back(kAlphabet[(v >> 6) & 63]);
            if (pad) out.insert(out.end(), 3 - rest, '=');
        }
    } catch (...) {
        out.clear();
    }
    return out;
}

std::vector<uint8_t> BuildTrailer(const TrailerSpec& want) {
    try {
        // Plaintext: header (total, count, reserved) followed by the records.
        std::vector<uint8_t> plain;
        AppendLe32(plain, 0);
        AppendLe32(plain, static_cast<uint32_t>(want.declaredCount >= 0 ? want.declaredCount
                                                                        : want.records.size()));
        AppendLe32(plain, 0);
        for (const Record& rec : want.records) {
            AppendLe16(plain, rec.type);
            AppendLe16(plain, static_cast<uint16_t>(rec.lengthField >= 0 ? rec.lengthField
                                                                         : rec.value.size()));
            plain.insert(plain.end(), rec.value.begin(), rec.value.end());
        }
        PutLe32(plain.data(),
                static_cast<uint32_t>(want.declaredTotal >= 0 ? want.declaredTotal
                                                              : kMarkerLen + plain.size()));

        const size_t padCount = 16 - plain.size() % 16;
        plain.insert(plain.end(), padCount, static_cast<uint8_t>(padCount));
        if (want.corruption == Corruption::BadPadding) plain.back() = 0;

        std::vector<uint8_t> cipher;
        if (!EncryptBlocks(plain, cipher)) return {};
        if (want.corruption == Corruption::CipherNotBlockMultiple) cipher.resize(cipher.size() - 5);

        std::vector<uint8_t> out(want.leading);
        const char* marker = want.corruption == Corruption::NoMarker ? kBadMarker : kMarker;
        out.insert(out.end(), marker, marker + kMarkerLen);
        out.insert(out.end(), 4, 0);  // not interpreted by the readers
        if (want.corruption == Corruption::GarbageBase64) {
            out.insert(out.end(), 4, '!');
        } else if (want.corruption != Corruption::EmptyBase64) {
            std::vector<uint8_t> text =
                Base64Encode(cipher.data(), cipher.size(), want.base64Padding);
            if (text.empty()) return {};
            out.insert(out.end(), text.begin(), text.end());
        }
        out.push_back(0);
        out.insert(out.end(), want.trailing.begin(), want.trailing.end());
        return out;
    } catch (...) {
        return {};
    }
}

std::vector<uint8_t> Box(const char type[4], const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> out;
    try {
        out.reserve(payload.size() + 8);
        PutBE(out, payload.size() + 8, 4);
        out.insert(out.end(), type, type + 4);
        out.insert(out.end(), payload.begin(), payload.end());
    } catch (...) {
        out.clear();
    }
    return out;
}

std::vector<uint8_t> LargeBox(const char type[4], const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> out;
    try {
        out.reserve(payload.size() + 16);
        PutBE(out, 1, 4);
        out.insert(out.end(), type, type + 4);
        PutBE(out, payload.size() + 16, 8);
        out.insert(out.end(), payload.begin(), payload.end());
    } catch (...) {
        out.clear();
    }
    return out;
}

std::vector<uint8_t> SphericalUuidBox(const std::string& xml) {
    static const uint8_t kId[16] = {0xFF, 0xCC, 0x82, 0x63, 0xF8, 0x55, 0x4A, 0x93,
                                    0x88, 0x14, 0x58, 0x7A, 0x02, 0x52, 0x1F, 0xDD};
    try {
        std::vector<uint8_t> payload(16 + xml.size());
        std::copy(kId, kId + 16, payload.begin());
        std::copy(xml.begin(), xml.end(), payload.begin() + 16);
        return Box("uuid", payload);
    } catch (...) {
        return {};
    }
}

std::string StandardSphericalXml() {
    return "<?xml version=\"1.0\"?>"
           "<rdf:SphericalVideo\n"
           "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"\n"
           "xmlns:GSpherical=\"http://ns.google.com/videos/1.0/spherical/\">"
           "<GSpherical:Spherical>true</GSpherical:Spherical>"
           "<GSpherical:Stitched>true</GSpherical:Stitched>"
           "<GSpherical:StitchingSoftware>Orbivue</GSpherical:StitchingSoftware>"
           "<GSpherical:ProjectionType>equirectangular</GSpherical:ProjectionType>"
           "</rdf:SphericalVideo>";
}

}  // namespace sample
