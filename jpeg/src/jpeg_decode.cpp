// Baseline sequential JPEG decoder: Huffman-coded, 8-bit, one interleaved
// scan, output as raw planar YCbCr strips of one MCU row each.
//
// Limits: each side at most 65500 samples and at most 2^28 luma samples in
// all. Entropy-coded data that ends (or runs into a marker) before the last
// MCU is complete is an error, never padded: the end of the data gives
// kJpegPrematureEnd, a marker in the wrong place kJpegCorruptData.
#include <cstring>
#include <new>

#include "jpeg/jpeg.h"
#include "jpeg_kernels.h"
#include "jpeg_tables.h"
#include "platform/bytes.h"

namespace {

constexpr size_t kInputBufferBytes = 1 << 16;
constexpr int kMaxSide = 65500;
constexpr uint64_t kMaxSamples = uint64_t{1} << 28;
// Eleven bits take in the code and value bits of nearly every coefficient of
// photos at the usual qualities in one lookup; a miss costs a mispredicted branch.
constexpr int kFastBits = 11;

// One Huffman table with a lookup of the codes up to kFastBits long and, for
// AC tables, of the code and its value bits together when both fit.
struct HuffTable {
    bool defined = false;
    uint16_t fast[1 << kFastBits];   // (length << 8) | symbol; 0: longer code
    int32_t fastAc[1 << kFastBits];  // value * 65536 + run * 256 + total bits; 0: none
    int32_t maxCode[18];             // largest code of each length, -1 when none
    int32_t valueOffset[17];         // symbol index of a code of each length minus the code
    uint8_t values[256];
};

// Builds the decoding tables; false when the code lengths overflow.
bool BuildHuffTable(HuffTable* t, const uint8_t* counts, const uint8_t* values, int total,
                    bool isAc) {
    std::memset(t->fast, 0, sizeof(t->fast));
    std::memset(t->fastAc, 0, sizeof(t->fastAc));
    std::memcpy(t->values, values, static_cast<size_t>(total));
    int32_t code = 0;
    int k = 0;
    for (int len = 1; len <= 16; ++len) {
        t->valueOffset[len] = k - code;
        const int n = counts[len - 1];
        for (int i = 0; i < n; ++i, ++k, ++code) {
            // The all-ones code of a length is reserved.
            if (code >= (int32_t{1} << len) - 1) return false;
            if (len <= kFastBits) {
                const int shift = kFastBits - len;
                const int first = code << shift;
                for (int j = 0; j < (1 << shift); ++j) {
                    t->fast[first + j] = static_cast<uint16_t>((len << 8) | values[k]);
                }
                const int run = values[k] >> 4;
                const int size = values[k] & 15;
                if (isAc && size != 0 && len + size <= kFastBits) {
                    const int rest = kFastBits - len - size;
                    for (int j = 0; j < (1 << shift); ++j) {
                        const int bits = (j >> rest) & ((1 << size) - 1);
                        const int v = bits < (1 << (size - 1)) ? bits - (1 << size) + 1 : bits;
                        t->fastAc[first + j] = v * 65536 + run * 256 + len + size;
                    }
                }
            }
        }
        t->maxCode[len] = n ? code - 1 : -1;
        code <<= 1;
    }
    t->maxCode[17] = 0x7FFFFFFF;
    t->defined = true;
    return true;
}

struct Component {
    int id = 0;
    int h = 1, v = 1;
    int tq = 0;
    int td = 0, ta = 0;
    uint32_t pred = 0;
    uint16_t quant[64];  // natural order, latched at the start of the scan
    int plane = 0;       // 0 luma, 1 Cb, 2 Cr
};

}  // namespace

struct JpegDecoder::State {
    JpegAllocator alloc{};
    platform::ByteSource* src = nullptr;
    uint8_t* in = nullptr;   // input buffer of kInputBufferBytes
    uint8_t* seg = nullptr;  // one marker segment (at most 65533 bytes)
    const uint8_t* cur = nullptr;
    const uint8_t* end = nullptr;
    bool srcDone = false;

