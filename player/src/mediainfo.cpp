#include "player/mediainfo.h"

#include <climits>
#include <vector>

#include "player/mp4_frame.h"

namespace {

constexpr int kInfoText = 1;  // the value as text
constexpr int kInfoName = 0;  // search the parameter by name

// The buffer interface: bytes handed over at a time, the "finalized" bit of
// its answer, the position that means "no jump wanted", and the most jumps
// followed (a library that keeps asking cannot hold the probe).
constexpr size_t kFeedChunk = 64 * 1024;
constexpr size_t kFeedFinalized = 0x08;
constexpr uint64_t kNoJump = UINT64_MAX;
constexpr int kMaxJumps = 1024;

std::string TextOf(const char* value) {
    return value != nullptr ? std::string(value) : std::string();
}

}  // namespace

CMediaInfo::CMediaInfo() = default;

bool CMediaInfo::Load(const char* libraryName) {
    m_bUsable = false;
    if (m_lib.Load(libraryName) != 0) return false;
    const platform::SymbolSlot table[] = {
        {"MediaInfoA_New", reinterpret_cast<void**>(&m_pNew)},
        {"MediaInfoA_Delete", reinterpret_cast<void**>(&m_pDelete)},
        {"MediaInfoA_Close", reinterpret_cast<void**>(&m_pClose)},
        {"MediaInfoA_Get", reinterpret_cast<void**>(&m_pGet)},
        {"MediaInfoA_Option", reinterpret_cast<void**>(&m_pOption)},
        {"MediaInfoA_Open_Buffer_Init", reinterpret_cast<void**>(&m_pBufferInit)},
        {"MediaInfoA_Open_Buffer_Continue", reinterpret_cast<void**>(&m_pBufferContinue)},
        {"MediaInfoA_Open_Buffer_Continue_GoTo_Get", reinterpret_cast<void**>(&m_pBufferGoTo)},
        {"MediaInfoA_Open_Buffer_Finalize", reinterpret_cast<void**>(&m_pBufferFinalize)},
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

void CMediaInfo::FrameSize(const char* path, bool isPhoto, platform::ByteSource* file, int* width,
                           int* height) const {
    *width = 0;
    *height = 0;
    if (path == nullptr || path[0] == '\0') return;
    platform::FileReader own;
    if (file == nullptr) {
        if (own.Open(path) != 0) return;
        file = &own;
    }
    if (IsMp4Structure(*file)) {
        if (!isPhoto) Mp4FrameSize(*file, width, height);
        return;
    }
    if (!m_bUsable) return;
    void* handle = m_pNew();
    if (handle == nullptr) return;
    Feed(handle, *file);
    // The library reuses its answer buffer: convert each value at once.
    const MediaStreamKind kind = isPhoto ? kMediaStreamImage : kMediaStreamVideo;
    *width = ParseMediaInteger(TextOf(m_pGet(handle, kind, 0, "Width", kInfoText, kInfoName)));
    *height = ParseMediaInteger(TextOf(m_pGet(handle, kind, 0, "Height", kInfoText, kInfoName)));
    m_pClose(handle);
    m_pDelete(handle);
}

void CMediaInfo::Feed(void* handle, platform::ByteSource& file) const {
    const int64_t size = file.Size();
    if (size < 0 || !file.Seek(0, platform::kSeekSet)) return;
    const uint64_t total = static_cast<uint64_t>(size);
    m_pBufferInit(handle, total, 0);
    std::vector<uint8_t> chunk(kFeedChunk);
    int jumps = 0;
    size_t got = 0;
    do {
        got = file.Read(chunk.data(), chunk.size());
        if ((m_pBufferContinue(handle, chunk.data(), got) & kFeedFinalized) != 0) break;
        const uint64_t to = m_pBufferGoTo(handle);
        if (to != kNoJump) {
            if (++jumps > kMaxJumps || to > total ||
                !file.Seek(static_cast<int64_t>(to), platform::kSeekSet))
                break;
            m_pBufferInit(handle, total, to);
        }
    } while (got > 0);
    m_pBufferFinalize(handle);
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
