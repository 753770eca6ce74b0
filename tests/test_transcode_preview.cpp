// The converter's preview: mark and duration texts in 64 bits, what a load
// resets, the range marks' labels and notices to the converter, refused and
// failed files, and (with a display and the real playback library) a load
// that stops on its first picture, a range that ends at its end mark, and a
// stop that does not load the file again.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLabel>
#include <QObject>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "adapters/native_window.h"
#include "app/messages.h"
#include "app/skin_controls.h"
#include "app/strings.h"
#include "app/transcode_preview_dlg.h"
#include "support/camera.h"
#include "support/files.h"
#include "support/qt_app.h"
#include "support/samples.h"

namespace {

using namespace app;
using namespace std::chrono_literals;

using Preview = CTranscodePreviewDlg;

const char kNoLibrary[] = "liborbivue-missing-playback.so";

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

// Stands for the converter: keeps the numbers of the messages it is posted.
class MessageSink : public QObject {
  public:
    bool event(QEvent* e) override {
        if (e->type() != MessageEvent::EventType()) return QObject::event(e);
        received.push_back(static_cast<MessageEvent*>(e)->m_message);
        return true;
    }
    int Count(int message) const { return std::count(received.begin(), received.end(), message); }
    std::vector<int> received;
};

// Runs the event loop until done() or the limit passes.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        if (done()) return true;
        std::this_thread::sleep_for(5ms);
    }
    QCoreApplication::processEvents();
    return done();
}

void Pump(std::chrono::milliseconds time) {
    PumpUntil([] { return false; }, time);
}

TEST(TranscodePreviewText, MarkTimesArePercentOfTheDuration) {
    EXPECT_EQ(Preview::FormatMarkTime(50, 120000), "00:01:00");
    EXPECT_EQ(Preview::FormatMarkTime(25, 60000), "00:00:15");
    EXPECT_EQ(Preview::FormatMarkTime(75, 60000), "00:00:45");
    EXPECT_EQ(Preview::FormatMarkTime(100, 0), "00:00:00") << "duration not known yet";
    // 7 h: mark x duration is past 2^31.
    const int64_t sevenHours = 7LL * 3600 * 1000;
    EXPECT_EQ(Preview::FormatMarkTime(100, sevenHours), "07:00:00");
    EXPECT_EQ(Preview::FormatMarkTime(99, sevenHours), "06:55:48");
}

TEST(TranscodePreviewText, DurationsInHoursMinutesSeconds) {
    EXPECT_EQ(Preview::FormatDuration(999), "00:00:00");
    EXPECT_EQ(Preview::FormatDuration(3723000), "01:02:03");
    EXPECT_EQ(Preview::FormatDuration(360000000), "100:00:00") << "hours past 99";
    EXPECT_EQ(Preview::FormatDuration(-5), "00:00:00");
}

// A preview without the playback library: every open fails, which leaves the
// marks, labels and messages to look at.
class TranscodePreview : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(testutil::QtApplication::Get(), nullptr);
        preview = std::make_unique<Preview>(nullptr, &sink, kNoLibrary);
        preview->m_showMessage = [this](const QString& text, const QString&, MessageButtons) {
            messages.push_back(text);
            return true;
        };
    }
    void TearDown() override { preview.reset(); }
    void Send(int message, intptr_t w = 0, intptr_t l = 0, uint32_t tag = 0) {
        preview->OnMessage(message, w, l, tag);
    }
    QString StartText() const { return preview->StartLabel()->text(); }
    QString DurationText() const { return preview->DurationLabel()->text(); }
    void MoveMarks(int left, int right, int part) {
        preview->RangeSlider()->SetValues(left, right);
        Send(WM_RANGE_CHANGED, Preview::kIdRange, part);
    }

    MessageSink sink;
    std::unique_ptr<Preview> preview;
    std::vector<QString> messages;
};