    int width = 0, height = 0;
    int ncomp = 0;
    int layout = 0, factor = 0;
    bool haveFrame = false;
    Component comp[3];
    int scanOrder[3] = {0, 1, 2};
    uint16_t quant[4][64];
    bool quantDefined[4] = {false, false, false, false};
    HuffTable dc[4], ac[4];
    int restartInterval = 0;
    int mcusToRestart = 0;
    int nextRst = 0;

    int mcuW = 8, mcuH = 8, mcusX = 0, mcusY = 0, mcuRow = 0;
    int err = 0;

    // Entropy decoding: bits left-aligned in bits, count in nbits (negative
    // once the decoder has used more bits than the segment holds).
    uint64_t bits = 0;
    int nbits = 0;
    bool stopped = false;  // at a marker or the end: no more bytes come
    bool stoppedAtEnd = false;

    alignas(16) int16_t coef[64];
    uint8_t edge[64];

    // Buffered input.
    bool Fill() {
        if (srcDone) return false;
        const size_t keep = static_cast<size_t>(end - cur);
        if (keep) std::memmove(in, cur, keep);
        const size_t got = src->Read(in + keep, kInputBufferBytes - keep);
        if (got == 0) srcDone = true;
        cur = in;
        end = in + keep + got;
        return got > 0;
    }
    int ReadByte() {
        if (cur == end && !Fill()) return -1;
        return *cur++;
    }
    bool ReadBytes(uint8_t* dst, size_t n) {
        while (n) {
            if (cur == end && !Fill()) return false;
            size_t take = static_cast<size_t>(end - cur);
            if (take > n) take = n;
            std::memcpy(dst, cur, take);
            cur += take;
            dst += take;
            n -= take;
        }
        return true;
    }
    bool Skip(uint64_t n) {
        const uint64_t buffered = static_cast<uint64_t>(end - cur);
        if (n <= buffered) {
            cur += n;
            return true;
        }
        n -= buffered;
        cur = end;
        const int64_t size = src->Size();
        if (size >= 0) {
            const int64_t pos = src->Tell();
            if (pos < 0 || static_cast<uint64_t>(size - pos) < n || size < pos) {
                srcDone = true;
                return false;
            }
            return src->Seek(static_cast<int64_t>(n), platform::kSeekCur);
        }
        while (n) {
            if (!Fill()) return false;
            const uint64_t have = static_cast<uint64_t>(end - cur);
            const uint64_t take = have < n ? have : n;
            cur += take;
            n -= take;
        }
        return true;
    }

    int NextMarker(int* marker);
    int ReadSegment(size_t* len);
    int ParseHeaders(JpegExifCarry* carry);
    int ParseApp1(JpegExifCarry* carry);
    int ParseFrame(const uint8_t* p, size_t n);
    int ParseQuant(const uint8_t* p, size_t n);
    int ParseHuffman(const uint8_t* p, size_t n);
    int ParseScan(const uint8_t* p, size_t n);

    void RefillSlow();
    inline void Refill() {
        while (nbits <= 56) {
            if (end - cur >= 2) {
                const uint8_t c = cur[0];
                if (c != 0xFF) {
                    ++cur;
                } else if (cur[1] == 0) {
                    cur += 2;
                } else {
                    RefillSlow();
                    return;
                }
                bits |= uint64_t{c} << (56 - nbits);
                nbits += 8;
            } else {
                RefillSlow();
                return;
            }
        }
    }
    int Restart();
    int DecodeBlock(Component& c, int* last);
};

// Byte-at-a-time refill for the end of the buffer, markers and fill bytes.
void JpegDecoder::State::RefillSlow() {
    while (nbits <= 56 && !stopped) {
        if (end - cur < 2) Fill();
        if (cur == end) {
            stopped = true;
            stoppedAtEnd = true;
            return;
        }
        const uint8_t c = cur[0];
        if (c != 0xFF) {
            ++cur;
        } else {
            if (end - cur < 2) {  // a lone 0xFF as the last byte
                stopped = true;
                stoppedAtEnd = true;
                return;
            }
            if (cur[1] == 0) {
                cur += 2;
            } else if (cur[1] == 0xFF) {
                ++cur;  // fill byte before a marker
                continue;
            } else {
                stopped = true;  // a marker: the segment ends here
                return;
            }
        }
        bits |= uint64_t{c} << (56 - nbits);
        nbits += 8;
    }
}

