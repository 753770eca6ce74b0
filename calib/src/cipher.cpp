#include "calib/cipher.h"

#include <array>
#include <cstring>

namespace {

// GF(2^8) arithmetic modulo x^8 + x^4 + x^3 + x + 1.
constexpr uint8_t XTime(uint8_t a) {
    return static_cast<uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1B : 0x00));
}

constexpr uint8_t GfMul(uint8_t a, uint8_t b) {
    uint8_t r = 0;
    while (b != 0) {
        if (b & 1) r ^= a;
        a = XTime(a);
        b = static_cast<uint8_t>(b >> 1);
    }
    return r;
}

constexpr uint8_t RotL8(uint8_t x, int s) {
    return static_cast<uint8_t>((x << s) | (x >> (8 - s)));
}

// The S-box: multiplicative inverse followed by the affine transform.
constexpr std::array<uint8_t, 256> MakeSbox() {
    std::array<uint8_t, 256> s{};
    for (int x = 0; x < 256; ++x) {
        // x^254 is the inverse of x in GF(2^8) (and maps 0 to 0).
        uint8_t inv = 1;
        uint8_t base = static_cast<uint8_t>(x);
        for (int e = 254; e != 0; e >>= 1) {
            if (e & 1) inv = GfMul(inv, base);
            base = GfMul(base, base);
        }
        s[x] = static_cast<uint8_t>(inv ^ RotL8(inv, 1) ^ RotL8(inv, 2) ^ RotL8(inv, 3) ^
                                    RotL8(inv, 4) ^ 0x63);
    }
    return s;
}

constexpr std::array<uint8_t, 256> MakeInvSbox(const std::array<uint8_t, 256>& s) {
    std::array<uint8_t, 256> inv{};
    for (int x = 0; x < 256; ++x) inv[s[x]] = static_cast<uint8_t>(x);
    return inv;
}

constexpr std::array<uint8_t, 256> kSbox = MakeSbox();
constexpr std::array<uint8_t, 256> kInvSbox = MakeInvSbox(kSbox);

void AddRoundKey(uint8_t st[16], const uint8_t* rk) {
    for (int i = 0; i < 16; ++i) st[i] ^= rk[i];
}

// State bytes are in input order: st[r + 4c] is row r, column c.
void ShiftRows(uint8_t st[16]) {
    uint8_t t[16];
    for (int c = 0; c < 4; ++c)
        for (int r = 0; r < 4; ++r) t[r + 4 * c] = st[r + 4 * ((c + r) % 4)];
    std::memcpy(st, t, 16);
}

void InvShiftRows(uint8_t st[16]) {
    uint8_t t[16];
    for (int c = 0; c < 4; ++c)
        for (int r = 0; r < 4; ++r) t[r + 4 * ((c + r) % 4)] = st[r + 4 * c];
    std::memcpy(st, t, 16);
}

void MixColumns(uint8_t st[16]) {
    for (int c = 0; c < 4; ++c) {
        uint8_t* col = st + 4 * c;
        const uint8_t a0 = col[0], a1 = col[1], a2 = col[2], a3 = col[3];
        col[0] = static_cast<uint8_t>(GfMul(a0, 2) ^ GfMul(a1, 3) ^ a2 ^ a3);
        col[1] = static_cast<uint8_t>(a0 ^ GfMul(a1, 2) ^ GfMul(a2, 3) ^ a3);
        col[2] = static_cast<uint8_t>(a0 ^ a1 ^ GfMul(a2, 2) ^ GfMul(a3, 3));
        col[3] = static_cast<uint8_t>(GfMul(a0, 3) ^ a1 ^ a2 ^ GfMul(a3, 2));
    }
}

void InvMixColumns(uint8_t st[16]) {
    for (int c = 0; c < 4; ++c) {
        uint8_t* col = st + 4 * c;
        const uint8_t a0 = col[0], a1 = col[1], a2 = col[2], a3 = col[3];
        col[0] = static_cast<uint8_t>(GfMul(a0, 14) ^ GfMul(a1, 11) ^ GfMul(a2, 13) ^ GfMul(a3, 9));
        col[1] = static_cast<uint8_t>(GfMul(a0, 9) ^ GfMul(a1, 14) ^ GfMul(a2, 11) ^ GfMul(a3, 13));
        col[2] = static_cast<uint8_t>(GfMul(a0, 13) ^ GfMul(a1, 9) ^ GfMul(a2, 14) ^ GfMul(a3, 11));
        col[3] = static_cast<uint8_t>(GfMul(a0, 11) ^ GfMul(a1, 13) ^ GfMul(a2, 9) ^ GfMul(a3, 14));
    }
}

