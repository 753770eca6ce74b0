// Encoding a 3008x1504 4:2:0 picture at quality 90, beside libjpeg-turbo's
// raw-data encode of the same planes into memory. The counter "x_turbo" on
// ours is its time over libjpeg-turbo's.
#include <benchmark/benchmark.h>
#include <jpeglib.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench_util.h"
#include "jpeg/jpeg.h"
#include "platform/file.h"

namespace {

constexpr int kWidth = 3008;
constexpr int kHeight = 1504;
constexpr int kQuality = 90;

struct Planes {
    std::vector<uint8_t> y, cb, cr;
};

// A real photo scaled to size with a little sensor-like noise, as YCbCr 4:2:0;
// a synthetic scene when no photo is installed.
const Planes& TestPlanes() {
    static Planes p;
    if (!p.y.empty()) return p;
    const std::vector<uint8_t> full = benchutil::ScaledScene("/usr/share/xplanet/images/earth.jpg",
                                                             JCS_YCbCr, kWidth, kHeight, false, 29);
    constexpr int kCw = kWidth / 2, kCh = kHeight / 2;
    p.y.resize(static_cast<size_t>(kWidth) * kHeight);
    p.cb.resize(static_cast<size_t>(kCw) * kCh);
    p.cr.resize(p.cb.size());
    for (size_t i = 0; i < p.y.size(); ++i) p.y[i] = full[3 * i];
    for (int y = 0; y < kCh; ++y) {
        for (int x = 0; x < kCw; ++x) {
            for (int c = 1; c < 3; ++c) {
                int s = 2;
                for (int dy = 0; dy < 2; ++dy)
                    for (int dx = 0; dx < 2; ++dx)
                        s +=
                            full[((static_cast<size_t>(2 * y + dy)) * kWidth + 2 * x + dx) * 3 + c];
                (c == 1 ? p.cb : p.cr)[static_cast<size_t>(y) * kCw + x] =
                    static_cast<uint8_t>(s >> 2);
            }
        }
    }
    return p;
}

// Copies into a buffer kept across runs, so neither side pays for growth.
class BufferSink final : public platform::ByteSink {
  public:
    explicit BufferSink(std::vector<uint8_t>& buf) : buf_(buf) {}
    bool Write(const void* src, size_t n) override {
        if (n > buf_.size() - used_) return false;
        std::memcpy(buf_.data() + used_, src, n);
        used_ += n;
        return true;
    }
    size_t used() const { return used_; }

  private:
    std::vector<uint8_t>& buf_;
    size_t used_ = 0;
};

size_t EncodeOurs(const Planes& p, std::vector<uint8_t>& buf) {
    BufferSink sink(buf);
    JpegEncoder enc;
    if (enc.Open(sink, kWidth, kHeight, DefaultJpegAllocator()) != kJpegOk) return 0;
    enc.SetQuality(kQuality);
    int r = enc.Encode(p.y.data(), kWidth, p.cb.data(), p.cr.data(), kWidth / 2);
    if (r == kJpegOk) r = enc.Finish();
    enc.Close();
    return r == kJpegOk ? sink.used() : 0;
}

size_t EncodeTurbo(const Planes& p, std::vector<uint8_t>& buf) {
    unsigned char* out = buf.data();
    unsigned long outSize = static_cast<unsigned long>(buf.size());
    {
        benchutil::TurboCompress c;
        jpeg_compress_struct& cinfo = c.cinfo;
        jpeg_mem_dest(&cinfo, &out, &outSize);
        cinfo.image_width = kWidth;
        cinfo.image_height = kHeight;
        cinfo.input_components = 3;
        cinfo.in_color_space = JCS_YCbCr;
        jpeg_set_defaults(&cinfo);
        jpeg_set_quality(&cinfo, kQuality, TRUE);
        cinfo.raw_data_in = TRUE;
        cinfo.comp_info[0].h_samp_factor = 2;
        cinfo.comp_info[0].v_samp_factor = 2;
        cinfo.dct_method = JDCT_ISLOW;
        jpeg_start_compress(&cinfo, TRUE);
        JSAMPROW yr[16], cbr[8], crr[8];
        JSAMPARRAY planes[3] = {yr, cbr, crr};
        constexpr int kCw = kWidth / 2;
        while (cinfo.next_scanline < cinfo.image_height) {
            const unsigned row = cinfo.next_scanline;
            for (unsigned i = 0; i < 16; ++i)
                yr[i] = const_cast<uint8_t*>(p.y.data()) + static_cast<size_t>(row + i) * kWidth;
            for (unsigned i = 0; i < 8; ++i) {
                cbr[i] = const_cast<uint8_t*>(p.cb.data()) + static_cast<size_t>(row / 2 + i) * kCw;
                crr[i] = const_cast<uint8_t*>(p.cr.data()) + static_cast<size_t>(row / 2 + i) * kCw;
            }
            jpeg_write_raw_data(&cinfo, planes, 16);
        }
        jpeg_finish_compress(&cinfo);
    }
    const size_t n = outSize;
    if (out != buf.data()) {  // it outgrew the buffer
        std::free(out);
        return 0;
    }
    return n;
}

benchutil::PeerTime g_turbo;  // per encode

void BM_JpegEncode_LibjpegTurbo(benchmark::State& state) {
    const Planes& p = TestPlanes();
    std::vector<uint8_t> buf(size_t{16} << 20);
    size_t bytes = 0;
    g_turbo.Record(benchutil::SecondsPerIteration(state, [&] {
        bytes = EncodeTurbo(p, buf);
        benchmark::DoNotOptimize(buf.data());
    }));
    state.counters["MB"] = static_cast<double>(bytes) / 1e6;
}
BENCHMARK(BM_JpegEncode_LibjpegTurbo)->Unit(benchmark::kMillisecond);

void BM_JpegEncode_Ours(benchmark::State& state) {
    const Planes& p = TestPlanes();
    std::vector<uint8_t> buf(size_t{16} << 20);
    size_t bytes = EncodeOurs(p, buf);
    if (bytes == 0) {
        state.SkipWithError("encode failed");
        return;
    }
    const double ours = benchutil::SecondsPerIteration(state, [&] {
        bytes = EncodeOurs(p, buf);
        benchmark::DoNotOptimize(buf.data());
    });
    state.counters["MB"] = static_cast<double>(bytes) / 1e6;
    g_turbo.ReportRatio(
        state, ours, [&] { return benchutil::SecondsPerCall([&] { EncodeTurbo(p, buf); }, 10); });
}
BENCHMARK(BM_JpegEncode_Ours)->Unit(benchmark::kMillisecond);

}  // namespace
