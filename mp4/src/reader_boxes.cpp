// The box walker of MP4Spliter: the top-level walk, ReadAtom with its
// dispatch, the children walk and the leaf parsers that fill track records.
#include <cstdarg>
#include <cstdio>

#include "platform/bytes.h"
#include "reader_internal.h"

namespace mp4read {
namespace {

constexpr int kMaxDepth = 16;
constexpr uint32_t kTrackGroup = 60;
// Leaf payloads read into memory when the stream size is unknown.
constexpr uint64_t kMaxUnknownLeaf = 64u << 20;

constexpr uint32_t T(const char (&s)[5]) {
    return Mp4FourCC(s[0], s[1], s[2], s[3]);
}

bool g_trace = true;

using platform::Be16;
using platform::Be32;
using platform::Be64;

// Bounds-checked cursor over a payload in memory.
struct Cursor {
    const uint8_t* p;
    uint64_t n = 0;
    uint64_t at = 0;

    bool Has(uint64_t k) const { return k <= n - at; }
    bool Skip(uint64_t k) {
        if (!Has(k)) return false;
        at += k;
        return true;
    }
    bool U8(uint32_t* v) {
        if (!Has(1)) return false;
        *v = p[at++];
        return true;
    }
    bool U16(uint32_t* v) {
        if (!Has(2)) return false;
        *v = Be16(p + at);
        at += 2;
        return true;
    }
    bool U32(uint32_t* v) {
        if (!Has(4)) return false;
        *v = Be32(p + at);
        at += 4;
        return true;
    }
    bool U64(uint64_t* v) {
        if (!Has(8)) return false;
        *v = Be64(p + at);
        at += 8;
        return true;
    }
    const uint8_t* Here() const { return p + at; }
    uint64_t Left() const { return n - at; }
};

int64_t Tell(MP4Spliter* sp) {
    return sp->io.tell(sp->io.user);
}

int SeekTo(MP4Spliter* sp, int64_t pos) {
    return sp->io.seek(sp->io.user, pos, kMp4SeekSet) == 0 ? 0 : kMp4ReadIoFailed;
}

int ReadExact(MP4Spliter* sp, void* dst, int64_t n) {
    int64_t got = sp->io.read(sp->io.user, dst, n);
    if (got < 0) return kMp4ReadIoFailed;
    return got == n ? 0 : kMp4ReadEndOfData;
}

int Read32(MP4Spliter* sp, uint32_t* v) {
    uint8_t b[4];
    int r = ReadExact(sp, b, 4);
    if (r == 0) *v = Be32(b);
    return r;
}

// Reads a whole leaf payload of a box into payload; refuses payloads that
// reach past the end of the stream before allocating.
int ReadPayload(MP4Spliter* sp, uint64_t payloadSize, Array<uint8_t>* payload) {
    int64_t pos = Tell(sp);
    if (pos < 0) return kMp4ReadIoFailed;
    if (sp->llStreamSize2 >= 0) {
        if (static_cast<uint64_t>(pos) > static_cast<uint64_t>(sp->llStreamSize2) ||
            payloadSize > static_cast<uint64_t>(sp->llStreamSize2 - pos))
            return kMp4ReadEndOfData;
    } else if (payloadSize > kMaxUnknownLeaf) {
        return kMp4ReadMalformed;
    }
    if (!payload->Resize(payloadSize)) return kMp4ReadNoMemory;
    if (payloadSize == 0) return 0;
    return ReadExact(sp, payload->Data(), static_cast<int64_t>(payloadSize));
}

// Full-box header: version and flags.
bool FullBox(Cursor* c, uint32_t* version) {
    uint32_t vf = 0;
    if (!c->U32(&vf)) return false;
    *version = vf >> 24;
    return true;
}

// Reads an entry count and checks count * entrySize against the payload.
bool TableCount(Cursor* c, uint32_t entrySize, uint32_t* count) {
    if (!c->U32(count)) return false;
    return uint64_t{*count} * entrySize <= c->Left();
}

int ReadAtom(MP4Spliter* sp, uint32_t type, uint64_t size);

// Walks the children of a container whose 8-byte header has been read.
int WalkChildren(MP4Spliter* sp, uint64_t parentSize) {
    int64_t start = Tell(sp);
    if (start < 0) return kMp4ReadIoFailed;
    start -= 8;
    if (sp->depth >= kMaxDepth) return kMp4ReadMalformed;
    ++sp->depth;
    int res = 0;
    uint64_t off = 8;
    while (off < parentSize) {
        if (parentSize - off < 8) break;
        if (sp->llStreamSize2 >= 0 &&
            static_cast<uint64_t>(start) + off + 8 > static_cast<uint64_t>(sp->llStreamSize2)) {
            res = kMp4ReadEndOfData;
            break;
        }
        res = SeekTo(sp, start + static_cast<int64_t>(off));
        if (res) break;
        uint32_t childSize = 0, childType = 0;
        if ((res = Read32(sp, &childSize)) != 0) break;
        if (childSize == 0) break;
        if (childSize > parentSize - off) childSize = static_cast<uint32_t>(parentSize - off);
        if ((res = Read32(sp, &childType)) != 0) break;
        if (childSize < 8) break;
        res = ReadAtom(sp, childType, childSize);
        if (res) break;
        if (childType == T("moof")) break;
        off += childSize;
    }
    --sp->depth;
    return res;
}

// ---- Leaf parsers. Each gets the payload (the box less its header). ----

int ParseFtyp(MP4Spliter* sp, Cursor c) {
    uint32_t brand = 0;
    if (c.U32(&brand)) sp->majorBrand = brand;
    return 0;
}

int ParseMvhd(MP4Spliter* sp, Cursor c) {
    uint32_t version = 0, ts = 0;
    if (!FullBox(&c, &version)) return kMp4ReadMalformed;
    uint64_t dur = 0;
    if (version == 1) {
        if (!c.Skip(16) || !c.U32(&ts) || !c.U64(&dur)) return kMp4ReadMalformed;
    } else {
        uint32_t d32 = 0;
        if (!c.Skip(8) || !c.U32(&ts) || !c.U32(&d32)) return kMp4ReadMalformed;
        dur = d32;
    }
    sp->movieTimescale = ts;
    sp->movieDuration = dur;
    return 0;
}

int ParseTkhd(Track* t, Cursor c) {
    uint32_t version = 0, id = 0, w = 0, h = 0;
    uint64_t dur = 0;
    if (!FullBox(&c, &version)) return kMp4ReadMalformed;
    if (version == 1) {
        if (!c.Skip(16) || !c.U32(&id) || !c.Skip(4) || !c.U64(&dur)) return kMp4ReadMalformed;
    } else {
        uint32_t d32 = 0;
        if (!c.Skip(8) || !c.U32(&id) || !c.Skip(4) || !c.U32(&d32)) return kMp4ReadMalformed;
        dur = d32;
    }
    if (!c.Skip(52) || !c.U32(&w) || !c.U32(&h)) return kMp4ReadMalformed;
    t->trackId = id;
    t->tkhdDuration = dur;
    t->tkhdWidth = w >> 16;
    t->tkhdHeight = h >> 16;
    return 0;
}

int ParseMdhd(Track* t, Cursor c) {
    uint32_t version = 0, ts = 0, lang = 0;
    uint64_t dur = 0;
    if (!FullBox(&c, &version)) return kMp4ReadMalformed;
    if (version == 1) {
        if (!c.Skip(16) || !c.U32(&ts) || !c.U64(&dur)) return kMp4ReadMalformed;
    } else {
        uint32_t d32 = 0;
        if (!c.Skip(8) || !c.U32(&ts) || !c.U32(&d32)) return kMp4ReadMalformed;
        dur = d32;
    }
    if (ts == 0) return kMp4ReadNotApplicable;
    if (!c.U16(&lang)) lang = 0;
    t->timescale = ts;
    t->duration = dur;
    t->language = static_cast<uint16_t>(lang);
    return 0;
}

int ParseHdlr(Track* t, Cursor c) {
    if (t->handlerSeen) return 0;
    uint32_t version = 0, pre = 0, type = 0;
    if (!FullBox(&c, &version) || !c.U32(&pre) || !c.U32(&type)) return kMp4ReadMalformed;
    t->handlerSeen = true;
    if (type == kMp4HandlerVideo || type == kMp4HandlerSound || type == kMp4HandlerText)
        t->handler = type;
    else
        t->drop = true;
    // The name after three reserved words, up to its terminating zero.
    if (c.Skip(12)) {
        const uint8_t* name = c.p + c.at;
        uint64_t len = 0;
        while (len < c.n - c.at && name[len] != 0) ++len;
        if (!t->handlerName.Resize(len)) return kMp4ReadNoMemory;
        if (len) std::memcpy(t->handlerName.Data(), name, static_cast<size_t>(len));
    }
    return 0;
}

bool CopyConfig(Track* t, const uint8_t* p, uint64_t n) {
    if (!t->config.Resize(n)) return false;
    if (n) std::memcpy(t->config.Data(), p, static_cast<size_t>(n));
    return true;
}

// Length of an esds descriptor (up to four 7-bit groups).
bool DescriptorLength(Cursor* c, uint32_t* len) {
    *len = 0;
    for (int i = 0; i < 4; ++i) {
        uint32_t b = 0;
        if (!c->U8(&b)) return false;
        *len = (*len << 7) | (b & 0x7f);
        if (!(b & 0x80)) return true;
    }
    return true;
}

int ParseEsds(Track* t, Cursor c) {
    uint32_t version = 0, tag = 0, len = 0;
    if (!FullBox(&c, &version) || !c.U8(&tag) || !DescriptorLength(&c, &len))
        return kMp4ReadMalformed;
    if (tag == 0x03) {
        uint32_t id = 0, flags = 0;
        if (!c.U16(&id) || !c.U8(&flags)) return kMp4ReadMalformed;
        if (flags & 0x80 && !c.Skip(2)) return kMp4ReadMalformed;
        if (flags & 0x40) {
            uint32_t urlLen = 0;
            if (!c.U8(&urlLen) || !c.Skip(urlLen)) return kMp4ReadMalformed;
        }
        if (flags & 0x20 && !c.Skip(2)) return kMp4ReadMalformed;
        if (!c.U8(&tag) || !DescriptorLength(&c, &len)) return kMp4ReadMalformed;
    }
    if (tag != 0x04) return kMp4ReadMalformed;
    uint32_t oti = 0;
    if (!c.U8(&oti) || !c.Skip(12)) return kMp4ReadMalformed;
    if (oti == 0x69 || oti == 0x6b) t->codec = kMp4CodecMp3;
    if (!c.U8(&tag)) return 0;  // no decoder-specific info
    if (tag != 0x05 || !DescriptorLength(&c, &len) || !c.Has(len)) return kMp4ReadMalformed;
    if (t->codec == kMp4CodecAac && len >= 2) {
        // The AAC configuration knows the true rate and channel layout; sample
        // entries often carry 2 channels for mono.
        static const uint32_t kRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                            22050, 16000, 12000, 11025, 8000,  7350};
        const uint8_t* a = c.Here();
        uint32_t object = a[0] >> 3u;
        uint32_t rateIndex = ((a[0] & 7u) << 1) | (a[1] >> 7u);
        uint32_t channels = (a[1] >> 3u) & 15u;
        if (object != 31 && rateIndex < 13) {
            t->sampleRate = kRates[rateIndex];
            if (channels >= 1 && channels <= 6) t->channels = channels;
            if (channels == 7) t->channels = 8;
        }
    }
    return CopyConfig(t, c.Here(), len) ? 0 : kMp4ReadNoMemory;
}

int ParseSampleEntryChildren(MP4Spliter* sp, Track* t, Cursor c, int depth);

// Dispatches the child boxes of a sample entry, held in memory.
int ParseEntryChild(MP4Spliter* sp, Track* t, uint32_t type, Cursor body, int depth) {
    switch (type) {
        case T("avcC"):
        case T("hvcC"):
            return CopyConfig(t, body.p, body.n) ? 0 : kMp4ReadNoMemory;
        case T("esds"):
            return ParseEsds(t, body);
        case T("alac"):
            // The configuration box inside an alac entry: version, flags, then the
            // 24-byte configuration with the sample rate in its last word.
            if (body.n >= 28) {
                t->sampleRate = Be32(body.p + 24);
                t->sampleBits = body.p[9];
                t->channels = body.p[13];
            }
            return CopyConfig(t, body.p + (body.n >= 4 ? 4 : 0), body.n >= 4 ? body.n - 4 : 0)
                       ? 0
                       : kMp4ReadNoMemory;
        case T("wave"):
            return ParseSampleEntryChildren(sp, t, body, depth + 1);
        case T("sinf"):
        case T("schm"):
        case T("schi"):
        case T("tenc"):
            t->protectedEntry = true;
            sp->protectedSeen = true;
            return 0;
        default:
            return 0;
    }
}

int ParseSampleEntryChildren(MP4Spliter* sp, Track* t, Cursor c, int depth) {
    if (depth > 4) return kMp4ReadMalformed;
    while (c.Left() >= 8) {
        uint32_t size = Be32(c.Here()), type = Be32(c.Here() + 4);
        if (size < 8) break;
        if (size > c.Left()) size = static_cast<uint32_t>(c.Left());
        Cursor body{c.Here() + 8, size - 8u};
        int r = ParseEntryChild(sp, t, type, body, depth);
        if (r) return r;
        c.Skip(size);
    }
    return 0;
}

int ParseStsd(MP4Spliter* sp, Track* t, Cursor c) {
    uint32_t version = 0, count = 0, size = 0, type = 0;
    if (!FullBox(&c, &version) || !c.U32(&count)) return kMp4ReadMalformed;
    if (count == 0) return 0;
    if (!c.U32(&size) || !c.U32(&type) || size < 8 || size - 8u > c.Left())
        return kMp4ReadMalformed;
    Cursor e{c.Here(), size - 8u};
    t->haveEntry = true;
    t->entryType = type;
    t->config.Clear();
    switch (type) {
        case T("avc1"):
        case T("avc3"):
            t->codec = kMp4CodecH264;
            break;
        case T("hvc1"):
        case T("hev1"):
            t->codec = kMp4CodecHevc;
            break;
        case T("mp4a"):
            t->codec = kMp4CodecAac;
            break;
        case T(".mp3"):
            t->codec = kMp4CodecMp3;
            break;
        case T("ac-3"):
            t->codec = kMp4CodecAc3;
            break;
        case T("alac"):
            t->codec = kMp4CodecAlac;
            break;
        case T("encv"):
        case T("enca"):
            t->protectedEntry = true;
            sp->protectedSeen = true;
            t->codec = type;
            return 0;
        default:
            t->codec = type;
            break;
    }
    if (t->handler == kMp4HandlerVideo) {
        uint32_t w = 0, h = 0;
        if (!e.Skip(24) || !e.U16(&w) || !e.U16(&h) || !e.Skip(50)) return kMp4ReadMalformed;
        t->width = w;
        t->height = h;
    } else if (t->handler == kMp4HandlerSound) {
        uint32_t soundVersion = 0, ch = 0, bits = 0, rate = 0;
        if (!e.Skip(8) || !e.U16(&soundVersion) || !e.Skip(6) || !e.U16(&ch) || !e.U16(&bits) ||
            !e.Skip(4) || !e.U32(&rate))
            return kMp4ReadMalformed;
        t->channels = ch;
        t->sampleBits = bits;
        t->sampleRate = rate >> 16;
        if (soundVersion == 1) {
            if (!e.Skip(16)) return kMp4ReadMalformed;
        } else if (soundVersion == 2) {
            uint64_t rateBits = 0;
            uint32_t ch2 = 0, bits2 = 0;
            if (!e.Skip(4) || !e.U64(&rateBits) || !e.U32(&ch2) || !e.Skip(4) || !e.U32(&bits2) ||
                !e.Skip(12))
                return kMp4ReadMalformed;
            double rate2;
            std::memcpy(&rate2, &rateBits, sizeof rate2);
            if (rate2 > 0 && rate2 < 4e9) t->sampleRate = static_cast<uint32_t>(rate2);
            t->channels = ch2;
            t->sampleBits = bits2;
        }
    } else {
        // Text and other entries: children, if any, are not needed.
        return e.Skip(8) ? 0 : kMp4ReadMalformed;
    }
    return ParseSampleEntryChildren(sp, t, Cursor{e.Here(), e.Left()}, 0);
}

int ParseStts(Track* t, Cursor c) {
    uint32_t version = 0, count = 0;
    if (!FullBox(&c, &version) || !TableCount(&c, 8, &count)) return kMp4ReadMalformed;
    if (!t->stts.Resize(count)) return kMp4ReadNoMemory;
    for (uint32_t i = 0; i < count; ++i) {
        c.U32(&t->stts[i].count);
        c.U32(&t->stts[i].delta);
    }
    t->haveStts = true;
    return 0;
}

int ParseCtts(Track* t, Cursor c) {
    uint32_t version = 0, count = 0;
    if (!FullBox(&c, &version) || !TableCount(&c, 8, &count)) return kMp4ReadMalformed;
    if (!t->ctts.Resize(count)) return kMp4ReadNoMemory;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t off = 0;
        c.U32(&t->ctts[i].count);
        c.U32(&off);
        t->ctts[i].offset = static_cast<int32_t>(off);
    }
    return 0;
}

