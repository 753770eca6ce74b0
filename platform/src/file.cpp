#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

namespace platform {
namespace {

// Resolves a seek request to an absolute position; false when it is negative
// or would overflow.
bool ResolveSeek(int64_t pos, int64_t size, int64_t offset, SeekOrigin origin, int64_t* out) {
    int64_t base = 0;
    switch (origin) {
        case kSeekSet:
            base = 0;
            break;
        case kSeekCur:
            base = pos;
            break;
        case kSeekEnd:
            base = size;
            break;
        default:
            return false;
    }
    if (offset > 0 && base > std::numeric_limits<int64_t>::max() - offset) return false;
    const int64_t target = base + offset;
    if (target < 0) return false;
    *out = target;
    return true;
}

// The process's file mode mask, read without changing it: umask() can only be
// read by setting it, which would race with threads creating files.
mode_t CurrentUmask() {
    if (FILE* f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        unsigned mask = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, f) != nullptr) {
            found = std::sscanf(line, "Umask: %o", &mask) == 1;
        }
        std::fclose(f);
        if (found) return static_cast<mode_t>(mask & 0777);
    }
    return 022;
}

}  // namespace

File::~File() {
    Close();
}

int File::OpenRead(const char* path) {
    Close();
    if (path == nullptr || path[0] == '\0') return -1;
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -2;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -2;
    }
    fd_ = fd;
    size_ = static_cast<int64_t>(st.st_size);
    return 0;
}

int File::OpenWrite(const char* path, bool readBack) {
    Close();
    if (path == nullptr || path[0] == '\0') return -1;
    const int fd =
        ::open(path, (readBack ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return -2;
    fd_ = fd;
    size_ = 0;
    return 0;
}

bool File::Close() {
    if (fd_ < 0) return true;
    const bool ok = ::close(fd_) == 0;
    fd_ = -1;
    size_ = 0;
    return ok;
}

int64_t File::ReadAt(void* dst, size_t n, int64_t at) const {
    if (fd_ < 0) return -1;
    size_t done = 0;
    auto* out = static_cast<unsigned char*>(dst);
    while (done < n) {
        const size_t chunk = (n - done) > (1u << 30) ? (1u << 30) : (n - done);
        const ssize_t got =
            ::pread(fd_, out + done, chunk, static_cast<off_t>(at + static_cast<int64_t>(done)));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && done == 0) return -1;
        if (got <= 0) break;
        done += static_cast<size_t>(got);
    }
    return static_cast<int64_t>(done);
}

bool File::WriteAt(const void* src, size_t n, int64_t at) {
    if (fd_ < 0) return false;
    size_t done = 0;
    const auto* in = static_cast<const unsigned char*>(src);
    while (done < n) {
        const size_t chunk = (n - done) > (1u << 30) ? (1u << 30) : (n - done);
        const ssize_t put =
            ::pwrite(fd_, in + done, chunk, static_cast<off_t>(at + static_cast<int64_t>(done)));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        done += static_cast<size_t>(put);
    }
    return true;
}

FileReader::~FileReader() {
    Close();
}

int FileReader::Open(const char* path) {
    Close();
    const int r = file_.OpenRead(path);
    if (r != 0) return r;
    pos_ = 0;
    size_ = file_.OpenedSize();
    return 0;
}

void FileReader::Close() {
    file_.Close();
    pos_ = 0;
    size_ = -1;
}

size_t FileReader::Read(void* dst, size_t n) {
    if (!file_.IsOpen() || n == 0) return 0;
    const int64_t done = file_.ReadAt(dst, n, pos_);
    if (done <= 0) return 0;
    pos_ += done;
    return static_cast<size_t>(done);
}

bool FileReader::Seek(int64_t offset, SeekOrigin origin) {
    if (!file_.IsOpen()) return false;
    return ResolveSeek(pos_, size_, offset, origin, &pos_);
}

size_t MemorySource::Read(void* dst, size_t n) {
    if (pos_ >= size_ || n == 0) return 0;
    const int64_t left = size_ - pos_;
    const size_t take = static_cast<uint64_t>(left) < n ? static_cast<size_t>(left) : n;
    std::memcpy(dst, data_ + pos_, take);
    pos_ += static_cast<int64_t>(take);
    return take;
}

bool MemorySource::Seek(int64_t offset, SeekOrigin origin) {
    return ResolveSeek(pos_, size_, offset, origin, &pos_);
}

}  // namespace platform

