// The main window's message hub on Qt's offscreen platform: what each message
// does to the window's state, the timers, full screen, the time texts, files
// refused, dropped and opened. Playback itself is the engine's test.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDir>
#include <QDropEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QThread>
#include <QUrl>
#include <QWheelEvent>

#include <cstdlib>

#include "app/bars.h"
#include "app/messages.h"
#include "app/strings.h"
#include "app/video_control.h"
#include "app/video_player_dlg.h"
#include "support/command.h"
#include "support/files.h"
#include "support/qt_app.h"
#include "support/samples.h"

namespace {

using namespace app;

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

// A window whose message boxes and file dialog are answered by the test, in a
// private home and settings folder.
class MainWindow : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(testutil::QtApplication::Get(), nullptr);
        const char* home = std::getenv("HOME");
        const char* config = std::getenv("XDG_CONFIG_HOME");
        savedHome_ = home ? home : "";
        savedConfig_ = config ? config : "";
        setenv("HOME", dir_.File("home").c_str(), 1);
        setenv("XDG_CONFIG_HOME", dir_.File("config").c_str(), 1);
        QDir().mkpath(Q(dir_.File("home")));
        ApplyLanguage(kLanguageEnglish);
        window_ = std::make_unique<CVideoPlayerDlg>();
        window_->m_showMessage = [this](const QString& text, const QString&, MessageButtons) {
            messages_.push_back(text);
            return answer_;
        };
        window_->m_chooseFiles = [this] { return chosen_; };
        window_->show();
    }
    void TearDown() override {
        window_.reset();
        setenv("HOME", savedHome_.c_str(), 1);
        if (savedConfig_.empty())
            unsetenv("XDG_CONFIG_HOME");
        else
            setenv("XDG_CONFIG_HOME", savedConfig_.c_str(), 1);
    }
    void Send(int message, intptr_t w = 0, intptr_t l = 0, uint32_t tag = 0) {
        window_->OnMessage(message, w, l, tag);
    }
    void Flush() { QCoreApplication::processEvents(); }

    testutil::TempDir dir_;
    std::string savedHome_, savedConfig_;
    std::unique_ptr<CVideoPlayerDlg> window_;
    std::vector<QString> messages_;
    bool answer_ = false;
    QStringList chosen_;
};

TEST(MainWindowText, TimesInHoursMinutesAndSeconds) {
    EXPECT_EQ(CVideoPlayerDlg::FormatHms(3725900), "01:02:05");
    EXPECT_EQ(CVideoPlayerDlg::FormatHms(100LL * 3600 * 1000), "100:00:00");
    EXPECT_EQ(CVideoPlayerDlg::FormatHms(0), "00:00:00");
    EXPECT_EQ(CVideoPlayerDlg::FormatHms(-5), "00:00:00");
    EXPECT_EQ(CVideoPlayerDlg::FormatHms(59999), "00:00:59");
    EXPECT_TRUE(CVideoPlayerDlg::IsPhotoPath("/a/B.JPG"));
    EXPECT_TRUE(CVideoPlayerDlg::IsPhotoPath("x.bmp"));
    EXPECT_FALSE(CVideoPlayerDlg::IsPhotoPath("x.jpg.mp4"));
}

TEST_F(MainWindow, TitleSizeAndLayout) {
    EXPECT_EQ(window_->windowTitle(), "VideoPlayer");
    EXPECT_EQ(window_->size(), QSize(1024, 597));
    EXPECT_EQ(window_->minimumSize(), QSize(1024, 597));
    EXPECT_EQ(window_->VideoControl()->geometry(), QRect(0, 30, 1024, 512));
    EXPECT_EQ(window_->CaptionBar()->geometry(), QRect(1, 1, 1022, 30));
    EXPECT_EQ(window_->BottomBar()->geometry(), QRect(1, 541, 1022, 55));
    EXPECT_FALSE(window_->VideoControl()->isVisible()) << "nothing is open yet";
    window_->resize(1300, 800);
    Flush();
    EXPECT_EQ(window_->VideoControl()->geometry(), QRect(0, 30, 1300, 715));
    EXPECT_EQ(window_->BottomBar()->geometry(), QRect(1, 744, 1298, 55));
    // Keys never close the window.
    for (int key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Space}) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QCoreApplication::sendEvent(window_.get(), &press);
    }
    Flush();
    EXPECT_TRUE(window_->isVisible());
}

