// Opening camera files and building meshes.
//
// A 200 MB video whose "moov" follows "mdat" must cost no more to read than a
// small one: the walk skips "mdat" by its size. Reading the whole file is
// measured beside it as the cost the walk avoids.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "calib/trailer.h"
#include "lens/mesh.h"
#include "sample/samplegen.h"

namespace {

std::vector<uint8_t> Concat(std::vector<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// ftyp, an mdat of mdatBytes (written for real, not sparse), then moov with a trak holding the
// calibration.
std::string MakeVideo(const std::string& path, int64_t mdatBytes) {
    sample::TrailerSpec spec;
    spec.records = sample::DefaultRecords(2);
    const auto trailer = sample::BuildTrailer(spec);
    const auto moov = sample::Box(
        "moov",
        Concat({sample::Box("mvhd", std::vector<uint8_t>(100, 0)),
                sample::Box("trak", Concat({sample::Box("tkhd", std::vector<uint8_t>(84, 0)),
                                            sample::Box("udta", trailer)}))}));
    FILE* f = std::fopen(path.c_str(), "wb");
    const auto ftyp = sample::Box("ftyp", {'i', 's', 'o', 'm', 0, 0, 2, 0});
    std::fwrite(ftyp.data(), 1, ftyp.size(), f);
    const uint64_t size = static_cast<uint64_t>(mdatBytes) + 16;
    uint8_t h[16] = {0, 0, 0, 1, 'm', 'd', 'a', 't'};
    for (int i = 0; i < 8; ++i) h[8 + i] = static_cast<uint8_t>(size >> (56 - 8 * i));
    std::fwrite(h, 1, 16, f);
    std::vector<uint8_t> chunk(1 << 20, 0x5A);
    for (int64_t left = mdatBytes; left > 0; left -= static_cast<int64_t>(chunk.size())) {
        std::fwrite(
            chunk.data(), 1,
            left < static_cast<int64_t>(chunk.size()) ? static_cast<size_t>(left) : chunk.size(),
            f);
    }
    std::fwrite(moov.data(), 1, moov.size(), f);
    std::fclose(f);
    return path;
}

const std::string& LargeVideo() {
    static const std::string path = MakeVideo("/tmp/orbivue-bench-200mb.mp4", 200ll << 20);
    return path;
}

const std::string& SmallVideo() {
    static const std::string path = MakeVideo("/tmp/orbivue-bench-small.mp4", 4096);
    return path;
}

void BM_DualLensRead_200MB(benchmark::State& state) {
    std::vector<float> a(kStitchMeshFloats), b(kStitchMeshFloats);
    const std::string& path = LargeVideo();
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            ReadDualLensCalibrationFromVideo(path.c_str(), 1920, 960, a.data(), b.data()));
    }
}
BENCHMARK(BM_DualLensRead_200MB)->Unit(benchmark::kMicrosecond);

void BM_DualLensRead_Small(benchmark::State& state) {
    std::vector<float> a(kStitchMeshFloats), b(kStitchMeshFloats);
    const std::string& path = SmallVideo();
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            ReadDualLensCalibrationFromVideo(path.c_str(), 1920, 960, a.data(), b.data()));
    }
}
BENCHMARK(BM_DualLensRead_Small)->Unit(benchmark::kMicrosecond);

void BM_CameraType_200MB(benchmark::State& state) {
    const std::string& path = LargeVideo();
    for (auto _ : state) benchmark::DoNotOptimize(ReadCameraType(path.c_str()));
}
BENCHMARK(BM_CameraType_200MB)->Unit(benchmark::kMicrosecond);

// The reference: reading every byte of the same file (from the page cache).
void BM_ReadWholeFile_200MB(benchmark::State& state) {
    const std::string& path = LargeVideo();
    std::vector<char> buf(1 << 20);
    for (auto _ : state) {
        const int fd = ::open(path.c_str(), O_RDONLY);
        while (::read(fd, buf.data(), buf.size()) > 0) {
        }
        ::close(fd);
    }
}
BENCHMARK(BM_ReadWholeFile_200MB)->Unit(benchmark::kMillisecond);

void BM_BuildSingleLensMesh(benchmark::State& state) {
    std::vector<float> m(kStitchMeshFloats);
    for (auto _ : state) {
        BuildSingleLensMesh(1920, 1080, 180, 48, 960, 540, 192.0f, 530.0f, m.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_BuildSingleLensMesh)->Unit(benchmark::kMicrosecond);

void BM_BuildDualLensMesh(benchmark::State& state) {
    DualLensRecord rec{};
    rec.fov = 195, rec.model = 1;
    rec.cx1 = rec.cy1 = rec.cx2 = rec.cy2 = 480;
    rec.r1 = rec.r2 = 470;
    rec.radialBase = 1.0f;
    rec.n = static_cast<int32_t>(state.range(0));
    for (int i = 0; i < rec.n; ++i) {
        const float x = 1920.0f * (static_cast<float>(i) + 0.5f) / static_cast<float>(rec.n);
        const float line[4] = {x, 430, x + 4, 530};
        for (int k = 0; k < 4; ++k) rec.lines1[i][k] = line[k], rec.lines2[i][k] = line[k] + 3;
    }
    std::vector<float> a(kStitchMeshFloats), b(kStitchMeshFloats);
    for (auto _ : state) {
        BuildDualLensMesh(rec, 1920, 960, 181, 52, a.data(), b.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_BuildDualLensMesh)->Arg(0)->Arg(50)->Unit(benchmark::kMicrosecond);

}  // namespace
