// MP4 writer: context, tracks, properties, samples, chunks, the sample-table
// blocks and their spill file, and close.
#include <cstdlib>
#include <cstring>

#include "writer_internal.h"

namespace mp4w {

void* Alloc(MP4Writer* w, size_t n) {
    void* p = std::malloc(n);
    if (p) {
        w->memCurrent += n;
        if (w->memCurrent > w->memPeak) w->memPeak = w->memCurrent;
    }
    return p;
}

void* Grow(MP4Writer* w, void* p, size_t oldSize, size_t newSize) {
    void* q = std::realloc(p, newSize);
    if (q) {
        w->memCurrent += newSize;
        w->memCurrent -= oldSize;
        if (w->memCurrent > w->memPeak) w->memPeak = w->memCurrent;
    }
    return q;
}

void Free(MP4Writer* w, void* p, size_t n) {
    if (!p) return;
    std::free(p);
    w->memCurrent -= n;
}

bool Reserve(MP4Writer* w, Bytes* b, size_t need) {
    if (need <= b->cap) return true;
    size_t cap = b->cap ? b->cap : 256;
    while (cap < need) cap *= 2;
    void* q = Grow(w, b->p, b->cap, cap);
    if (!q) return false;
    b->p = static_cast<uint8_t*>(q);
    b->cap = cap;
    return true;
}

bool Assign(MP4Writer* w, Bytes* b, const void* src, size_t n) {
    if (!Reserve(w, b, n)) return false;
    if (n) std::memcpy(b->p, src, n);
    b->size = n;
    return true;
}

void Release(MP4Writer* w, Bytes* b) {
    Free(w, b->p, b->cap);
    *b = Bytes{};
}

int OutWrite(MP4Writer* w, const void* src, size_t n) {
    if (n == 0) return kMp4WriterOk;
    int64_t got = w->out.write(w->out.user, src, static_cast<int64_t>(n));
    return got == static_cast<int64_t>(n) ? kMp4WriterOk : kMp4WriterErrShortWrite;
}

int ReadBlock(MP4Writer* w, const Block& b, uint8_t* dst) {
    if (b.mem) {
        std::memcpy(dst, b.mem, b.length);
        return kMp4WriterOk;
    }
    if (w->spill.seek(w->spill.user, static_cast<int64_t>(b.offset), kMp4SeekSet) != 0)
        return kMp4WriterErrSpillSeek;
    int64_t got = w->spill.read(w->spill.user, dst, b.length);
    return got == static_cast<int64_t>(b.length) ? kMp4WriterOk : kMp4WriterErrSpillRead;
}

bool IsLarge(const MP4Writer* w) {
    return kDataStart + w->dataBytes > w->largeThreshold;
}

}  // namespace mp4w

using namespace mp4w;

