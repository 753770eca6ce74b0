// The converter dialog on the offscreen platform, against a stand-in
// conversion library (tests/support/fake_convert.cpp) that the test steers:
// the argument vectors, progress and time left, Stop, Close while busy,
// failures and their boxes in both languages; photos go through the real
// photo stitch.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QThread>
#include <QUrl>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "adapters/native_window.h"
#include "app/composite_dlg.h"
#include "app/messages.h"
#include "app/multi_composite_dlg.h"
#include "app/skin_controls.h"
#include "app/strings.h"
#include "app/transcode_preview_dlg.h"
#include "platform/file.h"
#include "player/player_engine.h"
#include "sample/samplegen.h"
#include "support/camera.h"
#include "support/command.h"
#include "support/files.h"
#include "support/peers.h"
#include "support/qt_app.h"
#include "support/samples.h"

#ifndef ORBIVUE_FAKE_CONVERT
#error "ORBIVUE_FAKE_CONVERT names the stand-in conversion library"
#endif

namespace {

using namespace app;
using namespace std::chrono_literals;

// The stand-in's steering functions, from the same loaded library the dialog uses.
struct Fake {
    void (*reset)(int result, int block) = nullptr;
    int (*report)(float percent) = nullptr;
    void (*release)() = nullptr;
    int (*waitRunning)(int running, int ms) = nullptr;
    int (*last)(char* out, int size, int* rotation, int* high) = nullptr;
    int (*hasCallback)() = nullptr;
    int (*calls)() = nullptr;

    bool Load() {
        void* h = dlopen(ORBIVUE_FAKE_CONVERT, RTLD_NOW);
        if (h == nullptr) return false;
        reset = reinterpret_cast<decltype(reset)>(dlsym(h, "fake_convert_reset"));
        report = reinterpret_cast<decltype(report)>(dlsym(h, "fake_convert_report"));
        release = reinterpret_cast<decltype(release)>(dlsym(h, "fake_convert_release"));
        waitRunning =
            reinterpret_cast<decltype(waitRunning)>(dlsym(h, "fake_convert_wait_running"));
        last = reinterpret_cast<decltype(last)>(dlsym(h, "fake_convert_last"));
        hasCallback =
            reinterpret_cast<decltype(hasCallback)>(dlsym(h, "fake_convert_has_callback"));
        calls = reinterpret_cast<decltype(calls)>(dlsym(h, "fake_convert_calls"));
        return reset && report && release && waitRunning && last && hasCallback && calls;
    }
    std::string Args(int* rotation = nullptr, int* high = nullptr) const {
        char buf[4096] = {};
        last(buf, sizeof buf, rotation, high);
        return buf;
    }
};

struct Box {
    QString text, caption;
};

class Converter : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(testutil::QtApplication::Get(), nullptr);
        ASSERT_TRUE(fake.Load());
        const char* config = std::getenv("XDG_CONFIG_HOME");
        savedConfig = config ? config : "";
        setenv("XDG_CONFIG_HOME", dir.File("config").c_str(), 1);
        ApplyLanguage(kLanguageEnglish);
        fake.reset(0, 0);
    }
    void TearDown() override {
        if (savedConfig.empty())
            unsetenv("XDG_CONFIG_HOME");
        else
            setenv("XDG_CONFIG_HOME", savedConfig.c_str(), 1);
        ApplyLanguage(kLanguageEnglish);
    }
    // A dialog on the stand-in whose boxes and folder opening are recorded.
    std::unique_ptr<CCompositeDlg> Make() {
        auto d = std::make_unique<CCompositeDlg>(nullptr, ORBIVUE_FAKE_CONVERT, "libmissing.so");
        d->m_showMessage = [this](const QString& text, const QString& caption, MessageButtons) {
            boxes.push_back({text, caption});
            return answer;
        };
        d->Preview()->m_showMessage = d->m_showMessage;
        d->m_openUrl = [this](const QUrl& url) {
            opened.push_back(url.toLocalFile());
            return true;
        };
        d->m_outputFolder = QString::fromStdString(dir.path()) + "/";
        return d;
    }
    void Input(CCompositeDlg& d, const std::string& path, bool photo) {
        d.m_inputPath = QString::fromStdString(path);
        d.m_bIsPhoto = photo;
        d.OnMessage(WM_REFRESH_OUTPUT, 0, 0);
    }
    // Processes events until pred holds (at most 5 s).
    template <class Pred>
    bool Until(Pred pred) {
        for (int i = 0; i < 500 && !pred(); ++i) {
            QCoreApplication::processEvents();
            std::this_thread::sleep_for(10ms);
        }
        return pred();
    }

    testutil::TempDir dir;
    std::string savedConfig;
    Fake fake;
    std::vector<Box> boxes;
    std::vector<QString> opened;
    bool answer = false;
};

}  // namespace

