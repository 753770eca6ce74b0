// Remux of a 20 s 1920 x 960 H.264 + AAC file: ours beside ffmpeg's stream copy.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "../tools/cli/remux.h"

namespace {

const std::string& Source() {
    static const std::string path = [] {
        const std::string p = "/tmp/orbivue-bench-remux-src.mp4";
        const std::string cmd =
            "ffmpeg -v error -y -f lavfi -i testsrc2=s=1920x960:r=30:d=20 -f lavfi -i sine=d=20 "
            "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac -shortest " +
            p;
        if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "could not make %s\n", p.c_str());
        return p;
    }();
    return path;
}

void BM_Remux_Ours(benchmark::State& state) {
    const std::string& in = Source();
    for (auto _ : state) {
        if (RemuxFile(in.c_str(), "/tmp/orbivue-bench-remux-ours.mp4") != 0)
            state.SkipWithError("remux failed");
    }
}
BENCHMARK(BM_Remux_Ours)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_Remux_Ffmpeg(benchmark::State& state) {
    const std::string cmd =
        "ffmpeg -v error -y -i " + Source() + " -map 0 -c copy /tmp/orbivue-bench-remux-ffmpeg.mp4";
    for (auto _ : state) {
        if (std::system(cmd.c_str()) != 0) state.SkipWithError("ffmpeg failed");
    }
}
BENCHMARK(BM_Remux_Ffmpeg)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace
