#include "support/picture.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "jpeg/jpeg.h"

namespace testutil {

int EncodeOurs(const Picture& p, platform::ByteSink& sink, int quality, const Bytes* exif) {
    JpegEncoder enc;
    int r = enc.Open(sink, p.w, p.h, DefaultJpegAllocator());
    if (r != kJpegOk) return r;
    if (quality >= 0) enc.SetQuality(quality);
    if (exif != nullptr) enc.SetExif(exif->data(), exif->size());
    r = enc.Encode(p.y.data(), p.w, p.cb.data(), p.cr.data(), p.cw());
    if (r == kJpegOk) r = enc.Finish();
    enc.Close();
    return r;
}

Bytes EncodeToBytes(const Picture& p, int quality, const Bytes* exif) {
    platform::MemorySink sink;
    if (EncodeOurs(p, sink, quality, exif) != kJpegOk) return {};
    return Bytes(sink.data(), sink.data() + sink.size());
}

Bytes EncodePicture(const Picture& p, const Bytes& exif, int quality) {
    return EncodeToBytes(p, quality, exif.empty() ? nullptr : &exif);
}

bool DecodeFile(const std::string& path, Picture* out) {
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

double PsnrFromSquaredError(double squared, size_t count) {
    const double mse = count > 0 ? squared / static_cast<double>(count) : 0;
    return mse <= 0 ? std::numeric_limits<double>::infinity()
                    : 10 * std::log10(255.0 * 255.0 / mse);
}

double Psnr(const Bytes& a, const Bytes& b) {
    return Psnr(a.data(), a.size(), b.data(), b.size(), static_cast<int>(a.size()), 1);
}

double Psnr(const uint8_t* a, size_t aStride, const uint8_t* b, size_t bStride, int w, int h) {
    double se = 0;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const double d = static_cast<double>(a[y * aStride + x]) - b[y * bStride + x];
            se += d * d;
        }
    }
    return PsnrFromSquaredError(se, static_cast<size_t>(w) * h);
}

double BgrLuma(const uint8_t* bgr) {
    return 0.114 * bgr[0] + 0.587 * bgr[1] + 0.299 * bgr[2];
}

double SampleWrapped(const Bytes& plane, int w, int h, double x, double y) {
    x = std::fmod(x, w);
    if (x < 0) x += w;
    y = std::min(std::max(y, 0.0), h - 1.0);
    const int x0 = static_cast<int>(x), y0 = static_cast<int>(y);
    const int x1 = (x0 + 1) % w, y1 = std::min(y0 + 1, h - 1);
    const double fx = x - x0, fy = y - y0;
    auto at = [&](int cx, int cy) {
        return static_cast<double>(plane[static_cast<size_t>(cy) * w + cx]);
    };
    return (at(x0, y0) * (1 - fx) + at(x1, y0) * fx) * (1 - fy) +
           (at(x0, y1) * (1 - fx) + at(x1, y1) * fx) * fy;
}

}  // namespace testutil
