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

}  // namespace benchutil
