// MP4 writer: the movie box, written after the media data at close.
#include <cstdlib>
#include <cstring>

#include "writer_internal.h"

namespace mp4w {
namespace {

constexpr uint32_t kMovieScale = 100000;
constexpr uint32_t kCodecSowt = Mp4FourCC('s', 'o', 'w', 't');

// Buffered emitter over the output; boxes whose size is not known in advance
// get a placeholder header that Close rewrites.
class Emitter {
  public:
    explicit Emitter(MP4Writer* w) : m_w(w) {}

    int rc() const { return m_rc; }
    void U8(uint32_t v) {
        uint8_t b = static_cast<uint8_t>(v);
        Raw(&b, 1);
    }
    void U16(uint32_t v) {
        uint8_t b[2];
        PutBe16(b, v);
        Raw(b, 2);
    }
    void U32(uint32_t v) {
        uint8_t b[4];
        PutBe32(b, v);
        Raw(b, 4);
    }
    void U64(uint64_t v) {
        uint8_t b[8];
        PutBe64(b, v);
        Raw(b, 8);
    }
    void Zeros(size_t n) {
        static const uint8_t kZero[32] = {};
        while (n) {
            size_t k = n < sizeof kZero ? n : sizeof kZero;
            Raw(kZero, k);
            n -= k;
        }
    }
    void Raw(const void* p, size_t n) {
        if (m_rc) return;
        if (m_used + n > sizeof m_buf) {
            Flush();
            if (n > sizeof m_buf) {
                if (!m_rc) m_rc = OutWrite(m_w, p, n);
                return;
            }
        }
        std::memcpy(m_buf + m_used, p, n);
        m_used += n;
    }
    // Header of a box of known size.
    void Header(uint32_t size, uint32_t type) {
        U32(size);
        U32(type);
    }
    void FullHeader(uint32_t size, uint32_t type, uint32_t version, uint32_t flags) {
        Header(size, type);
        U32((version << 24) | (flags & 0xFFFFFF));
    }
    // Opens a box of unknown size; returns its start in the file.
    int64_t Open(uint32_t type) {
        Flush();
        int64_t pos = m_rc ? -1 : m_w->out.tell(m_w->out.user);
        if (pos < 0 && !m_rc) m_rc = kMp4WriterErrOutputSeek;
        Header(0, type);
        return pos;
    }
    void Close(int64_t pos) {
        Flush();
        if (m_rc) return;
        int64_t end = m_w->out.tell(m_w->out.user);
        if (end < pos) {
            m_rc = kMp4WriterErrOutputSeek;
            return;
        }
        uint8_t b[4];
        PutBe32(b, static_cast<uint32_t>(end - pos));
        if (m_w->out.seek(m_w->out.user, pos, kMp4SeekSet) != 0) {
            m_rc = kMp4WriterErrOutputSeek;
            return;
        }
        m_rc = OutWrite(m_w, b, 4);
        if (!m_rc && m_w->out.seek(m_w->out.user, end, kMp4SeekSet) != 0)
            m_rc = kMp4WriterErrOutputSeek;
    }
    void Flush() {
        if (!m_rc && m_used) m_rc = OutWrite(m_w, m_buf, m_used);
        m_used = 0;
    }
    void Fail(int rc) {
        if (!m_rc) m_rc = rc;
    }