TEST(ConverterText, ArgumentsSpansProgressAndTimeLeft) {
    ASSERT_NE(testutil::QtApplication::Get(), nullptr);
    ApplyLanguage(kLanguageEnglish);
    int64_t start = 0, length = 0;
    CCompositeDlg::Span(25, 75, 60000, &start, &length);
    EXPECT_EQ(start, 15000);
    EXPECT_EQ(length, 30000);
    // Seven hours: past what 32 bits hold in mark x duration.
    CCompositeDlg::Span(50, 100, 7 * 3600000LL, &start, &length);
    EXPECT_EQ(CCompositeDlg::Hms(start), "03:30:00");
    EXPECT_EQ(CCompositeDlg::Hms(length), "03:30:00");
    const auto join = [](const std::vector<std::string>& v) {
        std::string s;
        for (const auto& a : v) s += (s.empty() ? "" : "|") + a;
        return s;
    };
    const std::string head = "ffmpeg|-d|-ss|00:00:15|-i|in.mp4|-t|00:00:30|-b:v|";
    EXPECT_EQ(join(CCompositeDlg::ExportArguments(0, 15000, 30000, "in.mp4", "out.mp4")),
              head + "4096k|-r|15|-profile:v|main|-preset|veryfast|-refs|1|-bf|0|out.mp4");
    EXPECT_EQ(join(CCompositeDlg::ExportArguments(1, 15000, 30000, "in.mp4", "out.mp4")),
              head + "10000k|-profile:v|main|-preset|veryfast|-refs|2|-bf|1|out.mp4");
    EXPECT_EQ(join(CCompositeDlg::ExportArguments(2, 15000, 30000, "in.mp4", "out.mp4")),
              head + "20000k|out.mp4");
    EXPECT_EQ(CCompositeDlg::ExportArguments(0, 0, 0, "a", "b").size(), 21u);
    EXPECT_EQ(CCompositeDlg::ExportArguments(1, 0, 0, "a", "b").size(), 19u);
    EXPECT_EQ(CCompositeDlg::ExportArguments(2, 0, 0, "a", "b").size(), 11u);
    EXPECT_EQ(CCompositeDlg::HighFlagOf(2), 1);
    EXPECT_EQ(CCompositeDlg::HighFlagOf(1), 0);

    EXPECT_EQ(CCompositeDlg::ProgressText(37.5f), "Progress:37.50% ");
    EXPECT_EQ(CCompositeDlg::ProgressText(100.0f), "Progress:100% ");
    EXPECT_EQ(CCompositeDlg::TimeLeftText(3725), "Time Left:01:02:05");
    ApplyLanguage(kLanguageChinese);
    EXPECT_EQ(CCompositeDlg::ProgressText(37.5f), QString::fromUtf8("进度:37.50% "));
    EXPECT_EQ(CCompositeDlg::TimeLeftText(0), QString::fromUtf8("剩余时间:00:00:00"));
    ApplyLanguage(kLanguageEnglish);

    // 10 % after 10 s: 90 s left; the same whole percent counts down; no
    // progress yet or done gives 0.
    TimeLeft t;
    t.Tick(10.0f, 10);
    EXPECT_EQ(t.seconds, 90);
    t.Tick(10.4f, 11);
    EXPECT_EQ(t.seconds, 89);
    t.Tick(20.0f, 20);
    EXPECT_EQ(t.seconds, 80);
    t.Tick(100.0f, 100);
    EXPECT_EQ(t.seconds, 0);
    TimeLeft idle;
    idle.seconds = 2;
    idle.Tick(0.0f, 5);
    EXPECT_EQ(idle.seconds, 0);
}

