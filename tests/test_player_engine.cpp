// The player engine on the real playback library and real GL (Mesa under
// Xvfb): the probe's rules, the notifier's codes through a whole playback,
// the frame hand-over at the visible size, a second open, the missing
// library, and the view input reaching the drawn model. Skipped without a
// display.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "adapters/image.h"
#include "adapters/native_window.h"
#include "player/player_engine.h"
#include "render/models.h"
#include "support/files.h"
#include "support/samples.h"

namespace {

using namespace std::chrono_literals;

bool HaveDisplay() {
    return std::getenv("DISPLAY") != nullptr;
}

int LoadPhoto(const char* path, PhotoBitmap* out) {
    return adapters::LoadBgrImage(path, &out->width, &out->height, &out->stride, &out->rows);
}

struct Event {
    int code, value1, value2;
    uint32_t tag;
};

// Collects the notifier's events (library threads) and what the engine asks
// of its owner (window thread).
class Recorder : public IPlayerOwner, public IRenderNotify {
  public:
    static void Notify(CPlayerEngine*, int code, int v1, int v2, uint32_t tag, void* user) {
        auto* self = static_cast<Recorder*>(user);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->events.push_back({code, v1, v2, tag});
        self->changed.notify_all();
    }
    // Waits for an event of `code` from player `tag`.
    bool WaitFor(int code, uint32_t tag, std::chrono::milliseconds limit = 10s) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, limit, [&] { return Find(code, tag) != nullptr; });
    }
    const Event* Find(int code, uint32_t tag) {
        for (const Event& e : events)
            if (e.code == code && e.tag == tag) return &e;
        return nullptr;
    }
    std::vector<Event> Events() {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }

    void StopBeforeOpen() override {
        ++stops;
        if (engine != nullptr) engine->Stop();
    }
    bool AskPlayNonPanoramic() override { return false; }
    void FocusVideo() override {}
    void ShowFallbackPhoto(const char*) override {}
    void Post(int) override {}

    CPlayerEngine* engine = nullptr;
    int stops = 0;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Event> events;
};

class PlayerEngine : public testing::Test {
  protected:
    void SetUp() override {
        if (!HaveDisplay()) GTEST_SKIP() << "no X display";
        const std::string alsa = testutil::WriteNullSoundConfig(dir);
        ASSERT_FALSE(alsa.empty());
        setenv("ALSA_CONFIG_PATH", alsa.c_str(), 1);
        ASSERT_TRUE(window.Open(640, 320, "engine test"));
        RenderHooks hooks;
        hooks.loadPhoto = LoadPhoto;
        engine = std::make_unique<CPlayerEngine>(hooks);
        engine->SetVideoWindow(window.Id(), &owner, &owner);
        engine->SetNotifier(&Recorder::Notify, &owner);
        owner.engine = engine.get();
    }
    void TearDown() override {
        engine.reset();
        unsetenv("ALSA_CONFIG_PATH");
    }
    // Probes and opens like the window does.
    int ProbeAndOpen(const std::string& path, bool photo) {
        const int probe = engine->Probe(photo, path.c_str());
        if (probe != 0) return -100 + probe;
        return engine->Open(path.c_str(), photo);
    }

    testutil::TempDir dir;
    adapters::NativeWindow window;
    Recorder owner;
    std::unique_ptr<CPlayerEngine> engine;
};

