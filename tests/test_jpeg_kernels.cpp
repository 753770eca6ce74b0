// The JPEG coder's per-block kernels: every table this processor runs must give
// the plain reference's results bit for bit, on random blocks and on the
// extremes (flat black and white, checkerboards, the largest coefficients).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "../jpeg/src/jpeg_kernels.h"
#include "../jpeg/src/jpeg_tables.h"

namespace {

using Samples = std::array<uint8_t, 64>;
using Coefs = std::array<int16_t, 64>;

// The tables to check against the plain one.
std::vector<const JpegKernels*> Vectorised() {
    size_t count = 0;
    const JpegKernels* const* list = JpegRunnableKernels(&count);
    std::vector<const JpegKernels*> out;
    for (size_t i = 0; i < count; ++i) {
        if (list[i] != &JpegPlainKernels()) out.push_back(list[i]);
    }
    return out;
}

// sign(cos((2x+1)u pi/16)) as +1/-1: the pattern that drives one coefficient furthest.
int BasisSign(int u, int x) {
    return std::cos((2 * x + 1) * u * M_PI / 16) >= 0 ? 1 : -1;
}

std::vector<Samples> SampleBlocks(std::mt19937& rng) {
    std::vector<Samples> blocks;
    auto add = [&](auto f) {
        Samples s;
        for (int i = 0; i < 64; ++i) s[i] = static_cast<uint8_t>(f(i % 8, i / 8));
        blocks.push_back(s);
    };
    for (int v : {0, 1, 127, 128, 254, 255}) add([&](int, int) { return v; });
    add([](int x, int y) { return (x + y) & 1 ? 255 : 0; });
    add([](int x, int y) { return (x + y) & 1 ? 0 : 255; });
    add([](int x, int) { return x & 1 ? 255 : 0; });
    add([](int, int y) { return y & 1 ? 255 : 0; });
    add([](int x, int y) { return ((x >> 1) + (y >> 1)) & 1 ? 255 : 0; });
    add([](int x, int y) { return x * 32 + y; });
    // For each coefficient, black and white laid out along its basis
    // function and against it: its largest magnitudes of either sign.
    for (int v = 0; v < 8; ++v) {
        for (int u = 0; u < 8; ++u) {
            add([&](int x, int y) { return BasisSign(u, x) * BasisSign(v, y) > 0 ? 255 : 0; });
            add([&](int x, int y) { return BasisSign(u, x) * BasisSign(v, y) > 0 ? 0 : 255; });
        }
    }
    for (int k = 0; k < 64; ++k) add([&](int x, int y) { return x + 8 * y == k ? 255 : 0; });
    for (int n = 0; n < 400; ++n) {
        const int kind = n % 4;
        const int base = static_cast<int>(rng() % 256);
        add([&](int x, int y) -> int {
            switch (kind) {
                case 0:
                    return static_cast<int>(rng() % 256);
                case 1:
                    return rng() & 1 ? 255 : 0;
                case 2:
                    return std::min(255, std::max(0, base + static_cast<int>(rng() % 9) - 4));
                default:
                    return (base + x * 9 + y * 5) & 255;
            }
        });
    }
    return blocks;
}

template <typename F>
JpegQuantTable MakeQuant(F entry) {
    JpegQuantTable q;
    for (int i = 0; i < 64; ++i) q.value[i] = static_cast<uint8_t>(entry(i));
    JpegPrepareQuantTable(&q);
    return q;
}

TEST(JpegKernels, PlainFirstAndVectorisedFormsPresent) {
    size_t count = 0;
    const JpegKernels* const* list = JpegRunnableKernels(&count);
    ASSERT_GE(count, 1u);
    EXPECT_EQ(list[0], &JpegPlainKernels());
    std::set<std::string> names;
    for (size_t i = 0; i < count; ++i) {
        ASSERT_NE(list[i]->forwardDct, nullptr);
        ASSERT_NE(list[i]->forwardDctPair, nullptr);
        ASSERT_NE(list[i]->inverseDct, nullptr);
        ASSERT_NE(list[i]->acMask, nullptr);
        EXPECT_TRUE(names.insert(list[i]->name).second) << list[i]->name;
    }
#if defined(__x86_64__)
    EXPECT_TRUE(names.count("sse2")) << "every x86-64 processor runs the SSE2 kernels";
#endif
}

TEST(JpegKernels, ActiveTableFollowsTheEnvironment) {
    size_t count = 0;
    const JpegKernels* const* list = JpegRunnableKernels(&count);
    const char* plain = std::getenv("ORBIVUE_JPEG_PLAIN");
    const bool forced = plain != nullptr && *plain != '\0' && std::string(plain) != "0";
    EXPECT_EQ(&JpegActiveKernels(), forced ? &JpegPlainKernels() : list[count - 1])
        << "active: " << JpegActiveKernels().name;
}

TEST(JpegKernels, ForwardDctMatchesPlainOnEveryQuantiser) {
    std::mt19937 rng(11);
    const std::vector<Samples> blocks = SampleBlocks(rng);
    std::vector<JpegQuantTable> tables;
    tables.push_back(MakeQuant([](int) { return 1; }));  // the largest quantised values
    tables.push_back(MakeQuant([](int) { return 255; }));
    tables.push_back(MakeQuant([](int i) { return 1 << (i % 8); }));  // exact divisions
    // Every entry takes every value 1..255 over these tables.
    for (int t = 0; t < 255; ++t) {
        tables.push_back(MakeQuant([&](int i) { return 1 + (i * 37 + t) % 255; }));
    }

    // The block sits at an odd column of a wider picture, so loads are unaligned.
    constexpr size_t kStride = 27, kX = 5;
    std::vector<uint8_t> picture(8 * kStride);
    const uint8_t* rows[8];
    for (int r = 0; r < 8; ++r) rows[r] = picture.data() + r * kStride;
    const JpegKernels& plain = JpegPlainKernels();
    for (const JpegKernels* k : Vectorised()) {
        SCOPED_TRACE(k->name);
        for (size_t b = 0; b < blocks.size(); ++b) {
            for (int r = 0; r < 8; ++r)
                std::memcpy(&picture[r * kStride + kX], &blocks[b][r * 8], 8);
            for (size_t t = 0; t < tables.size(); ++t) {
                Coefs want, got;
                plain.forwardDct(rows, kX, tables[t], want.data());
                k->forwardDct(rows, kX, tables[t], got.data());
                ASSERT_EQ(want, got) << "block " << b << " table " << t;
            }
        }
    }
}

uint64_t NonZeroMask(const Coefs& c) {
    uint64_t m = 0;
    for (int i = 0; i < 64; ++i) m |= static_cast<uint64_t>(c[i] != 0) << i;
    return m;
}

// The encoder transforms blocks two at a time (left and right luma blocks,
// then Cb with Cr from other rows): both halves must equal the plain single
// transform, with the right nonzero masks, whatever sits in the other half.
TEST(JpegKernels, ForwardDctPairAndMasksMatchPlain) {
    std::mt19937 rng(13);
    const std::vector<Samples> blocks = SampleBlocks(rng);
    std::vector<JpegQuantTable> tables;
    tables.push_back(MakeQuant([](int) { return 1; }));
    tables.push_back(MakeQuant([](int) { return 255; }));
    tables.push_back(MakeQuant([](int i) { return 1 + i * 4; }));  // sparse high frequencies
    for (int t = 0; t < 8; ++t) tables.push_back(MakeQuant([&](int) { return 1 + rng() % 255; }));

    // A: two blocks side by side at an odd column; B: a block of other rows.
    constexpr size_t kStride = 29, kX = 3;
    std::vector<uint8_t> left(8 * kStride), other(8 * kStride);
    const uint8_t* rowsA[8];
    const uint8_t* rowsB[8];
    for (int r = 0; r < 8; ++r) {
        rowsA[r] = left.data() + r * kStride;
        rowsB[r] = other.data() + r * kStride;
    }
    const JpegKernels& plain = JpegPlainKernels();
    size_t count = 0;
    const JpegKernels* const* list = JpegRunnableKernels(&count);
    for (size_t i = 0; i < count; ++i) {
        const JpegKernels* k = list[i];
        SCOPED_TRACE(k->name);
        for (size_t b = 0; b < blocks.size(); ++b) {
            const Samples& sa = blocks[b];
            const Samples& sb = blocks[(b * 7 + 3) % blocks.size()];
            const Samples& sc = blocks[(b * 13 + 5) % blocks.size()];
            for (int r = 0; r < 8; ++r) {
                std::memcpy(&left[r * kStride + kX], &sa[r * 8], 8);
                std::memcpy(&left[r * kStride + kX + 8], &sb[r * 8], 8);
                std::memcpy(&other[r * kStride + kX + 1], &sc[r * 8], 8);
            }
            const JpegQuantTable& q = tables[b % tables.size()];
            Coefs wantA, wantB, wantC, got, gotA, gotB;
            plain.forwardDct(rowsA, kX, q, wantA.data());
            plain.forwardDct(rowsA, kX + 8, q, wantB.data());
            plain.forwardDct(rowsB, kX + 1, q, wantC.data());
            ASSERT_EQ(k->forwardDct(rowsA, kX, q, got.data()), NonZeroMask(wantA)) << b;
            ASSERT_EQ(got, wantA) << b;
            uint64_t masks[2] = {0, 0};
            k->forwardDctPair(rowsA, kX, rowsA, kX + 8, q, gotA.data(), gotB.data(), masks);
            ASSERT_EQ(gotA, wantA) << "side by side, block " << b;
            ASSERT_EQ(gotB, wantB) << "side by side, block " << b;
            ASSERT_EQ(masks[0], NonZeroMask(wantA)) << b;
            ASSERT_EQ(masks[1], NonZeroMask(wantB)) << b;
            k->forwardDctPair(rowsB, kX + 1, rowsA, kX, q, gotA.data(), gotB.data(), masks);
            ASSERT_EQ(gotA, wantC) << "other rows, block " << b;
            ASSERT_EQ(gotB, wantA) << "other rows, block " << b;
            ASSERT_EQ(masks[0], NonZeroMask(wantC)) << b;
            ASSERT_EQ(masks[1], NonZeroMask(wantA)) << b;
        }
    }
}

// The encoder turns the transform's natural-order mask into zigzag order by
// table; it must agree with the mask of the zigzag-ordered block.
TEST(JpegKernels, ZigzagAcMaskOfNaturalMasks) {
    const JpegKernels& plain = JpegPlainKernels();
    const auto check = [&](uint64_t natural) {
        Coefs zz{};
        for (int k = 0; k < 64; ++k) zz[k] = static_cast<int16_t>((natural >> kJpegZigzag[k]) & 1);
        ASSERT_EQ(JpegZigzagAcMask(natural), plain.acMask(zz.data())) << std::hex << natural;
    };
    check(0);
    check(1);  // DC only: no AC bits
    check(~uint64_t{0});
    for (int n = 0; n < 64; ++n) check(uint64_t{1} << n);
    std::mt19937_64 rng(17);
    for (int n = 0; n < 5000; ++n) check(rng() & rng());
}

TEST(JpegKernels, ForwardDctOfFlatBlocks) {
    // Only the DC term survives: (64 * (v - 128)) / 8 / q, rounded half away from zero.
    const JpegQuantTable ones = MakeQuant([](int) { return 1; });
    size_t count = 0;
    const JpegKernels* const* list = JpegRunnableKernels(&count);
    for (size_t i = 0; i < count; ++i) {
        for (int v : {0, 128, 255}) {
            Samples s;
            s.fill(static_cast<uint8_t>(v));
            const uint8_t* rows[8];
            for (int r = 0; r < 8; ++r) rows[r] = s.data() + r * 8;
            Coefs got;
            list[i]->forwardDct(rows, 0, ones, got.data());
            Coefs want{};
            want[0] = static_cast<int16_t>(8 * (v - 128));
            EXPECT_EQ(want, got) << list[i]->name << " " << v;
        }
    }
}

TEST(JpegKernels, InverseDctMatchesPlainEvenOnGarbage) {
    std::mt19937 rng(5);
    std::vector<std::pair<Coefs, std::array<uint16_t, 64>>> cases;
    auto add = [&](const Coefs& c, uint16_t q) {
        std::array<uint16_t, 64> quant;
        quant.fill(q);
        cases.push_back({c, quant});
    };
    for (uint16_t q : {1, 2, 99, 255, 4096, 65535}) {
        for (int16_t v : {int16_t{32767}, int16_t{-32768}, int16_t{1}, int16_t{-1}}) {
            Coefs c;
            c.fill(v);
            add(c, q);
            for (int i = 0; i < 64; ++i) c[i] = static_cast<int16_t>((i & 1) ? v : -v);
            add(c, q);
            Coefs one{};
            for (int k = 0; k < 64; ++k) {
                one.fill(0);
                one[k] = v;
                add(one, q);
            }
        }
        // Every coefficient at its extreme with the sign that drives sample
        // (0, 0) or (7, 7) furthest.
        for (int corner : {0, 7}) {
            Coefs c;
            for (int k = 0; k < 64; ++k) {
                const int s = BasisSign(k % 8, corner) * BasisSign(k / 8, corner);
                c[k] = static_cast<int16_t>(s > 0 ? 32767 : -32768);
            }
            add(c, q);
        }
    }
    for (int n = 0; n < 30000; ++n) {
        Coefs c{};
        std::array<uint16_t, 64> quant;
        const bool garbage = n % 3 == 0;
        for (int i = 0; i < 64; ++i) {
            quant[i] = static_cast<uint16_t>(garbage ? rng() : 1 + rng() % 255);
            // Typical blocks: a few small coefficients, mostly low frequencies.
            if (garbage) {
                c[i] = static_cast<int16_t>(rng());
            } else if (rng() % (2 + i) == 0) {
                c[i] = static_cast<int16_t>(static_cast<int>(rng() % 129) - 64);
            }
        }
        cases.push_back({c, quant});
    }

    // Rows of 13 bytes with guard bytes around: the whole buffer must match,
    // so a kernel that writes outside its 8x8 samples fails too.
    constexpr size_t kStride = 13;
    const JpegKernels& plain = JpegPlainKernels();
    for (const JpegKernels* k : Vectorised()) {
        SCOPED_TRACE(k->name);
        for (size_t i = 0; i < cases.size(); ++i) {
            std::array<uint8_t, 8 * kStride + 8> want, got;
            want.fill(0xA5);
            got.fill(0xA5);
            plain.inverseDct(cases[i].first.data(), cases[i].second.data(), want.data() + 3,
                             kStride);
            k->inverseDct(cases[i].first.data(), cases[i].second.data(), got.data() + 3, kStride);
            ASSERT_EQ(want, got) << "case " << i;
        }
    }
}

// The vectorised inverse transforms work on 16-bit lanes while each column's
// sum of |coef * quant| stays below 5900 and fall back to 32-bit lanes
// beyond. Blocks that sit on either side of that line, with the signs that
// drive a first-pass output furthest, must still match the plain form.
TEST(JpegKernels, InverseDctMatchesPlainAroundTheSixteenBitLimit) {
    std::mt19937 rng(17);
    struct Case {
        Coefs c;
        std::array<uint16_t, 64> q;
    };
    std::vector<Case> cases;
    for (int target : {5000, 5898, 5899, 5900, 5901, 6500, 32767, 40000}) {
        for (int col = 0; col < 8; ++col) {
            for (int out = 0; out < 8; ++out) {
                for (uint16_t q : {1, 3, 7}) {
                    // Spread the column's sum over its rows with the signs of the
                    // basis at output row `out`; other columns get small noise.
                    Case k{};
                    k.q.fill(q);
                    int left = target / q;
                    for (int r = 0; r < 8 && left > 0; ++r) {
                        const int share =
                            r == 7 ? left : left / (8 - r) + static_cast<int>(rng() % 7);
                        const int m = std::min(std::min(share, left), 32767);
                        k.c[r * 8 + col] = static_cast<int16_t>(BasisSign(r, out) * m);
                        left -= m;
                    }
                    for (int i = 0; i < 64; ++i) {
                        if (i % 8 != col && rng() % 3 == 0) {
                            k.c[i] = static_cast<int16_t>(static_cast<int>(rng() % 41) - 20);
                        }
                    }
                    cases.push_back(k);
                }
            }
        }
    }
    // One product just inside and just outside 16 bits.
    for (int v : {32767, 16384, 16383, 10923}) {
        for (int sign : {1, -1}) {
            Case k{};
            k.q.fill(1);
            k.q[9] = 2;
            k.c[9] = static_cast<int16_t>(sign * v);
            cases.push_back(k);
        }
    }
    constexpr size_t kStride = 11;
    const JpegKernels& plain = JpegPlainKernels();
    for (const JpegKernels* k : Vectorised()) {
        SCOPED_TRACE(k->name);
        for (size_t i = 0; i < cases.size(); ++i) {
            std::array<uint8_t, 8 * kStride> want, got;
            want.fill(0x5A);
            got.fill(0x5A);
            plain.inverseDct(cases[i].c.data(), cases[i].q.data(), want.data(), kStride);
            k->inverseDct(cases[i].c.data(), cases[i].q.data(), got.data(), kStride);
            ASSERT_EQ(want, got) << "case " << i;
        }
    }
}

TEST(JpegKernels, InverseDctOfDcOnlyBlocks) {
    // A flat block of ((dc * q + 4) >> 3) + 128, saturated: the decoder fills
    // blocks without AC terms this way instead of calling the kernel.
    size_t count = 0;
    const JpegKernels* const* list = JpegRunnableKernels(&count);
    for (size_t i = 0; i < count; ++i) {
        for (uint16_t q : {1, 3}) {
            std::array<uint16_t, 64> quant;
            quant.fill(q);
            for (int dc : {-2048, -1029, -1028, -5, -4, 0, 3, 4, 1016, 1019, 1020, 2047}) {
                Coefs c{};
                c[0] = static_cast<int16_t>(dc);
                uint8_t out[64];
                list[i]->inverseDct(c.data(), quant.data(), out, 8);
                const int want = std::min(255, std::max(0, ((dc * q + 4) >> 3) + 128));
                for (int p = 0; p < 64; ++p) {
                    ASSERT_EQ(out[p], want) << list[i]->name << " dc " << dc << " q " << q;
                }
            }
        }
    }
}

// The decoder fills blocks without AC terms with one value instead of
// calling a kernel: it must be the kernels' value for every DC term and
// quantiser, the wrapping of out-of-range products included.
TEST(JpegKernels, DcValueMatchesTheKernelsForEveryDc) {
    size_t count = 0;
    const JpegKernels* const* list = JpegRunnableKernels(&count);
    for (uint16_t q : {uint16_t{1}, uint16_t{2}, uint16_t{3}, uint16_t{99}, uint16_t{255},
                       uint16_t{4097}, uint16_t{65535}}) {
        std::array<uint16_t, 64> quant;
        quant.fill(q);
        for (int dc = -32768; dc <= 32767; dc += dc > -1100 && dc < 1100 ? 1 : 61) {
            Coefs c{};
            c[0] = static_cast<int16_t>(dc);
            const uint8_t want = JpegIdctDcValue(c[0], q);
            for (size_t i = 0; i < count; ++i) {
                uint8_t out[64];
                list[i]->inverseDct(c.data(), quant.data(), out, 8);
                for (int p = 0; p < 64; ++p) {
                    ASSERT_EQ(out[p], want) << list[i]->name << " dc " << dc << " q " << q;
                }
            }
        }
    }
}

TEST(JpegKernels, AcMaskMarksEveryNonZeroAcTerm) {
    size_t count = 0;
    const JpegKernels* const* list = JpegRunnableKernels(&count);
    std::mt19937 rng(3);
    for (size_t i = 0; i < count; ++i) {
        SCOPED_TRACE(list[i]->name);
        Coefs zz{};
        EXPECT_EQ(list[i]->acMask(zz.data()), 0u);
        for (int k = 0; k < 64; ++k) {
            for (int16_t v : {int16_t{1}, int16_t{-1}, int16_t{-32768}, int16_t{32767}}) {
                zz.fill(0);
                zz[k] = v;
                EXPECT_EQ(list[i]->acMask(zz.data()), k == 0 ? 0u : uint64_t{1} << (k - 1))
                    << k << " " << v;
            }
        }
        zz.fill(-1);
        EXPECT_EQ(list[i]->acMask(zz.data()), ~uint64_t{0} >> 1);
        for (int n = 0; n < 2000; ++n) {
            uint64_t want = 0;
            for (int k = 0; k < 64; ++k) {
                zz[k] = rng() % 4 == 0 ? static_cast<int16_t>(rng()) : 0;
                if (k > 0 && zz[k] != 0) want |= uint64_t{1} << (k - 1);
            }
            ASSERT_EQ(list[i]->acMask(zz.data()), want);
        }
    }
}

}  // namespace