int ParseStsc(Track* t, Cursor c) {
    uint32_t version = 0, count = 0;
    if (!FullBox(&c, &version) || !TableCount(&c, 12, &count)) return kMp4ReadMalformed;
    if (!t->stsc.Resize(count)) return kMp4ReadNoMemory;
    for (uint32_t i = 0; i < count; ++i) {
        c.U32(&t->stsc[i].firstChunk);
        c.U32(&t->stsc[i].perChunk);
        c.Skip(4);
    }
    t->haveStsc = true;
    return 0;
}

int ParseStsz(Track* t, Cursor c) {
    uint32_t version = 0, fixed = 0, count = 0;
    if (!FullBox(&c, &version) || !c.U32(&fixed)) return kMp4ReadMalformed;
    if (fixed != 0) {
        if (!c.U32(&count)) return kMp4ReadMalformed;
        t->sizes.Clear();
    } else {
        if (!TableCount(&c, 4, &count)) return kMp4ReadMalformed;
        if (!t->sizes.Resize(count)) return kMp4ReadNoMemory;
        for (uint32_t i = 0; i < count; ++i) c.U32(&t->sizes[i]);
    }
    t->fixedSize = fixed;
    t->stszCount = count;
    t->haveStsz = true;
    return 0;
}

int ParseChunkOffsets(Track* t, Cursor c, bool wide) {
    uint32_t version = 0, count = 0;
    if (!FullBox(&c, &version) || !TableCount(&c, wide ? 8 : 4, &count)) return kMp4ReadMalformed;
    if (!t->chunks.Resize(count)) return kMp4ReadNoMemory;
    for (uint32_t i = 0; i < count; ++i) {
        if (wide) {
            c.U64(&t->chunks[i]);
        } else {
            uint32_t v = 0;
            c.U32(&v);
            t->chunks[i] = v;
        }
    }
    t->haveChunks = true;
    return 0;
}