// Codes longer than kFastBits, from the bits left-aligned in *b.
static int DecodeHuffSlow(const HuffTable& t, uint64_t* b, int* n) {
    for (int len = kFastBits + 1; len <= 16; ++len) {
        const int32_t code = static_cast<int32_t>(*b >> (64 - len));
        if (code <= t.maxCode[len]) {
            const int idx = code + t.valueOffset[len];
            if (idx < 0 || idx > 255) return -1;
            *b <<= len;
            *n -= len;
            return t.values[idx];
        }
    }
    return -1;
}

static inline int Extend(uint32_t v, int s) {
    return v < (uint32_t{1} << (s - 1)) ? static_cast<int>(v) - (1 << s) + 1 : static_cast<int>(v);
}

// True when none of the eight bytes of w is 0xFF.
static inline bool NoFFByte(uint64_t w) {
    const uint64_t inv = ~w;
    return ((inv - 0x0101010101010101ull) & ~inv & 0x8080808080808080ull) == 0;
}

// Decodes one block's coefficients (zigzag into natural order, not
// dequantised) into coef, which must be zero; *last receives the zigzag
// index of the last coefficient written. The bit buffer lives in locals
// while the block is decoded; the state is written back on every exit.
int JpegDecoder::State::DecodeBlock(Component& c, int* last) {
    const HuffTable& dct = dc[c.td];
    const HuffTable& act = ac[c.ta];
    // The lookup's base address in a register of its own: otherwise the
    // compiler folds the table's offset inside the state into each symbol's
    // address, one more step on the chain from one symbol to the next.
    const int32_t* fastAc = act.fastAc;
    __asm__("" : "+r"(fastAc));
    uint64_t b = bits;
    int n = nbits;
    const uint8_t* p = cur;
    // Tops the buffer up to at least 56 bits (unless the segment has ended).
    // With eight bytes in the input and no 0xFF among them, whole bytes are
    // taken at once; the bits of the next byte that also land in the buffer
    // are the same ones the next refill puts there. Anything else goes
    // through the byte-wise path, which handles stuffing, markers and the
    // end of the buffer.
    const auto refill = [&] {
        if (end - p >= 8 && n >= 0) {
            uint64_t w;
            std::memcpy(&w, p, 8);
            if (NoFFByte(w)) {
                b |= __builtin_bswap64(w) >> n;
                const int take = (63 - n) >> 3;
                p += take;
                n += take * 8;
                return;
            }
        }
        bits = b;
        nbits = n;
        cur = p;
        Refill();
        b = bits;
        n = nbits;
        p = cur;
    };
    const auto save = [&] {
        bits = b;
        nbits = n;
        cur = p;
    };
    if (n < 32) refill();
    int sym;
    {
        const uint16_t f = dct.fast[b >> (64 - kFastBits)];
        if (f) {
            const int len = f >> 8;
            b <<= len;
            n -= len;
            sym = f & 255;
        } else {
            sym = DecodeHuffSlow(dct, &b, &n);
            if (sym < 0) {
                save();
                return kJpegCorruptData;
            }
        }
    }
    uint32_t diff = 0;
    if (sym) {
        const uint32_t v = static_cast<uint32_t>(b >> (64 - sym));
        b <<= sym;
        n -= sym;
        diff = static_cast<uint32_t>(Extend(v, sym));
    }
    c.pred += diff;
    coef[0] = static_cast<int16_t>(c.pred);
    int k = 1;
    int lastK = 0;
    while (k < 64) {
        if (n < 32) refill();
        const unsigned idx = static_cast<unsigned>(b >> (64 - kFastBits));
        const int32_t fa = fastAc[idx];
        if (fa) {
            const int len = fa & 255;
            k += (fa >> 8) & 255;
            b <<= len;
            n -= len;
            if (k > 63) {
                save();
                return kJpegCorruptData;
            }
            coef[kJpegZigzag[k]] = static_cast<int16_t>(fa >> 16);
            lastK = k;
            ++k;
            continue;
        }
        int rs;
        const uint16_t f = act.fast[idx];
        if (f) {
            const int len = f >> 8;
            b <<= len;
            n -= len;
            rs = f & 255;
        } else {
            rs = DecodeHuffSlow(act, &b, &n);
            if (rs < 0) {
                save();
                return kJpegCorruptData;
            }
        }
        const int r = rs >> 4;
        const int s = rs & 15;
        if (s == 0) {
            if (r != 15) break;
            k += 16;
            continue;
        }
        k += r;
        if (k > 63) {
            save();
            return kJpegCorruptData;
        }
        const uint32_t v = static_cast<uint32_t>(b >> (64 - s));
        b <<= s;
        n -= s;
        coef[kJpegZigzag[k]] = static_cast<int16_t>(Extend(v, s));
        lastK = k;
        ++k;
    }
    save();
    *last = lastK;
    return kJpegOk;
}