TEST_F(MainWindow, RefusedFilesSayWhyEachTime) {
    Send(WM_PLAY_PAUSE);
    EXPECT_TRUE(messages_.empty()) << "play without a file does nothing";
    const auto& s = testutil::Samples();
    chosen_ = {Q(s.plainPhoto), Q(s.dualPhoto)};
    Send(WM_OPEN_FILE);
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0], LoadString(kStrNotFromQualifiedCamera));
    EXPECT_EQ(window_->m_strCurrentPath, Q(s.plainPhoto)) << "the first of several";
    EXPECT_TRUE(window_->m_bIsRejected);
    EXPECT_TRUE(window_->m_bIsPhoto);
    EXPECT_EQ(window_->CaptionBar()->Title(), "plain.jpg");
    Send(WM_PLAY_PAUSE);
    EXPECT_EQ(messages_.size(), 2u) << "play probes the refused file again";
    Send(WM_SHOW_FLOATBAR);
    EXPECT_FALSE(window_->FloatBar()->isVisible()) << "no floating bar over a refused file";
    // A cancelled dialog changes nothing.
    chosen_.clear();
    Send(WM_OPEN_FILE);
    EXPECT_EQ(window_->m_strCurrentPath, Q(s.plainPhoto));
    EXPECT_EQ(messages_.size(), 2u);
}

TEST_F(MainWindow, PlayerEventsReachTheBars) {
    CBottomBar* bottom = window_->BottomBar();
    Send(WM_PLAYER_EVENT, kEventPlaying, 3725900);
    EXPECT_EQ(bottom->LengthText(), "01:02:05");
    EXPECT_TRUE(bottom->ShowsPauseImage());
    Send(WM_PLAYER_EVENT, kEventPlaying, 0);
    EXPECT_EQ(bottom->LengthText(), "01:02:05") << "a zero length is not shown";
    Send(WM_PLAYER_EVENT, kEventPaused, 0);
    EXPECT_FALSE(bottom->ShowsPauseImage());
    // Positions count only while playing or paused: nothing plays here.
    Send(WM_PLAYER_POSITION, 0, 40);
    EXPECT_EQ(window_->Position(), 0);
    // Events of a player that is gone are dropped.
    Send(WM_PLAYER_EVENT, kEventPlaying, 5000, 12345);
    EXPECT_EQ(bottom->LengthText(), "01:02:05");
    // The stop shows the file unloaded.
    Send(WM_PLAYER_EVENT, kEventStop, kStopAsked);
    EXPECT_EQ(bottom->LengthText(), "00:00:00");
    EXPECT_EQ(bottom->TimeText(), "00:00:00");
    EXPECT_FALSE(bottom->ShowsPauseImage());
    EXPECT_FALSE(window_->VideoControl()->isVisible());
    EXPECT_FALSE(window_->FloatBar()->ButtonsEnabled());
    EXPECT_FALSE(window_->TimerActive(kTimerProgress));
    // Seeking, volume and mute with nothing open: only the volume is kept.
    Send(WM_SEEK, kIdProgressSlider, 50);
    EXPECT_EQ(window_->Position(), 0);
    Send(WM_SET_VOLUME, kIdVolumeSlider, 30);
    EXPECT_EQ(window_->m_nVolume, 30);
    Send(WM_SET_MUTE, 1);
    Send(WM_NEXT_FRAME);
    // View input without a renderer is harmless.
    float step[2] = {10, 10};
    Send(WM_VIEW_DRAG, 0, reinterpret_cast<intptr_t>(step));
    Send(WM_VIEW_FLING, 0, reinterpret_cast<intptr_t>(step));
    Send(WM_VIEW_ZOOM, 0, -120);
    Send(WM_VIEW_MODE, 0, 8);
    Send(WM_VIEW_MODE, 0, 9);
    Send(WM_VIEW_MODE, 0, 4);
    EXPECT_EQ(window_->Engine().m_nViewMode, 4);
    Send(WM_REDRAW_VIEW_MSG);
}

TEST_F(MainWindow, FullScreenHidesTheBarsUnlessHeld) {
    CCaptionBar* caption = window_->CaptionBar();
    CBottomBar* bottom = window_->BottomBar();
    Send(WM_CAPTION_LEAVE);
    EXPECT_FALSE(window_->TimerActive(kTimerBarsHide)) << "only in full screen";
    Send(WM_TOGGLE_FULLSCREEN);
    EXPECT_TRUE(window_->m_bIsFullScreen);
    EXPECT_TRUE(caption->ShowsRestoreImage());
    EXPECT_TRUE(window_->TimerActive(kTimerBarsHide));
    Send(WM_CAPTION_HOVER);
    EXPECT_FALSE(window_->TimerActive(kTimerBarsHide)) << "the pointer is on the caption";
    Send(WM_BOTTOMBAR_HOVER);
    EXPECT_TRUE(window_->TimerActive(kTimerBarsHide));
    // With the floating bar shown the bars stay.
    Send(WM_TOGGLE_FLOATBAR);
    EXPECT_TRUE(window_->FloatBar()->isVisible());
    window_->OnTimer(kTimerBarsHide);
    EXPECT_TRUE(caption->isVisible());
    Send(WM_HIDE_FLOATBAR);
    window_->OnTimer(kTimerBarsHide);
    EXPECT_FALSE(caption->isVisible());
    EXPECT_FALSE(bottom->isVisible());
    EXPECT_FALSE(window_->TimerActive(kTimerBarsHide));
    Send(WM_TOGGLE_FULLSCREEN);
    EXPECT_FALSE(window_->m_bIsFullScreen);
    EXPECT_FALSE(caption->ShowsRestoreImage());
    EXPECT_TRUE(caption->isVisible());
    EXPECT_TRUE(bottom->isVisible());
    // The floating bar's timer hides it.
    Send(WM_TOGGLE_FLOATBAR);
    Send(WM_FLOATBAR_TIMER);
    EXPECT_TRUE(window_->TimerActive(kTimerFloatBar));
    window_->OnTimer(kTimerFloatBar);
    EXPECT_FALSE(window_->FloatBar()->isVisible());
    EXPECT_TRUE(caption->isVisible()) << "outside full screen the bars stay";
}