namespace {

constexpr uint32_t kDefaultBrand = Mp4FourCC('3', 'g', 'p', '5');
constexpr uint32_t kCodecSowt = Mp4FourCC('s', 'o', 'w', 't');
constexpr uint32_t kMaxChunkBytes = 511999;
constexpr uint32_t kMaxChunkSpanMs = 399;

void InitTable(Table* t, uint32_t type, uint32_t capacity, uint32_t entrySize) {
    *t = Table{};
    t->type = type;
    t->capacity = capacity;
    t->entrySize = entrySize;
}

void FreeTable(MP4Writer* w, Table* t) {
    Free(w, t->p, size_t{t->capacity} * t->entrySize);
    t->p = nullptr;
}

// Moves the full block of a table to the spill file (or keeps it in memory
// without one) and records it in the block list.
int SpillTable(MP4Writer* w, uint32_t trackIndex, Table* t) {
    if (t->count == 0) return kMp4WriterOk;
    if (w->blockCount == w->blockCap) {
        uint32_t cap = w->blockCap ? w->blockCap * 2 : 100;
        void* q = Grow(w, w->blocks, sizeof(Block) * w->blockCap, sizeof(Block) * cap);
        if (!q) return kMp4WriterErrNoMemory;
        w->blocks = static_cast<Block*>(q);
        w->blockCap = cap;
    }
    Block b{};
    b.track = trackIndex;
    b.type = t->type;
    b.length = t->count * t->entrySize;
    if (w->hasSpill) {
        if (w->spill.seek(w->spill.user, static_cast<int64_t>(w->spillPos), kMp4SeekSet) != 0)
            return kMp4WriterErrSpillSeek;
        int64_t n = w->spill.write(w->spill.user, t->p, b.length);
        if (n != static_cast<int64_t>(b.length)) return kMp4WriterErrShortWrite;
        b.offset = w->spillPos;
        w->spillPos += b.length;
    } else {
        // The block itself is kept; the table gets a fresh one on next use.
        size_t full = size_t{t->capacity} * t->entrySize;
        void* q = Grow(w, t->p, full, b.length);
        if (!q) return kMp4WriterErrNoMemory;
        b.mem = static_cast<uint8_t*>(q);
        t->p = nullptr;
    }
    w->blocks[w->blockCount++] = b;
    t->count = 0;
    return kMp4WriterOk;
}

// Returns a pointer to a new entry at the end of the table.
int TableAppend(MP4Writer* w, uint32_t trackIndex, Table* t, uint8_t** entry) {
    if (t->count == t->capacity) {
        int rc = SpillTable(w, trackIndex, t);
        if (rc) return rc;
    }
    if (!t->p) {
        t->p = static_cast<uint8_t*>(Alloc(w, size_t{t->capacity} * t->entrySize));
        if (!t->p) return kMp4WriterErrNoMemory;
    }
    *entry = t->p + size_t{t->count} * t->entrySize;
    ++t->count;
    ++t->total;
    return kMp4WriterOk;
}

int Push32(MP4Writer* w, uint32_t ti, Table* t, uint32_t v) {
    uint8_t* e = nullptr;
    int rc = TableAppend(w, ti, t, &e);
    if (rc) return rc;
    PutBe32(e, v);
    return kMp4WriterOk;
}

// (count, value) tables: extends the last entry of the block when it has
// the same value.
int PushRun(MP4Writer* w, uint32_t ti, Table* t, uint32_t count, uint32_t value) {
    if (t->count > 0) {
        uint8_t* last = t->p + size_t{t->count - 1} * 8;
        if (Be32(last + 4) == value) {
            PutBe32(last, Be32(last) + count);
            return kMp4WriterOk;
        }
    }
    uint8_t* e = nullptr;
    int rc = TableAppend(w, ti, t, &e);
    if (rc) return rc;
    PutBe32(e, count);
    PutBe32(e + 4, value);
    return kMp4WriterOk;
}

uint32_t PcmFrameBytes(const Track& t) {
    uint32_t bytes = t.sound.channels * (t.sound.bitsPerSample / 8);
    return bytes ? bytes : 4;
}

bool IsHeldKind(const Track& t) {
    return t.handler == kMp4HandlerVideo || t.handler == kMp4HandlerText;
}

int FlushChunk(MP4Writer* w, uint32_t ti) {
    Track& t = w->tracks[ti];
    if (t.chunkSamples == 0) return kMp4WriterOk;
    int rc = OutWrite(w, t.chunk.p, t.chunk.size);
    if (rc) return rc;
    uint8_t* e = nullptr;
    rc = TableAppend(w, ti, &t.offsets, &e);
    if (rc) return rc;
    PutBe64(e, kDataStart + w->dataBytes);
    ++t.chunkCount;
    uint32_t inChunk = t.chunkSamples;
    if (t.codec == kCodecSowt) inChunk = static_cast<uint32_t>(t.chunk.size / PcmFrameBytes(t));
    // Runs of chunks with the same sample count share one entry.
    if (t.chunks.total == 0 || t.lastChunkSamples != inChunk) {
        rc = TableAppend(w, ti, &t.chunks, &e);
        if (rc) return rc;
        PutBe32(e, static_cast<uint32_t>(t.chunkCount));
        PutBe32(e + 4, inChunk);
        PutBe32(e + 8, 1);
        t.lastChunkSamples = inChunk;
    }
    w->dataBytes += t.chunk.size;
    t.chunk.size = 0;
    t.chunkSamples = 0;
    return kMp4WriterOk;
}

// Enters one finished sample into the chunk buffer and the tables.
int EmitSample(MP4Writer* w, uint32_t ti, const uint8_t* data, uint32_t size,
               const Mp4SampleInfo& info, uint32_t durationMs) {
    Track& t = w->tracks[ti];
    bool sowt = t.codec == kCodecSowt;
    if (t.chunkSamples > 0) {
        bool cut = IsHeldKind(t) || sowt || info.ptsMs - t.chunkFirstMs > kMaxChunkSpanMs ||
                   t.chunk.size + size > kMaxChunkBytes;
        if (cut) {
            int rc = FlushChunk(w, ti);
            if (rc) return rc;
        }
    }
    if (!Reserve(w, &t.chunk, t.chunk.size + size)) return kMp4WriterErrNoMemory;
    if (size) std::memcpy(t.chunk.p + t.chunk.size, data, size);
    t.chunk.size += size;
    if (t.chunkSamples++ == 0) t.chunkFirstMs = info.ptsMs;

    int rc = kMp4WriterOk;
    if (sowt) {
        t.pcmFrames += size / PcmFrameBytes(t);
    } else {
        rc = Push32(w, ti, &t.sizes, size);
        if (rc) return rc;
    }
    uint64_t number = t.samples + 1;
    if (t.handler == kMp4HandlerVideo) {
        if (info.sync) {
            rc = Push32(w, ti, &t.sync, static_cast<uint32_t>(number));
            if (rc) return rc;
        }
        if (info.ptsMs != info.dtsMs && !t.compositionOn) {
            t.compositionOn = true;
            if (t.samples > 0) {
                rc = PushRun(w, ti, &t.composition, static_cast<uint32_t>(t.samples), 0);
                if (rc) return rc;
            }
        }
        if (t.compositionOn) {
            int64_t offset = (int64_t{info.ptsMs} - int64_t{info.dtsMs}) * 100;
            if (offset < 0) t.compositionNegative = true;
            rc = PushRun(w, ti, &t.composition, 1,
                         static_cast<uint32_t>(static_cast<int32_t>(offset)));
            if (rc) return rc;
        }
    }
    if (IsHeldKind(t)) {
        rc = PushRun(w, ti, &t.times, 1, durationMs * 100);
        if (rc) return rc;
        t.durationMs += durationMs;
    }
    t.samples = number;
    if (size > t.maxSample) t.maxSample = size;
    t.totalBytes += size;
    return kMp4WriterOk;
}

int FlushHeld(MP4Writer* w, uint32_t ti, uint32_t durationMs) {
    Track& t = w->tracks[ti];
    if (!t.hasHeld) return kMp4WriterOk;
    t.hasHeld = false;
    t.heldInfo.durationMs = durationMs;
    t.lastDuration = durationMs;
    return EmitSample(w, ti, t.held.p, static_cast<uint32_t>(t.held.size), t.heldInfo, durationMs);
}

int StartFile(MP4Writer* w) {
    uint8_t head[40] = {};
    PutBe32(head, 24);
    std::memcpy(head + 4, "ftyp", 4);
    PutBe32(head + 8, w->brand);
    PutBe32(head + 12, 1);
    std::memcpy(head + 16, "3gp53gp4", 8);
    PutBe32(head + 24, 8);
    std::memcpy(head + 28, "free", 4);
    PutBe32(head + 32, 0);
    std::memcpy(head + 36, "mdat", 4);
    if (w->out.seek(w->out.user, 0, kMp4SeekSet) != 0) return kMp4WriterErrOutputSeek;
    int rc = OutWrite(w, head, sizeof head);
    if (rc) return rc;
    w->started = true;
    return kMp4WriterOk;
}

// Length of the start code at `p`, 0 when there is none.
size_t StartCodeAt(const uint8_t* p, size_t left) {
    if (left >= 4 && p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1) return 4;
    if (left >= 3 && p[0] == 0 && p[1] == 0 && p[2] == 1) return 3;
    return 0;
}

// Turns an Annex-B sample into 4-byte length-prefixed NAL units in
// w->convert. Start codes inside the sample are converted as well.
int ConvertStartCodes(MP4Writer* w, const uint8_t* data, size_t size) {
    Bytes& c = w->convert;
    c.size = 0;
    // Every start code is at least 3 bytes, so the result grows by at most
    // a third.
    if (!Reserve(w, &c, size + size / 3 + 4)) return kMp4WriterErrNoMemory;
    size_t i = StartCodeAt(data, size);
    while (i <= size) {
        size_t end = i;
        size_t next = size;
        size_t code = 0;
        while (end + 3 <= size) {
            if (data[end] == 0 && data[end + 1] == 0 && data[end + 2] == 1) {
                next = end;
                code = 3;
                if (next > i && data[next - 1] == 0) {
                    --next;
                    code = 4;
                }
                break;
            }
            ++end;
        }
        size_t nal = next - i;
        PutBe32(c.p + c.size, static_cast<uint32_t>(nal));
        std::memcpy(c.p + c.size + 4, data + i, nal);
        c.size += 4 + nal;
        if (code == 0) break;
        i = next + code;
    }
    return kMp4WriterOk;
}

int CheckTrack(MP4Writer* w, uint32_t id, uint32_t* index) {
    if (id == 0 || id > w->trackCount) return kMp4WriterErrArgument;
    *index = id - 1;
    return kMp4WriterOk;
}

void FreeAll(MP4Writer* w) {
    for (uint32_t i = 0; i < w->trackCount; ++i) {
        Track& t = w->tracks[i];
        Release(w, &t.config);
        Release(w, &t.name);
        Release(w, &t.chunk);
        Release(w, &t.held);
        FreeTable(w, &t.sizes);
        FreeTable(w, &t.offsets);
        FreeTable(w, &t.sync);
        FreeTable(w, &t.times);
        FreeTable(w, &t.chunks);
        FreeTable(w, &t.composition);
    }
    for (uint32_t i = 0; i < w->blockCount; ++i) Free(w, w->blocks[i].mem, w->blocks[i].length);
    Free(w, w->blocks, sizeof(Block) * w->blockCap);
    Free(w, w->tracks, sizeof(Track) * w->trackCap);
    Release(w, &w->userData);
    Release(w, &w->convert);
    std::free(w);
}

bool ValidSpill(const Mp4Io& io) {
    return io.write && io.seek && io.read;
}

}  // namespace

