// Byte sources with 64-bit offsets: files on disk and buffers in memory.
//
// The container walkers read through ByteSource so the same code serves files,
// tests and fuzzers. Results are plain values, never exceptions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

enum SeekOrigin { kSeekSet = 0, kSeekCur = 1, kSeekEnd = 2 };

class ByteSource {
  public:
    virtual ~ByteSource() = default;
    // Reads up to n bytes at the current position; returns the count read
    // (short only at the end of the data or on an error).
    virtual size_t Read(void* dst, size_t n) = 0;
    // Moves the position; returns false (position unchanged) when the target
    // would be negative. Positions past the end are allowed and read nothing.
    virtual bool Seek(int64_t offset, SeekOrigin origin) = 0;
    virtual int64_t Tell() const = 0;
    // Total size in bytes, or -1 when unknown.
    virtual int64_t Size() const = 0;

    // Reads exactly n bytes or reports failure.
    bool ReadExact(void* dst, size_t n) { return Read(dst, n) == n; }
};

// A file opened for reading. Not copyable; closes itself.
class FileReader final : public ByteSource {
  public:
    FileReader() = default;
    ~FileReader() override;
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    // Opens a UTF-8 path. Returns 0 on success, -1 for a null or empty path,
    // -2 when the file cannot be opened or is not a regular file.
    int Open(const char* path);
    void Close();
    bool IsOpen() const { return fd_ >= 0; }

    size_t Read(void* dst, size_t n) override;
    bool Seek(int64_t offset, SeekOrigin origin) override;
    int64_t Tell() const override { return pos_; }
    int64_t Size() const override { return size_; }

  private:
    int fd_ = -1;
    int64_t pos_ = 0;
    int64_t size_ = -1;
};

// A caller-owned buffer read as a byte source; the buffer must outlive it.
class MemorySource final : public ByteSource {
  public:
    MemorySource(const void* data, size_t size)
        : data_(static_cast<const unsigned char*>(data)), size_(static_cast<int64_t>(size)) {}

    size_t Read(void* dst, size_t n) override;
    bool Seek(int64_t offset, SeekOrigin origin) override;
    int64_t Tell() const override { return pos_; }
    int64_t Size() const override { return size_; }

  private:
    const unsigned char* data_;
    int64_t size_;
    int64_t pos_ = 0;
};

}  // namespace platform

namespace platform {

// Where encoders write their bytes.
class ByteSink {
  public:
    virtual ~ByteSink() = default;
    // Writes all n bytes; false on any failure (the sink stays failed).
    virtual bool Write(const void* src, size_t n) = 0;
};

// A file opened for writing (created or truncated). Writes are buffered;
// Close reports whether everything reached the file.
class FileWriter final : public ByteSink {
  public:
    FileWriter() = default;
    ~FileWriter() override;
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;

    // Returns 0, -1 for a null or empty path, -2 when the file cannot be created.
    int Open(const char* path);
    bool Write(const void* src, size_t n) override;
    // Flushes and closes; false when any write, the flush or the close failed.
    bool Close();
    bool IsOpen() const { return fd_ >= 0; }
    uint64_t BytesWritten() const { return written_; }

  private:
    bool Flush();
    int fd_ = -1;
    bool failed_ = false;
    uint64_t written_ = 0;
    size_t used_ = 0;
    unsigned char buf_[1 << 16];
};

// A sink that keeps the bytes in memory (tests, fuzzers).
class MemorySink final : public ByteSink {
  public:
    bool Write(const void* src, size_t n) override;
    const unsigned char* data() const { return data_.data(); }
    size_t size() const { return data_.size(); }

  private:
    std::basic_string<unsigned char> data_;
};

// A new, unused file name in the folder of path, for writing a file that is
// renamed over path only when it is complete. Empty when none can be made.
std::string TempPathBeside(const char* path);
// Replaces `to` by `from` (same file system). Returns 0 or -1.
int RenameFile(const char* from, const char* to);
// Deletes a file; 0 or -1.
int RemoveFile(const char* path);
bool FileExists(const char* path);

}  // namespace platform
