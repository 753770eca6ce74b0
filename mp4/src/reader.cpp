// MP4Spliter: open, track preparation and the track API.
#include <cstdlib>
#include <cstring>

#include "reader_internal.h"

using mp4read::Sample;
using mp4read::Track;

namespace {

// Sample counts allowed for fixed-size samples when the stream size is unknown.
constexpr uint64_t kMaxUnknownSamples = 1u << 24;
constexpr int64_t kMaxTicks = INT64_C(1) << 62;

uint32_t TicksToMs(int64_t ticks, uint32_t timescale) {
    if (ticks <= 0 || timescale == 0) return 0;
    uint64_t ms = static_cast<uint64_t>(ticks) / timescale * 1000 +
                  static_cast<uint64_t>(ticks) % timescale * 1000 / timescale;
    return ms > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(ms);
}

// Expands the sample tables of a track into one record per sample and checks
// each sample against the stream.
int PrepareTrack(const MP4Spliter* sp, Track* t) {
    if (t->protectedEntry) return kMp4ReadProtected;
    if (!t->haveEntry || t->timescale == 0 || !t->haveStsz || !t->haveStts)
        return kMp4ReadMalformed;
    const uint64_t n = t->stszCount;
    const int64_t streamSize = sp->llStreamSize2;
    if (t->fixedSize != 0) {
        uint64_t limit =
            streamSize >= 0 ? static_cast<uint64_t>(streamSize) / t->fixedSize : kMaxUnknownSamples;
        if (n > limit) return kMp4ReadMalformed;
    } else if (t->sizes.Size() != n) {
        return kMp4ReadMalformed;
    }
    if (n > 0 && (!t->haveStsc || !t->haveChunks || t->stsc.Size() == 0)) return kMp4ReadMalformed;
    if (!t->samples.Resize(n)) return kMp4ReadNoMemory;
    Sample* smp = t->samples.Data();

    // Decode times.
    uint64_t s = 0;
    int64_t dts = 0;
    for (size_t i = 0; i < t->stts.Size() && s < n; ++i) {
        for (uint32_t k = 0; k < t->stts[i].count && s < n; ++k, ++s) {
            smp[s].dts = dts;
            smp[s].delta = t->stts[i].delta;
            dts += t->stts[i].delta;
            if (dts > kMaxTicks) return kMp4ReadMalformed;
        }
    }
    if (s < n) return kMp4ReadMalformed;

    // Composition offsets.
    if (t->ctts.Size() > 0) {
        s = 0;
        for (size_t i = 0; i < t->ctts.Size() && s < n; ++i)
            for (uint32_t k = 0; k < t->ctts[i].count && s < n; ++k, ++s)
                smp[s].cts = t->ctts[i].offset;
        if (s < n) return kMp4ReadMalformed;
    }

    // Sync samples.
    for (uint64_t i = 0; i < n; ++i) smp[i].sync = t->haveStss ? 0 : 1;
    for (size_t i = 0; i < t->stss.Size(); ++i) {
        uint32_t v = t->stss[i];
        if (v == 0 || v > n) return kMp4ReadMalformed;
        smp[v - 1].sync = 1;
    }

    // Sizes and offsets, chunk by chunk.
    if (n > 0 && t->stsc[0].firstChunk != 1) return kMp4ReadMalformed;
    for (size_t i = 1; i < t->stsc.Size(); ++i)
        if (t->stsc[i].firstChunk <= t->stsc[i - 1].firstChunk) return kMp4ReadMalformed;
    s = 0;
    size_t entry = 0;
    t->maxSize = 0;
    t->totalBytes = 0;
    for (size_t ci = 0; ci < t->chunks.Size() && s < n; ++ci) {
        while (entry + 1 < t->stsc.Size() && t->stsc[entry + 1].firstChunk <= ci + 1) ++entry;
        uint64_t off = t->chunks[ci];
        for (uint32_t j = 0; j < t->stsc[entry].perChunk && s < n; ++j, ++s) {
            uint32_t size = t->fixedSize ? t->fixedSize : t->sizes[s];
            if (off > UINT64_MAX - size) return kMp4ReadMalformed;
            if (streamSize >= 0 && off + size > static_cast<uint64_t>(streamSize))
                return kMp4ReadMalformed;
            smp[s].offset = off;
            smp[s].size = size;
            off += size;
            if (size > t->maxSize) t->maxSize = size;
            t->totalBytes += size;
        }
    }
    if (s < n) return kMp4ReadMalformed;
    t->cursor = 0;
    t->prepared = true;
    return 0;
}

void Destroy(MP4Spliter* sp) {
    if (!sp) return;
    mp4read::FreeTracks(sp);
    std::free(sp);
}

// The prepared track for an index from 1, or null.
Track* GetTrack(MP4Spliter* sp, int track) {
    if (!sp || track < 1 || static_cast<uint32_t>(track) > sp->trackCount) return nullptr;
    Track* t = sp->tracks[track - 1];
    return t->handler != 0 && t->prepared ? t : nullptr;
}

// Ticks covered by the samples of a prepared track.
int64_t SpanTicks(const Track* t) {
    size_t n = t->samples.Size();
    return n ? t->samples[n - 1].dts + t->samples[n - 1].delta : 0;
}

uint32_t DurationMs(const Track* t) {
    return t->duration ? TicksToMs(static_cast<int64_t>(t->duration > uint64_t{INT64_MAX}
                                                            ? uint64_t{INT64_MAX}
                                                            : t->duration),
                                   t->timescale)
                       : TicksToMs(SpanTicks(t), t->timescale);
}

uint32_t BitRate(const Track* t) {
    int64_t span = SpanTicks(t);
    if (span <= 0) return 0;
    double bps =
        static_cast<double>(t->totalBytes) * 8.0 * t->timescale / static_cast<double>(span);
    return bps >= 4294967295.0 ? UINT32_MAX : static_cast<uint32_t>(bps);
}

uint32_t AddClamped(uint32_t a, uint64_t b) {
    uint64_t v = uint64_t{a} + b;
    return v > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(v);
}

}  // namespace