int MP4WriterCreate(const Mp4Io& out, const Mp4Io* spill, MP4Writer** slot) {
    if (!slot || !out.write || !out.seek || !out.tell) return kMp4WriterErrArgument;
    if (spill && !ValidSpill(*spill)) return kMp4WriterErrArgument;
    auto* w = static_cast<MP4Writer*>(std::calloc(1, sizeof(MP4Writer)));
    if (!w) return kMp4WriterErrNoMemory;
    w->memCurrent = w->memPeak = sizeof(MP4Writer);
    w->out = out;
    if (spill) {
        w->spill = *spill;
        w->hasSpill = true;
    }
    w->brand = kDefaultBrand;
    w->largeThreshold = 0xFFFFFFFFu;
    *slot = w;
    return kMp4WriterOk;
}

int MP4WriterAddTrack(MP4Writer* w, uint32_t handler, const void* params, uint32_t paramsSize,
                      uint32_t* trackId) {
    if (!w || !trackId) return kMp4WriterErrArgument;
    if (handler != kMp4HandlerVideo && handler != kMp4HandlerSound && handler != kMp4HandlerText)
        return kMp4WriterErrHandler;
    if (w->error) return w->error;
    if (w->trackCount == w->trackCap) {
        uint32_t cap = w->trackCap ? w->trackCap * 2 : 4;
        void* q = Grow(w, w->tracks, sizeof(Track) * w->trackCap, sizeof(Track) * cap);
        if (!q) return kMp4WriterErrNoMemory;
        w->tracks = static_cast<Track*>(q);
        w->trackCap = cap;
    }
    Track& t = w->tracks[w->trackCount];
    std::memset(&t, 0, sizeof t);
    t.handler = handler;
    t.id = w->trackCount + 1;
    if (params && handler == kMp4HandlerSound && paramsSize == sizeof(Mp4SoundParams)) {
        std::memcpy(&t.sound, params, sizeof t.sound);
        t.codec = t.sound.codec;
        t.hasSound = true;
    } else if (params && handler != kMp4HandlerSound && paramsSize == sizeof(Mp4VideoParams)) {
        std::memcpy(&t.video, params, sizeof t.video);
        t.codec = t.video.codec;
        t.hasVideo = true;
    }
    InitTable(&t.sizes, kTableSizes, 1000, 4);
    InitTable(&t.offsets, kTableOffsets, 2000, 8);
    InitTable(&t.sync, kTableSync, 1000, 4);
    InitTable(&t.times, kTableTimes, 1000, 8);
    InitTable(&t.chunks, kTableChunks, 2000, 12);
    InitTable(&t.composition, kTableComposition, 1000, 8);
    size_t chunkCap = handler == kMp4HandlerVideo   ? 0x80000
                      : handler == kMp4HandlerSound ? 0x8000
                                                    : 8192;
    if (!Reserve(w, &t.chunk, chunkCap)) return kMp4WriterErrNoMemory;
    ++w->trackCount;
    *trackId = t.id;
    return kMp4WriterOk;
}

