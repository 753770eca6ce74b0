// The viewer playing and showing, measured in the real window on the real
// playback library and GL (run under xvfb-run on a machine without a desktop):
//  - Viewer/Play60s: a 1920x960 30 fps camera video in the 1024x512 video
//    area, replayed for 60 s: frames drawn per second in the first 20 s
//    against the file's rate, the time from the window's creation to the
//    first frame drawn, the longest the window thread was busy with one event,
//    resident memory after 10 s and after 60 s.
//  - Viewer/StillPhoto10s: the share of one core the process uses while a
//    photo is shown and nothing moves.
//  - Viewer/Record60s: a 64 s 1920x960 30 fps video with sound in the same
//    view: frames drawn per second without and with a recording, ten screen
//    shots' time on the drawing thread, then 60 s recorded from the floating
//    bar's message: frames offered, written and dropped, the encode thread's
//    time per frame, resident memory at 10 s, 60 s and its peak.
//  - Converter/Medium10s: the converter dialog exporting the 10 s sample at
//    Medium, against Peer/CliConvertMedium10s, `orbivue-cli convert` with
//    the same vector in the same run; and the longest the progress text
//    stood still while the job ran.
//  - Peer/FfmpegDecodeScale: ffmpeg decoding the same video and scaling it
//    to 1024x512 as fast as it can, the frame rate this machine can decode.
// The sample files are made with the sample maker once per run; the long
// video of Viewer/Record60s only with ORBIVUE_BENCH_RECORD=1.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/composite_dlg.h"
#include "app/messages.h"
#include "app/transcode_preview_dlg.h"
#include "app/video_player_app.h"
#include "app/video_player_dlg.h"

#ifndef ORBIVUE_SAMPLE
#error "ORBIVUE_SAMPLE names the sample maker"
#endif
#ifndef ORBIVUE_CLI
#error "ORBIVUE_CLI names the command-line tool"
#endif

namespace {

std::string g_folder;
std::string g_video;
std::string g_photo;
std::string g_long;
std::vector<std::string> g_converterArgs;

// Times every event the window thread handles (outermost only).
class TimedApplication : public QApplication {
  public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override {
        if (m_depth++ > 0) {
            const bool r = QApplication::notify(receiver, event);
            --m_depth;
            return r;
        }
        QElapsedTimer timer;
        timer.start();
        const bool result = QApplication::notify(receiver, event);
        const qint64 ns = timer.nsecsElapsed();
        if (m_measure && ns > m_longest) m_longest = ns;
        --m_depth;
        return result;
    }
    bool m_measure = false;
    qint64 m_longest = 0;

