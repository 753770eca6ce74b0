#include "convert/convert_client.h"

#include <unistd.h>

#include <vector>

#include "platform/file.h"

namespace {

constexpr char kLibraryName[] = "liborbivueconvert.so";

}  // namespace

bool ConvertClient::Load(std::string* error) {
    if (IsLoaded()) return true;
    std::vector<std::string> candidates;
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string dir(self, static_cast<size_t>(n));
        dir = dir.substr(0, dir.rfind('/'));
        candidates.push_back(dir + "/../lib/" + kLibraryName);
        candidates.push_back(dir + "/" + kLibraryName);
    }
#ifdef ORBIVUE_CONVERT_LIBRARY
    candidates.push_back(ORBIVUE_CONVERT_LIBRARY);
#endif
    for (const std::string& c : candidates) {
        if (platform::FileExists(c.c_str()) && m_library.Load(c.c_str()) == 0) break;
    }
    if (!m_library.IsLoaded()) {
        *error = std::string("cannot load ") + kLibraryName;
        return false;
    }
    return Bind(error);
}

bool ConvertClient::LoadFrom(const std::string& path, std::string* error) {
    if (IsLoaded()) return true;
    if (!platform::FileExists(path.c_str()) || m_library.Load(path.c_str()) != 0) {
        *error = "cannot load " + path;
        return false;
    }
    return Bind(error);
}

bool ConvertClient::Bind(std::string* error) {
    const platform::SymbolSlot table[] = {
        {"synth_trans", reinterpret_cast<void**>(&synthTrans)},
        {"stop_transcoding", reinterpret_cast<void**>(&stopTranscoding)},
        {"setposition_callback", reinterpret_cast<void**>(&setPositionCallback)},
        {"synth_image", reinterpret_cast<void**>(&synthImage)},
        {"rescale_csconvert", reinterpret_cast<void**>(&rescaleCsconvert)},
    };
    if (m_library.Bind(table, sizeof table / sizeof table[0]) != 0) {
        synthTrans = nullptr;
        m_library.Unload();
        *error = std::string(kLibraryName) + " lacks an entry point";
        return false;
    }
    framesDone = reinterpret_cast<ConvertFramesDoneFn>(m_library.Find("orbivue_convert_frames"));
    return true;
}