int JpegDecoder::State::Restart() {
    if (nbits < 0) return stoppedAtEnd ? kJpegPrematureEnd : kJpegCorruptData;
    bits = 0;
    nbits = 0;
    stopped = false;
    stoppedAtEnd = false;
    int marker = 0;
    const int rc = NextMarker(&marker);
    if (rc != kJpegOk) return rc;
    if (marker != kJpegRst0 + nextRst) return kJpegCorruptData;
    nextRst = (nextRst + 1) & 7;
    for (int i = 0; i < ncomp; ++i) comp[i].pred = 0;
    return kJpegOk;
}

// Finds the next marker, skipping bytes that are not one.
int JpegDecoder::State::NextMarker(int* marker) {
    for (;;) {
        int c = ReadByte();
        if (c < 0) return kJpegPrematureEnd;
        if (c != 0xFF) continue;
        do {
            c = ReadByte();
        } while (c == 0xFF);
        if (c < 0) return kJpegPrematureEnd;
        if (c == 0) continue;
        *marker = c;
        return kJpegOk;
    }
}

// Reads a marker segment's payload into seg.
int JpegDecoder::State::ReadSegment(size_t* len) {
    uint8_t b[2];
    if (!ReadBytes(b, 2)) return kJpegPrematureEnd;
    const int n = platform::Be16(b);
    if (n < 2) return kJpegCorruptData;
    *len = static_cast<size_t>(n - 2);
    if (!ReadBytes(seg, *len)) return kJpegPrematureEnd;
    return kJpegOk;
}

int JpegDecoder::State::ParseApp1(JpegExifCarry* carry) {
    uint8_t b[2];
    if (!ReadBytes(b, 2)) return kJpegPrematureEnd;
    const size_t n = platform::Be16(b) >= 2 ? platform::Be16(b) - 2u : 0u;
    if (carry == nullptr) return Skip(n) ? kJpegOk : kJpegPrematureEnd;
    if (carry->size == 0) {
        if (n <= 4) return Skip(n) ? kJpegOk : kJpegPrematureEnd;
        if (!Skip(4)) return kJpegPrematureEnd;
        const size_t size = n - 4;
        auto* data = static_cast<uint8_t*>(alloc.allocate(alloc.opaque, size));
        if (data == nullptr) return kJpegNoMemory;
        carry->data = data;
        carry->size = size;
        const size_t kept = size < kJpegExifKeptBytes ? size : kJpegExifKeptBytes;
        std::memset(data + kept, 0, size - kept);
        if (!ReadBytes(data, kept)) return kJpegPrematureEnd;
        return Skip(size - kept) ? kJpegOk : kJpegPrematureEnd;
    }
    const size_t old = carry->size;
    const size_t size = old + n + 4;
    if (size + 6 > 65535) return Skip(n) ? kJpegOk : kJpegPrematureEnd;
    auto* data = static_cast<uint8_t*>(alloc.allocate(alloc.opaque, size));
    if (data == nullptr) return kJpegNoMemory;
    std::memcpy(data, carry->data, old);
    std::memset(data + old, 0, size - old);
    alloc.release(alloc.opaque, carry->data);
    carry->data = data;
    carry->size = size;
    const uint8_t head[4] = {0xFF, kJpegApp1, static_cast<uint8_t>((n + 2) >> 8),
                             static_cast<uint8_t>((n + 2) & 0xFF)};
    for (size_t i = 0; i < 4; ++i) {
        if (old + i < kJpegExifKeptBytes) data[old + i] = head[i];
    }
    const size_t start = old + 4;
    const size_t kept = start >= kJpegExifKeptBytes
                            ? 0
                            : (n < kJpegExifKeptBytes - start ? n : kJpegExifKeptBytes - start);
    if (!ReadBytes(data + start, kept)) return kJpegPrematureEnd;
    return Skip(n - kept) ? kJpegOk : kJpegPrematureEnd;
}

