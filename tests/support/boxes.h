// MP4 box trees in test bytes: building them, walking them, reading and patching
// their big-endian fields.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/bytes.h"
#include "support/files.h"

namespace testutil {

inline void Append(Bytes& to, const Bytes& what) {
    to.insert(to.end(), what.begin(), what.end());
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) Append(out, p);
    return out;
}

inline uint32_t Be32(const Bytes& b, size_t at) {
    return platform::Be32(&b[at]);
}
inline uint64_t Be64(const Bytes& b, size_t at) {
    return platform::Be64(&b[at]);
}
inline void PutBe32(Bytes& b, size_t at, uint32_t v) {
    platform::PutBe32(&b[at], v);
}

struct Box {
    std::string type;
    size_t at = 0;    // header start
    size_t size = 0;  // whole box
    size_t body() const { return at + 8; }
};

// The boxes laid end to end in [from, to); a size of 1 takes the 64-bit size after the type.
// The walk stops at a size below a header or past `to`.
std::vector<Box> Children(const Bytes& b, size_t from, size_t to);
// The children of a box, after `skip` bytes of its own fields (8 for "stsd").
std::vector<Box> Children(const Bytes& b, const Box& parent, size_t skip = 0);
std::vector<Box> TopLevel(const Bytes& b);

// Follows a path like "moov/trak[1]/mdia/minf/stbl/stsz" (0-based indices among the
// children of that type). False when a step is missing.
bool FindPath(const Bytes& b, const std::string& path, Box* found);

// Every box of the tree, parents before their children, descending into moov, trak, mdia,
// minf, stbl, edts and udta.
std::vector<Box> AllBoxes(const Bytes& b);
// The n-th box of a type anywhere in that tree (from 0); an empty type when there is none.
Box FindBox(const Bytes& b, const std::string& type, int n = 0);

// Puts a box at the end of the parent, growing the parent and every box around it. Only for
// files whose sample data lies before the parent: no chunk offset is moved.
void AppendChild(Bytes& b, const Box& parent, const Bytes& child);

}  // namespace testutil
