// Baseline sequential JPEG encoder: 4:2:0 YCbCr planes in, one interleaved
// Huffman-coded scan out. The forward DCT is the accurate integer one with
// 13-bit constants (rows, then columns) and quantisation rounds half away
// from zero, so the output matches what the common reference encoder makes
// of the same planes.
#include <cstring>
#include <new>

#include "jpeg/jpeg.h"
#include "jpeg_kernels.h"
#include "jpeg_tables.h"
#include "platform/worker_pool.h"

namespace {

// Example quantisation tables of ITU-T T.81 Annex K, natural order.
const uint8_t kBaseLuma[64] = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99,
};
const uint8_t kBaseChroma[64] = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99, 24, 26, 56, 99, 99, 99,
    99, 99, 47, 66, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
};

// Example Huffman tables of Annex K: code counts per length 1..16, then symbols.
const uint8_t kDcLumaBits[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
const uint8_t kDcChromaBits[16] = {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
const uint8_t kDcValues[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
const uint8_t kAcLumaBits[16] = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
const uint8_t kAcLumaValues[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61,
    0x07, 0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52,
    0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25,
    0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45,
    0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64,
    0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99,
    0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6,
    0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3,
    0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8,
    0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa,
};
const uint8_t kAcChromaBits[16] = {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};
const uint8_t kAcChromaValues[162] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61,
    0x71, 0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33,
    0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18,
    0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44,
    0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63,
    0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97,
    0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4,
    0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca,
    0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7,
    0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa,
};

constexpr size_t kOutCapacity = size_t{1} << 16;
// An MCU of six blocks never takes more than this many bytes: 64 codes of at
// most 27 bits each per block, doubled for stuffing, plus a word in flight.
constexpr size_t kMcuMaxBytes = 6 * 448 + 16;
constexpr size_t kMaxExifSize = 65535 - 6;
constexpr int kDefaultQuality = 90;

// Code and length of every symbol of one table.
struct HuffEncodeTable {
    uint32_t code[256];
    uint8_t size[256];
};

void BuildHuffTable(const uint8_t bits[16], const uint8_t* values, HuffEncodeTable* t) {
    std::memset(t, 0, sizeof(*t));
    uint32_t code = 0;
    int k = 0;
    for (int len = 1; len <= 16; ++len) {
        for (int i = 0; i < bits[len - 1]; ++i, ++k) {
            t->code[values[k]] = code++;
            t->size[values[k]] = static_cast<uint8_t>(len);
        }
        code <<= 1;
    }
}

void BuildQuantTable(const uint8_t base[64], int quality, int maxValue, JpegQuantTable* t) {
    const int scale = quality >= 50 ? 200 - 2 * quality : 5000 / quality;
    for (int i = 0; i < 64; ++i) {
        int v = (scale * base[i] + 50) / 100;
        if (v < 1) v = 1;
        if (v > maxValue) v = maxValue;
        t->value[i] = static_cast<uint8_t>(v);
    }
    JpegPrepareQuantTable(t);
}

inline int BitLength(uint32_t a) {
    return a == 0 ? 0 : 32 - __builtin_clz(a);
}

// True when none of the eight bytes of w is 0xFF.
inline bool NoFFByte(uint64_t w) {
    const uint64_t inv = ~w;
    return ((inv - 0x0101010101010101ull) & ~inv & 0x8080808080808080ull) == 0;
}

// Magnitude bits of a coefficient or DC difference: their count and the
// value (one's complement for negative ones).
struct Magnitude {
    int nbits;
    uint32_t bits;
};
inline Magnitude MagnitudeOf(int v) {
    const int s = v >> 31;
    const int nbits = BitLength(static_cast<uint32_t>((v ^ s) - s));
    return {nbits, static_cast<uint32_t>(v + s) & ((1u << nbits) - 1)};
}
// The same for a value known not to be zero.
inline Magnitude MagnitudeOfNonZero(int v) {
    const int s = v >> 31;
    const int nbits = 32 - __builtin_clz(static_cast<uint32_t>((v ^ s) - s));
    return {nbits, static_cast<uint32_t>(v + s) & ((1u << nbits) - 1)};
}

// The reference entropy coder: one symbol at a time, every byte written on
// its own. The fast path below must give the same bytes.
struct ReferenceBitWriter {
    uint8_t* out;
    size_t used = 0;
    uint64_t acc = 0;
    int freeBits = 64;

    void PutByte(uint8_t b) {
        out[used++] = b;
        if (b == 0xFF) out[used++] = 0;
    }
    void PutBits(uint32_t code, int size) {
        for (int i = size - 1; i >= 0; --i) {
            acc = (acc << 1) | ((code >> i) & 1);
            if (--freeBits == 56) {
                PutByte(static_cast<uint8_t>(acc));
                acc = 0;
                freeBits = 64;
            }
        }
    }
    void EncodeBlock(const int16_t zz[64], int* lastDc, const HuffEncodeTable& dct,
                     const HuffEncodeTable& act) {
        const Magnitude dcm = MagnitudeOf(zz[0] - *lastDc);
        *lastDc = zz[0];
        PutBits(dct.code[dcm.nbits], dct.size[dcm.nbits]);
        PutBits(dcm.bits, dcm.nbits);
        int run = 0;
        for (int k = 1; k < 64; ++k) {
            if (zz[k] == 0) {
                ++run;
                continue;
            }
            for (; run >= 16; run -= 16) PutBits(act.code[0xF0], act.size[0xF0]);
            const Magnitude m = MagnitudeOf(zz[k]);
            const int sym = (run << 4) | m.nbits;
            PutBits(act.code[sym], act.size[sym]);
            PutBits(m.bits, m.nbits);
            run = 0;
        }
        if (run > 0) PutBits(act.code[0], act.size[0]);
    }
    void Finish() {
        if (freeBits != 64) PutBits((1u << (freeBits - 56)) - 1, freeBits - 56);
    }
};

// The entropy coder's bits: they enter at the bottom of acc; freeBits is how
// many more fit.
struct BitState {
    uint64_t acc = 0;
    int freeBits = 64;
};

// Writes eight bytes of entropy-coded data, a zero after every 0xFF; one
// store when there is no 0xFF among them.
inline uint8_t* EmitWord(uint8_t* o, uint64_t v) {
    if (NoFFByte(v)) {
        const uint64_t be = __builtin_bswap64(v);
        std::memcpy(o, &be, 8);
        return o + 8;
    }
    for (int i = 0; i < 8; ++i) {
        const uint8_t b = static_cast<uint8_t>(v >> (56 - 8 * i));
        *o++ = b;
        if (b == 0xFF) *o++ = 0;
    }
    return o;
}

// Codes one block given in natural order; mask: bit k-1 set when the
// coefficient at zigzag index k is not zero. Each symbol goes in together
// with its magnitude bits, and zero runs are skipped with
// count-trailing-zeros, so only the nonzero coefficients are read. The bit
// state stays in registers for the block. Returns the new end of the output.
inline uint8_t* EncodeBlockFast(const int16_t nat[64], uint64_t mask, int* lastDc,
                                const HuffEncodeTable& dct, const HuffEncodeTable& act,
                                BitState* bs, uint8_t* o) {
    uint64_t acc = bs->acc;
    int freeBits = bs->freeBits;
    // size <= 32; code below 2^size.
    const auto put = [&](uint32_t code, int size) {
        if (size <= freeBits) {
            acc = (acc << size) | code;
            freeBits -= size;
            return;
        }
        const int left = size - freeBits;
        o = EmitWord(o, (acc << freeBits) | (code >> left));
        acc = code;  // bits above `left` leave the word before it is written
        freeBits = 64 - left;
    };

    const Magnitude dcm = MagnitudeOf(nat[0] - *lastDc);
    *lastDc = nat[0];
    put((dct.code[dcm.nbits] << dcm.nbits) | dcm.bits, dct.size[dcm.nbits] + dcm.nbits);

    int k = 0;  // zz index of the last coefficient coded
    while (mask != 0) {
        int run = __builtin_ctzll(mask);
        mask >>= run;
        mask >>= 1;
        k += run + 1;
        while (run >= 16) {
            put(act.code[0xF0], act.size[0xF0]);
            run -= 16;
        }
        const Magnitude m = MagnitudeOfNonZero(nat[kJpegZigzag[k]]);
        const int sym = (run << 4) | m.nbits;
        put((act.code[sym] << m.nbits) | m.bits, act.size[sym] + m.nbits);
    }
    if (k < 63) put(act.code[0], act.size[0]);
    bs->acc = acc;
    bs->freeBits = freeBits;
    return o;
}

// Pads the last byte with one bits and writes what is left in the bit state.
uint8_t* FinishBits(BitState* bs, uint8_t* o) {
    const int usedBits = 64 - bs->freeBits;
    const int padBits = (8 - (usedBits & 7)) & 7;
    const uint64_t acc = (bs->acc << padBits) | ((uint64_t{1} << padBits) - 1);
    for (int shift = usedBits + padBits - 8; shift >= 0; shift -= 8) {
        const uint8_t b = static_cast<uint8_t>(acc >> shift);
        *o++ = b;
        if (b == 0xFF) *o++ = 0;
    }
    bs->acc = 0;
    bs->freeBits = 64;
    return o;
}

}  // namespace

struct JpegEncoder::State {
    platform::ByteSink* sink = nullptr;
    JpegAllocator alloc{};
    int width = 0;
    int height = 0;
    int quality = kDefaultQuality;
    const uint8_t* exif = nullptr;
    size_t exifSize = 0;
    bool encoded = false;
    bool finished = false;
    bool failed = false;
    uint64_t written = 0;

    uint8_t* out = nullptr;  // kOutCapacity bytes
    size_t used = 0;
    uint8_t* pad = nullptr;  // edge-expanded rows of one MCU row
    size_t padWidth = 0;     // luma samples per padded row (multiple of 16)

    BitState bits;

    JpegQuantTable quant[2];
    HuffEncodeTable dc[2], ac[2];

    bool Flush();
    bool Put(const void* p, size_t n);
    void PutMarkerLength(uint8_t marker, size_t length);
    void WriteHeaders(int restartInterval);  // 0: none
    bool parallel = false;

    // Transform, quantisation and entropy coding of the blocks at rowsA[0..7] + xA
    // and rowsB[0..7] + xB, in that order, into o; returns the new end.
    uint8_t* EncodeBlockPair(JpegForwardDctPairFn fdct, const uint8_t* const* rowsA, size_t xA,
                             const uint8_t* const* rowsB, size_t xB, int* lastDcA, int* lastDcB,
                             int table, BitState* bs, uint8_t* o) const {
        alignas(16) int16_t a[64];
        alignas(16) int16_t b[64];
        uint64_t masks[2];
        fdct(rowsA, xA, rowsB, xB, quant[table], a, b, masks);
        o = EncodeBlockFast(a, JpegZigzagAcMask(masks[0]), lastDcA, dc[table], ac[table], bs, o);
        return EncodeBlockFast(b, JpegZigzagAcMask(masks[1]), lastDcB, dc[table], ac[table], bs, o);
    }

    // The planes being coded.
    struct Picture {
        const uint8_t* y;
        size_t yStride;
        const uint8_t* cb;
        const uint8_t* cr;
        size_t cStride;
    };
    // Codes the MCU row whose luma rows start at my into o, calling
    // room(o) before each MCU (it may hand back a new end after a flush);
    // pad holds the edge-expanded rows when the planes end inside the last
    // MCU. Returns the new end, or null when room failed.
    int EncodeParallel(const Picture& pic, platform::WorkerPool& pool);
    template <typename Room>
    uint8_t* EncodeMcuRow(const Picture& p, int my, uint8_t* padRows, int lastDc[3], BitState* bs,
                          uint8_t* o, const Room& room) const;
};

bool JpegEncoder::State::Flush() {
    if (used > 0 && !failed) {
        if (!sink->Write(out, used)) failed = true;
        written += used;
    }
    used = 0;
    return !failed;
}

bool JpegEncoder::State::Put(const void* p, size_t n) {
    const uint8_t* b = static_cast<const uint8_t*>(p);
    while (n > 0) {
        if (used == kOutCapacity && !Flush()) return false;
        const size_t take = n < kOutCapacity - used ? n : kOutCapacity - used;
        std::memcpy(out + used, b, take);
        used += take;
        b += take;
        n -= take;
    }
    return !failed;
}

void JpegEncoder::State::PutMarkerLength(uint8_t marker, size_t length) {
    const uint8_t h[4] = {0xFF, marker, static_cast<uint8_t>(length >> 8),
                          static_cast<uint8_t>(length & 0xFF)};
    Put(h, 4);
}

void JpegEncoder::State::WriteHeaders(int restartInterval) {
    const uint8_t soi[2] = {0xFF, kJpegSoi};
    Put(soi, 2);
    if (exifSize > 0) {
        PutMarkerLength(kJpegApp1, exifSize + 6);
        Put("Exif", 4);
        Put(exif, exifSize);
    } else {
        const uint8_t jfif[18] = {0xFF, kJpegApp0, 0, 16, 'J', 'F', 'I', 'F', 0,
                                  1,    1,         0, 0,  1,   0,   1,   0,   0};
        Put(jfif, sizeof(jfif));
    }
    uint8_t xmp[kPanoramaXmpMaxBytes];
    const size_t xmpSize = PanoramaXmpPacket(width, height, xmp);
    PutMarkerLength(kJpegApp1, xmpSize + 2);
    Put(xmp, xmpSize);

    PutMarkerLength(kJpegDqt, 2 + 2 * 65);
    for (int t = 0; t < 2; ++t) {
        uint8_t tab[65];
        tab[0] = static_cast<uint8_t>(t);
        for (int k = 0; k < 64; ++k) tab[1 + k] = quant[t].value[kJpegZigzag[k]];
        Put(tab, sizeof(tab));
    }

    const uint8_t sof[19] = {0xFF,
                             kJpegSof0,
                             0,
                             17,
                             8,
                             static_cast<uint8_t>(height >> 8),
                             static_cast<uint8_t>(height & 0xFF),
                             static_cast<uint8_t>(width >> 8),
                             static_cast<uint8_t>(width & 0xFF),
                             3,
                             1,
                             0x22,
                             0,
                             2,
                             0x11,
                             1,
                             3,
                             0x11,
                             1};
    Put(sof, sizeof(sof));

    PutMarkerLength(kJpegDht, 2 + 4 * 17 + 2 * 12 + 2 * 162);
    const struct {
        uint8_t id;
        const uint8_t* bits;
        const uint8_t* values;
        size_t count;
    } dht[4] = {{0x00, kDcLumaBits, kDcValues, 12},
                {0x10, kAcLumaBits, kAcLumaValues, 162},
                {0x01, kDcChromaBits, kDcValues, 12},
                {0x11, kAcChromaBits, kAcChromaValues, 162}};
    for (const auto& d : dht) {
        Put(&d.id, 1);
        Put(d.bits, 16);
        Put(d.values, d.count);
    }

    if (restartInterval > 0) {
        PutMarkerLength(kJpegDri, 4);
        const uint8_t interval[2] = {static_cast<uint8_t>(restartInterval >> 8),
                                     static_cast<uint8_t>(restartInterval & 0xFF)};
        Put(interval, 2);
    }
    const uint8_t sos[14] = {0xFF, kJpegSos, 0, 12, 3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0};
    Put(sos, sizeof(sos));
}

JpegEncoder::JpegEncoder() : m_pState(nullptr) {}

JpegEncoder::~JpegEncoder() {
    Close();
}

int JpegEncoder::Open(platform::ByteSink& sink, int width, int height, const JpegAllocator& alloc) {
    if (m_pState != nullptr || width <= 0 || height <= 0 || width > 65535 || height > 65535 ||
        alloc.allocate == nullptr || alloc.release == nullptr) {
        return kJpegBadArgument;
    }
    void* mem = alloc.allocate(alloc.opaque, sizeof(State));
    if (mem == nullptr) return kJpegNoMemory;
    State* st = new (mem) State();
    st->sink = &sink;
    st->alloc = alloc;
    st->width = width;
    st->height = height;
    st->padWidth = (static_cast<size_t>(width) + 15) & ~size_t{15};
    m_pState = st;
    st->out = static_cast<uint8_t*>(alloc.allocate(alloc.opaque, kOutCapacity));
    // 16 luma rows and 8 rows of each chroma plane.
    st->pad = static_cast<uint8_t*>(alloc.allocate(alloc.opaque, st->padWidth * 32));
    if (st->out == nullptr || st->pad == nullptr) {
        Close();
        return kJpegNoMemory;
    }
    return kJpegOk;
}

void JpegEncoder::SetQuality(int quality) {
    if (m_pState == nullptr) return;
    m_pState->quality = quality < 1 ? 1 : quality > 100 ? 100 : quality;
}

void JpegEncoder::SetExif(const uint8_t* data, size_t size) {
    if (m_pState == nullptr) return;
    m_pState->exif = data;
    m_pState->exifSize = data != nullptr ? size : 0;
}

template <typename Room>
uint8_t* JpegEncoder::State::EncodeMcuRow(const Picture& p, int my, uint8_t* padRows, int lastDc[3],
                                          BitState* bs, uint8_t* o, const Room& room) const {
    const size_t w = static_cast<size_t>(width);
    const size_t cw = (w + 1) / 2;
    const int h = height;
    const int ch = (h + 1) / 2;
    const size_t pw = padWidth;
    const size_t pcw = pw / 2;
    const size_t mcus = pw / 16;
    // The right edge needs copies when the planes end inside the last MCU.
    const bool padY = pw != w;
    const bool padC = pcw != cw;
    uint8_t* padY0 = padRows;
    uint8_t* padCb0 = padRows + 16 * pw;
    uint8_t* padCr0 = padCb0 + 8 * pcw;
    const JpegForwardDctPairFn fdct = JpegActiveKernels().forwardDctPair;
    const uint8_t* yRows[16];
    const uint8_t* cbRows[8];
    const uint8_t* crRows[8];

    auto rowOf = [](const uint8_t* plane, size_t stride, int row, int rows, size_t n, bool copy,
                    uint8_t* padRow, size_t padded) -> const uint8_t* {
        const uint8_t* src = plane + stride * static_cast<size_t>(row < rows ? row : rows - 1);
        if (!copy) return src;
        std::memcpy(padRow, src, n);
        std::memset(padRow + n, src[n - 1], padded - n);
        return padRow;
    };

    for (int r = 0; r < 16; ++r)
        yRows[r] = rowOf(p.y, p.yStride, my + r, h, w, padY, padY0 + r * pw, pw);
    for (int r = 0; r < 8; ++r) {
        cbRows[r] = rowOf(p.cb, p.cStride, my / 2 + r, ch, cw, padC, padCb0 + r * pcw, pcw);
        crRows[r] = rowOf(p.cr, p.cStride, my / 2 + r, ch, cw, padC, padCr0 + r * pcw, pcw);
    }
    for (size_t mx = 0; mx < mcus; ++mx) {
        o = room(o);
        if (o == nullptr) return nullptr;
        // The 32 rows of an MCU row are more streams than the hardware
        // prefetcher follows: ask for the samples a few MCUs ahead.
        if ((mx & 3) == 0 && mx + 4 < mcus) {
            for (int r = 0; r < 16; ++r) __builtin_prefetch(yRows[r] + (mx + 4) * 16);
            for (int r = 0; r < 8; ++r) {
                __builtin_prefetch(cbRows[r] + (mx + 4) * 8);
                __builtin_prefetch(crRows[r] + (mx + 4) * 8);
            }
        }
        // The luma blocks side by side, then Cb with Cr.
        for (int b = 0; b < 2; ++b) {
            o = EncodeBlockPair(fdct, yRows + 8 * b, mx * 16, yRows + 8 * b, mx * 16 + 8,
                                &lastDc[0], &lastDc[0], 0, bs, o);
        }
        o = EncodeBlockPair(fdct, cbRows, mx * 8, crRows, mx * 8, &lastDc[1], &lastDc[2], 1, bs, o);
    }
    return o;
}

int JpegEncoder::Encode(const uint8_t* y, size_t yStride, const uint8_t* cb, const uint8_t* cr,
                        size_t cStride) {
    State* st = m_pState;
    if (st == nullptr || st->encoded || y == nullptr || cb == nullptr || cr == nullptr) {
        return kJpegBadArgument;
    }
    const size_t w = static_cast<size_t>(st->width);
    const size_t cw = (w + 1) / 2;
    const int h = st->height;
    if (yStride < w || cStride < cw || st->exifSize > kMaxExifSize) return kJpegBadArgument;
    st->encoded = true;

    BuildQuantTable(kBaseLuma, st->quality, 255, &st->quant[0]);
    BuildQuantTable(kBaseChroma, st->quality, 240, &st->quant[1]);
    BuildHuffTable(kDcLumaBits, kDcValues, &st->dc[0]);
    BuildHuffTable(kAcLumaBits, kAcLumaValues, &st->ac[0]);
    BuildHuffTable(kDcChromaBits, kDcValues, &st->dc[1]);
    BuildHuffTable(kAcChromaBits, kAcChromaValues, &st->ac[1]);

    const State::Picture pic{y, yStride, cb, cr, cStride};
    const int mcuRows = (h + 15) / 16;
    platform::WorkerPool& pool = platform::WorkerPool::Shared();
    if (st->parallel && mcuRows >= 2 && pool.Threads() > 0) return st->EncodeParallel(pic, pool);

    st->WriteHeaders(0);
    if (st->failed) return kJpegWriteFailed;
    int lastDc[3] = {0, 0, 0};
    const auto room = [st](uint8_t* o) -> uint8_t* {
        st->used = static_cast<size_t>(o - st->out);
        if (st->used > kOutCapacity - kMcuMaxBytes && !st->Flush()) return nullptr;
        return st->out + st->used;
    };
    uint8_t* o = st->out + st->used;
    for (int my = 0; my < h; my += 16) {
        o = st->EncodeMcuRow(pic, my, st->pad, lastDc, &st->bits, o, room);
        if (o == nullptr) return kJpegWriteFailed;
    }
    st->used = static_cast<size_t>(FinishBits(&st->bits, o) - st->out);
    return st->Flush() ? kJpegOk : kJpegWriteFailed;
}

int JpegEncoder::State::EncodeParallel(const Picture& pic, platform::WorkerPool& pool) {
    // Every MCU row is a restart interval: its predictors start from zero and
    // its bits end on a byte, so the threads code runs of rows on their own
    // and their bytes join with a restart marker between rows.
    const size_t mcus = padWidth / 16;
    const int mcuRows = (height + 15) / 16;
    WriteHeaders(static_cast<int>(mcus));
    if (failed) return kJpegWriteFailed;
    constexpr int kMaxWays = 9;  // the pool has at most 8 workers
    int ways = static_cast<int>(pool.Threads()) + 1;
    if (ways > mcuRows) ways = mcuRows;
    if (ways > kMaxWays) ways = kMaxWays;
    const size_t rowBytes = mcus * kMcuMaxBytes + 2;
    struct Run {
        int first = 0, last = 0;
        uint8_t* bytes = nullptr;  // room for every row of the run at its largest
        uint8_t* pad = nullptr;
        size_t size = 0;
    };
    Run runs[kMaxWays];
    bool allocated = true;
    for (int k = 0; k < ways; ++k) {
        Run& r = runs[k];
        r.first = static_cast<int>(static_cast<int64_t>(mcuRows) * k / ways);
        r.last = static_cast<int>(static_cast<int64_t>(mcuRows) * (k + 1) / ways);
        r.bytes = static_cast<uint8_t*>(
            alloc.allocate(alloc.opaque, rowBytes * static_cast<size_t>(r.last - r.first)));
        r.pad = static_cast<uint8_t*>(alloc.allocate(alloc.opaque, padWidth * 32));
        allocated = allocated && r.bytes != nullptr && r.pad != nullptr;
    }
    int rc = kJpegOk;
    if (!allocated) {
        rc = kJpegNoMemory;
    } else {
        pool.ParallelFor(ways, 2, [&](int first, int last) {
            for (int k = first; k < last; ++k) {
                Run& r = runs[k];
                uint8_t* o = r.bytes;
                const auto room = [](uint8_t* at) { return at; };
                for (int row = r.first; row < r.last; ++row) {
                    int lastDc[3] = {0, 0, 0};
                    BitState bs;
                    o = EncodeMcuRow(pic, row * 16, r.pad, lastDc, &bs, o, room);
                    o = FinishBits(&bs, o);
                    if (row + 1 < mcuRows) {
                        *o++ = 0xFF;
                        *o++ = static_cast<uint8_t>(kJpegRst0 + row % 8);
                    }
                }
                r.size = static_cast<size_t>(o - r.bytes);
            }
        });
        for (int k = 0; k < ways && rc == kJpegOk; ++k) {
            if (!Put(runs[k].bytes, runs[k].size)) rc = kJpegWriteFailed;
        }
        if (rc == kJpegOk && !Flush()) rc = kJpegWriteFailed;
    }
    for (int k = 0; k < ways; ++k) {
        if (runs[k].bytes != nullptr) alloc.release(alloc.opaque, runs[k].bytes);
        if (runs[k].pad != nullptr) alloc.release(alloc.opaque, runs[k].pad);
    }
    return rc;
}

void JpegEncoder::SetParallel(bool on) {
    if (m_pState != nullptr) m_pState->parallel = on;
}

int JpegEncoder::Finish() {
    State* st = m_pState;
    if (st == nullptr || !st->encoded || st->finished) return kJpegBadArgument;
    st->finished = true;
    const uint8_t eoi[2] = {0xFF, kJpegEoi};
    if (!st->Put(eoi, 2) || !st->Flush()) return kJpegWriteFailed;
    return kJpegOk;
}

uint64_t JpegEncoder::BytesWritten() const {
    return m_pState != nullptr ? m_pState->written + m_pState->used : 0;
}

void JpegEncoder::Close() {
    State* st = m_pState;
    if (st == nullptr) return;
    const JpegAllocator alloc = st->alloc;
    if (st->out != nullptr) alloc.release(alloc.opaque, st->out);
    if (st->pad != nullptr) alloc.release(alloc.opaque, st->pad);
    st->~State();
    alloc.release(alloc.opaque, st);
    m_pState = nullptr;
}

size_t JpegEntropyCodeBlocks(const int16_t* blocks, const uint8_t* tables, size_t count, bool fast,
                             uint8_t* out) {
    HuffEncodeTable dc[2], ac[2];
    BuildHuffTable(kDcLumaBits, kDcValues, &dc[0]);
    BuildHuffTable(kAcLumaBits, kAcLumaValues, &ac[0]);
    BuildHuffTable(kDcChromaBits, kDcValues, &dc[1]);
    BuildHuffTable(kAcChromaBits, kAcChromaValues, &ac[1]);
    int lastDc[2] = {0, 0};
    if (!fast) {
        ReferenceBitWriter w{out};
        for (size_t i = 0; i < count; ++i) {
            const int t = tables[i];
            w.EncodeBlock(blocks + 64 * i, &lastDc[t], dc[t], ac[t]);
        }
        w.Finish();
        return w.used;
    }
    // The coder's own form: natural order, with the mask the forward DCT
    // gives turned into zigzag order.
    BitState bits;
    uint8_t* o = out;
    for (size_t i = 0; i < count; ++i) {
        const int t = tables[i];
        const int16_t* zz = blocks + 64 * i;
        int16_t nat[64];
        uint64_t naturalMask = 0;
        for (int k = 0; k < 64; ++k) {
            nat[kJpegZigzag[k]] = zz[k];
            if (zz[k] != 0) naturalMask |= uint64_t{1} << kJpegZigzag[k];
        }
        o = EncodeBlockFast(nat, JpegZigzagAcMask(naturalMask), &lastDc[t], dc[t], ac[t], &bits, o);
    }
    o = FinishBits(&bits, o);
    return static_cast<size_t>(o - out);
}
