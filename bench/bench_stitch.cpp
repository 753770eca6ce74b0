// The whole photo stitch of a 3008 x 1504 dual-lens photo beside ffmpeg's
// v360 filter on the same photo, and beside our own decode plus encode.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "jpeg/jpeg.h"
#include "sample/samplegen.h"
#include "stitch/stitch.h"

namespace {

constexpr int kW = 3008, kH = 1504;

// A textured dual-lens camera photo with its calibration trailer.
const std::string& CameraPhoto() {
    static const std::string path = [] {
        const std::string p = "/tmp/orbivue-bench-cam-3008.jpg";
        std::vector<uint8_t> y(static_cast<size_t>(kW) * kH),
            c(static_cast<size_t>(kW / 2) * (kH / 2));
        for (int r = 0; r < kH; ++r)
            for (int x = 0; x < kW; ++x)
                y[static_cast<size_t>(r) * kW + x] = static_cast<uint8_t>(
                    128 + 60 * std::sin(x * 0.05) * std::cos(r * 0.03) + ((x * 7 + r * 13) % 17));
        for (size_t i = 0; i < c.size(); ++i) c[i] = static_cast<uint8_t>(100 + (i * 31 % 56));
        sample::DualLensValues v;
        v.fov = 190;
        sample::TrailerSpec spec;
        spec.records = {sample::CameraTextRecord("CAM"), sample::CameraTypeRecord(2),
                        sample::Record{7, sample::EncodeDualLensRecord(v), -1}};
        const std::vector<uint8_t> trailer = sample::BuildTrailer(spec);
        platform::FileWriter f;
        f.Open(p.c_str());
        JpegEncoder enc;
        enc.Open(f, kW, kH, DefaultJpegAllocator());
        enc.SetQuality(90);
        enc.SetExif(trailer.data(), trailer.size());
        enc.Encode(y.data(), kW, c.data(), c.data(), kW / 2);
        enc.Finish();
        enc.Close();
        f.Close();
        return p;
    }();
    return path;
}

void BM_StitchPhoto_3008(benchmark::State& state) {
    const std::string& in = CameraPhoto();
    for (auto _ : state) {
        const int r = StitchPhoto(in.c_str(), "/tmp/orbivue-bench-pano.jpg", 0, 0, 0);
        if (r != 0) state.SkipWithError("stitch failed");
    }
}
BENCHMARK(BM_StitchPhoto_3008)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_FfmpegV360_3008(benchmark::State& state) {
    const std::string cmd = "ffmpeg -v error -y -i " + CameraPhoto() +
                            " -vf v360=dfisheye:e:ih_fov=190:iv_fov=190:w=3008:h=1504 -frames:v 1"
                            " -q:v 2 /tmp/orbivue-bench-ffmpeg.jpg";
    for (auto _ : state) {
        if (std::system(cmd.c_str()) != 0) state.SkipWithError("ffmpeg failed");
    }
}
BENCHMARK(BM_FfmpegV360_3008)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// Decoding the camera photo and encoding a picture of the same size: the
// part of the stitch that is not the remap.
void BM_DecodeEncode_3008(benchmark::State& state) {
    const std::string& in = CameraPhoto();
    std::vector<uint8_t> buf(static_cast<size_t>(kW) * kH * 3 / 2);
    uint8_t* y = buf.data();
    uint8_t* cb = y + static_cast<size_t>(kW) * kH;
    uint8_t* cr = cb + static_cast<size_t>(kW / 2) * (kH / 2);
    for (auto _ : state) {
        platform::FileReader f;
        f.Open(in.c_str());
        JpegDecoder dec;
        JpegExifCarry carry;
        dec.Open(f, DefaultJpegAllocator(), &carry);
        for (int row = 0; row < kH;) {
            int rows = 0;
            if (dec.DecodeStrip(y + static_cast<size_t>(row) * kW, kW,
                                cb + static_cast<size_t>(row / 2) * (kW / 2),
                                cr + static_cast<size_t>(row / 2) * (kW / 2), kW / 2, &rows) != 0 ||
                rows == 0)
                break;
            row += rows;
        }
        platform::FileWriter o;
        o.Open("/tmp/orbivue-bench-reencode.jpg");
        JpegEncoder enc;
        enc.Open(o, kW, kH, DefaultJpegAllocator());
        enc.SetQuality(90);
        enc.Encode(y, kW, cb, cr, kW / 2);
        enc.Finish();
        enc.Close();
        o.Close();
        JpegReleaseExif(&carry, DefaultJpegAllocator());
    }
}
BENCHMARK(BM_DecodeEncode_3008)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace

namespace {

// One 1920 x 960 video frame through the remap tables (built once), as the
// export does for every frame; and the tables' set-up itself.
void BM_StitchRemapFrame_1920(benchmark::State& state) {
    CStitchRemap remap;
    if (remap.Init(CameraPhoto().c_str(), true, 1920, 960, 0) != kStitchOk) {
        state.SkipWithError("no remap");
        return;
    }
    std::vector<uint8_t> frame(1920 * 960 * 3 / 2), out(frame.size());
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 7 + i / 1920);
    for (auto _ : state) remap.Apply(frame.data(), out.data());
}
BENCHMARK(BM_StitchRemapFrame_1920)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_StitchRemapInit_1920(benchmark::State& state) {
    for (auto _ : state) {
        CStitchRemap remap;
        if (remap.Init(CameraPhoto().c_str(), true, 1920, 960, 0) != kStitchOk)
            state.SkipWithError("no remap");
    }
}
BENCHMARK(BM_StitchRemapInit_1920)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
