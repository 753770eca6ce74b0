// Internal state of the MP4 writer, shared by its source files.
#pragma once

#include "platform/bytes.h"

#include <cstddef>
#include <cstdint>

#include "mp4/mp4_writer.h"

namespace mp4w {

// Table types, as recorded in the block list.
enum TableType : uint32_t {
    kTableSizes = 1,
    kTableOffsets = 2,
    kTableSync = 3,
    kTableTimes = 4,
    kTableChunks = 5,
    kTableComposition = 6,
};

// A growable byte buffer (memory counted by the writer).
struct Bytes {
    uint8_t* p;
    size_t size;
    size_t cap;
};

// One in-memory block of a sample table; entries are stored big-endian, as
// they appear in the file (chunk offsets always as 64-bit values).
struct Table {
    uint8_t* p;
    uint32_t count;      // entries in the block
    uint32_t capacity;   // entries per block
    uint32_t entrySize;  // bytes per entry
    uint32_t type;
    uint64_t total;  // entries in all blocks, spilled ones included
};

struct Track {
    uint32_t handler;
    uint32_t id;
    uint32_t codec;
    bool hasVideo;
    bool hasSound;
    Mp4VideoParams video;
    Mp4SoundParams sound;
    Bytes config;
    Bytes name;
    uint32_t startCodeMode;
    uint32_t setting;
    uint32_t rotation;
    bool plain;  // no spherical box (kMp4PropSpherical 0)

    Table sizes, offsets, sync, times, chunks, composition;
    bool compositionOn;
    bool compositionNegative;
    uint64_t samples;     // samples entered in the tables
    uint64_t chunkCount;  // chunks written
    uint32_t lastChunkSamples;
    uint64_t durationMs;  // video and text: sum of sample durations
    uint32_t maxSample;
    uint64_t totalBytes;
    uint64_t pcmFrames;  // sowt only

    // Chunk being collected.
    Bytes chunk;
    uint32_t chunkSamples;
    uint32_t chunkFirstMs;

    // Held video or text sample.
    Bytes held;
    Mp4SampleInfo heldInfo;
    bool hasHeld;
    uint32_t lastDuration;

    // Sound timing.
    uint32_t firstPts;
    uint32_t lastPts;
    uint32_t lastGivenDuration;
};

struct Block {
    uint32_t track;  // index in the track array
    uint32_t type;
    uint32_t length;
    uint64_t offset;  // in the spill file
    uint8_t* mem;     // the block itself when there is no spill file
};

}  // namespace mp4w

struct MP4Writer {
    Mp4Io out;
    Mp4Io spill;
    bool hasSpill;
    uint64_t spillPos;

    mp4w::Track* tracks;
    uint32_t trackCount;
    uint32_t trackCap;

    mp4w::Block* blocks;
    uint32_t blockCount;
    uint32_t blockCap;

    uint32_t brand;
    uint32_t creation;
    uint32_t modification;
    mp4w::Bytes userData;
    bool hasUserData;

    bool started;
    uint64_t dataBytes;  // sample bytes written after the media data header
    uint64_t largeThreshold;

    mp4w::Bytes convert;  // scratch for start-code conversion
    int error;            // first failure; later calls return it

    uint64_t memCurrent;
    uint64_t memPeak;
};

namespace mp4w {

constexpr uint64_t kDataStart = 40;  // media data header at 32, samples from 40

void* Alloc(MP4Writer* w, size_t n);
void* Grow(MP4Writer* w, void* p, size_t oldSize, size_t newSize);
void Free(MP4Writer* w, void* p, size_t n);
// Makes room for `need` bytes in total; false when out of memory.
bool Reserve(MP4Writer* w, Bytes* b, size_t need);
bool Assign(MP4Writer* w, Bytes* b, const void* src, size_t n);
void Release(MP4Writer* w, Bytes* b);

using platform::Be32;
using platform::PutBe16;
using platform::PutBe32;
using platform::PutBe64;

// Writes all of `n` bytes to the output; 0 or kMp4WriterErrShortWrite.
int OutWrite(MP4Writer* w, const void* src, size_t n);
// Reads a spilled (or kept) block back into `dst` (at least b.length bytes).
int ReadBlock(MP4Writer* w, const Block& b, uint8_t* dst);
// Whether the sample data needs 64-bit offsets and media data size.
bool IsLarge(const MP4Writer* w);
// Writes the movie box at the current end of the output.
int WriteMovie(MP4Writer* w);

}  // namespace mp4w