TEST_F(PlayerEngine, ProbeRulesAndPhotos) {
    const auto& s = testutil::Samples();
    EXPECT_EQ(ProbeAndOpen(s.plainPano, true), 1) << "a 2:1 photo without a trailer is shown";
    EXPECT_EQ(engine->m_bPhotoMode, 1);
    EXPECT_EQ(engine->Probe(true, s.plainPhoto.c_str()), kProbeRefused);
    EXPECT_EQ(engine->Probe(false, s.wideVideo.c_str()), kProbeTooWide);
    EXPECT_EQ(engine->Probe(false, s.dualVideo.c_str()), kProbeOk);
    EXPECT_EQ(engine->m_nCameraType, 2);
    EXPECT_EQ(engine->m_nViewMode, ViewLittlePlanet);
    EXPECT_EQ(ProbeAndOpen(s.singlePhoto, true), 1);
    EXPECT_EQ(engine->m_nViewMode, ViewHalfBall);
    // Opening a photo leaves the playback state alone.
    EXPECT_EQ(engine->m_nState, PS_IDLE);
    // A screen shot still waiting when another file opens is forgotten, so the
    // next file's picture never goes under its name.
    engine->m_pRender->RequestSnapshot(dir.File("late.jpg"));
    EXPECT_EQ(ProbeAndOpen(s.plainPano, true), 1);
    engine->Redraw();
    EXPECT_FALSE(engine->m_pRender->TakeSnapshotResult(nullptr));
    engine->m_pRender->RequestSnapshot(dir.File("late.jpg"));
    engine->Stop();
    engine->Redraw();
    EXPECT_FALSE(engine->m_pRender->TakeSnapshotResult(nullptr));

    // A file that passes the probe but does not decode has its own error.
    const std::string broken = dir.File("broken.jpg");
    testutil::Bytes bytes = testutil::ReadFile(s.dualPhoto);
    // A Huffman table whose code counts add up to far more than 256 codes.
    size_t dht = 0;
    for (size_t i = 2; i + 21 < bytes.size() && dht == 0; ++i)
        if (bytes[i] == 0xFF && bytes[i + 1] == 0xC4) dht = i;
    ASSERT_NE(dht, 0u);
    for (size_t i = dht + 5; i < dht + 21; ++i) bytes[i] = 0xFF;
    ASSERT_TRUE(testutil::WriteBytes(broken, bytes));
    ASSERT_EQ(engine->Probe(true, broken.c_str()), 0);
    EXPECT_EQ(engine->Open(broken.c_str(), true), 0);
    EXPECT_EQ(engine->LastOpenError(), CPlayerEngine::kOpenNoPicture);
}

TEST_F(PlayerEngine, PlaysAVideoThroughTheNotifier) {
    const auto& s = testutil::Samples();
    ASSERT_EQ(ProbeAndOpen(s.dualVideo, false), 1);
    EXPECT_EQ(engine->m_nState, PS_OPENED);
    const uint32_t tag = engine->CurrentTag();
    EXPECT_NE(tag, 0u);
    engine->SetVolume(80);
    engine->Play();
    EXPECT_EQ(engine->m_nState, PS_PLAYING);
    ASSERT_TRUE(owner.WaitFor(ENGINE_PLAYING, tag));
    ASSERT_TRUE(owner.WaitFor(ENGINE_END, tag));

    const Event playing = *owner.Find(ENGINE_PLAYING, tag);
    EXPECT_GE(playing.value2, 400) << "the length comes with the playing code";
    EXPECT_LE(playing.value2, 700);
    int positions = 0;
    for (const Event& e : owner.Events()) {
        if (e.code != ENGINE_POSITION) continue;
        ++positions;
        EXPECT_GE(e.value1, 0);
        EXPECT_LE(e.value1, 100);
    }
    EXPECT_GT(positions, 0);
    // The picture was negotiated at the visible size and frames were drawn.
    EXPECT_EQ(engine->m_nFormatWidth.load(), 1920u);
    EXPECT_EQ(engine->m_nFormatHeight.load(), 960u);
    EXPECT_GT(engine->m_nFramesDrawn.load(), 0u);

    engine->Stop();
    EXPECT_EQ(engine->m_nState, PS_STOPPED);
    EXPECT_EQ(engine->CurrentTag(), 0u);
    // Without a player every query answers 0 and seeking does nothing.
    engine->Seek(50);
    engine->NextFrame();
    EXPECT_EQ(engine->GetTime(), 0);
    EXPECT_EQ(engine->GetLength(), 0);
    EXPECT_EQ(engine->IsPlaying(), 0);

    // Open again after a stop: a new player, a new tag, playing and pausing.
    ASSERT_EQ(ProbeAndOpen(s.dualVideo, false), 1);
    const uint32_t second = engine->CurrentTag();
    EXPECT_NE(second, tag);
    EXPECT_EQ(owner.stops, 1) << "the engine asks its owner to stop before it opens";
    engine->Play();
    ASSERT_TRUE(owner.WaitFor(ENGINE_PLAYING, second));
    engine->Pause();
    EXPECT_EQ(engine->m_nState, PS_PAUSED);
    EXPECT_TRUE(owner.WaitFor(ENGINE_PAUSED, second));
    // A third open while paused stops the second first.
    ASSERT_EQ(ProbeAndOpen(s.dualVideoTrak, false), 1);
    EXPECT_EQ(owner.stops, 2);
    EXPECT_NE(engine->CurrentTag(), second);
}

