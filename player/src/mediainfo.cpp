#include "player/mediainfo.h"

#include <climits>

namespace {

constexpr int kInfoText = 1;  // the value as text
constexpr int kInfoName = 0;  // search the parameter by name

}  // namespace

CMediaInfo::CMediaInfo() = default;

bool CMediaInfo::Load(const char* libraryName) {
    m_bUsable = false;
    if (m_lib.Load(libraryName) != 0) return false;
    const platform::SymbolSlot table[] = {
        {"MediaInfoA_New", reinterpret_cast<void**>(&m_pNew)},
        {"MediaInfoA_Delete", reinterpret_cast<void**>(&m_pDelete)},
        {"MediaInfoA_Open", reinterpret_cast<void**>(&m_pOpen)},
        {"MediaInfoA_Close", reinterpret_cast<void**>(&m_pClose)},
        {"MediaInfoA_Get", reinterpret_cast<void**>(&m_pGet)},
        {"MediaInfoA_Option", reinterpret_cast<void**>(&m_pOption)},
    };
    if (m_lib.Bind(table, sizeof(table) / sizeof(table[0])) != 0) {
        m_lib.Unload();
        return false;
    }
    m_pOption(nullptr, "CharSet", "");
    m_pOption(nullptr, "LineSeparator", "\n");
    m_bUsable = true;
    return true;
}

void CMediaInfo::FrameSize(const char* path, bool isPhoto, int* width, int* height) const {
    const MediaStreamKind kind = isPhoto ? kMediaStreamImage : kMediaStreamVideo;
    *width = 0;
    *height = 0;
    if (!m_bUsable || path == nullptr || path[0] == '\0') return;
    void* handle = m_pNew();
    if (handle == nullptr) return;
    if (m_pOpen(handle, path) != 0) {
        // The library reuses its answer buffer: convert each value at once.
        const char* w = m_pGet(handle, kind, 0, "Width", kInfoText, kInfoName);
        *width = ParseMediaInteger(w != nullptr ? std::string(w) : std::string());
        const char* h = m_pGet(handle, kind, 0, "Height", kInfoText, kInfoName);
        *height = ParseMediaInteger(h != nullptr ? std::string(h) : std::string());
        m_pClose(handle);
    }
    m_pDelete(handle);
}

int ParseMediaInteger(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    long long v = 0;
    bool any = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        v = v * 10 + (text[i] - '0');
        any = true;
        if (v > INT_MAX) return 0;
    }
    return any ? static_cast<int>(v) : 0;
}