int JpegDecoder::State::ParseFrame(const uint8_t* p, size_t n) {
    if (haveFrame) return kJpegCorruptData;
    if (n < 6) return kJpegCorruptData;
    if (p[0] != 8) return kJpegUnsupported;
    height = platform::Be16(p + 1);
    width = platform::Be16(p + 3);
    ncomp = p[5];
    if (ncomp == 0 || n != 6 + 3 * static_cast<size_t>(ncomp)) return kJpegCorruptData;
    if (ncomp != 1 && ncomp != 3) return kJpegUnsupported;
    if (width == 0) return kJpegCorruptData;
    if (height == 0) return kJpegUnsupported;  // height given later by a DNL marker
    if (width > kMaxSide || height > kMaxSide ||
        static_cast<uint64_t>(width) * static_cast<uint64_t>(height) > kMaxSamples) {
        return kJpegUnsupported;
    }
    for (int i = 0; i < ncomp; ++i) {
        Component& c = comp[i];
        c.id = p[6 + 3 * i];
        c.h = p[7 + 3 * i] >> 4;
        c.v = p[7 + 3 * i] & 15;
        c.tq = p[8 + 3 * i];
        c.plane = i;
        if (c.h < 1 || c.h > 4 || c.v < 1 || c.v > 4 || c.tq > 3) return kJpegCorruptData;
        for (int j = 0; j < i; ++j) {
            if (comp[j].id == c.id) return kJpegCorruptData;
        }
    }
    if (ncomp == 1) {
        comp[0].h = comp[0].v = 1;  // one component: every MCU is one block
        layout = kJpegGrey;
    } else {
        if (comp[1].h != 1 || comp[1].v != 1 || comp[2].h != 1 || comp[2].v != 1) {
            return kJpegUnsupported;
        }
        const int h = comp[0].h, v = comp[0].v;
        if (h == 2 && v == 2) {
            layout = kJpeg420;
        } else if (h == 2 && v == 1) {
            layout = kJpeg422;
        } else if (h == 1 && v == 2) {
            layout = kJpeg440;
        } else if (h == 1 && v == 1) {
            layout = kJpeg444;
        } else if (h == 4 && v == 1) {
            layout = kJpegHorizontalF;
            factor = 4;
        } else {
            return kJpegUnsupported;
        }
    }
    mcuW = 8 * comp[0].h;
    mcuH = 8 * comp[0].v;
    mcusX = (width + mcuW - 1) / mcuW;
    mcusY = (height + mcuH - 1) / mcuH;
    haveFrame = true;
    return kJpegOk;
}

int JpegDecoder::State::ParseQuant(const uint8_t* p, size_t n) {
    size_t i = 0;
    while (i < n) {
        const int pq = p[i] >> 4, tq = p[i] & 15;
        ++i;
        if (pq > 1 || tq > 3) return kJpegCorruptData;
        const size_t need = pq ? 128 : 64;
        if (n - i < need) return kJpegCorruptData;
        for (int k = 0; k < 64; ++k) {
            quant[tq][kJpegZigzag[k]] = pq ? platform::Be16(p + i + 2 * k) : p[i + k];
        }
        quantDefined[tq] = true;
        i += need;
    }
    return kJpegOk;
}