TEST_F(Converter, AVideoJobRunsOnTheWorkerAndStopLeavesNothing) {
    auto d = Make();
    ASSERT_TRUE(d->ConverterLoaded());
    EXPECT_EQ(fake.hasCallback(), 1);
    EXPECT_EQ(d->QualityList()->currentIndex(), 1);
    EXPECT_EQ(d->CheckedRotation(), 0);
    Input(*d, dir.File("VID_0001.MOV"), false);
    EXPECT_EQ(d->NameEdit()->text(), "VID_0001_orbivue360_0.mp4");
    EXPECT_TRUE(d->Button(kIdConvStart)->isEnabled());
    // A name taken moves the output on.
    ASSERT_TRUE(testutil::WriteBytes(dir.File("VID_0001_orbivue360_0.mp4"), {1}));
    d->OnMessage(WM_REFRESH_OUTPUT, 0, 0);
    EXPECT_EQ(d->NameEdit()->text(), "VID_0001_orbivue360_1.mp4");

    fake.reset(0, 1);
    d->Button(kIdRotateRight)->click();
    d->QualityList()->setCurrentIndex(2);
    d->OnMessage(WM_EXPORT_VIDEO, 0, 0);
    ASSERT_EQ(fake.waitRunning(1, 5000), 1);
    ASSERT_TRUE(Until([&] { return d->TimerActive(2); }));
    EXPECT_FALSE(d->Button(kIdConvStart)->isEnabled());
    EXPECT_TRUE(d->Button(kIdConvStop)->isEnabled());
    EXPECT_FALSE(d->Button(kIdConvOpen)->isEnabled());
    EXPECT_FALSE(d->QualityList()->isEnabled());
    int rotation = -1, high = -1;
    const std::string args = fake.Args(&rotation, &high);
    EXPECT_EQ(rotation, 90);
    EXPECT_EQ(high, 1);
    EXPECT_NE(args.find("|-b:v|20000k|" + dir.File("VID_0001_orbivue360_1.mp4")), std::string::npos)
        << args;
    // Progress from the library's thread reaches the labels at the next tick.
    ASSERT_EQ(fake.report(37.5f), 1);
    d->OnTimer(2);
    EXPECT_EQ(d->ProgressLabel()->text(), "Progress:37.50% ");

    // Stop: the job ends, its partial output goes, Start comes back when idle.
    d->Button(kIdConvStop)->click();
    ASSERT_TRUE(Until([&] { return !d->m_bBusy && d->Button(kIdConvStart)->isEnabled(); }));
    EXPECT_FALSE(platform::FileExists(dir.File("VID_0001_orbivue360_1.mp4").c_str()));
    EXPECT_TRUE(d->Button(kIdConvOpen)->isEnabled());
    EXPECT_FALSE(d->TimerActive(2));
    EXPECT_TRUE(boxes.empty());

    // A job that finishes offers the folder.
    fake.reset(0, 0);
    answer = true;
    d->OnMessage(WM_EXPORT_VIDEO, 0, 0);
    ASSERT_TRUE(Until([&] { return !boxes.empty(); }));
    EXPECT_EQ(boxes.back().text, LoadString(kStrAskOpenOutputFolder));
    EXPECT_EQ(boxes.back().caption, LoadString(kStrFinish));
    EXPECT_EQ(d->ProgressLabel()->text(), "Progress:100% ");
    EXPECT_FALSE(d->Button(kIdConvStart)->isEnabled());
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0] + (opened[0].endsWith('/') ? "" : "/"), d->m_outputFolder);

    // Failures: -1013 and any other code, in Chinese too.
    ApplyLanguage(kLanguageChinese);
    for (int code : {-1013, -1005}) {
        boxes.clear();
        fake.reset(code, 0);
        d->OnMessage(WM_EXPORT_VIDEO, 0, 0);
        ASSERT_TRUE(Until([&] { return !boxes.empty(); }));
        EXPECT_EQ(boxes.back().text,
                  code == -1013 ? LoadString(kStrCreateFileFailed)
                                : LoadString(kStrOpenConverter) + QString("(errno=%1)").arg(code));
        EXPECT_TRUE(d->Button(kIdConvStart)->isEnabled());
    }
    EXPECT_EQ(LoadString(kStrCreateFileFailed), QString::fromUtf8("创建文件失败。"));
    d.reset();
    EXPECT_EQ(fake.hasCallback(), 0) << "the callback goes with the dialog";
}

