// Files of the tests: a temporary folder removed with its files, whole-file reads and writes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testutil {

using Bytes = std::vector<uint8_t>;

// A fresh folder under $TMPDIR (or /tmp), removed with its files.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// The names in a folder, hidden ones included, less "." and "..".
std::vector<std::string> ListFolder(const std::string& path);

// The whole file; empty when it cannot be read.
Bytes ReadFile(const std::string& path);

// Creates or replaces the file; false when it cannot be written in full.
bool WriteBytes(const std::string& path, const Bytes& bytes);
// Writes an ALSA configuration whose default output discards the sound (test
// machines have no sound device) into dir; returns its path, empty on failure.
std::string WriteNullSoundConfig(const TempDir& dir);

}  // namespace testutil