  private:
    int m_depth = 0;
};

double ResidentMB() {
    FILE* f = std::fopen("/proc/self/status", "r");
    if (f == nullptr) return 0;
    char line[256];
    double kb = 0;
    while (std::fgets(line, sizeof line, f) != nullptr)
        if (std::sscanf(line, "VmRSS: %lf", &kb) == 1) break;
    std::fclose(f);
    return kb / 1024.0;
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void RunFor(int milliseconds) {
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

void PlayVideo(benchmark::State& state) {
    auto* app = static_cast<TimedApplication*>(QCoreApplication::instance());
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        app::CVideoPlayerDlg window;
        window.m_showMessage = [](const QString&, const QString&, app::MessageButtons) {
            return false;
        };
        window.show();
        window.OpenPath(QString::fromStdString(g_video));
        CPlayerEngine& engine = window.Engine();
        // Wait for the first frame.
        double firstFrameMs = -1;
        for (int i = 0; i < 2000 && engine.m_nFramesDrawn.load() == 0; ++i) RunFor(5);
        if (engine.m_nFramesDrawn.load() > 0)
            firstFrameMs =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count();
        // Replay whenever the video ends, for 60 s.
        QTimer replay;
        QObject::connect(&replay, &QTimer::timeout, [&] {
            if (engine.m_nState == PS_STOPPED) window.OpenPath(QString::fromStdString(g_video));
        });
        replay.start(50);
        QTimer sampler;
        QObject::connect(&sampler, &QTimer::timeout, [&] {
            std::fprintf(stderr, "RSS %.0f MB state %d frames %u\n", ResidentMB(), engine.m_nState,
                         engine.m_nFramesDrawn.load());
        });
        if (std::getenv("ORBIVUE_BENCH_TRACE") != nullptr) sampler.start(2000);
        app->m_measure = true;
        app->m_longest = 0;
        const uint32_t frames0 = engine.m_nFramesDrawn.load();
        QElapsedTimer clock;
        clock.start();
        RunFor(10000);
        const double rss10 = ResidentMB();
        RunFor(10000);
        const double fps = (engine.m_nFramesDrawn.load() - frames0) /
                           (static_cast<double>(clock.elapsed()) / 1000.0);
        RunFor(40000);
        const double rss60 = ResidentMB();
        app->m_measure = false;
        replay.stop();
        state.SetIterationTime(static_cast<double>(clock.elapsed()) / 1000.0);
        state.counters["fps_drawn"] = fps;
        state.counters["fps_file"] = 30;
        state.counters["first_frame_ms"] = firstFrameMs;
        state.counters["longest_busy_ms"] = static_cast<double>(app->m_longest) / 1e6;
        state.counters["rss_10s_MB"] = rss10;
        state.counters["rss_60s_MB"] = rss60;
    }
}

void StillPhoto(benchmark::State& state) {
    for (auto _ : state) {
        app::CVideoPlayerDlg window;
        window.m_showMessage = [](const QString&, const QString&, app::MessageButtons) {
            return false;
        };
        window.show();
        window.OpenPath(QString::fromStdString(g_photo));
        RunFor(2000);  // shown and settled
        const double cpu0 = CpuSeconds();
        QElapsedTimer clock;
        clock.start();
        RunFor(10000);
        const double seconds = static_cast<double>(clock.elapsed()) / 1000.0;
        state.SetIterationTime(seconds);
        state.counters["cpu_percent_of_a_core"] = 100.0 * (CpuSeconds() - cpu0) / seconds;
    }
}

// Opens the long video and waits for its first frame; false when none came.
bool OpenLong(app::CVideoPlayerDlg& window) {
    window.OpenPath(QString::fromStdString(g_long));
    CPlayerEngine& engine = window.Engine();
    const uint32_t before = engine.m_nFramesDrawn.load();
    for (int i = 0; i < 2000 && engine.m_nFramesDrawn.load() == before; ++i) RunFor(5);
    RunFor(1000);
    return engine.m_nFramesDrawn.load() != before;
}

void RecordView(benchmark::State& state) {
    for (auto _ : state) {
        app::CVideoPlayerDlg window;
        window.m_showMessage = [](const QString&, const QString&, app::MessageButtons) {
            return false;
        };
        window.m_strOutputFolder = QString::fromStdString(g_folder + "/out/");
        window.show();
        CPlayerEngine& engine = window.Engine();
        if (!OpenLong(window)) {
            state.SkipWithError("no frame drawn");
            return;
        }
        // Ten screen shots a second apart, then the view's rate without them.
        double shotMs = 0;
        int shots = 0;
        for (int i = 0; i < 10; ++i) {
            window.OnMessage(app::WM_TAKE_SCREENSHOT, 0, 0);
            RunFor(1000);
            if (window.m_lastShot.result == 0 && window.m_lastShot.drawMs > 0) {
                shotMs += window.m_lastShot.drawMs;
                ++shots;
                window.m_lastShot = SavedFile();
            }
        }
        uint32_t frames0 = engine.m_nFramesDrawn.load();
        QElapsedTimer clock;
        clock.start();
        RunFor(10000);
        const double fpsPlain = (engine.m_nFramesDrawn.load() - frames0) /
                                (static_cast<double>(clock.elapsed()) / 1000.0);

        // From the start again, recording for 60 s.
        if (!OpenLong(window)) {
            state.SkipWithError("no frame drawn after reopening");
            return;
        }
        RunFor(2000);
        const double rssBefore = ResidentMB();
        window.OnMessage(app::WM_RECORD_START, 0, 0);
        if (!window.m_bIsRecording) {
            state.SkipWithError("the recording did not start");
            return;
        }
        frames0 = engine.m_nFramesDrawn.load();
        clock.restart();
        double peak = 0, rss10 = 0;
        for (int second = 1; second <= 60; ++second) {
            RunFor(1000);
            const double rss = ResidentMB();
            peak = std::max(peak, rss);
            if (second == 10) rss10 = rss;
        }
        const double rss60 = ResidentMB();
        const double fpsRecording = (engine.m_nFramesDrawn.load() - frames0) /
                                    (static_cast<double>(clock.elapsed()) / 1000.0);
        window.OnMessage(app::WM_RECORD_STOP, 0, 0);
        RunFor(500);  // the saved notice
        const RecordCounts& c = window.m_lastRecording.counts;
        state.SetIterationTime(static_cast<double>(clock.elapsed()) / 1000.0);
        state.counters["fps_view_plain"] = fpsPlain;
        state.counters["fps_view_recording"] = fpsRecording;
        state.counters["frames_offered"] = static_cast<double>(c.offered);
        state.counters["frames_written"] = static_cast<double>(c.encoded);
        state.counters["frames_dropped"] = static_cast<double>(c.dropped);
        state.counters["frames_ahead"] = static_cast<double>(c.early);
        state.counters["recorded_ok"] = window.m_lastRecording.result == 0 ? 1 : 0;
        state.counters["encode_ms_per_frame"] =
            c.encoded ? 1000.0 * c.encodeSeconds / static_cast<double>(c.encoded) : 0;
        state.counters["rss_before_MB"] = rssBefore;
        state.counters["rss_10s_MB"] = rss10;
        state.counters["rss_60s_MB"] = rss60;
        state.counters["rss_peak_MB"] = peak;
        state.counters["shot_draw_ms"] = shots ? shotMs / shots : 0;
    }
}

double ConvertSeconds(const std::vector<std::string>& args) {
    std::string cmd = std::string(ORBIVUE_CLI) + " convert";
    for (const std::string& a : args) cmd += " '" + a + "'";
    cmd += " >/dev/null 2>&1";
    const auto start = std::chrono::steady_clock::now();
    const int status = std::system(cmd.c_str());
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return status == 0 ? seconds : -1;
}

void ConverterMedium(benchmark::State& state) {
    for (auto _ : state) {
        app::CCompositeDlg dialog(nullptr);
        dialog.m_showMessage = [](const QString&, const QString&, app::MessageButtons) {
            return false;
        };
        dialog.m_outputFolder = QString::fromStdString(g_folder + "/converted/");
        std::system(("mkdir -p '" + g_folder + "/converted'").c_str());
        dialog.show();
        dialog.SetInput(QString::fromStdString(g_video), false);
        for (int i = 0; i < 1000 && !dialog.Preview()->DurationKnown(); ++i) RunFor(10);
        if (!dialog.Preview()->DurationKnown()) {
            state.SkipWithError("the preview found no duration");
            return;
        }
        RunFor(1000);  // the preview settles on its first frame
        const auto start = std::chrono::steady_clock::now();
        dialog.OnMessage(app::WM_EXPORT_VIDEO, 0, 0);
        QString text = dialog.ProgressLabel()->text();
        auto changed = start;
        double stood = 0;
        while (dialog.m_bBusy || dialog.TimerActive(2)) {
            RunFor(50);
            const auto now = std::chrono::steady_clock::now();
            if (dialog.ProgressLabel()->text() != text) {
                text = dialog.ProgressLabel()->text();
                changed = now;
            }
            stood = std::max(stood, std::chrono::duration<double>(now - changed).count());
        }
        RunFor(100);  // the finished notice
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        state.counters["progress_stood_max_s"] = stood;
        state.counters["done"] = dialog.m_progress.load() >= 100 ? 1 : 0;
        g_converterArgs = app::CCompositeDlg::ExportArguments(
            1, 0, dialog.Preview()->DurationMs(), g_video, g_folder + "/converted/peer.mp4");
    }
}

void CliConvertMedium(benchmark::State& state) {
    for (auto _ : state) {
        std::vector<std::string> args = g_converterArgs;
        if (args.empty())
            args = app::CCompositeDlg::ExportArguments(1, 0, 10000, g_video,
                                                       g_folder + "/converted/peer.mp4");
        std::system(("mkdir -p '" + g_folder + "/converted'").c_str());
        const double seconds = ConvertSeconds(args);
        if (seconds < 0) {
            state.SkipWithError("orbivue-cli convert failed");
            return;
        }
        state.SetIterationTime(seconds);
    }
}

void FfmpegDecodeScale(benchmark::State& state) {
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const std::string cmd = "ffmpeg -v error -nostdin -i '" + g_video +
                                "' -vf scale=1024:512 -f null - 2>/dev/null";
        const int status = std::system(cmd.c_str());
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        state.counters["fps_decoded"] = status == 0 ? 300 / seconds : 0;  // 10 s at 30 fps
    }
}

bool MakeSamples() {
    char pattern[] = "/tmp/orbivue-viewer-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return false;
    g_folder = pattern;
    g_video = g_folder + "/sample.mp4";
    g_photo = g_folder + "/sample.jpg";
    const std::string maker = ORBIVUE_SAMPLE;
    const std::string video =
        maker + " '" + g_video + "' --camera 2 --video --render --seconds 10 --audio >/dev/null";
    const std::string photo = maker + " '" + g_photo + "' --camera 2 --photo --render >/dev/null";
    if (std::system(video.c_str()) != 0 || std::system(photo.c_str()) != 0) return false;
    // The long video only when its benchmark runs (it takes minutes to make).
    const char* filter = std::getenv("ORBIVUE_BENCH_RECORD");
    if (filter == nullptr || *filter == '0') return true;
    g_long = g_folder + "/long.mp4";
    const std::string longVideo =
        maker + " '" + g_long + "' --camera 2 --video --render --seconds 64 --audio >/dev/null";
    return std::system(longVideo.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    app::InitXThreads();
    if (std::getenv("DISPLAY") == nullptr) {
        std::fprintf(stderr, "the viewer benchmark needs a display: run it under xvfb-run\n");
        return 0;
    }
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    setenv("QT_ENABLE_HIGHDPI_SCALING", "0", 1);
    TimedApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (!MakeSamples()) {
        std::fprintf(stderr, "the sample files could not be made\n");
        return 1;
    }
    benchmark::RegisterBenchmark("Viewer/Play60s", PlayVideo)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kSecond);
    benchmark::RegisterBenchmark("Viewer/StillPhoto10s", StillPhoto)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kSecond);
    if (!g_long.empty())
        benchmark::RegisterBenchmark("Viewer/Record60s", RecordView)
            ->Iterations(1)
            ->UseManualTime()
            ->Unit(benchmark::kSecond);
    benchmark::RegisterBenchmark("Converter/Medium10s", ConverterMedium)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kSecond);
    benchmark::RegisterBenchmark("Peer/CliConvertMedium10s", CliConvertMedium)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kSecond);
    benchmark::RegisterBenchmark("Peer/FfmpegDecodeScale", FfmpegDecodeScale)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kSecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::system(("rm -rf '" + g_folder + "'").c_str());
    return 0;
}