namespace platform {

FileWriter::~FileWriter() {
    Close();
}

int FileWriter::Open(const char* path) {
    Close();
    const int r = file_.OpenWrite(path, false);
    if (r != 0) return r;
    failed_ = false;
    written_ = 0;
    used_ = 0;
    return 0;
}

bool FileWriter::Flush() {
    if (used_ > 0 && !file_.WriteAt(buf_, used_, static_cast<int64_t>(written_ - used_))) {
        failed_ = true;
    }
    used_ = 0;
    return !failed_;
}

bool FileWriter::Write(const void* src, size_t n) {
    if (!file_.IsOpen() || failed_) return false;
    const auto* p = static_cast<const unsigned char*>(src);
    while (n > 0) {
        const size_t take = std::min(n, sizeof(buf_) - used_);
        std::memcpy(buf_ + used_, p, take);
        used_ += take;
        written_ += take;
        p += take;
        n -= take;
        if (used_ == sizeof(buf_) && !Flush()) return false;
    }
    return true;
}

bool FileWriter::Close() {
    if (!file_.IsOpen()) return false;
    bool ok = Flush();
    ok = file_.Close() && ok;
    return ok && !failed_;
}

bool MemorySink::Write(const void* src, size_t n) {
    data_.append(static_cast<const unsigned char*>(src), n);
    return true;
}

std::string TempPathBeside(const char* path) {
    if (path == nullptr || path[0] == '\0') return std::string();
    std::string dir = path;
    const size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? std::string(".") : dir.substr(0, slash == 0 ? 1 : slash);
    std::string tmpl = dir + (dir.back() == '/' ? "" : "/") + ".orbivue-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    const int fd = ::mkstemp(buf.data());
    if (fd < 0) return std::string();
    ::close(fd);
    return std::string(buf.data());
}

bool PendingFile::Begin(const char* path) {
    Discard();
    temp_ = TempPathBeside(path);
    if (temp_.empty()) return false;
    final_ = path;
    return true;
}

bool PendingFile::Commit() {
    if (temp_.empty()) return false;
    // The temporary file was made private; the output gets the mode a newly
    // created file would have.
    const bool ok = ::chmod(temp_.c_str(), 0666 & ~CurrentUmask()) == 0 &&
                    RenameFile(temp_.c_str(), final_.c_str()) == 0;
    if (!ok) RemoveFile(temp_.c_str());
    temp_.clear();
    return ok;
}

void PendingFile::Discard() {
    if (!temp_.empty()) RemoveFile(temp_.c_str());
    temp_.clear();
}

int CreateUniqueFile(const std::string& wanted, std::string* created) {
    if (wanted.empty() || created == nullptr) return -1;
    const size_t slash = wanted.find_last_of('/');
    const size_t dot = wanted.find_last_of('.');
    const bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    const std::string stem = hasExt ? wanted.substr(0, dot) : wanted;
    const std::string ext = hasExt ? wanted.substr(dot) : std::string();
    for (int n = 0; n < 10000; ++n) {
        const std::string name = n == 0 ? wanted : stem + "_" + std::to_string(n) + ext;
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            *created = name;
            return 0;
        }
        if (errno != EEXIST) return -1;
    }
    return -1;
}

int RenameFile(const char* from, const char* to) {
    return ::rename(from, to) == 0 ? 0 : -1;
}

int RemoveFile(const char* path) {
    return ::unlink(path) == 0 ? 0 : -1;
}

bool IsSameFile(const char* a, const char* b) {
    struct stat sa {
    }, sb{};
    if (a == nullptr || b == nullptr || ::stat(a, &sa) != 0 || ::stat(b, &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool FileExists(const char* path) {
    struct stat st {};
    return path != nullptr && ::stat(path, &st) == 0;
}

}  // namespace platform