TEST_F(Converter, CloseWhileBusyAsksThenWaitsForTheWorker) {
    auto d = Make();
    Input(*d, dir.File("clip.mp4"), false);
    fake.reset(0, 1);
    d->OnMessage(WM_EXPORT_VIDEO, 0, 0);
    ASSERT_EQ(fake.waitRunning(1, 5000), 1);
    // Escape goes the way of Close: asked, and Cancel keeps everything.
    answer = false;
    d->reject();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, LoadString(kStrAskCancelStitching));
    EXPECT_TRUE(d->m_bBusy);
    EXPECT_EQ(fake.waitRunning(1, 10), 1);
    // OK: the job is stopped, the worker is idle before the dialog ends.
    answer = true;
    d->Button(kIdConvClose)->click();
    EXPECT_FALSE(d->m_bBusy);
    EXPECT_EQ(fake.waitRunning(0, 10), 1);
    EXPECT_FALSE(platform::FileExists(dir.File("clip_orbivue360_0.mp4").c_str()));
    ASSERT_TRUE(Until([&] { return d->result() == QDialog::Accepted; }));
    // The folder was kept for next time.
    EXPECT_TRUE(platform::FileExists((dir.File("config") + "/Orbivue/orbivueglobal.ini").c_str()));
}

TEST_F(Converter, AStopBeforeTheLibraryIsCalledIsNotLost) {
    auto d = Make();
    Input(*d, dir.File("clip.mp4"), false);
    for (int i = 0; i < 5; ++i) {
        fake.reset(0, 1);
        d->OnMessage(WM_EXPORT_VIDEO, 0, 0);
        d->Button(kIdConvStop)->click();  // at once: before or during the call
        ASSERT_TRUE(Until([&] { return !d->m_bBusy && d->Button(kIdConvStart)->isEnabled(); }))
            << i;
        EXPECT_EQ(fake.waitRunning(0, 1000), 1);
        EXPECT_FALSE(platform::FileExists(dir.File("clip_orbivue360_0.mp4").c_str()));
    }
    EXPECT_TRUE(boxes.empty());
}

TEST_F(Converter, PhotosAreStitchedHereAndFailuresSaySo) {
    auto d = Make();
    const std::string photo = dir.File("IMG_1.jpg");
    ASSERT_TRUE(testutil::WriteBytes(photo, testutil::ReadFile(testutil::Samples().dualPhoto)));
    Input(*d, photo, true);
    EXPECT_EQ(d->NameEdit()->text(), "IMG_1_orbivue360_0.jpg");
    d->QualityList()->setCurrentIndex(0);
    d->OnMessage(WM_EXPORT_PHOTO, 0, 0);
    EXPECT_TRUE(platform::FileExists(dir.File("IMG_1_orbivue360_0.jpg").c_str()));
    EXPECT_EQ(d->ProgressLabel()->text(), LoadString(kStrStitchingDone));
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, LoadString(kStrAskOpenOutputFolder));

    const std::string broken = dir.File("broken.jpg");
    ASSERT_TRUE(testutil::WriteBytes(broken, {0xFF, 0xD8, 0xFF, 0xD9}));
    Input(*d, broken, true);
    d->OnMessage(WM_EXPORT_PHOTO, 0, 0);
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1].text, LoadString(kStrStitchingFailed) + ".");
    EXPECT_TRUE(d->Button(kIdConvStart)->isEnabled());
    EXPECT_FALSE(platform::FileExists(dir.File("broken_orbivue360_0.jpg").c_str()));
    // A file of no qualified camera is refused at Start.
    d->Button(kIdConvStart)->click();
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(boxes[2].text, LoadString(kStrNotFromQualifiedCamera));
    // Open Dir on a folder that went.
    d->m_outputFolder = QString::fromStdString(dir.File("gone")) + "/";
    d->Button(kIdConvOpenDir)->click();
    ASSERT_EQ(boxes.size(), 4u);
    EXPECT_EQ(boxes[3].text, LoadString(kStrOutputPathMissing));
}

// --------------------------------- the real libraries (under Xvfb for the preview)

namespace {

std::string CameraClip(const testutil::TempDir& dir, const std::string& name, double seconds) {
    sample::Mp4Options o;
    o.width = 640;
    o.height = 320;
    o.fps = 25;
    o.seconds = seconds;
    o.audio = true;
    const std::string path = dir.File(name);
    EXPECT_EQ(sample::WriteMp4(path, testutil::DefaultTrailer(2), o), 0);
    return path;
}

QImage FirstFrame(const std::string& video, const std::string& png) {
    testutil::FfmpegWrite("-i " + testutil::ShellQuote(video) + " -frames:v 1", png);
    return QImage(QString::fromStdString(png)).convertToFormat(QImage::Format_RGB32);
}

double MeanDifference(const QImage& a, const QImage& b) {
    if (a.isNull() || a.size() != b.size()) return 255;
    double sum = 0;
    for (int y = 0; y < a.height(); ++y) {
        const auto* p = reinterpret_cast<const QRgb*>(a.constScanLine(y));
        const auto* q = reinterpret_cast<const QRgb*>(b.constScanLine(y));
        for (int x = 0; x < a.width(); ++x) sum += std::abs(qGray(p[x]) - qGray(q[x]));
    }
    return sum / (double(a.width()) * a.height());
}

}  // namespace