TEST_F(PlayerEngine, ATruncatedVideoPlaysWhatItCanAndEnds) {
    const auto& s = testutil::Samples();
    const std::string cut = dir.File("cut.mp4");
    testutil::Bytes bytes = testutil::ReadFile(s.dualVideo);
    bytes.resize(bytes.size() * 2 / 3);
    ASSERT_TRUE(testutil::WriteBytes(cut, bytes));
    if (engine->Probe(false, cut.c_str()) != 0) return;  // refused is as good
    ASSERT_EQ(engine->Open(cut.c_str(), false), 1);
    const uint32_t tag = engine->CurrentTag();
    engine->Play();
    EXPECT_TRUE(owner.WaitFor(ENGINE_END, tag));
    engine->Stop();
}

// A field of /proc/self/status ("VmRSS", "Threads"), as a number.
long ProcessStatus(const std::string& field) {
    const testutil::Bytes bytes = testutil::ReadFile("/proc/self/status");
    const std::string text(bytes.begin(), bytes.end());
    const size_t at = text.find("\n" + field + ":");
    return at == std::string::npos ? -1
                                   : std::strtol(text.c_str() + at + field.size() + 2, nullptr, 10);
}

TEST_F(PlayerEngine, OpenAndStopAHundredTimesWithoutGrowth) {
    const std::string& video = testutil::Samples().dualVideo;
    auto cycle = [&] {
        ASSERT_EQ(ProbeAndOpen(video, false), 1);
        engine->Play();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        engine->Stop();
    };
    for (int i = 0; i < 5; ++i) cycle();
    const long rss = ProcessStatus("VmRSS"), threads = ProcessStatus("Threads");
    for (int i = 0; i < 100; ++i) cycle();
    // Some threads finish just after their player is released: give them a
    // moment before counting.
    for (int i = 0; i < 50 && ProcessStatus("Threads") > threads; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::printf("after 100 more cycles: %+ld kB resident, %+ld threads\n",
                ProcessStatus("VmRSS") - rss, ProcessStatus("Threads") - threads);
    // Now and then (under the address checker) the software GL driver's
    // screen threads, five, outlive the last player; one thread kept per
    // cycle would be a hundred.
    EXPECT_LE(ProcessStatus("Threads"), threads + 5) << "threads must not grow with the cycles";
#if !defined(__SANITIZE_ADDRESS__)  // the address checker holds freed memory back
    // One frame buffer or GL context kept per cycle would be 700 MB and more.
    EXPECT_LT(ProcessStatus("VmRSS") - rss, 64 * 1024) << "kB after 100 more cycles";
#endif
}

TEST_F(PlayerEngine, AFileDeletedWhilePlayingEnds) {
    const std::string copy = dir.File("gone.mp4");
    ASSERT_TRUE(testutil::WriteBytes(copy, testutil::ReadFile(testutil::Samples().dualVideo)));
    ASSERT_EQ(ProbeAndOpen(copy, false), 1);
    const uint32_t tag = engine->CurrentTag();
    engine->Play();
    ASSERT_TRUE(owner.WaitFor(ENGINE_PLAYING, tag));
    ASSERT_EQ(std::remove(copy.c_str()), 0);
    EXPECT_TRUE(owner.WaitFor(ENGINE_END, tag));
    engine->Stop();
    // The next open of the gone file is refused by the probe, not a crash.
    EXPECT_NE(engine->Probe(false, copy.c_str()), 0);
}

TEST_F(PlayerEngine, DragZoomAndViewsReachTheDrawnPhoto) {
    const auto& s = testutil::Samples();
    ASSERT_EQ(ProbeAndOpen(s.dualPhoto, true), 1);
    // The first frame at a new window size is drawn twice.
    EXPECT_TRUE(engine->NeedsRedraw());
    engine->Redraw();
    EXPECT_TRUE(engine->NeedsRedraw());
    engine->Redraw();
    COpenglRender* r = engine->m_pRender;
    ASSERT_NE(r, nullptr);
    CShapeModel* planet = r->m_pModels[ViewLittlePlanet];
    EXPECT_FALSE(engine->NeedsRedraw()) << "a still photo needs no drawing";

    // Two drags before one frame: only the second counts.
    const float yaw = planet->m_fYaw;
    engine->DragBy(-50, 0);
    engine->DragBy(-100, 0);
    EXPECT_TRUE(engine->NeedsRedraw());
    engine->Redraw();
    const float d = std::sqrt(640.0f * 640.0f + 320.0f * 320.0f);
    EXPECT_NEAR(planet->m_fYaw, yaw - 100 * 60 / (d / 2), 0.01);

    // One wheel step narrows by 10 degrees; two before a frame, by 20.
    const float fov = planet->m_fFov;
    engine->Zoom(-120);
    engine->Redraw();
    EXPECT_NEAR(planet->m_fFov, fov - 10, 1e-4);
    engine->Zoom(-1);
    engine->Zoom(-1);
    engine->Redraw();
    EXPECT_NEAR(planet->m_fFov, std::max(fov - 30, planet->m_fMinFov), 1e-4);

    // A fling keeps the photo moving until it has slowed down.
    engine->Fling(3000, 0);
    engine->Redraw();
    EXPECT_TRUE(engine->NeedsRedraw());
    for (int i = 0; i < 2000 && engine->NeedsRedraw(); ++i) engine->Redraw();
    EXPECT_FALSE(engine->NeedsRedraw());

    // The flat view ignores drag, zoom and fling.
    engine->ViewCommand(ViewFlat, false);
    engine->Redraw();
    EXPECT_EQ(r->m_nBoundView, ViewFlat);
    engine->DragBy(100, 100);
    engine->Zoom(-1);
    engine->Fling(100, 100);
    EXPECT_FALSE(engine->NeedsRedraw());

    // Back to the sphere, then the reset.
    engine->ViewCommand(ViewSphere, false);
    engine->DragBy(200, 0);
    engine->Redraw();
    CShapeModel* sphere = r->m_pModels[ViewSphere];
    EXPECT_EQ(r->m_pCurModel, sphere);
    EXPECT_NE(sphere->m_fYaw, 0.0f);
    engine->ViewCommand(9, false);
    engine->DragBy(300, 0);  // after a reset, input counts again
    engine->ResetView();     // ... unless another reset drops it
    engine->Redraw();
    CBallModel fresh(100);
    fresh.Reset();
    EXPECT_NEAR(sphere->m_fYaw, fresh.m_fYaw, 1e-3);
}

TEST(PlayerEngineLibrary, MissingLibraryFailsTheOpenCleanly) {
    testing::internal::CaptureStderr();
    CPlayerEngine engine(RenderHooks{}, "libvlc-missing.so.5");
    EXPECT_FALSE(engine.Usable());
    const int opened = engine.Open("/nonexistent.mp4", false);
    const std::string trace = testing::internal::GetCapturedStderr();
    EXPECT_EQ(opened, 0);
    EXPECT_EQ(engine.LastOpenError(), CPlayerEngine::kOpenNoLibrary);
    EXPECT_EQ(engine.m_nState, PS_IDLE);
    EXPECT_NE(trace.find("libvlc-missing.so.5"), std::string::npos) << trace;
    // Nothing is open: every command is harmless.
    engine.Play();
    engine.Pause();
    engine.Seek(30);
    engine.SetVolume(50);
    engine.Stop();
    engine.Zoom(-1);
    engine.Redraw();
    EXPECT_EQ(engine.GetLength(), 0);
}

}  // namespace