TEST_F(TranscodePreview, LoadResetsTheMarksAndOpensOnce) {
    EXPECT_EQ(preview->size(), QSize(640, 380));
    const auto& s = testutil::Samples();
    preview->Load(Q(s.dualVideo), false);
    Send(WM_PLAYER_EVENT, kEventPlaying, 120000);
    MoveMarks(20, 60, 0);
    MoveMarks(20, 60, 1);
    ASSERT_EQ(preview->StartMark(), 20);
    ASSERT_EQ(preview->EndMark(), 60);

    messages.clear();
    preview->Load(Q(s.dualVideo), false);
    EXPECT_EQ(preview->StartMark(), 0);
    EXPECT_EQ(preview->EndMark(), 100);
    EXPECT_EQ(preview->RangeSlider()->Left(), 0);
    EXPECT_EQ(preview->RangeSlider()->Right(), 100);
    EXPECT_EQ(StartText(), "00:00:00");
    EXPECT_EQ(DurationText(), "00:00:00");
    EXPECT_FALSE(preview->DurationKnown());
    EXPECT_EQ(preview->DurationMs(), 0);
    EXPECT_FALSE(preview->PositionSlider()->isEnabled()) << "until the video plays";
    // The open is posted; a second load before it runs opens once.
    EXPECT_TRUE(messages.empty());
    preview->Load(Q(s.dualVideo), false);
    Pump(50ms);
    ASSERT_EQ(messages.size(), 1u) << "one open, failed without the playback library";
    EXPECT_EQ(messages[0], LoadString(kStrOpenGl2Required));
    EXPECT_FALSE(preview->PauseImageShown());
}

TEST_F(TranscodePreview, RefusedAndFailedFilesSayWhy) {
    const auto& s = testutil::Samples();
    preview->Load(Q(s.plainPhoto), true);
    EXPECT_FALSE(preview->RangeSlider()->isEnabled()) << "a photo is converted whole";
    Pump(50ms);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], LoadString(kStrNotFromQualifiedCamera));
    preview->Load(Q(s.dualPhoto), true);
    Pump(50ms);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1], LoadString(kStrOpenGl2Required));
    EXPECT_FALSE(preview->TimerActive(Preview::kTimerPhoto));
}

TEST_F(TranscodePreview, MarksShowTheirTimesAndTellTheConverter) {
    preview->Load(Q(testutil::Samples().dualVideo), false);
    Pump(20ms);
    // A playing event of a player that has been replaced is dropped.
    Send(WM_PLAYER_EVENT, kEventPlaying, 5000, 77);
    EXPECT_FALSE(preview->DurationKnown());
    // A playing event without a length leaves the duration unknown.
    Send(WM_PLAYER_EVENT, kEventPlaying, 0);
    EXPECT_FALSE(preview->DurationKnown());
    EXPECT_EQ(DurationText(), "00:00:00");
    EXPECT_TRUE(preview->PositionSlider()->isEnabled());
    Send(WM_PLAYER_EVENT, kEventPlaying, 120000);
    ASSERT_TRUE(preview->DurationKnown());
    EXPECT_EQ(preview->DurationMs(), 120000);
    EXPECT_EQ(DurationText(), "00:02:00");

    sink.received.clear();
    MoveMarks(0, 50, 1);
    EXPECT_EQ(preview->EndMark(), 50);
    EXPECT_EQ(DurationText(), "00:01:00");
    MoveMarks(25, 50, 0);
    EXPECT_EQ(preview->StartMark(), 25);
    EXPECT_EQ(StartText(), "00:00:30");
    // A click between the marks moves the position only.
    preview->RangeSlider()->SetPosition(40);
    Send(WM_RANGE_CHANGED, Preview::kIdRange, 2);
    EXPECT_EQ(preview->StartMark(), 25);
    EXPECT_EQ(preview->EndMark(), 50);
    Pump(20ms);
    EXPECT_EQ(sink.Count(WM_REFRESH_OUTPUT), 2);
    EXPECT_EQ(sink.received.size(), 2u);

    // The event carries the length as 32 unsigned bits; a new load forgets the old one.
    preview->Load(Q(testutil::Samples().dualVideo), false);
    const uint32_t length = 0xF0000000u;  // about 1118 h
    Send(WM_PLAYER_EVENT, kEventPlaying, static_cast<intptr_t>(length));
    EXPECT_EQ(preview->DurationMs(), int64_t{length});
    EXPECT_EQ(DurationText(), "1118:28:51");
    MoveMarks(0, 50, 1);
    EXPECT_EQ(DurationText(), "559:14:25");
}

// ----------------------------------------------- real playback, under Xvfb

// A dual-lens camera video long enough to stop halfway through.
std::string PreviewVideo(const testutil::TempDir& dir) {
    sample::Mp4Options o;
    o.width = 640;
    o.height = 320;
    o.fps = 15;
    o.seconds = 3.0;
    const std::string path = dir.File("preview.mp4");
    EXPECT_EQ(sample::WriteMp4(path, testutil::DefaultTrailer(2), o), 0);
    return path;
}