int ParseStss(Track* t, Cursor c) {
    uint32_t version = 0, count = 0;
    if (!FullBox(&c, &version) || !TableCount(&c, 4, &count)) return kMp4ReadMalformed;
    if (!t->stss.Resize(count)) return kMp4ReadNoMemory;
    for (uint32_t i = 0; i < count; ++i) c.U32(&t->stss[i]);
    t->haveStss = true;
    return 0;
}

int ParseElst(Track* t, Cursor c) {
    uint32_t version = 0, count = 0;
    if (!FullBox(&c, &version) || !TableCount(&c, version == 1 ? 20 : 12, &count))
        return kMp4ReadMalformed;
    t->editMediaTime = -1;
    for (uint32_t i = 0; i < count; ++i) {
        int64_t mediaTime = 0;
        if (version == 1) {
            uint64_t v = 0;
            c.Skip(8);
            c.U64(&v);
            mediaTime = static_cast<int64_t>(v);
        } else {
            uint32_t v = 0;
            c.Skip(4);
            c.U32(&v);
            mediaTime = static_cast<int32_t>(v);
        }
        c.Skip(4);
        if (mediaTime >= 0) {
            t->editMediaTime = mediaTime;
            break;
        }
    }
    return 0;
}

// A leaf box: reads its payload and runs the parser for its type.
int ParseLeaf(MP4Spliter* sp, uint32_t type, uint64_t size) {
    Track* t = sp->cur;
    bool needsTrack = type != T("ftyp") && type != T("mvhd");
    if (needsTrack && !t) return 0;  // outside a track: nothing to fill
    Array<uint8_t> payload;
    int r = ReadPayload(sp, size - 8, &payload);
    if (r) return r;
    Cursor c{payload.Data(), payload.Size()};
    switch (type) {
        case T("ftyp"):
            return ParseFtyp(sp, c);
        case T("mvhd"):
            return ParseMvhd(sp, c);
        case T("tkhd"):
            return ParseTkhd(t, c);
        case T("mdhd"):
            return ParseMdhd(t, c);
        case T("hdlr"):
            return ParseHdlr(t, c);
        case T("stsd"):
            return ParseStsd(sp, t, c);
        case T("stts"):
            return ParseStts(t, c);
        case T("ctts"):
            return ParseCtts(t, c);
        case T("stsc"):
            return ParseStsc(t, c);
        case T("stsz"):
            return ParseStsz(t, c);
        case T("stco"):
            return ParseChunkOffsets(t, c, false);
        case T("co64"):
            return ParseChunkOffsets(t, c, true);
        case T("stss"):
            return ParseStss(t, c);
        case T("elst"):
            return ParseElst(t, c);
        default:
            return 0;
    }
}

