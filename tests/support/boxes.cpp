#include "support/boxes.h"

#include <cstdlib>

namespace testutil {

std::vector<Box> Children(const Bytes& b, size_t from, size_t to) {
    std::vector<Box> out;
    while (from + 8 <= to) {
        Box x;
        x.at = from;
        x.size = Be32(b, from);
        x.type.assign(reinterpret_cast<const char*>(&b[from + 4]), 4);
        if (x.size == 1) {
            if (from + 16 > to) break;
            x.size = static_cast<size_t>(Be64(b, from + 8));
        }
        if (x.size < 8 || x.size > to - from) break;
        out.push_back(x);
        from += x.size;
    }
    return out;
}

std::vector<Box> Children(const Bytes& b, const Box& parent, size_t skip) {
    return Children(b, parent.body() + skip, parent.at + parent.size);
}

std::vector<Box> TopLevel(const Bytes& b) {
    return Children(b, 0, b.size());
}

bool FindPath(const Bytes& b, const std::string& path, Box* found) {
    std::vector<Box> level = TopLevel(b);
    size_t pos = 0;
    while (pos < path.size()) {
        const size_t slash = path.find('/', pos);
        std::string part =
            path.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
        pos = slash == std::string::npos ? path.size() : slash + 1;
        int index = 0;
        const size_t br = part.find('[');
        if (br != std::string::npos) {
            index = std::atoi(part.c_str() + br + 1);
            part = part.substr(0, br);
        }
        bool ok = false;
        for (const Box& x : level) {
            if (x.type == part && index-- == 0) {
                *found = x;
                ok = true;
                break;
            }
        }
        if (!ok) return false;
        level = Children(b, *found, found->type == "stsd" ? 8 : 0);
    }
    return true;
}

namespace {

void Walk(const Bytes& b, size_t from, size_t to, std::vector<Box>* out) {
    static const char* const kContainers[] = {"moov", "trak", "mdia", "minf",
                                              "stbl", "edts", "udta"};
    for (const Box& x : Children(b, from, to)) {
        out->push_back(x);
        for (const char* c : kContainers)
            if (x.type == c) Walk(b, x.body(), x.at + x.size, out);
    }
}

}  // namespace

std::vector<Box> AllBoxes(const Bytes& b) {
    std::vector<Box> out;
    Walk(b, 0, b.size(), &out);
    return out;
}

Box FindBox(const Bytes& b, const std::string& type, int n) {
    for (const Box& x : AllBoxes(b))
        if (x.type == type && n-- == 0) return x;
    return Box();
}

void AppendChild(Bytes& b, const Box& parent, const Bytes& child) {
    for (const Box& x : AllBoxes(b))
        if (x.at <= parent.at && x.at + x.size >= parent.at + parent.size)
            PutBe32(b, x.at, static_cast<uint32_t>(x.size + child.size()));
    b.insert(b.begin() + static_cast<long>(parent.at + parent.size), child.begin(), child.end());
}

}  // namespace testutil