int MP4WriterSetProperty(MP4Writer* w, int number, const void* record, uint32_t size) {
    if (!w || !record) return kMp4WriterErrArgument;
    if (w->error) return w->error;
    uint32_t ti = 0;
    int rc = kMp4WriterOk;
    switch (number) {
        case kMp4PropCodecConfig:
        case kMp4PropHandlerName: {
            if (size < sizeof(Mp4WriterTrackBytes)) return kMp4WriterErrRecordSize;
            Mp4WriterTrackBytes r;
            std::memcpy(&r, record, sizeof r);
            if ((rc = CheckTrack(w, r.trackId, &ti))) return rc;
            if (r.size && !r.data) return kMp4WriterErrArgument;
            Track& t = w->tracks[ti];
            if (number == kMp4PropCodecConfig) {
                if (!Assign(w, &t.config, r.data, r.size)) return kMp4WriterErrNoMemory;
            } else {
                // Kept with a terminating zero.
                if (!Reserve(w, &t.name, size_t{r.size} + 1)) return kMp4WriterErrNoMemory;
                if (r.size) std::memcpy(t.name.p, r.data, r.size);
                t.name.p[r.size] = 0;
                t.name.size = size_t{r.size} + 1;
            }
            return kMp4WriterOk;
        }
        case kMp4PropStartCodeMode:
        case kMp4PropTrackSetting:
        case kMp4PropSpherical:
        case kMp4PropRotation: {
            if (size < sizeof(Mp4WriterTrackValue)) return kMp4WriterErrRecordSize;
            Mp4WriterTrackValue r;
            std::memcpy(&r, record, sizeof r);
            if ((rc = CheckTrack(w, r.trackId, &ti))) return rc;
            Track& t = w->tracks[ti];
            if (number == kMp4PropStartCodeMode) {
                t.startCodeMode = r.value;
            } else if (number == kMp4PropTrackSetting) {
                t.setting = r.value;
            } else if (number == kMp4PropSpherical) {
                if (r.value > 1) return kMp4WriterErrArgument;
                t.plain = r.value == 0;
            } else {
                if (r.value != 0 && r.value != 90 && r.value != 180 && r.value != 270)
                    return kMp4WriterErrArgument;
                t.rotation = r.value;
            }
            return kMp4WriterOk;
        }
        case kMp4PropTimes: {
            if (size < sizeof(Mp4WriterTimes)) return kMp4WriterErrRecordSize;
            Mp4WriterTimes r;
            std::memcpy(&r, record, sizeof r);
            w->creation = r.creation;
            w->modification = r.modification;
            return kMp4WriterOk;
        }
        case kMp4PropMovieFirst:
        case kMp4PropModeFlags:
        case kMp4PropBrand: {
            if (size < sizeof(uint32_t)) return kMp4WriterErrRecordSize;
            uint32_t v;
            std::memcpy(&v, record, sizeof v);
            if (number == kMp4PropBrand) {
                w->brand = v;
                return kMp4WriterOk;
            }
            return v == 0 ? kMp4WriterOk : kMp4WriterErrModeRefused;
        }
        case kMp4PropSpill: {
            if (size < sizeof(Mp4Io)) return kMp4WriterErrRecordSize;
            Mp4Io io;
            std::memcpy(&io, record, sizeof io);
            if (!ValidSpill(io)) return kMp4WriterErrArgument;
            // Blocks already spilled stay readable only through the old file.
            for (uint32_t i = 0; i < w->blockCount; ++i)
                if (!w->blocks[i].mem) return kMp4WriterErrArgument;
            w->spill = io;
            w->hasSpill = true;
            w->spillPos = 0;
            return kMp4WriterOk;
        }
        case kMp4PropUserData: {
            if (size < sizeof(Mp4WriterBytes)) return kMp4WriterErrRecordSize;
            Mp4WriterBytes r;
            std::memcpy(&r, record, sizeof r);
            if (r.size && !r.data) return kMp4WriterErrArgument;
            if (!Assign(w, &w->userData, r.data, r.size)) return kMp4WriterErrNoMemory;
            w->hasUserData = true;
            return kMp4WriterOk;
        }
        case kMp4PropLargeThreshold: {
            if (size < sizeof(uint64_t)) return kMp4WriterErrRecordSize;
            std::memcpy(&w->largeThreshold, record, sizeof(uint64_t));
            return kMp4WriterOk;
        }
        default:
            return kMp4WriterErrUnknownProperty;
    }
}