class PlayerEnginePreview : public testing::Test {
  protected:
    void SetUp() override {
        if (std::getenv("DISPLAY") == nullptr) GTEST_SKIP() << "no X display";
        ASSERT_NE(testutil::QtApplication::Get(), nullptr);
        const std::string alsa = testutil::WriteNullSoundConfig(dir);
        ASSERT_FALSE(alsa.empty());
        setenv("ALSA_CONFIG_PATH", alsa.c_str(), 1);
        // The test program's widgets are offscreen: the renderer draws into a
        // real X window instead of the video area.
        ASSERT_TRUE(window.Open(640, 318, "preview test"));
        preview = std::make_unique<Preview>(nullptr, &sink);
        preview->Engine().SetVideoWindow(window.Id(), preview.get(), preview.get());
        preview->m_showMessage = [this](const QString& text, const QString&, MessageButtons) {
            messages.push_back(text);
            return false;
        };
    }
    void TearDown() override {
        preview.reset();
        unsetenv("ALSA_CONFIG_PATH");
    }
    int State() { return preview->Engine().m_nState; }
    // Paused on a drawn frame, the first-frame wait over.
    bool PausedOnFrame() {
        return State() == PS_PAUSED && !preview->TimerActive(Preview::kTimerFirstFrame);
    }

    testutil::TempDir dir;
    adapters::NativeWindow window;
    MessageSink sink;
    std::unique_ptr<Preview> preview;
    std::vector<QString> messages;
};

TEST_F(PlayerEnginePreview, StopsOnTheFirstFrameAndAtTheEndMark) {
    const std::string video = PreviewVideo(dir);
    CPlayerEngine& engine = preview->Engine();
    const uint32_t framesBefore = engine.m_nFramesDrawn.load();
    preview->Load(Q(video), false);
    ASSERT_TRUE(PumpUntil([&] { return PausedOnFrame(); }, 5s))
        << "state " << State() << ", messages " << messages.size();
    EXPECT_TRUE(messages.empty());
    EXPECT_GT(engine.m_nFramesDrawn.load(), framesBefore) << "a picture, not black";
    ASSERT_TRUE(preview->DurationKnown());
    EXPECT_NEAR(static_cast<double>(preview->DurationMs()), 3000.0, 400.0);
    EXPECT_EQ(preview->DurationLabel()->text(), Preview::FormatDuration(preview->DurationMs()));

    // End mark at 50: play runs to about the middle, pauses and goes back to the start.
    preview->RangeSlider()->SetValues(0, 50);
    preview->OnMessage(WM_RANGE_CHANGED, Preview::kIdRange, 1);
    ASSERT_EQ(preview->EndMark(), 50);
    EXPECT_EQ(preview->DurationLabel()->text(), Preview::FormatMarkTime(50, preview->DurationMs()));
    preview->OnMessage(WM_PLAY_PAUSE, 0, 0);
    EXPECT_TRUE(preview->PauseImageShown());
    int64_t furthest = 0;
    ASSERT_TRUE(PumpUntil(
        [&] {
            furthest = std::max(furthest, engine.GetTime());
            return State() != PS_PLAYING;
        },
        6s));
    EXPECT_EQ(State(), PS_PAUSED) << "paused at the mark, not played to the end";
    EXPECT_NEAR(static_cast<double>(furthest), 1500.0, 700.0);
    EXPECT_EQ(preview->Position(), preview->StartMark());
    EXPECT_TRUE(PumpUntil([&] { return engine.GetTime() < 700; }, 2s))
        << "back at the start: " << engine.GetTime() << " ms";

    // Stop closes the file and leaves it closed.
    preview->StopPlayback();
    EXPECT_EQ(State(), PS_STOPPED);
    Pump(500ms);
    EXPECT_EQ(State(), PS_STOPPED) << "no reload after a stop";
    EXPECT_FALSE(preview->TimerActive(Preview::kTimerPosition));
    EXPECT_EQ(sink.Count(WM_REFRESH_OUTPUT), 1);

    // A stop asked for with 1275 loads the file again, paused on its first frame.
    preview->OnMessage(WM_PLAYER_EVENT, kEventStop, kStopAsked);
    EXPECT_TRUE(PumpUntil([&] { return PausedOnFrame(); }, 5s)) << "state " << State();
    EXPECT_TRUE(messages.empty());
}

}  // namespace
