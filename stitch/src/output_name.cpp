#include "stitch/output_name.h"

#include "platform/file.h"

std::string MakeOutputPath(const std::string& folder, const std::string& inputPath, bool isPhoto) {
    const size_t slash = inputPath.find_last_of('/');
    std::string stem = slash == std::string::npos ? inputPath : inputPath.substr(slash + 1);
    // The extension is what follows the last full stop; a name that only
    // starts with one (a hidden file) has none.
    const size_t dot = stem.find_last_of('.');
    if (dot != std::string::npos && dot > 0) stem.resize(dot);
    const std::string ext = isPhoto ? ".jpg" : ".mp4";
    for (int n = 0; n < kMaxOutputNumber; ++n) {
        const std::string path = folder + stem + "_orbivue360_" + std::to_string(n) + ext;
        if (!platform::FileExists(path.c_str())) return path;
    }
    return std::string();
}