  private:
    MP4Writer* m_w;
    uint8_t m_buf[8192];
    size_t m_used = 0;
    int m_rc = 0;
};

uint64_t Scaled(uint64_t ms, uint32_t scale) {
    return ms * scale / 1000;
}

uint32_t Clamp32(uint64_t v) {
    return v > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(v);
}

uint32_t MediaScale(const Track& t) {
    if (t.handler == kMp4HandlerSound && t.sound.sampleRate) return t.sound.sampleRate;
    return kMovieScale;
}

// Streams every entry of one table of track `ti`: the spilled blocks in order,
// then the block still in memory. With `narrow`, 64-bit entries are written
// as 32-bit ones.
void EmitTable(MP4Writer* w, Emitter& e, uint32_t ti, const Table& t, uint8_t* scratch,
               bool narrow) {
    auto put = [&](const uint8_t* p, uint32_t length) {
        if (!narrow) {
            e.Raw(p, length);
            return;
        }
        for (uint32_t i = 0; i + 8 <= length; i += 8) e.Raw(p + i + 4, 4);
    };
    for (uint32_t i = 0; i < w->blockCount && !e.rc(); ++i) {
        const Block& b = w->blocks[i];
        if (b.track != ti || b.type != t.type) continue;
        int rc = ReadBlock(w, b, scratch);
        if (rc) {
            e.Fail(rc);
            return;
        }
        put(scratch, b.length);
    }
    if (t.count) put(t.p, t.count * t.entrySize);
}

uint32_t TableBytes(const Table& t, uint32_t entrySize) {
    return Clamp32(t.total * entrySize);
}

// Collects the parameter sets of an Annex-B codec configuration.
struct ParamSets {
    const uint8_t* nal[32];
    uint32_t size[32];
    uint32_t type[32];
    uint32_t count = 0;
};

void SplitAnnexB(const uint8_t* p, size_t n, ParamSets* out) {
    size_t i = 0;
    auto startAt = [&](size_t k) {
        return k + 3 <= n && p[k] == 0 && p[k + 1] == 0 && p[k + 2] == 1;
    };
    while (i < n && !startAt(i)) ++i;
    while (i < n && out->count < 32) {
        size_t begin = i + 3;
        size_t end = begin;
        while (end < n && !startAt(end)) ++end;
        size_t stop = end;
        while (stop > begin && p[stop - 1] == 0 && end < n) --stop;
        if (stop > begin) {
            out->nal[out->count] = p + begin;
            out->size[out->count] = static_cast<uint32_t>(stop - begin);
            out->type[out->count] = p[begin] & 0x1F;
            ++out->count;
        }
        i = end;
    }
}

// avcC body from the codec configuration; false when there is no usable
// sequence parameter set.
bool BuildAvcC(const Bytes& config, Bytes* out, MP4Writer* w) {
    if (config.size == 0) return false;
    if (config.p[0] == 1) return Assign(w, out, config.p, config.size);
    ParamSets sets;
    SplitAnnexB(config.p, config.size, &sets);
    const uint8_t* sps = nullptr;
    uint32_t nsps = 0, npps = 0;
    size_t total = 7;
    for (uint32_t i = 0; i < sets.count; ++i) {
        if (sets.type[i] == 7) {
            if (!sps) sps = sets.nal[i];
            if (sets.size[i] < 4) return false;
            ++nsps;
        } else if (sets.type[i] == 8) {
            ++npps;
        } else {
            continue;
        }
        total += 2 + sets.size[i];
    }
    if (!sps || nsps > 31 || npps > 255) return false;
    if (!Reserve(w, out, total)) return false;
    uint8_t* d = out->p;
    d[0] = 1;
    d[1] = sps[1];
    d[2] = sps[2];
    d[3] = sps[3];
    d[4] = 0xFF;  // 4-byte lengths
    d[5] = static_cast<uint8_t>(0xE0 | nsps);
    size_t k = 6;
    for (uint32_t pass = 7; pass <= 8; ++pass) {
        if (pass == 8) d[k++] = static_cast<uint8_t>(npps);
        for (uint32_t i = 0; i < sets.count; ++i) {
            if (sets.type[i] != pass) continue;
            PutBe16(d + k, sets.size[i]);
            std::memcpy(d + k + 2, sets.nal[i], sets.size[i]);
            k += 2 + sets.size[i];
        }
    }
    out->size = k;
    return true;
}

uint32_t SampleEntryType(uint32_t codec) {
    switch (codec) {
        case kMp4CodecH264:
            return Mp4FourCC('a', 'v', 'c', '1');
        case kMp4CodecHevc:
            return Mp4FourCC('h', 'v', 'c', '1');
        case Mp4FourCC('2', '6', '3', ' '):
        case Mp4FourCC('s', '2', '6', '3'):
            return Mp4FourCC('s', '2', '6', '3');
        case Mp4FourCC('m', '4', 'v', 's'):
            return Mp4FourCC('m', 'p', '4', 'v');
        case kMp4CodecAac:
        case Mp4FourCC('b', 's', 'a', 'c'):
        case kMp4CodecMp3:
            return Mp4FourCC('m', 'p', '4', 'a');
        case Mp4FourCC('a', 'm', 'r', 'n'):
            return Mp4FourCC('s', 'a', 'm', 'r');
        case Mp4FourCC('a', 'm', 'r', 'w'):
            return Mp4FourCC('s', 'a', 'w', 'b');
        case Mp4FourCC('q', 'c', 'p', ' '):
            return Mp4FourCC('q', 'c', 'l', 'p');
        case kCodecSowt:
            return kCodecSowt;
        default:
            return 0;
    }
}

uint32_t AverageBitRate(const Track& t) {
    if (t.durationMs == 0) return 0;
    return Clamp32(t.totalBytes * 8000 / t.durationMs);
}

void EmitVisualEntry(Emitter& e, const Track& t) {
    e.Zeros(6);
    e.U16(1);  // data reference index
    e.Zeros(16);
    e.U16(t.video.width & 0xFFFF);
    e.U16(t.video.height & 0xFFFF);
    e.U32(0x00480000);  // 72 dpi
    e.U32(0x00480000);
    e.U32(0);
    e.U16(1);  // frame count
    e.Zeros(32);
    e.U16(24);
    e.U16(0xFFFF);
}

void EmitVideoDescription(MP4Writer* w, Emitter& e, const Track& t, uint32_t entryType) {
    int64_t entry = e.Open(entryType);
    EmitVisualEntry(e, t);
    Bytes cfg{};
    if (t.codec == kMp4CodecH264) {
        if (BuildAvcC(t.config, &cfg, w)) {
            e.Header(static_cast<uint32_t>(8 + cfg.size), Mp4FourCC('a', 'v', 'c', 'C'));
            e.Raw(cfg.p, cfg.size);
        }
    } else if (t.codec == kMp4CodecHevc && t.config.size && t.config.p[0] == 1) {
        e.Header(static_cast<uint32_t>(8 + t.config.size), Mp4FourCC('h', 'v', 'c', 'C'));
        e.Raw(t.config.p, t.config.size);
    }
    Release(w, &cfg);
    if (t.codec == kMp4CodecH264 || t.codec == kMp4CodecHevc) {
        uint32_t avg = AverageBitRate(t);
        uint32_t peak = t.video.bitRate > avg ? t.video.bitRate : avg;
        e.Header(20, Mp4FourCC('b', 't', 'r', 't'));
        e.U32(t.maxSample);
        e.U32(peak);
        e.U32(avg);
    }
    e.Close(entry);
}

// The 2-byte low-complexity configuration for the rate and channels.
void DefaultAudioConfig(const Mp4SoundParams& s, uint8_t out[2]) {
    static const uint32_t kRates[] = {96000, 88200, 64000, 48000, 44100, 32000,
                                      24000, 22050, 16000, 12000, 11025, 8000};
    uint32_t index = 4;  // 44100 when the rate is not listed
    for (uint32_t i = 0; i < 12; ++i)
        if (kRates[i] == s.sampleRate) index = i;
    uint32_t channels = s.channels ? s.channels : 2;
    out[0] = static_cast<uint8_t>((2 << 3) | (index >> 1));
    out[1] = static_cast<uint8_t>(((index & 1) << 7) | ((channels & 0xF) << 3));
}

void Descriptor(Emitter& e, uint32_t tag, uint32_t length) {
    e.U8(tag);
    e.U8(0x80);
    e.U8(0x80);
    e.U8(0x80);
    e.U8(length);
}

void EmitEsds(Emitter& e, const Track& t) {
    uint8_t fallback[2];
    const uint8_t* cfg = t.config.p;
    uint32_t cfgSize = static_cast<uint32_t>(t.config.size);
    bool mp3 = t.codec == kMp4CodecMp3;
    if (!cfgSize && !mp3) {
        DefaultAudioConfig(t.sound, fallback);
        cfg = fallback;
        cfgSize = 2;
    }
    uint32_t configDesc = cfgSize ? 5 + cfgSize : 0;
    uint32_t decoder = 13 + configDesc;
    uint32_t es = 3 + 5 + decoder + 5 + 1;
    e.FullHeader(12 + 5 + es, Mp4FourCC('e', 's', 'd', 's'), 0, 0);
    Descriptor(e, 3, es);
    e.U16(0);  // ES identifier
    e.U8(0);
    Descriptor(e, 4, decoder);
    e.U8(mp3 ? 0x6B : 0x40);
    e.U8(0x15);  // audio stream
    e.U8(t.maxSample >> 16);
    e.U16(t.maxSample & 0xFFFF);
    uint32_t avg = AverageBitRate(t);
    e.U32(t.sound.bitRate > avg ? t.sound.bitRate : avg);
    e.U32(avg);
    if (cfgSize) {
        Descriptor(e, 5, cfgSize);
        e.Raw(cfg, cfgSize);
    }
    Descriptor(e, 6, 1);
    e.U8(2);
}

void EmitSoundDescription(Emitter& e, const Track& t, uint32_t entryType) {
    int64_t entry = e.Open(entryType);
    e.Zeros(6);
    e.U16(1);
    e.Zeros(8);
    e.U16(t.sound.channels ? t.sound.channels : 2);
    e.U16(entryType == kCodecSowt && t.sound.bitsPerSample ? t.sound.bitsPerSample : 16);
    e.U32(0);
    e.U32(t.sound.sampleRate <= 0xFFFF ? t.sound.sampleRate << 16 : 0);
    if (entryType == Mp4FourCC('m', 'p', '4', 'a')) EmitEsds(e, t);
    e.Close(entry);
}

void EmitStbl(MP4Writer* w, Emitter& e, uint32_t ti, uint8_t* scratch) {
    const Track& t = w->tracks[ti];
    bool sound = t.handler == kMp4HandlerSound;
    bool sowt = t.codec == kCodecSowt;
    int64_t stbl = e.Open(Mp4FourCC('s', 't', 'b', 'l'));

    // Time to sample.
    if (sound) {
        uint32_t count = t.samples ? 1 : 0;
        e.FullHeader(16 + 8 * count, Mp4FourCC('s', 't', 't', 's'), 0, 0);
        e.U32(count);
        if (count) {
            uint64_t units = (t.durationMs * t.sound.sampleRate + 500) / 1000;
            if (sowt) {
                e.U32(Clamp32(t.pcmFrames));
                e.U32(1);
            } else {
                e.U32(Clamp32(t.samples));
                e.U32(Clamp32((units + t.samples / 2) / t.samples));
            }
        }
    } else {
        e.FullHeader(16 + TableBytes(t.times, 8), Mp4FourCC('s', 't', 't', 's'), 0, 0);
        e.U32(Clamp32(t.times.total));
        EmitTable(w, e, ti, t.times, scratch, false);
    }
    if (t.compositionOn) {
        e.FullHeader(16 + TableBytes(t.composition, 8), Mp4FourCC('c', 't', 't', 's'),
                     t.compositionNegative ? 1 : 0, 0);
        e.U32(Clamp32(t.composition.total));
        EmitTable(w, e, ti, t.composition, scratch, false);
    }

    // Sample description.
    int64_t stsd = e.Open(Mp4FourCC('s', 't', 's', 'd'));
    e.U32(0);
    uint32_t entryType = SampleEntryType(t.codec);
    e.U32(entryType ? 1 : 0);
    if (entryType) {
        if (sound)
            EmitSoundDescription(e, t, entryType);
        else
            EmitVideoDescription(w, e, t, entryType);
    }
    e.Close(stsd);

    // Sample sizes.
    if (sowt) {
        e.FullHeader(20, Mp4FourCC('s', 't', 's', 'z'), 0, 0);
        uint32_t frame = (t.sound.channels ? t.sound.channels : 2) * (t.sound.bitsPerSample / 8);
        e.U32(frame ? frame : 4);
        e.U32(Clamp32(t.pcmFrames));
    } else {
        e.FullHeader(20 + TableBytes(t.sizes, 4), Mp4FourCC('s', 't', 's', 'z'), 0, 0);
        e.U32(0);
        e.U32(Clamp32(t.sizes.total));
        EmitTable(w, e, ti, t.sizes, scratch, false);
    }

    // Sample to chunk.
    e.FullHeader(16 + TableBytes(t.chunks, 12), Mp4FourCC('s', 't', 's', 'c'), 0, 0);
    e.U32(Clamp32(t.chunks.total));
    EmitTable(w, e, ti, t.chunks, scratch, false);

    if (t.handler == kMp4HandlerVideo) {
        e.FullHeader(16 + TableBytes(t.sync, 4), Mp4FourCC('s', 't', 's', 's'), 0, 0);
        e.U32(Clamp32(t.sync.total));
        EmitTable(w, e, ti, t.sync, scratch, false);
    }

    // Chunk offsets.
    if (IsLarge(w)) {
        e.FullHeader(16 + TableBytes(t.offsets, 8), Mp4FourCC('c', 'o', '6', '4'), 0, 0);
        e.U32(Clamp32(t.offsets.total));
        EmitTable(w, e, ti, t.offsets, scratch, false);
    } else {
        e.FullHeader(16 + TableBytes(t.offsets, 4), Mp4FourCC('s', 't', 'c', 'o'), 0, 0);
        e.U32(Clamp32(t.offsets.total));
        EmitTable(w, e, ti, t.offsets, scratch, true);
    }
    e.Close(stbl);
}

void EmitMatrix(Emitter& e, uint32_t rotation) {
    int32_t a = 0x10000, b = 0, c = 0, d = 0x10000;
    if (rotation == 90) {
        a = d = 0;
        b = 0x10000;
        c = -0x10000;
    } else if (rotation == 180) {
        a = d = -0x10000;
    } else if (rotation == 270) {
        a = d = 0;
        b = -0x10000;
        c = 0x10000;
    }
    e.U32(static_cast<uint32_t>(a));
    e.U32(static_cast<uint32_t>(b));
    e.U32(0);
    e.U32(static_cast<uint32_t>(c));
    e.U32(static_cast<uint32_t>(d));
    e.U32(0);
    e.U32(0);
    e.U32(0);
    e.U32(0x40000000);
}

void EmitTrack(MP4Writer* w, Emitter& e, uint32_t ti, uint8_t* scratch) {
    const Track& t = w->tracks[ti];
    bool video = t.handler == kMp4HandlerVideo;
    bool sound = t.handler == kMp4HandlerSound;
    int64_t trak = e.Open(Mp4FourCC('t', 'r', 'a', 'k'));

    e.FullHeader(92, Mp4FourCC('t', 'k', 'h', 'd'), 0, 1);
    e.U32(w->creation);
    e.U32(w->modification);
    e.U32(t.id);
    e.U32(0);
    e.U32(Clamp32(Scaled(t.durationMs, kMovieScale)));
    e.Zeros(8);
    e.U16(0);  // layer
    e.U16(0);  // alternate group
    e.U16(sound ? 0x0100 : 0);
    e.U16(0);
    EmitMatrix(e, video ? t.rotation : 0);
    e.U32(video ? t.video.width << 16 : 0);
    e.U32(video ? t.video.height << 16 : 0);

    int64_t mdia = e.Open(Mp4FourCC('m', 'd', 'i', 'a'));
    uint32_t scale = MediaScale(t);
    e.FullHeader(32, Mp4FourCC('m', 'd', 'h', 'd'), 0, 0);
    e.U32(w->creation);
    e.U32(w->modification);
    e.U32(scale);
    e.U32(Clamp32(Scaled(t.durationMs, scale)));
    e.U16(0x55C4);  // "und"
    e.U16(0);

    static const uint8_t kNoName[1] = {0};
    const uint8_t* name = t.name.size ? t.name.p : kNoName;
    uint32_t nameSize = t.name.size ? static_cast<uint32_t>(t.name.size) : 1;
    e.FullHeader(32 + nameSize, Mp4FourCC('h', 'd', 'l', 'r'), 0, 0);
    e.U32(0);
    e.U32(sound ? kMp4HandlerSound : video ? kMp4HandlerVideo : Mp4FourCC('h', 'i', 'n', 't'));
    e.Zeros(12);
    e.Raw(name, nameSize);

    int64_t minf = e.Open(Mp4FourCC('m', 'i', 'n', 'f'));
    if (video) {
        e.FullHeader(20, Mp4FourCC('v', 'm', 'h', 'd'), 0, 1);
        e.Zeros(8);
    } else if (sound) {
        e.FullHeader(16, Mp4FourCC('s', 'm', 'h', 'd'), 0, 0);
        e.Zeros(4);
    } else {
        e.FullHeader(12, Mp4FourCC('n', 'm', 'h', 'd'), 0, 0);
    }
    e.Header(36, Mp4FourCC('d', 'i', 'n', 'f'));
    e.FullHeader(28, Mp4FourCC('d', 'r', 'e', 'f'), 0, 0);
    e.U32(1);
    e.FullHeader(12, Mp4FourCC('u', 'r', 'l', ' '), 0, 1);
    EmitStbl(w, e, ti, scratch);
    e.Close(minf);
    e.Close(mdia);

    if (video && !t.plain) e.Raw(MP4SphericalBox(), kMp4SphericalBoxSize);
    e.Close(trak);
}

}  // namespace

int WriteMovie(MP4Writer* w) {
    constexpr size_t kScratch = 24000;  // the largest block
    auto* scratch = static_cast<uint8_t*>(Alloc(w, kScratch));
    if (!scratch) return kMp4WriterErrNoMemory;
    Emitter e(w);
    if (w->out.seek(w->out.user, 0, kMp4SeekEnd) != 0) e.Fail(kMp4WriterErrOutputSeek);
    int64_t moov = e.Open(Mp4FourCC('m', 'o', 'o', 'v'));

    uint64_t movieMs = 0;
    for (uint32_t i = 0; i < w->trackCount; ++i) {
        const Track& t = w->tracks[i];
        if (t.handler == kMp4HandlerVideo || t.handler == kMp4HandlerSound) {
            movieMs = t.durationMs;
            break;
        }
    }
    e.FullHeader(108, Mp4FourCC('m', 'v', 'h', 'd'), 0, 0);
    e.U32(w->creation);
    e.U32(w->modification);
    e.U32(kMovieScale);
    e.U32(Clamp32(Scaled(movieMs, kMovieScale)));
    e.U32(0x10000);
    e.U16(0x0100);
    e.Zeros(10);
    EmitMatrix(e, 0);
    e.Zeros(24);
    e.U32(w->trackCount + 1);

    for (uint32_t i = 0; i < w->trackCount && !e.rc(); ++i) EmitTrack(w, e, i, scratch);

    if (w->hasUserData) {
        e.Header(static_cast<uint32_t>(8 + w->userData.size), Mp4FourCC('u', 'd', 't', 'a'));
        e.Raw(w->userData.p, w->userData.size);
    }
    e.Close(moov);
    Free(w, scratch, kScratch);
    return e.rc();
}

}  // namespace mp4w

bool MP4WriterDescribesCodec(uint32_t codec, size_t configSize) {
    switch (codec) {
        case kMp4CodecH264:
        case kMp4CodecHevc:
            return configSize > 0;
        case kMp4CodecAac:
        case Mp4FourCC('b', 's', 'a', 'c'):
        case kMp4CodecMp3:
        case Mp4FourCC('s', 'o', 'w', 't'):
            return true;
        default:
            return false;
    }
}
