// Writes small seed inputs for the fuzz targets into OUTDIR/<target>/.
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "sample/samplegen.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Cat(std::vector<Bytes> parts) {
    Bytes out;
    for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

bool Write(const std::string& path, const Bytes& b) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(b.data(), 1, b.size(), f) == b.size();
    return std::fclose(f) == 0 && ok;
}

Bytes Jpeg(const Bytes& data, bool app0) {
    Bytes out = {0xFF, 0xD8};
    if (app0) out = Cat({out, {0xFF, 0xE0, 0, 4, 'J', 'F'}});
    const size_t len = data.size() + 6;
    return Cat({out,
                {0xFF, 0xE1, static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len), 'E', 'x',
                 'i', 'f'},
                data,
                {0xFF, 0xD9}});
}

Bytes Mp4(const Bytes& udta, const char* where) {
    const Bytes ftyp = sample::Box("ftyp", {'i', 's', 'o', 'm'});
    const Bytes mdat = sample::LargeBox("mdat", Bytes(24, 0));
    const Bytes u = sample::Box(where[0] == 'u' ? "udat" : "udta", udta);
    if (std::string(where) == "moov") return Cat({ftyp, mdat, sample::Box("moov", u)});
    if (std::string(where) == "trak")
        return Cat({ftyp, mdat, sample::Box("moov", sample::Box("trak", u))});
    return Cat({ftyp, mdat, sample::Box("moov", sample::Box("mvhd", Bytes(8, 0))), u});
}

// The plaintext of a trailer: declared length, count, reserved, records.
Bytes Plaintext(const std::vector<sample::Record>& records) {
    Bytes recs;
    for (const auto& r : records) {
        const size_t n = r.value.size();
        recs = Cat({recs,
                    {static_cast<uint8_t>(r.type), static_cast<uint8_t>(r.type >> 8),
                     static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8)},
                    r.value});
    }
    const uint32_t total = static_cast<uint32_t>(16 + 12 + recs.size());
    const uint32_t count = static_cast<uint32_t>(records.size());
    Bytes head;
    for (uint32_t v : {total, count, 0u})
        for (int i = 0; i < 4; ++i) head.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return Cat({head, recs});
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds OUTDIR\n");
        return 2;
    }
    const std::string out = argv[1];
    for (const char* d : {"", "/trailer_jpeg", "/trailer_mp4", "/records", "/spherical"})
        mkdir((out + d).c_str(), 0755);
    bool ok = true;
    for (int cam : {1, 2}) {
        sample::TrailerSpec spec;
        spec.records = sample::DefaultRecords(cam);
        const Bytes t = sample::BuildTrailer(spec);
        const std::string c = std::to_string(cam);
        ok &= Write(out + "/trailer_jpeg/app1-" + c, Jpeg(t, false));
        ok &= Write(out + "/trailer_jpeg/app0-" + c, Jpeg(t, true));
        ok &= Write(out + "/trailer_mp4/moov-" + c, Mp4(t, "moov"));
        ok &= Write(out + "/trailer_mp4/trak-" + c, Mp4(t, "trak"));
        ok &= Write(out + "/trailer_mp4/udat-" + c, Mp4(t, "udat"));
        ok &= Write(out + "/records/default-" + c, Plaintext(spec.records));
    }
    sample::DualLensValues lines;
    lines.n = 4;
    for (int i = 0; i < 4; ++i) {
        const float x = 240.0f + 480.0f * static_cast<float>(i);
        const float l1[4] = {x, 420, x + 10, 540}, l2[4] = {x + 12, 425, x + 20, 545};
        for (int k = 0; k < 4; ++k) lines.lines1[i][k] = l1[k], lines.lines2[i][k] = l2[k];
    }
    ok &= Write(out + "/records/dual-lines",
                Plaintext({sample::CameraTextRecord("CAM"), sample::CameraTypeRecord(2),
                           sample::Record{7, sample::EncodeDualLensRecord(lines)}}));
    const Bytes sph = sample::SphericalUuidBox(sample::StandardSphericalXml());
    ok &= Write(out + "/spherical/trak",
                Cat({sample::Box("ftyp", {}), sample::Box("moov", sample::Box("trak", sph))}));
    ok &= Write(out + "/spherical/top", Cat({sample::Box("ftyp", {}), sph}));
    return ok ? 0 : 1;
}
