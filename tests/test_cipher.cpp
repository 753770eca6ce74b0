// AES-128 against the FIPS-197 vectors and OpenSSL; base64 and PKCS#7 rules.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "calib/cipher.h"

namespace {

std::vector<uint8_t> Hex(const char* s) {
    std::vector<uint8_t> out;
    for (size_t i = 0; s[i] && s[i + 1]; i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoi(std::string(s + i, 2), nullptr, 16)));
    }
    return out;
}

std::vector<uint8_t> OpenSslEncrypt(const uint8_t key[16], const std::vector<uint8_t>& plain) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    std::vector<uint8_t> out(plain.size() + 32);
    int n1 = 0, n2 = 0;
    EVP_EncryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key, nullptr);  // PKCS#7 by default
    EVP_EncryptUpdate(ctx, out.data(), &n1, plain.data(), static_cast<int>(plain.size()));
    EVP_EncryptFinal_ex(ctx, out.data() + n1, &n2);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<size_t>(n1 + n2));
    return out;
}

}  // namespace

TEST(Aes128, MatchesFips197Vectors) {
    struct Vector {
        const char* key;
        const char* plain;
        const char* cipher;
    } vectors[] = {
        // Appendix B and Appendix C.1.
        {"2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734",
         "3925841d02dc09fbdc118597196a0b32"},
        {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
         "69c4e0d86a7b0430d8cdb78070b4c55a"},
    };
    for (const Vector& v : vectors) {
        Aes128Key ks;
        Aes128ExpandKey(Hex(v.key).data(), &ks);
        uint8_t out[16];
        Aes128EncryptBlock(ks, Hex(v.plain).data(), out);
        EXPECT_EQ(std::vector<uint8_t>(out, out + 16), Hex(v.cipher));
        Aes128DecryptBlock(ks, Hex(v.cipher).data(), out);
        EXPECT_EQ(std::vector<uint8_t>(out, out + 16), Hex(v.plain));
    }
    // The last round key of the Appendix A.1 expansion.
    Aes128Key ks;
    Aes128ExpandKey(Hex("2b7e151628aed2a6abf7158809cf4f3c").data(), &ks);
    EXPECT_EQ(std::vector<uint8_t>(ks.roundKeys + 160, ks.roundKeys + 176),
              Hex("d014f9a8c9ee2589e13f0cc8b6630ca6"));
}

TEST(Aes128, DecryptsWhatOpenSslEnciphersForEveryPaddingLength) {
    std::mt19937 rng(7);
    for (size_t len = 0; len <= 80; ++len) {
        uint8_t key[16];
        for (auto& k : key) k = static_cast<uint8_t>(rng());
        std::vector<uint8_t> plain(len);
        for (auto& b : plain) b = static_cast<uint8_t>(rng());
        const std::vector<uint8_t> cipher = OpenSslEncrypt(key, plain);
        std::vector<uint8_t> out(cipher.size());
        const long n = Aes128EcbDecryptPkcs7(key, cipher.data(), cipher.size(), out.data());
        ASSERT_EQ(n, static_cast<long>(len)) << "length " << len;
        EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + n), plain);
    }
}

TEST(Aes128, RefusesBadLengthsAndBadPadding) {
    uint8_t key[16] = {};
    uint8_t buf[48] = {};
    EXPECT_EQ(Aes128EcbDecryptPkcs7(key, buf, 0, buf), -1);
    EXPECT_EQ(Aes128EcbDecryptPkcs7(key, buf, 17, buf), -1);

    Aes128Key ks;
    Aes128ExpandKey(key, &ks);
    auto encryptLastByte = [&](std::vector<uint8_t> plain) {
        std::vector<uint8_t> c(plain.size());
        for (size_t off = 0; off < plain.size(); off += 16)
            Aes128EncryptBlock(ks, plain.data() + off, c.data() + off);
        std::vector<uint8_t> out(c.size());
        return Aes128EcbDecryptPkcs7(key, c.data(), c.size(), out.data());
    };
    std::vector<uint8_t> block(16, 0x41);
    block[15] = 0;  // a padding count of 0
    EXPECT_EQ(encryptLastByte(block), -1);
    block[15] = 17;  // more than a block
    EXPECT_EQ(encryptLastByte(block), -1);
    block[15] = 3;
    block[14] = 3;
    block[13] = 2;  // the padding bytes disagree
    EXPECT_EQ(encryptLastByte(block), -1);
    block[13] = 3;
    EXPECT_EQ(encryptLastByte(block), 13);
    EXPECT_EQ(encryptLastByte(std::vector<uint8_t>(16, 16)), 0);
}

TEST(Base64, DecodesGroupsAndShortFinalGroups) {
    auto decode = [](const std::string& text) {
        const auto* t = reinterpret_cast<const uint8_t*>(text.data());
        const size_t n = Base64TextLength(t, text.size());
        std::vector<uint8_t> out(Base64DecodedBound(n));
        out.resize(Base64Decode(t, n, out.data()));
        return std::string(out.begin(), out.end());
    };
    EXPECT_EQ(decode("TWFu"), "Man");
    EXPECT_EQ(decode("TWE="), "Ma");
    EXPECT_EQ(decode("TWE"), "Ma");  // no padding needed
    EXPECT_EQ(decode("TQ=="), "M");
    EXPECT_EQ(decode("TQ"), "M");
    EXPECT_EQ(decode("T"), "");  // a lone character yields nothing
    EXPECT_EQ(decode("+/+/"), "\xfb\xff\xbf");
    // The text ends at the first byte outside the alphabet.
    EXPECT_EQ(decode(std::string("TWFu\0TWFu", 9)), "Man");
    EXPECT_EQ(decode("TWFu TWFu"), "Man");
    EXPECT_EQ(decode("TWFu-TWFu"), "Man");
    EXPECT_EQ(decode("!!!!"), "");
    EXPECT_EQ(Base64DecodedBound(0), 0u);
    EXPECT_EQ(Base64DecodedBound(1), 3u);
    EXPECT_EQ(Base64DecodedBound(4), 3u);
    EXPECT_EQ(Base64DecodedBound(5), 6u);
}
