// Mp4File: a platform file with one 64 KiB window of buffered data behind an
// Mp4Io table. Reads and writes go through the window; a write marks it dirty
// and it is written back before the window moves. Transfers of a window or
// more bypass it.
#include "mp4/mp4_common.h"

#include <cstring>
#include <memory>

#include "platform/bytes.h"
#include "platform/file.h"

namespace {

constexpr int64_t kWindow = 64 * 1024;

}  // namespace

struct Mp4File::State {
    platform::File file;
    bool writable = false;
    bool failed = false;  // a write-back was lost
    bool dirty = false;
    int64_t pos = 0;     // logical position
    int64_t end = 0;     // logical size, including unflushed data
    int64_t winPos = 0;  // file offset of window byte 0
    int64_t winLen = 0;  // valid bytes in the window
    uint8_t win[kWindow];

    bool PRead(uint8_t* dst, int64_t n, int64_t at, int64_t* got) {
        *got = file.ReadAt(dst, static_cast<size_t>(n), at);
        if (*got < 0) {
            *got = 0;
            return false;
        }
        return true;
    }

    bool PWrite(const uint8_t* src, int64_t n, int64_t at) {
        return file.WriteAt(src, static_cast<size_t>(n), at);
    }

    bool Flush() {
        if (!dirty) return true;
        dirty = false;
        if (!PWrite(win, winLen, winPos)) {
            failed = true;
            return false;
        }
        return true;
    }

    int64_t Read(uint8_t* dst, int64_t n) {
        int64_t done = 0;
        while (done < n) {
            if (pos >= winPos && pos < winPos + winLen) {
                int64_t k = winPos + winLen - pos;
                if (k > n - done) k = n - done;
                std::memcpy(dst + done, win + (pos - winPos), static_cast<size_t>(k));
                done += k;
                pos += k;
                continue;
            }
            if (!Flush()) return done > 0 ? done : -1;
            int64_t got = 0;
            if (n - done >= kWindow) {
                if (!PRead(dst + done, n - done, pos, &got)) return done > 0 ? done : -1;
                done += got;
                pos += got;
                break;
            }
            winPos = pos;
            winLen = 0;
            if (!PRead(win, kWindow, pos, &got)) return done > 0 ? done : -1;
            winLen = got;
            if (got == 0) break;
        }
        return done;
    }

    int64_t Write(const uint8_t* src, int64_t n) {
        if (!writable) return -1;
        int64_t done = 0;
        while (done < n) {
            bool inWindow = pos >= winPos && pos <= winPos + winLen && pos < winPos + kWindow;
            if (!inWindow) {
                if (!Flush()) return done > 0 ? done : -1;
                if (n - done >= kWindow) {
                    if (!PWrite(src + done, n - done, pos)) {
                        failed = true;
                        return done > 0 ? done : -1;
                    }
                    // Drop a window the direct write overlapped.
                    if (pos < winPos + winLen && pos + (n - done) > winPos) winLen = 0;
                    pos += n - done;
                    done = n;
                    break;
                }
                winPos = pos;
                winLen = 0;
                continue;
            }
            int64_t k = winPos + kWindow - pos;
            if (k > n - done) k = n - done;
            std::memcpy(win + (pos - winPos), src + done, static_cast<size_t>(k));
            if (pos + k > winPos + winLen) winLen = pos + k - winPos;
            dirty = true;
            done += k;
            pos += k;
        }
        if (pos > end) end = pos;
        return done;
    }
};

Mp4File::~Mp4File() {
    Close();
}

int Mp4File::OpenRead(const char* path) {
    Close();
    std::unique_ptr<State> state(new State);
    if (state->file.OpenRead(path) != 0) return -1;
    state->end = state->file.OpenedSize();
    m_pState = state.release();
    return 0;
}

int Mp4File::OpenWrite(const char* path) {
    Close();
    std::unique_ptr<State> state(new State);
    if (state->file.OpenWrite(path, true) != 0) return -1;
    state->writable = true;
    m_pState = state.release();
    return 0;
}

bool Mp4File::Close() {
    if (!m_pState) return true;
    bool ok = m_pState->Flush() && !m_pState->failed;
    if (!m_pState->file.Close()) ok = false;
    delete m_pState;
    m_pState = nullptr;
    return ok;
}

Mp4Io Mp4File::Io() {
    // The entries are lambdas so that they may name the private State.
    Mp4Io io;
    io.user = m_pState;
    io.read = [](void* user, void* dst, int64_t n) -> int64_t {
        State* s = static_cast<State*>(user);
        if (!s || n < 0 || (n > 0 && !dst)) return -1;
        return s->Read(static_cast<uint8_t*>(dst), n);
    };
    io.write = [](void* user, const void* src, int64_t n) -> int64_t {
        State* s = static_cast<State*>(user);
        if (!s || n < 0 || (n > 0 && !src)) return -1;
        return s->Write(static_cast<const uint8_t*>(src), n);
    };
    io.seek = [](void* user, int64_t offset, int origin) -> int {
        State* s = static_cast<State*>(user);
        if (!s) return -1;
        int64_t base = 0;
        if (origin == kMp4SeekCur) {
            base = s->pos;
        } else if (origin == kMp4SeekEnd) {
            base = s->end;
        } else if (origin != kMp4SeekSet) {
            return -1;
        }
        if ((offset > 0 && base > INT64_MAX - offset) || base + offset < 0) return -1;
        s->pos = base + offset;
        return 0;
    };
    io.tell = [](void* user) -> int64_t {
        State* s = static_cast<State*>(user);
        return s ? s->pos : -1;
    };
    io.size = [](void* user) -> int64_t {
        State* s = static_cast<State*>(user);
        return s ? s->end : -1;
    };
    return io;
}

std::vector<uint8_t> Mp4AvcConfig(const std::vector<uint8_t>& sps,
                                  const std::vector<uint8_t>& pps) {
    std::vector<uint8_t> c = {1, sps[1], sps[2], sps[3], 0xFF, 0xE1};
    platform::AppendBe16(c, static_cast<uint32_t>(sps.size()));
    c.insert(c.end(), sps.begin(), sps.end());
    c.push_back(1);
    platform::AppendBe16(c, static_cast<uint32_t>(pps.size()));
    c.insert(c.end(), pps.begin(), pps.end());
    return c;
}