int JpegDecoder::State::ParseHuffman(const uint8_t* p, size_t n) {
    size_t i = 0;
    while (i < n) {
        if (n - i < 17) return kJpegCorruptData;
        const int tc = p[i] >> 4, th = p[i] & 15;
        if (tc > 1 || th > 3) return kJpegCorruptData;
        int total = 0;
        for (int k = 0; k < 16; ++k) total += p[i + 1 + k];
        if (total > 256 || n - i - 17 < static_cast<size_t>(total)) return kJpegCorruptData;
        const uint8_t* values = p + i + 17;
        if (tc == 0) {
            for (int k = 0; k < total; ++k) {
                if (values[k] > 15) return kJpegCorruptData;
            }
        }
        HuffTable* t = tc ? &ac[th] : &dc[th];
        if (!BuildHuffTable(t, p + i + 1, values, total, tc == 1)) {
            t->defined = false;
            return kJpegCorruptData;
        }
        i += 17 + static_cast<size_t>(total);
    }
    return kJpegOk;
}

int JpegDecoder::State::ParseScan(const uint8_t* p, size_t n) {
    if (!haveFrame) return kJpegCorruptData;
    if (n < 1) return kJpegCorruptData;
    const int ns = p[0];
    if (ns < 1 || ns > 4 || n != 4 + 2 * static_cast<size_t>(ns)) return kJpegCorruptData;
    if (ns != ncomp) return kJpegUnsupported;  // one component per scan
    bool used[3] = {false, false, false};
    for (int i = 0; i < ns; ++i) {
        const int id = p[1 + 2 * i];
        int ci = -1;
        for (int j = 0; j < ncomp; ++j) {
            if (comp[j].id == id) ci = j;
        }
        if (ci < 0 || used[ci]) return kJpegCorruptData;
        used[ci] = true;
        Component& c = comp[ci];
        c.td = p[2 + 2 * i] >> 4;
        c.ta = p[2 + 2 * i] & 15;
        if (c.td > 3 || c.ta > 3) return kJpegCorruptData;
        if (!dc[c.td].defined || !ac[c.ta].defined) return kJpegCorruptData;
        if (!quantDefined[c.tq]) return kJpegCorruptData;
        std::memcpy(c.quant, quant[c.tq], sizeof(c.quant));
        c.pred = 0;
        scanOrder[i] = ci;
    }
    mcusToRestart = restartInterval;
    nextRst = 0;
    mcuRow = 0;
    bits = 0;
    nbits = 0;
    stopped = false;
    stoppedAtEnd = false;
    return kJpegOk;
}

int JpegDecoder::State::ParseHeaders(JpegExifCarry* carry) {
    uint8_t soi[2];
    if (!ReadBytes(soi, 2)) return kJpegPrematureEnd;
    if (soi[0] != 0xFF || soi[1] != kJpegSoi) return kJpegCorruptData;
    for (;;) {
        int m = 0;
        int rc = NextMarker(&m);
        if (rc != kJpegOk) return rc;
        size_t len = 0;
        switch (m) {
            case kJpegSof0:
            case kJpegSof1:
                if ((rc = ReadSegment(&len)) != kJpegOk) return rc;
                if ((rc = ParseFrame(seg, len)) != kJpegOk) return rc;
                break;
            case 0xC2:
            case 0xC3:
            case 0xC5:
            case 0xC6:
            case 0xC7:
            case 0xC8:
            case 0xC9:
            case 0xCA:
            case 0xCB:
            case 0xCD:
            case 0xCE:
            case 0xCF:
            case 0xDE:
            case 0xDF:
                return kJpegUnsupported;
            case kJpegDht:
                if ((rc = ReadSegment(&len)) != kJpegOk) return rc;
                if ((rc = ParseHuffman(seg, len)) != kJpegOk) return rc;
                break;
            case kJpegDqt:
                if ((rc = ReadSegment(&len)) != kJpegOk) return rc;
                if ((rc = ParseQuant(seg, len)) != kJpegOk) return rc;
                break;
            case kJpegDri:
                if ((rc = ReadSegment(&len)) != kJpegOk) return rc;
                if (len != 2) return kJpegCorruptData;
                restartInterval = platform::Be16(seg);
                break;
            case kJpegSos:
                if ((rc = ReadSegment(&len)) != kJpegOk) return rc;
                return ParseScan(seg, len);
            case kJpegApp1:
                if ((rc = ParseApp1(carry)) != kJpegOk) return rc;
                break;
            case kJpegSoi:
            case kJpegEoi:
                return kJpegCorruptData;
            case 0x01:
            case 0xD0:
            case 0xD1:
            case 0xD2:
            case 0xD3:
            case 0xD4:
            case 0xD5:
            case 0xD6:
            case 0xD7:
                break;  // no payload
            default: {
                uint8_t b[2];
                if (!ReadBytes(b, 2)) return kJpegPrematureEnd;
                if (platform::Be16(b) < 2) return kJpegCorruptData;
                if (!Skip(platform::Be16(b) - 2u)) return kJpegPrematureEnd;
                break;
            }
        }
    }
}

