// What the JPEG benchmarks share: libjpeg-turbo's coder objects with their
// set-up, reading a photo through it, and the timing that puts our time
// beside the peer's.
#pragma once

#include <benchmark/benchmark.h>
#include <jpeglib.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace benchutil {

// A libjpeg-turbo decompressor with the standard error handler, destroyed
// with the object.
struct TurboDecompress {
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr err;
    TurboDecompress() {
        cinfo.err = jpeg_std_error(&err);
        jpeg_create_decompress(&cinfo);
    }
    ~TurboDecompress() { jpeg_destroy_decompress(&cinfo); }
    TurboDecompress(const TurboDecompress&) = delete;
    TurboDecompress& operator=(const TurboDecompress&) = delete;
};

// The same for a compressor.
struct TurboCompress {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr err;
    TurboCompress() {
        cinfo.err = jpeg_std_error(&err);
        jpeg_create_compress(&cinfo);
    }
    ~TurboCompress() { jpeg_destroy_compress(&cinfo); }
    TurboCompress(const TurboCompress&) = delete;
    TurboCompress& operator=(const TurboCompress&) = delete;
};

// Three interleaved samples per pixel of the JPEG file at path, in the given
// colour space; empty when the file is not there.
inline std::vector<uint8_t> ReadJpegFile(const char* path, J_COLOR_SPACE space, int* w, int* h) {
    std::vector<uint8_t> px;
    FILE* f = std::fopen(path, "rb");
    if (f == nullptr) return px;
    {
        TurboDecompress d;
        jpeg_stdio_src(&d.cinfo, f);
        jpeg_read_header(&d.cinfo, TRUE);
        d.cinfo.out_color_space = space;
        jpeg_start_decompress(&d.cinfo);
        *w = static_cast<int>(d.cinfo.output_width);
        *h = static_cast<int>(d.cinfo.output_height);
        px.resize(static_cast<size_t>(*w) * static_cast<size_t>(*h) * 3);
        while (d.cinfo.output_scanline < d.cinfo.output_height) {
            JSAMPROW row = px.data() + static_cast<size_t>(d.cinfo.output_scanline) * *w * 3;
            jpeg_read_scanlines(&d.cinfo, &row, 1);
        }
        jpeg_finish_decompress(&d.cinfo);
    }
    std::fclose(f);
    return px;
}

// Seconds per call of f, over n calls.
template <typename F>
double SecondsPerCall(F&& f, int n) {
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i) f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / n;
}

// Runs body once per iteration of the benchmark's loop and answers the wall
// time per iteration (0 when none ran).
template <typename F>
double SecondsPerIteration(benchmark::State& state, F&& body) {
    int64_t n = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        body();
        ++n;
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return n ? s / static_cast<double>(n) : 0;
}

// The peer's time per call: kept from its own benchmark when that ran first,
// else measured when ours asks. Ours over it is the counter "x_turbo".
class PeerTime {
  public:
    void Record(double seconds) {
        if (seconds > 0) seconds_ = seconds;
    }
    // measure() answers the peer's seconds per call; it runs only when none
    // were recorded.
    template <typename F>
    void ReportRatio(benchmark::State& state, double ours, F&& measure) {
        if (seconds_ == 0) seconds_ = measure();
        if (ours > 0) state.counters["x_turbo"] = ours / seconds_;
    }

  private:
    double seconds_ = 0;
};

// A width x height picture of three interleaved components: the installed photo
// at path scaled to size (bilinear or nearest), or a synthetic scene when none
// is installed, plus sensor-like noise of about +-2^(31 - noiseShift).
inline std::vector<uint8_t> ScaledScene(const char* path, J_COLOR_SPACE space, int width,
                                        int height, bool bilinear, int noiseShift) {
    int sw = 0, sh = 0;
    const std::vector<uint8_t> src = ReadJpegFile(path, space, &sw, &sh);
    std::vector<uint8_t> out(static_cast<size_t>(width) * height * 3);
    const int bias = 1 << (31 - noiseShift);
    uint32_t noise = 12345;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            for (int c = 0; c < 3; ++c) {
                int v;
                if (src.empty()) {
                    v = ((x * (c + 1)) ^ (y * 3)) & 255;
                } else if (bilinear) {
                    const float fx = static_cast<float>(x) * static_cast<float>(sw - 1) /
                                     static_cast<float>(width);
                    const float fy = static_cast<float>(y) * static_cast<float>(sh - 1) /
                                     static_cast<float>(height);
                    const int x0 = static_cast<int>(fx), y0 = static_cast<int>(fy);
                    const float ax = fx - static_cast<float>(x0), ay = fy - static_cast<float>(y0);
                    auto at = [&](int xx, int yy) {
                        return static_cast<float>(src[(static_cast<size_t>(yy) * sw + xx) * 3 + c]);
                    };
                    const float top = at(x0, y0) * (1 - ax) + at(x0 + 1, y0) * ax;
                    const float bot = at(x0, y0 + 1) * (1 - ax) + at(x0 + 1, y0 + 1) * ax;
                    v = static_cast<int>(top * (1 - ay) + bot * ay);
                } else {
                    const int sx = x * (sw - 1) / width, sy = y * (sh - 1) / height;
                    v = src[(static_cast<size_t>(sy) * sw + sx) * 3 + c];
                }
                noise = noise * 1664525u + 1013904223u;
                v += static_cast<int>(noise >> noiseShift) - bias;
                out[(static_cast<size_t>(y) * width + x) * 3 + c] =
                    static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
            }
        }
    }
    return out;
}

}  // namespace benchutil