int ParseTrak(MP4Spliter* sp, uint64_t size) {
    if (sp->cur) return 0;  // a track inside a track is skipped
    if (sp->trackCount == sp->trackCapacity) {
        uint32_t cap = sp->trackCapacity + kTrackGroup;
        if (cap < sp->trackCapacity) return kMp4ReadNoMemory;
        void* p = std::realloc(sp->tracks, sizeof(Track*) * cap);
        if (!p) return kMp4ReadNoMemory;
        sp->tracks = static_cast<Track**>(p);
        sp->trackCapacity = cap;
    }
    Track* t = new (std::nothrow) Track;
    if (!t) return kMp4ReadNoMemory;
    sp->cur = t;
    int r = WalkChildren(sp, size);
    sp->cur = nullptr;
    if (r == 0 && t->handler != 0 && !t->drop) {
        sp->tracks[sp->trackCount++] = t;
    } else {
        if (t->protectedEntry) sp->protectedSeen = true;
        delete t;
    }
    return r;
}

int ReadAtom(MP4Spliter* sp, uint32_t type, uint64_t size) {
    int64_t start = Tell(sp);
    if (start < 0) return kMp4ReadIoFailed;
    int r = 0;
    switch (type) {
        case T("moov"):
        case T("mdia"):
        case T("stbl"):
        case T("edts"):
        case T("wave"):
        case T("minf"):
        case T("udta"):
        case T("schi"):
            r = WalkChildren(sp, size);
            break;
        case T("trak"):
            r = ParseTrak(sp, size);
            break;
        case T("sinf"):
        case T("pssh"):
        case T("schm"):
        case T("tenc"):
        case T("saiz"):
            sp->protectedSeen = true;
            break;
        case T("mvex"):
        case T("moof"):
        case T("traf"):
        case T("mehd"):
        case T("trex"):
        case T("tfhd"):
        case T("trun"):
            sp->fragmented = true;
            sp->fragmentBoxes = true;
            break;
        case T("ftyp"):
        case T("mvhd"):
        case T("tkhd"):
        case T("mdhd"):
        case T("hdlr"):
        case T("stsd"):
        case T("stts"):
        case T("ctts"):
        case T("stsc"):
        case T("stsz"):
        case T("stco"):
        case T("co64"):
        case T("stss"):
        case T("elst"):
            r = ParseLeaf(sp, type, size);
            break;
        default:  // "uuid" user types (the spherical box among them) and the rest
            break;
    }
    if (r) return r;
    int64_t end = start + static_cast<int64_t>(size - 8);
    if (sp->llStreamSize2 >= 0 && end > sp->llStreamSize2) {
        // Only the media data may run past the available data.
        if (type != T("mdat")) return kMp4ReadEndOfData;
        end = sp->llStreamSize2;
    }
    return SeekTo(sp, end);
}

}  // namespace