void MP4SpliterSetTrace(int enabled) {
    mp4read::SetTrace(enabled);
}

int MP4SpliterOpen(const Mp4Io& io, int mode, MP4Spliter** slot) {
    if (!slot || !io.read || !io.seek || !io.tell) return kMp4ReadBadArgument;
    if (mode != kMp4ReadModeAll && mode != kMp4ReadModeVideoOnly) return kMp4ReadBadArgument;
    MP4Spliter* sp = *slot;
    if (sp) {
        // A second open after kMp4ReadLateMovie: keep only the deferred size.
        int64_t deferred = sp->deferredMoovSize;
        mp4read::FreeTracks(sp);
        std::memset(sp, 0, sizeof *sp);
        sp->deferredMoovSize = deferred;
    } else {
        sp = static_cast<MP4Spliter*>(std::calloc(1, sizeof *sp));
        if (!sp) return kMp4ReadNoMemory;
    }
    *slot = nullptr;
    sp->io = io;
    sp->mode = mode;
    sp->firstFragmentPos = -1;

    int r = mp4read::WalkTopLevel(sp);
    if (r == kMp4ReadLateMovie) {
        *slot = sp;
        return r;
    }
    if (r == kMp4ReadEndOfData && !sp->bMdatFound) {
        io.seek(io.user, 0, kMp4SeekSet);
        r = kMp4ReadBufferTooSmall;
    }
    if (r == 0 && sp->fragmentBoxes) r = kMp4ReadFragmented;
    if (r == 0 && sp->protectedSeen) r = kMp4ReadProtected;
    if (r == 0 && sp->trackCount == 0) r = kMp4ReadNoMovie;
    if (r == 0) {
        uint32_t prepared = 0;
        int firstFailure = 0;
        for (uint32_t i = 0; i < sp->trackCount && r == 0; ++i) {
            Track* t = sp->tracks[i];
            if (mode == kMp4ReadModeVideoOnly && t->handler != kMp4HandlerVideo) {
                t->handler = 0;
                continue;
            }
            int pr = PrepareTrack(sp, t);
            if (pr == kMp4ReadNoMemory) {
                r = pr;
            } else if (pr != 0) {
                t->handler = 0;
                t->samples.Clear();
                if (!firstFailure) firstFailure = pr;
            } else {
                ++prepared;
            }
        }
        if (r == 0 && prepared == 0 && firstFailure) r = firstFailure;
    }
    if (r != 0) {
        Destroy(sp);
        return r;
    }
    *slot = sp;
    return 0;
}

int MP4SpliterListTracks(MP4Spliter* sp, Mp4TrackEntry* entries, uint32_t capacity,
                         uint32_t* count) {
    if (!sp || !count || (capacity > 0 && !entries)) return kMp4ReadBadArgument;
    for (uint32_t i = 0; i < sp->trackCount && i < capacity; ++i) {
        entries[i].index = i + 1;
        entries[i].handler = sp->tracks[i]->handler;
    }
    *count = sp->trackCount;
    return 0;
}

