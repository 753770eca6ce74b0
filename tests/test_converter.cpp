// The converter dialog on the offscreen platform, against a stand-in
// conversion library (tests/support/fake_convert.cpp) that the test steers:
// the argument vectors, progress and time left, Stop, Close while busy,
// failures and their boxes in both languages; photos go through the real
// photo stitch.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QThread>
#include <QUrl>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "app/composite_dlg.h"
#include "app/messages.h"
#include "app/skin_controls.h"
#include "app/strings.h"
#include "app/transcode_preview_dlg.h"
#include "platform/file.h"
#include "support/files.h"
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