int MP4WriterWriteSample(MP4Writer* w, uint32_t trackId, const uint8_t* data,
                         const Mp4SampleInfo* info) {
    if (!w || !info || (info->size && !data)) return kMp4WriterErrArgument;
    if (w->error) return w->error;
    uint32_t ti = 0;
    int rc = CheckTrack(w, trackId, &ti);
    if (rc) return rc;
    if (!w->started && (rc = StartFile(w))) return w->error = rc;
    Track& t = w->tracks[ti];
    uint32_t size = info->size;
    bool nal =
        t.handler == kMp4HandlerVideo && (t.codec == kMp4CodecH264 || t.codec == kMp4CodecHevc);
    if (nal && (t.startCodeMode == 2 || t.startCodeMode == 3)) {
        if (StartCodeAt(data, size) != 0) {
            if ((rc = ConvertStartCodes(w, data, size))) return w->error = rc;
            data = w->convert.p;
            size = static_cast<uint32_t>(w->convert.size);
        }
    }
    if (IsHeldKind(t)) {
        if (t.hasHeld && info->dtsMs == t.heldInfo.dtsMs) {
            if (!Reserve(w, &t.held, t.held.size + size)) return w->error = kMp4WriterErrNoMemory;
            if (size) std::memcpy(t.held.p + t.held.size, data, size);
            t.held.size += size;
            t.heldInfo.size += size;
            if (info->sync) t.heldInfo.sync = 1;
            return kMp4WriterOk;
        }
        if (t.hasHeld) {
            uint32_t duration = info->dtsMs > t.heldInfo.dtsMs ? info->dtsMs - t.heldInfo.dtsMs : 0;
            if ((rc = FlushHeld(w, ti, duration))) return w->error = rc;
        }
        if (!Assign(w, &t.held, data, size)) return w->error = kMp4WriterErrNoMemory;
        t.heldInfo = *info;
        t.heldInfo.size = size;
        t.hasHeld = true;
        return kMp4WriterOk;
    }
    if (t.samples == 0) t.firstPts = info->ptsMs;
    t.lastPts = info->ptsMs;
    t.lastGivenDuration = info->durationMs;
    if ((rc = EmitSample(w, ti, data, size, *info, 0))) return w->error = rc;
    return kMp4WriterOk;
}

