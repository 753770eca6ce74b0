// Writes small seed inputs for the fuzz targets into OUTDIR/<target>/.
#include <sys/stat.h>

// clang-format off
#include <cstdio>  // jpeglib.h needs FILE
#include <jpeglib.h>
// clang-format on

#include <cstdlib>
#include <string>
#include <vector>

#include "jpeg/jpeg.h"
#include "platform/file.h"
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

// A baseline JPEG from libjpeg-turbo: gradients and a few edges, luma sampled
// h x v against chroma 1 x 1, a restart marker every `restart` MCUs (0: none).
Bytes TurboJpeg(int w, int h, int hs, int vs, unsigned restart) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    unsigned char* mem = nullptr;
    unsigned long memSize = 0;
    jpeg_mem_dest(&cinfo, &mem, &memSize);
    cinfo.image_width = static_cast<JDIMENSION>(w);
    cinfo.image_height = static_cast<JDIMENSION>(h);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 85, TRUE);
    cinfo.comp_info[0].h_samp_factor = hs;
    cinfo.comp_info[0].v_samp_factor = vs;
    cinfo.restart_interval = restart;
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<JSAMPLE> row(static_cast<size_t>(w) * 3);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            JSAMPLE* px = &row[static_cast<size_t>(x) * 3];
            px[0] = static_cast<JSAMPLE>(x * 255 / w);
            px[1] = static_cast<JSAMPLE>(y * 255 / h);
            px[2] = static_cast<JSAMPLE>(((x / 5 + y / 3) % 2) * 200);
        }
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    Bytes out(mem, mem + memSize);
    std::free(mem);
    return out;
}

// A w x h picture of our own encoder (4:2:0, with its XMP packet).
Bytes OurJpeg(int w, int h) {
    const size_t cw = static_cast<size_t>((w + 1) / 2), ch = static_cast<size_t>((h + 1) / 2);
    Bytes y(static_cast<size_t>(w) * h), cb(cw * ch, 90), cr(cw * ch, 170);
    for (size_t i = 0; i < y.size(); ++i) y[i] = static_cast<uint8_t>(i * 7);
    platform::MemorySink sink;
    JpegEncoder enc;
    if (enc.Open(sink, w, h, DefaultJpegAllocator()) != kJpegOk ||
        enc.Encode(y.data(), static_cast<size_t>(w), cb.data(), cr.data(), cw) != kJpegOk ||
        enc.Finish() != kJpegOk) {
        return {};
    }
    return Bytes(sink.data(), sink.data() + sink.size());
}

Bytes ReadAll(const std::string& path) {
    Bytes out;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return out;
    uint8_t buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) out.insert(out.end(), buf, buf + n);
    std::fclose(f);
    return out;
}

// Small camera photos like the built-in samples: rendered from the Earth
// panorama through the default lens records. Empty when they cannot be made.
Bytes RenderedPhoto(const std::string& dir, int cameraType, int w, int h) {
    const std::string path = dir + "/rendered-" + std::to_string(cameraType) + ".tmp";
    int rc;
    if (cameraType == 2) {
        const sample::DualLensValues v;
        rc = sample::WriteRenderedDualPhoto(path, w, h, v, sample::DefaultTrailer(v), {},
                                            sample::JpegLayout::App0ThenApp1);
    } else {
        const sample::SingleLensValues v;
        rc = sample::WriteRenderedSinglePhoto(path, w, h, v, sample::DefaultTrailer(v), {},
                                              sample::JpegLayout::App1First);
    }
    Bytes out = rc == 0 ? ReadAll(path) : Bytes();
    std::remove(path.c_str());
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds OUTDIR\n");
        return 2;
    }
    const std::string out = argv[1];
    for (const char* d :
         {"", "/trailer_jpeg", "/trailer_mp4", "/records", "/spherical", "/jpeg_decode", "/stitch"})
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

    // The decoder: each chroma layout the cameras write, restart intervals,
    // sizes that are not whole blocks, and camera photos.
    const Bytes p420 = TurboJpeg(48, 32, 2, 2, 0), p422 = TurboJpeg(40, 24, 2, 1, 0),
                p444 = TurboJpeg(24, 16, 1, 1, 0), rst = TurboJpeg(64, 32, 2, 2, 1),
                rst422 = TurboJpeg(50, 30, 2, 1, 3), ours = OurJpeg(34, 18);
    const Bytes dualPhoto = RenderedPhoto(out, 2, 128, 64),
                singlePhoto = RenderedPhoto(out, 1, 96, 72);
    ok &= !dualPhoto.empty() && !singlePhoto.empty() && !ours.empty();
    ok &= Write(out + "/jpeg_decode/420", p420);
    ok &= Write(out + "/jpeg_decode/422", p422);
    ok &= Write(out + "/jpeg_decode/444", p444);
    ok &= Write(out + "/jpeg_decode/restart-420", rst);
    ok &= Write(out + "/jpeg_decode/restart-422", rst422);
    ok &= Write(out + "/jpeg_decode/ours-odd", ours);
    ok &= Write(out + "/jpeg_decode/camera-dual", dualPhoto);
    ok &= Write(out + "/jpeg_decode/camera-single", singlePhoto);

    // The stitch: an options byte (bit 0 the camera kind, bits 1-2 the
    // rotation, bits 3-4 the quality), then the picture. Dual-lens pictures
    // are 2:1; single-lens ones include widths of 2 mod 4 and the smallest.
    struct StitchSeed {
        const char* name;
        uint8_t options;
        Bytes picture;
    } stitchSeeds[] = {
        {"single-420", 0x00, TurboJpeg(64, 48, 2, 2, 0)},
        {"single-422-r90", 0x02, TurboJpeg(48, 36, 2, 1, 2)},
        {"single-444-r180", 0x04, TurboJpeg(32, 24, 1, 1, 0)},
        {"single-odd-height-r270", 0x0E, TurboJpeg(42, 32, 2, 2, 0)},
        {"single-2x2", 0x08, TurboJpeg(2, 2, 2, 2, 0)},
        {"single-camera", 0x10, singlePhoto},
        {"dual-420", 0x01, TurboJpeg(64, 32, 2, 2, 0)},
        {"dual-422-r90", 0x03, TurboJpeg(48, 24, 2, 1, 1)},
        {"dual-444-r270", 0x07, TurboJpeg(32, 16, 1, 1, 0)},
        {"dual-ours-r180", 0x05, OurJpeg(36, 18)},
        {"dual-camera", 0x09, dualPhoto},
    };
    for (const StitchSeed& seed : stitchSeeds) {
        ok &= Write(out + "/stitch/" + seed.name, Cat({{seed.options}, seed.picture}));
    }
    return ok ? 0 : 1;
}