JpegDecoder::JpegDecoder() : m_pState(nullptr) {}

JpegDecoder::~JpegDecoder() {
    Close();
}

int JpegDecoder::Open(platform::ByteSource& src, const JpegAllocator& alloc, JpegExifCarry* carry) {
    Close();
    if (carry != nullptr) {
        carry->data = nullptr;
        carry->size = 0;
    }
    if (alloc.allocate == nullptr || alloc.release == nullptr) return kJpegBadArgument;
    void* mem = alloc.allocate(alloc.opaque, sizeof(State));
    if (mem == nullptr) return kJpegNoMemory;
    State* st = new (mem) State();
    st->alloc = alloc;
    st->src = &src;
    m_pState = st;
    st->in = static_cast<uint8_t*>(alloc.allocate(alloc.opaque, kInputBufferBytes));
    st->seg = static_cast<uint8_t*>(alloc.allocate(alloc.opaque, 65536));
    int rc = kJpegNoMemory;
    if (st->in != nullptr && st->seg != nullptr) {
        st->cur = st->end = st->in;
        rc = st->ParseHeaders(carry);
    }
    if (rc != kJpegOk) {
        if (carry != nullptr) JpegReleaseExif(carry, alloc);
        Close();
        return rc;
    }
    // The segment buffer is only needed for the headers.
    alloc.release(alloc.opaque, st->seg);
    st->seg = nullptr;
    return kJpegOk;
}

int JpegDecoder::Width() const {
    return m_pState ? m_pState->width : 0;
}
int JpegDecoder::Height() const {
    return m_pState ? m_pState->height : 0;
}
int JpegDecoder::OutputWidth() const {
    return m_pState ? (m_pState->width + 1) & ~1 : 0;
}
int JpegDecoder::OutputHeight() const {
    return m_pState ? (m_pState->height + 1) & ~1 : 0;
}
int JpegDecoder::Layout() const {
    return m_pState ? m_pState->layout : 0;
}
int JpegDecoder::ChromaFactor() const {
    return m_pState ? m_pState->factor : 0;
}