void SetTrace(int enabled) {
    g_trace = enabled != 0;
}

void Trace(const char* fmt, ...) {
    if (!g_trace) return;
    va_list ap;
    va_start(ap, fmt);
    std::vprintf(fmt, ap);
    va_end(ap);
}

void FreeTracks(MP4Spliter* sp) {
    for (uint32_t i = 0; i < sp->trackCount; ++i) delete sp->tracks[i];
    std::free(sp->tracks);
    sp->tracks = nullptr;
    sp->trackCount = 0;
    sp->trackCapacity = 0;
}

int WalkTopLevel(MP4Spliter* sp) {
    sp->llStreamSize2 = sp->io.size ? sp->io.size(sp->io.user) : -1;
    if (sp->llStreamSize2 < 0) sp->llStreamSize2 = -1;
    Trace("pMP4Spliter->llStreamSize2 = %lld\r\n", static_cast<long long>(sp->llStreamSize2));
    const int64_t streamSize = sp->llStreamSize2;
    int res = SeekTo(sp, 0);
    int64_t pos = 0;
    while (res == 0 && (streamSize < 0 || pos < streamSize)) {
        if ((res = SeekTo(sp, pos)) != 0) break;
        uint32_t boxSize = 0, boxType = 0;
        if ((res = Read32(sp, &boxSize)) != 0) break;
        Trace("dwBoxSize = 0x%x\r\n", boxSize);
        if ((res = Read32(sp, &boxType)) != 0) break;
        Trace("dwBoxType = 0x%x\r\n", boxType);
        if (boxType == T("mdat") && boxSize == 1) {
            uint8_t b[8];
            if ((res = ReadExact(sp, b, 8)) != 0) break;
            uint64_t dataSize = Be64(b);
            Trace("llDataSize = %lld\r\n", static_cast<long long>(dataSize));
            sp->bMdatFound = 1;
            int64_t here = Tell(sp);
            Trace("llPos = %lld\r\n", static_cast<long long>(here));
            if (dataSize < 16 || dataSize > static_cast<uint64_t>(INT64_MAX) - 16) break;
            if (streamSize >= 0 && dataSize - 16 > static_cast<uint64_t>(streamSize)) {
                Trace("seek length1 = %lld\r\n", static_cast<long long>(streamSize));
                res = SeekTo(sp, streamSize);
            } else {
                int64_t end = here + static_cast<int64_t>(dataSize - 16);
                Trace("seek length2 = %lld\r\n", static_cast<long long>(end));
                res = SeekTo(sp, end);
            }
            if (res) break;
            if (static_cast<uint64_t>(pos) > static_cast<uint64_t>(INT64_MAX) - dataSize) break;
            pos += static_cast<int64_t>(dataSize);
            if (!sp->bMoovFound) continue;
            break;
        }
        if (boxType == T("mdat")) sp->bMdatFound = 1;
        if (boxSize < 8) break;
        if (boxType == T("moov")) {
            if (sp->bMdatFound && boxSize > 0x10000 && sp->deferredMoovSize == 0 &&
                sp->mode == kMp4ReadModeVideoOnly) {
                sp->deferredMoovSize = boxSize;
                int64_t back = streamSize >= 8 ? streamSize - 8 : 0;
                sp->io.seek(sp->io.user, back, kMp4SeekSet);
                return kMp4ReadLateMovie;
            }
            sp->bMoovFound = 1;
        }
        if (sp->bMoovFound && sp->bMdatFound) {
            if (sp->fragmented) {
                int64_t end = Tell(sp) - 8 + boxSize;
                if (streamSize < 0 || end < streamSize)
                    sp->firstFragmentPos = end;
                else
                    sp->fragmented = false;
            }
            if (boxType == T("mdat")) break;
        }
        Trace("ReadAtom begin: \r\n");
        res = ReadAtom(sp, boxType, boxSize);
        Trace("res = %d, pMP4Spliter->bMoovFound = %d, pMP4Spliter->bMdatFound = %d\r\n", res,
              sp->bMoovFound, sp->bMdatFound);
        if (res) break;
        if (sp->bMoovFound && sp->bMdatFound) break;
        pos += boxSize;
    }
    if (res) return res;
    Trace("pMP4Spliter->bMoovFound = %d, pMP4Spliter->bMdatFound = %d\r\n", sp->bMoovFound,
          sp->bMdatFound);
    return sp->bMoovFound ? 0 : kMp4ReadNoMovie;
}

}  // namespace mp4read
