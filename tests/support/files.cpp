#include "support/files.h"

#include <dirent.h>

#include <cstdio>
#include <cstdlib>

#include "support/command.h"

namespace testutil {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/orbivue-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) != nullptr) path_ = buf.data();
}

TempDir::~TempDir() {
    if (path_.empty()) return;
    int status = 0;
    RunCommand("rm -rf " + ShellQuote(path_), &status);
}

std::vector<std::string> ListFolder(const std::string& path) {
    std::vector<std::string> out;
    if (DIR* d = opendir(path.c_str())) {
        while (const dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") out.push_back(name);
        }
        closedir(d);
    }
    return out;
}

Bytes ReadFile(const std::string& path) {
    Bytes b;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return b;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) b.insert(b.end(), buf, buf + n);
    std::fclose(f);
    return b;
}

bool WriteBytes(const std::string& path, const Bytes& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool whole =
        bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && whole;
}

std::string WriteNullSoundConfig(const TempDir& dir) {
    const std::string path = dir.File("asound.conf");
    const std::string text = "pcm.!default { type null }\n";
    return WriteBytes(path, Bytes(text.begin(), text.end())) ? path : std::string();
}

}  // namespace testutil
