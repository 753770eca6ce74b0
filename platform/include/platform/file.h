// Byte sources with 64-bit offsets: files on disk and buffers in memory.
//
// The container walkers read through ByteSource so the same code serves files,
// tests and fuzzers. Results are plain values, never exceptions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// An open file descriptor with whole transfers at an offset: the one place
// that calls the operating system's file functions. Not copyable; closes
// itself.
class File {
  public:
    File() = default;
    ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Opens an existing regular file for reading. 0, -1 for a null or empty
    // path, -2 when it cannot be opened or is not a regular file.
    int OpenRead(const char* path);
    // Creates or truncates a file for writing; readable too when readBack.
    // 0, -1 for a null or empty path, -2 when it cannot be created.
    int OpenWrite(const char* path, bool readBack);
    // False when the descriptor could not be closed cleanly.
    bool Close();
    bool IsOpen() const { return fd_ >= 0; }
    // Size when opened (0 for a new file).
    int64_t OpenedSize() const { return size_; }
    // Reads up to n bytes at offset `at`, retrying interrupted and partial
    // reads: the count read (short only at the end or on an error), or -1 for
    // an error before anything was read.
    int64_t ReadAt(void* dst, size_t n, int64_t at) const;
    // Writes all n bytes at offset `at`; false on any failure.
    bool WriteAt(const void* src, size_t n, int64_t at);

  private:
    int fd_ = -1;
    int64_t size_ = 0;
};

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
    bool IsOpen() const { return file_.IsOpen(); }

    size_t Read(void* dst, size_t n) override;
    bool Seek(int64_t offset, SeekOrigin origin) override;
    int64_t Tell() const override { return pos_; }
    int64_t Size() const override { return size_; }

  private:
    File file_;
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
    bool IsOpen() const { return file_.IsOpen(); }
    uint64_t BytesWritten() const { return written_; }

  private:
    bool Flush();
    File file_;
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

// A file that takes the place of its path only when complete: the bytes go to
// a new temporary file beside the path, Commit renames it over the path, and a
// file never committed is removed. Readers of the path never see a partial
// file, and a failed write never replaces what was there.
class PendingFile {
  public:
    PendingFile() = default;
    ~PendingFile() { Discard(); }
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    // Makes the temporary file beside path; false when none can be made.
    bool Begin(const char* path);
    // Where to write; empty before Begin and after Commit or Discard.
    const std::string& TempPath() const { return temp_; }
    // Renames the temporary file over the path. False (and the temporary file
    // removed) when that fails.
    bool Commit();
    // Removes the temporary file, if any.
    void Discard();

  private:
    std::string final_;
    std::string temp_;
};
// Creates an empty file under `wanted`, or, when that name exists, under the
// first free "name_1.ext", "name_2.ext", ... (the number goes before the last
// extension), exclusively, so nothing is ever overwritten. The name taken goes
// to *created. 0, or -1 when no file could be created (missing or read-only
// folder, no free name among the first 10000).
int CreateUniqueFile(const std::string& wanted, std::string* created);
// Replaces `to` by `from` (same file system). Returns 0 or -1.
int RenameFile(const char* from, const char* to);
// Deletes a file; 0 or -1.
int RemoveFile(const char* path);
bool FileExists(const char* path);
// Whether two paths name the same existing file (the same device and inode,
// so also through links). False when either does not exist.
bool IsSameFile(const char* a, const char* b);

}  // namespace platform
