// Decoding a 3008x1504 4:2:0 photo to planar YCbCr, beside libjpeg-turbo's raw
// decode of the same bytes. The counter "x_turbo" on ours is its time over
// libjpeg-turbo's.
#include <benchmark/benchmark.h>
#include <jpeglib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "jpeg/jpeg.h"
#include "platform/file.h"

namespace {

constexpr int kWidth = 3008;
constexpr int kHeight = 1504;

// Interleaved RGB of a real photo when one is installed, else empty.
std::vector<uint8_t> LoadRgb(const char* path, int* w, int* h) {
    std::vector<uint8_t> rgb;
    FILE* f = std::fopen(path, "rb");
    if (f == nullptr) return rgb;
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, f);
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    *w = static_cast<int>(cinfo.output_width);
    *h = static_cast<int>(cinfo.output_height);
    rgb.resize(static_cast<size_t>(*w) * static_cast<size_t>(*h) * 3);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = rgb.data() + static_cast<size_t>(cinfo.output_scanline) * *w * 3;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    std::fclose(f);
    return rgb;
}

// The test photo: a real panorama scaled to size with a little sensor-like
// noise, or a synthetic scene when none is installed; quality 90, 4:2:0.
const std::vector<uint8_t>& TestJpeg() {
    static std::vector<uint8_t> jpeg;
    if (!jpeg.empty()) return jpeg;
    int sw = 0, sh = 0;
    const std::vector<uint8_t> src =
        LoadRgb("/usr/share/hugin/xrc/data/help_en_EN/Big_ben_equirectangular.jpg", &sw, &sh);
    std::vector<uint8_t> rgb(static_cast<size_t>(kWidth) * kHeight * 3);
    uint32_t noise = 12345;
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            for (int c = 0; c < 3; ++c) {
                int v;
                if (!src.empty()) {
                    const float fx = static_cast<float>(x) * static_cast<float>(sw - 1) / kWidth;
                    const float fy = static_cast<float>(y) * static_cast<float>(sh - 1) / kHeight;
                    const int x0 = static_cast<int>(fx), y0 = static_cast<int>(fy);
                    const float ax = fx - static_cast<float>(x0), ay = fy - static_cast<float>(y0);
                    auto at = [&](int xx, int yy) {
                        return static_cast<float>(src[(static_cast<size_t>(yy) * sw + xx) * 3 + c]);
                    };
                    const float top = at(x0, y0) * (1 - ax) + at(x0 + 1, y0) * ax;
                    const float bot = at(x0, y0 + 1) * (1 - ax) + at(x0 + 1, y0 + 1) * ax;
                    v = static_cast<int>(top * (1 - ay) + bot * ay);
                } else {
                    v = ((x * (c + 1)) ^ (y * 3)) & 255;
                }
                noise = noise * 1664525u + 1013904223u;
                v += static_cast<int>(noise >> 28) - 8;
                rgb[(static_cast<size_t>(y) * kWidth + x) * 3 + c] =
                    static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
            }
        }
    }
    jpeg_compress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    jpeg_mem_dest(&cinfo, &out, &outSize);
    cinfo.image_width = kWidth;
    cinfo.image_height = kHeight;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 90, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = rgb.data() + static_cast<size_t>(cinfo.next_scanline) * kWidth * 3;
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    jpeg.assign(out, out + outSize);
    std::free(out);
    return jpeg;
}

struct PlanarBuffers {
    std::vector<uint8_t> y, cb, cr;
    PlanarBuffers()
        : y(static_cast<size_t>(kWidth) * (kHeight + 16)),
          cb(static_cast<size_t>(kWidth / 2) * (kHeight / 2 + 8)),
          cr(cb.size()) {}
};

void DecodeTurbo(const std::vector<uint8_t>& jpeg, PlanarBuffers& b) {
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(&cinfo, TRUE);
    cinfo.raw_data_out = TRUE;
    jpeg_start_decompress(&cinfo);
    JSAMPROW yr[16], cbr[8], crr[8];
    JSAMPARRAY planes[3] = {yr, cbr, crr};
    for (unsigned row = 0; row < cinfo.output_height; row += 16) {
        for (unsigned i = 0; i < 16; ++i) yr[i] = b.y.data() + (row + i) * kWidth;
        for (unsigned i = 0; i < 8; ++i) {
            cbr[i] = b.cb.data() + (row / 2 + i) * (kWidth / 2);
            crr[i] = b.cr.data() + (row / 2 + i) * (kWidth / 2);
        }
        jpeg_read_raw_data(&cinfo, planes, 16);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
}

bool DecodeOurs(const std::vector<uint8_t>& jpeg, PlanarBuffers& b) {
    platform::MemorySource src(jpeg.data(), jpeg.size());
    JpegDecoder dec;
    if (dec.Open(src, DefaultJpegAllocator(), nullptr) != kJpegOk) return false;
    size_t row = 0;
    for (;;) {
        int rows = 0;
        if (dec.DecodeStrip(b.y.data() + row * kWidth, kWidth, b.cb.data() + row / 2 * (kWidth / 2),
                            b.cr.data() + row / 2 * (kWidth / 2), kWidth / 2, &rows) != kJpegOk) {
            return false;
        }
        if (rows == 0) return true;
        row += static_cast<size_t>(rows);
    }
}

double g_turboSeconds = 0;  // per decode, once measured

template <typename F>
double SecondsPerCall(F&& f, int n) {
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i) f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / n;
}

void BM_JpegDecode_LibjpegTurbo(benchmark::State& state) {
    const auto& jpeg = TestJpeg();
    PlanarBuffers b;
    int64_t n = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        DecodeTurbo(jpeg, b);
        benchmark::DoNotOptimize(b.y.data());
        ++n;
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (n) g_turboSeconds = s / static_cast<double>(n);
    state.counters["MB"] = static_cast<double>(jpeg.size()) / 1e6;
}
BENCHMARK(BM_JpegDecode_LibjpegTurbo)->Unit(benchmark::kMillisecond);

void BM_JpegDecode_Ours(benchmark::State& state) {
    const auto& jpeg = TestJpeg();
    PlanarBuffers b;
    if (!DecodeOurs(jpeg, b)) {
        state.SkipWithError("decode failed");
        return;
    }
    int64_t n = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        DecodeOurs(jpeg, b);
        benchmark::DoNotOptimize(b.y.data());
        ++n;
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (g_turboSeconds == 0) {
        PlanarBuffers t;
        g_turboSeconds = SecondsPerCall([&] { DecodeTurbo(jpeg, t); }, 10);
    }
    if (n) state.counters["x_turbo"] = s / static_cast<double>(n) / g_turboSeconds;
}
BENCHMARK(BM_JpegDecode_Ours)->Unit(benchmark::kMillisecond);

}  // namespace