int JpegDecoder::DecodeStrip(uint8_t* y, size_t yStride, uint8_t* cb, uint8_t* cr, size_t cStride,
                             int* rows) {
    if (rows == nullptr) return kJpegBadArgument;
    *rows = 0;
    State* st = m_pState;
    if (st == nullptr) return kJpegBadArgument;
    if (st->err) return st->err;
    if (st->mcuRow >= st->mcusY) return kJpegOk;
    const int outW = OutputWidth();
    const int outH = OutputHeight();
    int chromaW = 0;
    switch (st->layout) {
        case kJpeg420:
        case kJpeg422:
            chromaW = outW / 2;
            break;
        case kJpeg440:
        case kJpeg444:
            chromaW = outW;
            break;
        case kJpegHorizontalF:
            chromaW = outW / st->factor;
            break;
        default:
            break;
    }
    if (y == nullptr || yStride < static_cast<size_t>(outW)) return kJpegBadArgument;
    if (st->ncomp == 3 &&
        (cb == nullptr || cr == nullptr || cStride < static_cast<size_t>(chromaW))) {
        return kJpegBadArgument;
    }
    const int y0 = st->mcuRow * st->mcuH;
    const int lumaRows = outH - y0 < st->mcuH ? outH - y0 : st->mcuH;
    const int chromaRows =
        (st->layout == kJpeg420 || st->layout == kJpeg440) ? lumaRows / 2 : lumaRows;
    uint8_t* planes[3] = {y, cb, cr};
    const size_t strides[3] = {yStride, cStride, cStride};
    const int planeW[3] = {outW, chromaW, chromaW};
    const int planeRows[3] = {lumaRows, chromaRows, chromaRows};

    const JpegInverseDctFn idct = JpegActiveKernels().inverseDct;
    std::memset(st->coef, 0, sizeof(st->coef));
    for (int mx = 0; mx < st->mcusX; ++mx) {
        if (st->restartInterval) {
            if (st->mcusToRestart == 0) {
                const int rc = st->Restart();
                if (rc != kJpegOk) return st->err = rc;
                st->mcusToRestart = st->restartInterval;
            }
            --st->mcusToRestart;
        }
        // Ask for the output lines a few MCUs ahead, one request per line.
        if ((mx & 3) == 0 && mx + 4 < st->mcusX) {
            for (int p = 0; p < st->ncomp; ++p) {
                const Component& c = st->comp[p];
                const int x = (mx + 4) * c.h * 8;
                if (x >= planeW[c.plane]) continue;
                for (int r = 0; r < planeRows[c.plane]; ++r) {
                    __builtin_prefetch(planes[c.plane] + r * strides[c.plane] + x, 1);
                }
            }
        }
        for (int si = 0; si < st->ncomp; ++si) {
            Component& c = st->comp[st->scanOrder[si]];
            const int p = c.plane;
            for (int by = 0; by < c.v; ++by) {
                for (int bx = 0; bx < c.h; ++bx) {
                    int last = 0;
                    int rc = st->DecodeBlock(c, &last);
                    if (rc != kJpegOk) {
                        // Garbage decoded from past the end of the data is an early end.
                        if (st->nbits < 0 && st->stoppedAtEnd) rc = kJpegPrematureEnd;
                        return st->err = rc;
                    }
                    const int x0 = (mx * c.h + bx) * 8;
                    const int r0 = by * 8;
                    if (x0 < planeW[p] && r0 < planeRows[p]) {
                        const bool inside = x0 + 8 <= planeW[p] && r0 + 8 <= planeRows[p];
                        uint8_t* dst = inside ? planes[p] + r0 * strides[p] + x0 : st->edge;
                        const size_t stride = inside ? strides[p] : 8;
                        if (last == 0) {
                            const uint8_t v = JpegIdctDcValue(st->coef[0], c.quant[0]);
                            for (int r = 0; r < 8; ++r) std::memset(dst + r * stride, v, 8);
                        } else {
                            idct(st->coef, c.quant, dst, stride);
                        }
                        if (!inside) {
                            const int w = planeW[p] - x0 < 8 ? planeW[p] - x0 : 8;
                            const int h = planeRows[p] - r0 < 8 ? planeRows[p] - r0 : 8;
                            for (int r = 0; r < h; ++r) {
                                std::memcpy(planes[p] + (r0 + r) * strides[p] + x0,
                                            st->edge + r * 8, static_cast<size_t>(w));
                            }
                        }
                    }
                    std::memset(st->coef, 0, sizeof(st->coef));
                }
            }
        }
        if (st->nbits < 0) {
            return st->err = st->stoppedAtEnd ? kJpegPrematureEnd : kJpegCorruptData;
        }
    }
    ++st->mcuRow;
    *rows = lumaRows;
    return kJpegOk;
}

void JpegDecoder::Close() {
    State* st = m_pState;
    if (st == nullptr) return;
    const JpegAllocator alloc = st->alloc;
    if (st->in) alloc.release(alloc.opaque, st->in);
    if (st->seg) alloc.release(alloc.opaque, st->seg);
    st->~State();
    alloc.release(alloc.opaque, st);
    m_pState = nullptr;
}
