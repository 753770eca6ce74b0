#include "stitch/output_name.h"

#include <cstdio>

#include "platform/file.h"

namespace {

void ReplaceAll(std::string& s, const std::string& from, const std::string& to) {
    if (from.empty()) return;
    for (size_t pos = s.find(from); pos != std::string::npos; pos = s.find(from, pos + to.size())) {
        s.replace(pos, from.size(), to);
    }
}

}  // namespace

std::string MakeOutputPath(const std::string& folder, const std::string& inputPath, bool isPhoto) {
    const size_t slash = inputPath.find_last_of('/');
    std::string name = slash == std::string::npos ? inputPath : inputPath.substr(slash + 1);
    const char* ext = isPhoto ? "jpg" : "mp4";
    std::string suffix = std::string(".") + ext;
    const size_t dot = name.find_last_of('.');
    if (dot == std::string::npos) {
        name += suffix;  // no extension to replace
    } else {
        ReplaceAll(name, name.substr(dot + 1), ext);
    }
    for (int n = 0;; ++n) {
        char next[64];
        std::snprintf(next, sizeof next, "_orbivue360_%d.%s", n, ext);
        ReplaceAll(name, suffix, next);
        const std::string path = folder + name;
        if (!platform::FileExists(path.c_str())) return path;
        suffix = next;
    }
}