TEST_F(MainWindow, ADropOpensTheFirstFileWhole) {
    const auto& s = testutil::Samples();
    // A long path: far more than 1024 units.
    std::string deep = dir_.path();
    while (deep.size() < 1300) {
        deep += "/" + std::string(100, 'd');
        ASSERT_TRUE(QDir().mkpath(Q(deep)));
    }
    const std::string refused = deep + "/plain.jpg";
    ASSERT_TRUE(testutil::WriteBytes(refused, testutil::ReadFile(s.plainPhoto)));
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(Q(refused)), QUrl::fromLocalFile(Q(s.dualPhoto)),
                  QUrl::fromLocalFile(Q(s.dualVideo))});
    // Nothing is open, so the video area is hidden: the window takes it.
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window_.get(), &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window_.get(), &drop);
    Flush();  // the drop, then the play request it posts
    Flush();
    EXPECT_EQ(window_->m_strCurrentPath, Q(refused));
    EXPECT_TRUE(window_->m_bIsPhoto);
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0], LoadString(kStrNotFromQualifiedCamera));
}

// Without a display there is no OpenGL 2: the window asks before it shows a
// file without stitching, and the playback library's events still reach the
// bars through the notifier.
TEST_F(MainWindow, WithoutOpenGl2TheUserDecides) {
    if (std::getenv("DISPLAY") != nullptr) GTEST_SKIP() << "needs a machine without a display";
    ASSERT_LT(window_->Engine().m_nGLMajor, 2);
    const auto& s = testutil::Samples();
    answer_ = false;
    window_->OpenPath(Q(s.dualPhoto));
    ASSERT_EQ(messages_.size(), 2u);
    EXPECT_EQ(messages_[0], LoadString(kStrAskPlayWithoutOpenGl2));
    EXPECT_EQ(messages_[1], LoadString(kStrOpenGl2Required));
    EXPECT_FALSE(window_->BottomBar()->ShowsPauseImage()) << "a failed open shows no playing";
    EXPECT_FALSE(window_->TimerActive(kTimerPhoto));

    answer_ = true;
    window_->OpenPath(Q(s.dualPhoto));
    EXPECT_EQ(messages_.size(), 3u);
    auto* fallback = window_->findChild<QLabel*>("fallback");
    ASSERT_NE(fallback, nullptr);
    EXPECT_TRUE(fallback->isVisible());
    EXPECT_FALSE(fallback->pixmap().isNull());

    // A two-second video: the playing event brings its length.
    const std::string video = dir_.File("two.mp4");
    int status = 0;
    testutil::RunCommand(std::string(ORBIVUE_SAMPLE) + " " + testutil::ShellQuote(video) +
                             " --camera 2 --video --seconds 2 --size 640x320 --audio",
                         &status);
    ASSERT_EQ(status, 0);
    const std::string alsa = testutil::WriteNullSoundConfig(dir_);
    ASSERT_FALSE(alsa.empty());
    setenv("ALSA_CONFIG_PATH", alsa.c_str(), 1);
    window_->OpenPath(Q(video));
    EXPECT_FALSE(fallback->isVisible());
    EXPECT_TRUE(window_->TimerActive(kTimerProgress));
    for (int i = 0; i < 500 && window_->BottomBar()->LengthText() == "00:00:00"; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(10);
    }
    EXPECT_EQ(window_->BottomBar()->LengthText(), "00:00:02");
    EXPECT_TRUE(window_->BottomBar()->ShowsPauseImage());
    // Seeking past the end is refused; near the end plays to the end.
    Send(WM_SEEK, kIdProgressSlider, 100);
    Send(WM_SEEK, kIdProgressSlider, 90);
    EXPECT_EQ(window_->Position(), 90);
    for (int i = 0; i < 500 && window_->Engine().m_nState != PS_STOPPED; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(10);
    }
    EXPECT_EQ(window_->Engine().m_nState, PS_STOPPED) << "the end stops playback";
    EXPECT_EQ(window_->BottomBar()->LengthText(), "00:00:00");
    Send(WM_SEEK, kIdProgressSlider, 50);  // after the end: nothing to seek
    unsetenv("ALSA_CONFIG_PATH");
}