int MP4SpliterGetTrackParams(MP4Spliter* sp, int track, void* record, uint32_t recordSize) {
    Track* t = GetTrack(sp, track);
    if (!t || !record) return kMp4ReadBadArgument;
    if (t->handler == kMp4HandlerSound) {
        if (recordSize < sizeof(Mp4SoundParams)) return kMp4ReadRecordTooSmall;
        Mp4SoundParams p;
        std::memcpy(&p, record, sizeof p);
        p.codec = t->codec;
        p.durationMs = DurationMs(t);
        p.channels = t->channels;
        p.bitsPerSample = t->sampleBits;
        p.zero = 0;
        p.sampleRate = t->sampleRate ? t->sampleRate : t->timescale;
        p.bitRate = BitRate(t);
        p.bufferSize = AddClamped(t->maxSize, t->config.Size());
        std::memcpy(record, &p, sizeof p);
        return 0;
    }
    if (recordSize < sizeof(Mp4VideoParams)) return kMp4ReadRecordTooSmall;
    Mp4VideoParams p;
    std::memcpy(&p, record, sizeof p);
    p.codec = t->codec;
    p.durationMs = DurationMs(t);
    p.width = t->width ? t->width : t->tkhdWidth;
    p.height = t->height ? t->height : t->tkhdHeight;
    int64_t span = SpanTicks(t);
    p.frameRate = span > 0 ? static_cast<float>(static_cast<double>(t->samples.Size()) *
                                                t->timescale / static_cast<double>(span))
                           : 0.0f;
    p.bitRate = BitRate(t);
    p.bufferSize = AddClamped(t->maxSize, 1024);
    std::memcpy(record, &p, sizeof p);
    return 0;
}

int MP4SpliterQuery(MP4Spliter* sp, int track, int query, void* out, uint32_t* size) {
    Track* t = GetTrack(sp, track);
    if (!t || !size || (*size > 0 && !out)) return kMp4ReadBadArgument;
    switch (query) {
        case kMp4QueryCodecConfig: {
            if (t->config.Size() == 0) return kMp4ReadNotApplicable;
            uint32_t need = static_cast<uint32_t>(t->config.Size());
            if (*size < need) {
                *size = need;
                return kMp4ReadRecordTooSmall;
            }
            std::memcpy(out, t->config.Data(), need);
            *size = need;
            return 0;
        }
        case kMp4QueryHandlerName: {
            const uint32_t need = static_cast<uint32_t>(t->handlerName.Size());
            if (*size < need) {
                *size = need;
                return kMp4ReadRecordTooSmall;
            }
            if (need) std::memcpy(out, t->handlerName.Data(), need);
            *size = need;
            return 0;
        }
        case kMp4QuerySampleCount:
        case kMp4QueryTimeScale: {
            if (*size < 4) {
                *size = 4;
                return kMp4ReadRecordTooSmall;
            }
            uint32_t v = query == kMp4QueryTimeScale ? t->timescale
                                                     : static_cast<uint32_t>(t->samples.Size());
            std::memcpy(out, &v, 4);
            *size = 4;
            return 0;
        }
        default:
            return kMp4ReadBadArgument;
    }
}

int MP4SpliterSeek(MP4Spliter* sp, int track, uint32_t* timeMs, int flags) {
    Track* t = GetTrack(sp, track);
    if (!t || !timeMs || (flags != kMp4SeekToSync && flags != kMp4SeekToSample))
        return kMp4ReadBadArgument;
    size_t n = t->samples.Size();
    if (n == 0) return kMp4ReadNotApplicable;
    const Sample* smp = t->samples.Data();
    // The last sample that starts at or before the wanted time, compared in
    // milliseconds so that the reached time never exceeds the wanted one.
    if (*timeMs > DurationMs(t) && *timeMs >= TicksToMs(SpanTicks(t), t->timescale))
        return kMp4ReadNotApplicable;
    size_t lo = 0, hi = n;  // first sample with a start after the wanted time
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        if (TicksToMs(smp[mid].dts, t->timescale) <= *timeMs)
            lo = mid + 1;
        else
            hi = mid;
    }
    size_t at = lo ? lo - 1 : 0;
    if (flags == kMp4SeekToSync)
        while (at > 0 && !smp[at].sync) --at;
    t->cursor = at;
    *timeMs = TicksToMs(smp[at].dts, t->timescale);
    return 0;
}

int MP4SpliterReadSample(MP4Spliter* sp, int track, uint8_t* buf, uint32_t bufSize,
                         Mp4SampleInfo* info) {
    Track* t = GetTrack(sp, track);
    if (!t || !info) return kMp4ReadBadArgument;
    if (t->cursor >= t->samples.Size()) return kMp4ReadEndOfTrack;
    const Sample& s = t->samples[t->cursor];
    if (!buf || bufSize < s.size) {
        info->size = s.size;
        return kMp4ReadBufferTooSmall;
    }
    if (sp->io.seek(sp->io.user, static_cast<int64_t>(s.offset), kMp4SeekSet) != 0)
        return kMp4ReadIoFailed;
    int64_t got = sp->io.read(sp->io.user, buf, s.size);
    if (got < 0) return kMp4ReadIoFailed;
    if (got != s.size) return kMp4ReadEndOfData;
    info->size = s.size;
    info->ptsMs = TicksToMs(s.dts + s.cts, t->timescale);
    info->dtsMs = TicksToMs(s.dts, t->timescale);
    info->durationMs = TicksToMs(s.delta, t->timescale);
    info->zero1 = 0;
    info->sync = s.sync;
    info->zero2 = 0;
    ++t->cursor;
    return 0;
}

void MP4SpliterClose(MP4Spliter* sp) {
    Destroy(sp);
}
