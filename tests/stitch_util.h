// Camera photos built in memory for the stitch tests: planes encoded by our
// encoder with the calibration trailer as the carried Exif segment.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "jpeg/jpeg.h"
#include "sample/samplegen.h"
#include "test_util.h"

namespace testutil {

struct Picture {
    int w = 0, h = 0;
    std::vector<uint8_t> y, cb, cr;  // 4:2:0, chroma ceil(w/2) x ceil(h/2)
    Picture(int width, int height, uint8_t luma = 128)
        : w(width),
          h(height),
          y(static_cast<size_t>(width) * height, luma),
          cb(static_cast<size_t>((width + 1) / 2) * ((height + 1) / 2), 128),
          cr(cb) {}
    int cw() const { return (w + 1) / 2; }
};

// A JPEG of the picture whose APP1 "Exif" segment holds `exif` (e.g. a trailer).
inline std::vector<uint8_t> EncodePicture(const Picture& p, const std::vector<uint8_t>& exif,
                                          int quality = 95) {
    platform::MemorySink sink;
    JpegEncoder enc;
    enc.Open(sink, p.w, p.h, DefaultJpegAllocator());
    enc.SetQuality(quality);
    if (!exif.empty()) enc.SetExif(exif.data(), exif.size());
    enc.Encode(p.y.data(), p.w, p.cb.data(), p.cr.data(), p.cw());
    enc.Finish();
    enc.Close();
    return std::vector<uint8_t>(sink.data(), sink.data() + sink.size());
}

// Decodes a 4:2:0 JPEG file with our decoder.
inline bool DecodeFile(const std::string& path, Picture* out) {
    platform::FileReader f;
    if (f.Open(path.c_str()) != 0) return false;
    JpegDecoder dec;
    if (dec.Open(f, DefaultJpegAllocator(), nullptr) != kJpegOk || dec.Layout() != kJpeg420)
        return false;
    *out = Picture(dec.OutputWidth(), dec.OutputHeight());
    for (int row = 0; row < out->h;) {
        int rows = 0;
        if (dec.DecodeStrip(out->y.data() + static_cast<size_t>(row) * out->w, out->w,
                            out->cb.data() + static_cast<size_t>(row / 2) * out->cw(),
                            out->cr.data() + static_cast<size_t>(row / 2) * out->cw(), out->cw(),
                            &rows) != kJpegOk ||
            rows <= 0)
            return false;
        row += rows;
    }
    return true;
}

inline std::vector<uint8_t> DualTrailer(const sample::DualLensValues& v) {
    sample::TrailerSpec spec;
    spec.records = {sample::CameraTextRecord("CAM"), sample::CameraTypeRecord(2),
                    sample::Record{7, sample::EncodeDualLensRecord(v)}};
    return sample::BuildTrailer(spec);
}

inline std::vector<uint8_t> SingleTrailer(const sample::SingleLensValues& v) {
    sample::TrailerSpec spec;
    spec.records = {sample::CameraTextRecord("CAM"), sample::CameraTypeRecord(1),
                    sample::Record{7, sample::EncodeSingleLensRecord(v)}};
    return sample::BuildTrailer(spec);
}

}  // namespace testutil
