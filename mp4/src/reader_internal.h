// Internal state of MP4Spliter, shared by the box walker and the track API.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "mp4/mp4_common.h"
#include "mp4/mp4_reader.h"

namespace mp4read {

// A growable array of plain values on malloc, so that a failed allocation
// becomes a result code.
template <typename T>
class Array {
  public:
    Array() = default;
    ~Array() { std::free(m_p); }
    Array(const Array&) = delete;
    Array& operator=(const Array&) = delete;

    bool Resize(uint64_t n) {
        if (n > SIZE_MAX / sizeof(T)) return false;
        if (n == 0) {
            Clear();
            return true;
        }
        T* p = static_cast<T*>(std::realloc(m_p, static_cast<size_t>(n) * sizeof(T)));
        if (!p) return false;
        if (n > m_n) std::memset(p + m_n, 0, static_cast<size_t>(n - m_n) * sizeof(T));
        m_p = p;
        m_n = static_cast<size_t>(n);
        return true;
    }
    void Clear() {
        std::free(m_p);
        m_p = nullptr;
        m_n = 0;
    }
    size_t Size() const { return m_n; }
    T* Data() { return m_p; }
    const T* Data() const { return m_p; }
    T& operator[](size_t i) { return m_p[i]; }
    const T& operator[](size_t i) const { return m_p[i]; }

  private:
    T* m_p = nullptr;
    size_t m_n = 0;
};

struct SttsEntry {
    uint32_t count;
    uint32_t delta;
};
struct CttsEntry {
    uint32_t count;
    int32_t offset;
};
struct StscEntry {
    uint32_t firstChunk;
    uint32_t perChunk;
};

// A sample after preparation.
struct Sample {
    uint64_t offset;
    int64_t dts;  // media ticks
    int32_t cts;  // composition offset, media ticks
    uint32_t size;
    uint32_t delta;
    uint32_t sync;
};

struct Track {
    uint32_t handler = 0;  // 0 until a kept hdlr was seen, and again when unprepared
    bool handlerSeen = false;
    bool drop = false;  // other handler type
    bool protectedEntry = false;
    uint32_t trackId = 0;
    uint64_t tkhdDuration = 0;
    uint32_t tkhdWidth = 0;  // pixels
    uint32_t tkhdHeight = 0;
    uint32_t timescale = 0;
    uint64_t duration = 0;
    uint16_t language = 0;

    bool haveEntry = false;
    uint32_t entryType = 0;
    uint32_t codec = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t channels = 0;
    uint32_t sampleBits = 0;
    uint32_t sampleRate = 0;
    Array<uint8_t> config;
    Array<uint8_t> handlerName;  // from "hdlr", without the terminating zero

    bool haveStts = false, haveStsc = false, haveStsz = false, haveChunks = false;
    Array<SttsEntry> stts;
    Array<CttsEntry> ctts;
    Array<StscEntry> stsc;
    uint32_t fixedSize = 0;
    uint32_t stszCount = 0;
    Array<uint32_t> sizes;
    Array<uint64_t> chunks;
    bool haveStss = false;
    Array<uint32_t> stss;
    int64_t editMediaTime = -1;  // first non-empty edit, -1 when none

    // Filled by preparation.
    bool prepared = false;
    Array<Sample> samples;
    uint32_t maxSize = 0;
    uint64_t totalBytes = 0;
    size_t cursor = 0;
};

}  // namespace mp4read

struct MP4Spliter {
    Mp4Io io;
    int mode;
    int64_t llStreamSize2;  // -1 (all bits set) when unknown
    int bMoovFound;
    int bMdatFound;
    bool fragmented;
    int64_t firstFragmentPos;
    int64_t deferredMoovSize;
    bool protectedSeen;
    bool fragmentBoxes;  // any fragmented-movie box was met
    uint32_t majorBrand;
    uint32_t movieTimescale;
    uint64_t movieDuration;
    int depth;
    mp4read::Track* cur;  // the trak being parsed
    mp4read::Track** tracks;
    uint32_t trackCount;
    uint32_t trackCapacity;
};

namespace mp4read {

// Box walk of open; returns a result code.
int WalkTopLevel(MP4Spliter* sp);
void FreeTracks(MP4Spliter* sp);
void SetTrace(int enabled);
void Trace(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace mp4read