// A parent that keeps what the video area tells it.
class MessageSink : public QWidget {
  public:
    bool event(QEvent* e) override {
        if (e->type() != MessageEvent::EventType()) return QWidget::event(e);
        const auto* m = static_cast<MessageEvent*>(e);
        received.push_back({m->m_message, m->m_lParam});
        if (m->m_message == WM_VIEW_DRAG) {
            const auto* v = reinterpret_cast<const float*>(m->m_lParam);
            drag = {v[0], v[1]};
        }
        return true;
    }
    int Count(int message) const {
        int n = 0;
        for (const auto& r : received) n += r.first == message;
        return n;
    }
    std::vector<std::pair<int, intptr_t>> received;
    std::pair<float, float> drag{0, 0};
};

TEST(VideoArea, WheelStepsOf120AndDragsBecomeMessages) {
    ASSERT_NE(testutil::QtApplication::Get(), nullptr);
    MessageSink sink;
    sink.resize(400, 300);
    CVideoControl* video = new CVideoControl(&sink);
    video->setGeometry(0, 30, 400, 200);
    // A touchpad's small deltas add up: three of 40 are one notch forward.
    for (int i = 0; i < 3; ++i) {
        QWheelEvent wheel(QPointF(50, 50), QPointF(50, 80), QPoint(), QPoint(0, 40), Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(video, &wheel);
    }
    QWheelEvent back(QPointF(50, 50), QPointF(50, 80), QPoint(), QPoint(0, -240), Qt::NoButton,
                     Qt::NoModifier, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(video, &back);
    QCoreApplication::processEvents();
    std::vector<intptr_t> zooms;
    for (const auto& r : sink.received)
        if (r.first == WM_VIEW_ZOOM) zooms.push_back(r.second);
    EXPECT_EQ(zooms, (std::vector<intptr_t>{-120, 120, 120}));

    // Press, move 10 pixels right and 4 up: one drag step of (-50, -20).
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(100, 100), QPointF(100, 130),
                      Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(video, &press);
    EXPECT_EQ(sink.Count(WM_HIDE_FLOATBAR), 1);
    QMouseEvent move(QEvent::MouseMove, QPointF(110, 96), QPointF(110, 126), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(video, &move);
    EXPECT_EQ(sink.Count(WM_VIEW_DRAG), 1);
    EXPECT_EQ(sink.drag, std::make_pair(-50.0f, -20.0f));
    // Near the top edge the floating bar is asked for.
    QMouseEvent top(QEvent::MouseMove, QPointF(110, 10), QPointF(110, 40), Qt::NoButton,
                    Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(video, &top);
    QCoreApplication::processEvents();
    EXPECT_EQ(sink.Count(WM_SHOW_FLOATBAR), 1);
    // Leaving ends the drag: a later release throws nothing.
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(video, &leave);
    QMouseEvent release(QEvent::MouseButtonRelease, QPointF(300, 10), QPointF(300, 40),
                        Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(video, &release);
    EXPECT_EQ(sink.Count(WM_VIEW_FLING), 0);
}

// With nothing shown, the floating bar's snapshot and record messages do
// nothing: no file, no notice, the bars stay as they are.
TEST_F(MainWindow, ScreenShotsAndRecordingsNeedAView) {
    window_->m_strOutputFolder = Q(dir_.File("out") + "/");
    QDir().mkpath(window_->m_strOutputFolder);
    Send(WM_TAKE_SCREENSHOT);
    Send(WM_RECORD_START);
    Send(WM_SCREENSHOT_SAVED_MSG);
    Send(WM_RECORD_SAVED_MSG);
    Flush();
    EXPECT_FALSE(window_->m_bIsRecording);
    EXPECT_FALSE(window_->CaptionBar()->Recording());
    EXPECT_FALSE(window_->BottomBar()->Locked());
    EXPECT_TRUE(messages_.empty());
    EXPECT_TRUE(testutil::ListFolder(dir_.File("out")).empty());
}

TEST_F(MainWindow, CloseEndsTheWindow) {
    Send(WM_RECORD_STOP);
    EXPECT_FALSE(window_->m_bIsRecording);
    Send(WM_CLOSE_APP);
    Flush();
    EXPECT_FALSE(window_->isVisible());
}

}  // namespace
