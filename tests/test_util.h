// Helpers shared by the tests: temporary folders and in-memory camera files.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "sample/samplegen.h"

namespace testutil {

// PSNR of 8-bit samples from their summed squared error; 99 dB when nothing differs.
inline double PsnrFromSquaredError(double squared, size_t count) {
    const double mse = count > 0 ? squared / static_cast<double>(count) : 0;
    return mse <= 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

// A fresh folder under the temporary folder, removed with its files.
class TempDir {
  public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/orbivue-test-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()) != nullptr) path_ = buf.data();
    }
    ~TempDir() {
        if (!path_.empty()) {
            const std::string cmd = "rm -rf '" + path_ + "'";
            if (std::system(cmd.c_str()) != 0) {
            }
        }
    }
    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Runs a shell command; returns its standard output and sets its exit status.
inline std::string RunCommand(const std::string& cmd, int* status) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    char buf[4096];
    size_t n;
    while (p != nullptr && (n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    const int st = p ? pclose(p) : -1;
    *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

inline void Append(std::vector<uint8_t>& to, const std::vector<uint8_t>& what) {
    to.insert(to.end(), what.begin(), what.end());
}

// SOI, optional APP0, then an APP1 "Exif" segment holding the data. No picture
// follows: the trailer readers do not need one.
inline std::vector<uint8_t> JpegWithExif(const std::vector<uint8_t>& data, bool app0 = false) {
    std::vector<uint8_t> out = {0xFF, 0xD8};
    if (app0) {
        Append(out, {0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0});
    }
    const size_t len = data.size() + 6;
    Append(out, {0xFF, 0xE1, static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len & 0xFF), 'E',
                 'x', 'i', 'f'});
    Append(out, data);
    Append(out, {0xFF, 0xD9});
    return out;
}

// A minimal box layout: ftyp, mdat, then moov holding one trak.
inline std::vector<uint8_t> Mp4WithUdtaInMoov(const std::vector<uint8_t>& data) {
    std::vector<uint8_t> out = sample::Box("ftyp", {'i', 's', 'o', 'm', 0, 0, 2, 0});
    Append(out, sample::Box("mdat", std::vector<uint8_t>(64, 0xAA)));
    std::vector<uint8_t> moov = sample::Box("mvhd", std::vector<uint8_t>(100, 0));
    Append(moov, sample::Box("trak", sample::Box("tkhd", std::vector<uint8_t>(84, 0))));
    Append(moov, sample::Box("udta", data));
    Append(out, sample::Box("moov", moov));
    return out;
}

// The trailer bytes of the default records of a camera type.
inline std::vector<uint8_t> DefaultTrailer(int cameraType) {
    sample::TrailerSpec spec;
    spec.records = sample::DefaultRecords(cameraType);
    return sample::BuildTrailer(spec);
}

}  // namespace testutil
