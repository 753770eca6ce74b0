// Byte-order reads and writes, and a float-to-int conversion that stays defined
// for damaged values: the one copy every file parser and writer uses.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace platform {

inline uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t Le32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
inline int32_t LeInt32(const uint8_t* p) {
    const uint32_t bits = Le32(p);
    int32_t v;
    std::memcpy(&v, &bits, 4);
    return v;
}
inline float LeFloat(const uint8_t* p) {
    const uint32_t bits = Le32(p);
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

inline uint16_t Be16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline uint32_t Be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
inline uint64_t Be64(const uint8_t* p) {
    return (uint64_t{Be32(p)} << 32) | Be32(p + 4);
}

inline void PutLe16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutLe32(uint8_t* p, uint32_t v) {
    PutLe16(p, v);
    PutLe16(p + 2, v >> 16);
}
inline void PutBe16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void PutBe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
inline void PutBe64(uint8_t* p, uint64_t v) {
    PutBe32(p, static_cast<uint32_t>(v >> 32));
    PutBe32(p + 4, static_cast<uint32_t>(v));
}

// The same writes appended to a growing buffer.
inline void AppendLe16(std::vector<uint8_t>& out, uint32_t v) {
    out.resize(out.size() + 2);
    PutLe16(&out[out.size() - 2], v);
}
inline void AppendLe32(std::vector<uint8_t>& out, uint32_t v) {
    out.resize(out.size() + 4);
    PutLe32(&out[out.size() - 4], v);
}
inline void AppendBe16(std::vector<uint8_t>& out, uint32_t v) {
    out.resize(out.size() + 2);
    PutBe16(&out[out.size() - 2], v);
}
inline void AppendBe32(std::vector<uint8_t>& out, uint32_t v) {
    out.resize(out.size() + 4);
    PutBe32(&out[out.size() - 4], v);
}

// Truncation toward zero that stays defined for NaN and out-of-range values
// (a damaged record must not be undefined behaviour).
inline int32_t TruncToInt(double v) {
    if (!(v == v)) return 0;
    if (v >= 2147483647.0) return INT32_MAX;
    if (v <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(v);
}

}  // namespace platform