int MP4WriterMemoryUse(const MP4Writer* w, uint64_t* current, uint64_t* peak) {
    if (!w) return kMp4WriterErrArgument;
    if (current) *current = w->memCurrent;
    if (peak) *peak = w->memPeak;
    return kMp4WriterOk;
}

int MP4WriterClose(MP4Writer* w) {
    if (!w) return kMp4WriterOk;
    int rc = w->error;
    if (!rc && !w->started) rc = StartFile(w);
    for (uint32_t i = 0; !rc && i < w->trackCount; ++i) {
        Track& t = w->tracks[i];
        // The last held sample keeps its own duration, or the one before.
        uint32_t last = t.heldInfo.durationMs ? t.heldInfo.durationMs : t.lastDuration;
        if (!rc) rc = FlushHeld(w, i, last);
        if (!rc) rc = FlushChunk(w, i);
        if (!rc && t.handler == kMp4HandlerSound && t.samples > 0) {
            uint64_t span = t.lastPts - t.firstPts;
            uint64_t tail = t.lastGivenDuration;
            if (!tail) tail = t.samples > 1 ? (span + (t.samples - 1) / 2) / (t.samples - 1) : 0;
            t.durationMs = span + tail;
        }
    }
    if (!rc) rc = WriteMovie(w);
    if (!rc) {
        int64_t end = w->out.tell(w->out.user);
        uint8_t head[16];
        if (end < 0) {
            rc = kMp4WriterErrOutputSeek;
        } else if (IsLarge(w)) {
            PutBe32(head, 1);
            std::memcpy(head + 4, "mdat", 4);
            PutBe64(head + 8, w->dataBytes + 16);
            if (w->out.seek(w->out.user, 24, kMp4SeekSet) != 0) rc = kMp4WriterErrOutputSeek;
            if (!rc) rc = OutWrite(w, head, 16);
        } else {
            PutBe32(head, static_cast<uint32_t>(w->dataBytes + 8));
            if (w->out.seek(w->out.user, 32, kMp4SeekSet) != 0) rc = kMp4WriterErrOutputSeek;
            if (!rc) rc = OutWrite(w, head, 4);
        }
        if (!rc && w->out.seek(w->out.user, end, kMp4SeekSet) != 0) rc = kMp4WriterErrOutputSeek;
    }
    FreeAll(w);
    return rc;
}