// The converter on the real conversion and playback libraries: the preview
// gives the span, each rotation's output is what the command line makes of
// the same vector, and photos at each quality are the photo stitch's.
TEST(PlayerEngineConverter, ExportsTheMarkedSpanAtEachRotationAndPhotosAtEachQuality) {
    if (std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "no X display";
    ASSERT_NE(testutil::QtApplication::Get(), nullptr);
    testutil::TempDir dir;
    const std::string alsa = testutil::WriteNullSoundConfig(dir);
    setenv("ALSA_CONFIG_PATH", alsa.c_str(), 1);
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const std::string savedConfig = config ? config : "";
    setenv("XDG_CONFIG_HOME", dir.File("config").c_str(), 1);
    ApplyLanguage(kLanguageEnglish);
    const std::string cam = CameraClip(dir, "cam.mp4", 3.0);
    QDir().mkpath(QString::fromStdString(dir.File("out")));
    {
        adapters::NativeWindow window;
        ASSERT_TRUE(window.Open(640, 318, "converter test"));
        CCompositeDlg d(nullptr);
        ASSERT_TRUE(d.ConverterLoaded());
        std::vector<QString> boxes;
        d.m_showMessage = [&](const QString& text, const QString&, MessageButtons) {
            boxes.push_back(text);
            return false;
        };
        d.Preview()->m_showMessage = d.m_showMessage;
        d.m_outputFolder = QString::fromStdString(dir.File("out")) + "/";
        d.Preview()->Engine().SetVideoWindow(window.Id(), d.Preview(), d.Preview());
        d.SetInput(QString::fromStdString(cam), false);
        const auto until = [](auto pred, int seconds) {
            for (int i = 0; i < seconds * 100 && !pred(); ++i) {
                QCoreApplication::processEvents();
                std::this_thread::sleep_for(10ms);
            }
            return pred();
        };
        ASSERT_TRUE(until([&] { return d.Preview()->DurationKnown(); }, 10));
        // The end mark at half the clip: 1.5 s from 0.
        d.Preview()->RangeSlider()->SetValues(0, 50);
        d.Preview()->OnMessage(WM_RANGE_CHANGED, 0, 1);
        ASSERT_EQ(d.Preview()->EndMark(), 50);
        const struct {
            int button, degrees;
        } turns[] = {
            {kIdRotateUp, 0}, {kIdRotateRight, 90}, {kIdRotateDown, 180}, {kIdRotateLeft, 270}};
        for (const auto& turn : turns) {
            d.Button(turn.button)->click();
            d.OnMessage(WM_REFRESH_OUTPUT, 0, 0);
            boxes.clear();
            d.Button(kIdConvStart)->click();
            ASSERT_TRUE(until([&] { return !boxes.empty(); }, 120)) << turn.degrees;
            ASSERT_EQ(boxes.back(), LoadString(kStrAskOpenOutputFolder)) << turn.degrees;
            const std::string out = d.m_outputPath.toStdString();
            testutil::ExpectPeersAccept(out, true);
            // The span goes to the library in whole seconds: 1.5 s is "00:00:01".
            EXPECT_NEAR(std::stod(testutil::FfprobeStream(out, "v", "duration")), 1.0, 0.1);
            // The command line with the same vector and rotation.
            const std::string peer = dir.File("peer" + std::to_string(turn.degrees) + ".mp4");
            std::vector<std::string> args = {"convert", "--rotation", std::to_string(turn.degrees)};
            for (const std::string& a : CCompositeDlg::ExportArguments(1, 0, 1500, cam, peer))
                args.push_back(a);
            int status = -1;
            EXPECT_EQ(testutil::RunCli(args, &status), "result: 0\n");
            const QImage mine = FirstFrame(out, dir.File("mine.png"));
            const QImage theirs = FirstFrame(peer, dir.File("theirs.png"));
            EXPECT_LT(MeanDifference(mine, theirs), 1.0) << turn.degrees;
        }
    }
    // Photos: each quality gives the photo stitch's bytes.
    {
        CCompositeDlg d(nullptr);
        std::vector<QString> boxes;
        d.m_showMessage = [&](const QString& text, const QString&, MessageButtons) {
            boxes.push_back(text);
            return false;
        };
        d.m_outputFolder = QString::fromStdString(dir.File("out")) + "/";
        const std::string photo = dir.File("IMG_2.jpg");
        ASSERT_TRUE(testutil::WriteBytes(photo, testutil::ReadFile(testutil::Samples().dualPhoto)));
        d.m_inputPath = QString::fromStdString(photo);
        d.m_bIsPhoto = true;
        d.Button(kIdRotateDown)->click();
        for (int q = 0; q < 3; ++q) {
            d.OnMessage(WM_REFRESH_OUTPUT, 0, 0);
            d.QualityList()->setCurrentIndex(q);
            d.Button(kIdConvStart)->click();
            QCoreApplication::processEvents();
            const std::string out = d.m_outputPath.toStdString();
            ASSERT_TRUE(platform::FileExists(out.c_str())) << q;
            const std::string peer = dir.File("peer" + std::to_string(q) + ".jpg");
            int status = -1;
            testutil::RunCli(
                {"stitch", photo, peer, "--rotation", "180", "--quality", std::to_string(q)},
                &status);
            EXPECT_EQ(status, 0);
            EXPECT_EQ(testutil::ReadFile(out), testutil::ReadFile(peer)) << q;
            EXPECT_NE(testutil::Exiftool("-s -s -s -XMP-GPano:ProjectionType", out)
                          .find("equirectangular"),
                      std::string::npos);
        }
        EXPECT_EQ(boxes.size(), 3u);
    }
    unsetenv("ALSA_CONFIG_PATH");
    if (savedConfig.empty())
        unsetenv("XDG_CONFIG_HOME");
    else
        setenv("XDG_CONFIG_HOME", savedConfig.c_str(), 1);
}

// The merger on the real library: three stitched files listed C, A, B are
// joined in that order; the camera file is refused with its path.
TEST(MergeDialogReal, JoinsStitchedFilesInTheListedOrder) {
    ASSERT_NE(testutil::QtApplication::Get(), nullptr);
    ApplyLanguage(kLanguageEnglish);
    testutil::TempDir dir;
    const std::string cam = CameraClip(dir, "cam.mp4", 1.0);
    std::vector<std::string> parts;
    for (const char* name : {"C", "A", "B"}) {
        const std::string out = dir.File(std::string(name) + ".mp4");
        std::vector<std::string> args = {"convert", "--rotation",
                                         std::string(name) == "A" ? "90" : "0"};
        for (const std::string& a : CCompositeDlg::ExportArguments(0, 0, 1000, cam, out))
            args.push_back(a);
        int status = -1;
        ASSERT_EQ(testutil::RunCli(args, &status), "result: 0\n");
        parts.push_back(out);
    }
    const QString folder = QString::fromStdString(dir.File("merged")) + "/";
    QDir().mkpath(folder);
    CMultiCompositeDlg m(nullptr, folder);
    std::vector<QString> boxes;
    m.m_showMessage = [&](const QString& text, const QString&, MessageButtons) {
        boxes.push_back(text);
        return false;
    };
    m.m_chooseFiles = [&] {
        QStringList files;
        for (const std::string& p : parts) files << QString::fromStdString(p);
        files << QString::fromStdString(cam);
        return files;
    };
    m.Add();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(boxes[0].contains(LoadString(kStrNotYetStitched)));
    EXPECT_TRUE(boxes[0].endsWith(QString::fromStdString(cam)));
    ASSERT_EQ(m.Files().size(), 3);
    m.Button(CMultiCompositeDlg::kIdStart)->click();
    for (int i = 0; i < 3000 && (m.Busy() || boxes.size() < 2); ++i) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_TRUE(boxes[1].startsWith(LoadString(kStrMergeSavedTo))) << boxes[1].toStdString();
    const std::string merged = m.LastOutput().toStdString();
    testutil::ExpectPeersAccept(merged);
    std::string joined;
    for (const std::string& p : parts) joined += testutil::PacketHashes(p, 0);
    EXPECT_EQ(testutil::PacketHashes(merged, 0), joined);
}