// Maps a base64 character to its 6-bit value, or 0xFF outside the alphabet.
constexpr std::array<uint8_t, 256> MakeBase64Table() {
    std::array<uint8_t, 256> t{};
    for (auto& v : t) v = 0xFF;
    const char* alpha = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(alpha[i])] = static_cast<uint8_t>(i);
    return t;
}

constexpr std::array<uint8_t, 256> kBase64 = MakeBase64Table();

}  // namespace

void Aes128ExpandKey(const uint8_t key[16], Aes128Key* out) {
    uint8_t* w = out->roundKeys;
    std::memcpy(w, key, 16);
    uint8_t rcon = 1;
    for (int i = 4; i < 44; ++i) {
        uint8_t t[4];
        std::memcpy(t, w + 4 * (i - 1), 4);
        if (i % 4 == 0) {
            const uint8_t first = t[0];
            t[0] = static_cast<uint8_t>(kSbox[t[1]] ^ rcon);
            t[1] = kSbox[t[2]];
            t[2] = kSbox[t[3]];
            t[3] = kSbox[first];
            rcon = XTime(rcon);
        }
        for (int k = 0; k < 4; ++k) w[4 * i + k] = static_cast<uint8_t>(w[4 * (i - 4) + k] ^ t[k]);
    }
}

void Aes128EncryptBlock(const Aes128Key& key, const uint8_t in[16], uint8_t out[16]) {
    uint8_t st[16];
    std::memcpy(st, in, 16);
    AddRoundKey(st, key.roundKeys);
    for (int round = 1; round <= 10; ++round) {
        for (auto& b : st) b = kSbox[b];
        ShiftRows(st);
        if (round != 10) MixColumns(st);
        AddRoundKey(st, key.roundKeys + 16 * round);
    }
    std::memcpy(out, st, 16);
}

void Aes128DecryptBlock(const Aes128Key& key, const uint8_t in[16], uint8_t out[16]) {
    uint8_t st[16];
    std::memcpy(st, in, 16);
    AddRoundKey(st, key.roundKeys + 160);
    for (int round = 9; round >= 0; --round) {
        InvShiftRows(st);
        for (auto& b : st) b = kInvSbox[b];
        AddRoundKey(st, key.roundKeys + 16 * round);
        if (round != 0) InvMixColumns(st);
    }
    std::memcpy(out, st, 16);
}

long Aes128EcbDecryptPkcs7(const uint8_t key[16], const uint8_t* in, size_t len, uint8_t* out) {
    if (len == 0 || len % 16 != 0) return -1;
    Aes128Key ks;
    Aes128ExpandKey(key, &ks);
    for (size_t off = 0; off < len; off += 16) Aes128DecryptBlock(ks, in + off, out + off);
    const uint8_t pad = out[len - 1];
    if (pad < 1 || pad > 16) return -1;
    for (size_t i = len - pad; i < len; ++i) {
        if (out[i] != pad) return -1;
    }
    return static_cast<long>(len - pad);
}

size_t Base64TextLength(const uint8_t* text, size_t limit) {
    size_t n = 0;
    while (n < limit && kBase64[text[n]] != 0xFF) ++n;
    return n;
}

size_t Base64Decode(const uint8_t* text, size_t n, uint8_t* out) {
    size_t o = 0;
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const uint32_t v = (uint32_t{kBase64[text[i]]} << 18) |
                           (uint32_t{kBase64[text[i + 1]]} << 12) |
                           (uint32_t{kBase64[text[i + 2]]} << 6) | kBase64[text[i + 3]];
        out[o++] = static_cast<uint8_t>(v >> 16);
        out[o++] = static_cast<uint8_t>(v >> 8);
        out[o++] = static_cast<uint8_t>(v);
    }
    const size_t rest = n - i;
    if (rest >= 2) {
        uint32_t v = (uint32_t{kBase64[text[i]]} << 18) | (uint32_t{kBase64[text[i + 1]]} << 12);
        if (rest == 3) v |= uint32_t{kBase64[text[i + 2]]} << 6;
        out[o++] = static_cast<uint8_t>(v >> 16);
        if (rest == 3) out[o++] = static_cast<uint8_t>(v >> 8);
    }
    return o;
}
