// Decoding a 3008x1504 4:2:0 photo to planar YCbCr, beside libjpeg-turbo's raw
// decode of the same bytes. The counter "x_turbo" on ours is its time over
// libjpeg-turbo's.
#include <benchmark/benchmark.h>
#include <jpeglib.h>

#include <cstdlib>
#include <vector>

#include "bench_util.h"
#include "jpeg/jpeg.h"
#include "platform/file.h"

namespace {

constexpr int kWidth = 3008;
constexpr int kHeight = 1504;

using benchutil::TurboCompress;
using benchutil::TurboDecompress;

// The test photo: a real panorama scaled to size with a little sensor-like
// noise, or a synthetic scene when none is installed; quality 90, 4:2:0.
const std::vector<uint8_t>& TestJpeg() {
    static std::vector<uint8_t> jpeg;
    if (!jpeg.empty()) return jpeg;
    std::vector<uint8_t> rgb =
        benchutil::ScaledScene("/usr/share/hugin/xrc/data/help_en_EN/Big_ben_equirectangular.jpg",
                               JCS_RGB, kWidth, kHeight, true, 28);
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    {
        TurboCompress c;
        jpeg_compress_struct& cinfo = c.cinfo;
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
    }
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
    TurboDecompress d;
    jpeg_decompress_struct& cinfo = d.cinfo;
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

benchutil::PeerTime g_turbo;  // per decode

void BM_JpegDecode_LibjpegTurbo(benchmark::State& state) {
    const auto& jpeg = TestJpeg();
    PlanarBuffers b;
    g_turbo.Record(benchutil::SecondsPerIteration(state, [&] {
        DecodeTurbo(jpeg, b);
        benchmark::DoNotOptimize(b.y.data());
    }));
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
    const double ours = benchutil::SecondsPerIteration(state, [&] {
        DecodeOurs(jpeg, b);
        benchmark::DoNotOptimize(b.y.data());
    });
    g_turbo.ReportRatio(state, ours, [&] {
        PlanarBuffers t;
        return benchutil::SecondsPerCall([&] { DecodeTurbo(jpeg, t); }, 10);
    });
}
BENCHMARK(BM_JpegDecode_Ours)->Unit(benchmark::kMillisecond);

}  // namespace
