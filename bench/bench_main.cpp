// Runs every benchmark, then prints each comparison with its peer as a ratio
// (ours / peer; below 1 is faster), last.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

namespace {

class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.run_type == Run::RT_Iteration || r.aggregate_name == "median") {
                times_[r.run_name.function_name] = r.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void PrintRatios() const {
        const char* pairs[][3] = {
            {"BM_JpegDecode_Ours", "BM_JpegDecode_LibjpegTurbo",
             "JPEG decode, ours / libjpeg-turbo"},
            {"BM_JpegEncode_Ours", "BM_JpegEncode_LibjpegTurbo",
             "JPEG encode, ours / libjpeg-turbo"},
            {"BM_StitchPhoto_3008", "BM_FfmpegV360_3008", "photo stitch, ours / ffmpeg v360"},
            {"BM_StitchPhoto_3008", "BM_DecodeEncode_3008", "photo stitch / our decode + encode"},
            {"BM_Remux_Ours", "BM_Remux_Ffmpeg", "remux, ours / ffmpeg stream copy"},
        };
        for (const auto& p : pairs) {
            const auto a = times_.find(p[0]), b = times_.find(p[1]);
            if (a != times_.end() && b != times_.end() && b->second > 0) {
                std::printf("ratio %s: %.2f\n", p[2], a->second / b->second);
            }
        }
    }

  private:
    std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
