// AES-128 (FIPS-197) block decryption, ECB with PKCS#7, and base64 decoding.
#pragma once

#include <cstddef>
#include <cstdint>

// Expanded key schedule of AES-128: 11 round keys of 16 bytes.
struct Aes128Key {
    uint8_t roundKeys[176];
};

void Aes128ExpandKey(const uint8_t key[16], Aes128Key* out);
void Aes128EncryptBlock(const Aes128Key& key, const uint8_t in[16], uint8_t out[16]);
void Aes128DecryptBlock(const Aes128Key& key, const uint8_t in[16], uint8_t out[16]);

// Deciphers len bytes (a positive multiple of 16) in ECB mode into out (room
// for len bytes) and strips PKCS#7 padding. Returns the plaintext length, or
// -1 when the length is not a positive multiple of 16 or the padding is bad.
long Aes128EcbDecryptPkcs7(const uint8_t key[16], const uint8_t* in, size_t len, uint8_t* out);

// Upper bound of the decoded size of n base64 characters.
inline size_t Base64DecodedBound(size_t n) {
    return ((n + 3) / 4) * 3;
}

// Length of the base64 text at text[0..limit): it ends at the first byte
// outside the standard alphabet ("=", a zero byte or anything else).
size_t Base64TextLength(const uint8_t* text, size_t limit);

// Decodes n alphabet characters into out (room for Base64DecodedBound(n)).
// Groups of four give three bytes; a final group of two or three characters
// gives one or two; a lone final character gives nothing. Returns the count.
size_t Base64Decode(const uint8_t* text, size_t n, uint8_t* out);
