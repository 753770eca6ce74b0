// The GL renderer in a real X11 window (Mesa under Xvfb). Skipped without a
// display; CTest runs this group once more under xvfb-run.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/image.h"
#include "platform/native_window.h"
#include "player/mediainfo.h"
#include "player/probe.h"
#include "render/models.h"
#include "render/opengl_render.h"
#include "samples.h"
#include "test_util.h"

namespace {

int Load(const char* path, PhotoBitmap* out) {
    return platform::LoadBgrImage(path, &out->width, &out->height, &out->stride, &out->rows);
}

int Save(const char* path, const uint8_t* pixels, int w, int h) {
    return platform::SaveBgraBottomUp(path, pixels, w, h);
}

// Counts what the recorder is handed; halves like a 25 fps source.
struct CountingRecorder : IFrameRecorder {
    static int frames, lastWidth, lastHeight;
    int Open(const char*, const char*, int) override { return 0; }
    bool HalvesFrames() const override { return true; }
    void Frame(int height, const uint8_t*, int width) override {
        ++frames;
        lastWidth = width;
        lastHeight = height;
    }
    void Close() override {}
};
int CountingRecorder::frames = 0, CountingRecorder::lastWidth = 0, CountingRecorder::lastHeight = 0;
IFrameRecorder* MakeRecorder() {
    return new CountingRecorder;
}

struct Posted : IRenderNotify {
    int redraws = 0, shots = 0, records = 0;
    void Post(int message) override {
        redraws += message == WM_REDRAW_VIEW;
        shots += message == WM_SCREENSHOT_SAVED;
        records += message == WM_RECORD_SAVED;
    }
};

// A window, a probe of the file and a renderer with that file's photo loaded.
struct Scene {
    platform::NativeWindow window;
    CMediaInfo info;
    CMediaProbe probe{&info};
    Posted posted;
    std::unique_ptr<COpenglRender> renderer;

    bool Open(const std::string& file, int w, int h) {
        info.Load();
        const int probed = probe.Probe(true, file.c_str());
        if (probed != 0) {
            ADD_FAILURE() << "probe " << probed << " for " << file;
            return false;
        }
        if (!window.Open(w, h, "test")) {
            ADD_FAILURE() << "no window";
            return false;
        }
        RenderHooks hooks;
        hooks.loadPhoto = Load;
        hooks.saveImage = Save;
        hooks.makeRecorder = MakeRecorder;
        renderer = std::make_unique<COpenglRender>(window.Id(), &posted, hooks);
        const int type =
            probe.m_nCameraType == 1 || probe.m_nCameraType == 2 ? probe.m_nCameraType : 0;
        renderer->SetSource(type, probe.m_nWidth, probe.m_nHeight, probe.m_pMeshA, probe.m_pMeshB);
        const int loaded = renderer->LoadPhoto(file.c_str());
        EXPECT_EQ(loaded, 0) << file;
        return loaded == 0;
    }
    std::vector<int> Viewport(int view) {
        renderer->SelectView(view);
        renderer->Draw(nullptr);
        const int32_t* v = renderer->m_viewport;
        return {v[0], v[1], v[2], v[3]};
    }
};

bool HaveDisplay() {
    return std::getenv("DISPLAY") != nullptr;
}

}  // namespace

TEST(Render, ShaderPairFollowsTheCameraType) {
    if (!HaveDisplay()) GTEST_SKIP() << "no X display";
    const auto& s = testutil::Samples();
    struct Case {
        std::string file;
        bool stitching;
    } cases[] = {{s.dualPhoto, true}, {s.singlePhoto, false}, {s.plainPano, false}};
    for (const Case& c : cases) {
        Scene scene;
        ASSERT_TRUE(scene.Open(c.file, 320, 180)) << c.file;
        ASSERT_GE(scene.renderer->m_nGLMajor, 2);
        ASSERT_EQ(scene.renderer->InitShaders(), 0);
        // Only the stitching program has the second lens's coordinates.
        EXPECT_EQ(scene.renderer->m_nUVBLoc >= 0, c.stitching) << c.file;
        EXPECT_GE(scene.renderer->m_nPositionLoc, 0);
        EXPECT_GE(scene.renderer->m_nMMatrixLoc, 0);
        // A second initialisation keeps the texture.
        const uint32_t texture = scene.renderer->m_nTexture;
        EXPECT_EQ(scene.renderer->InitShaders(), 0);
        EXPECT_EQ(scene.renderer->m_nTexture, texture);
        scene.renderer->ReleaseShaders();
        EXPECT_EQ(scene.renderer->m_nProgram, -1);
    }
}

TEST(Render, ViewportsOfEveryView) {
    if (!HaveDisplay()) GTEST_SKIP() << "no X display";
    const auto& s = testutil::Samples();
    {
        Scene dual;
        ASSERT_TRUE(dual.Open(s.dualPhoto, 800, 450));
        ASSERT_EQ(dual.renderer->InitShaders(), 0);
        for (int v : {0, 1, 2}) EXPECT_EQ(dual.Viewport(v), (std::vector<int>{0, -175, 800, 800}));
        EXPECT_GT(dual.posted.redraws, 0);
    }
    {
        Scene portrait;
        ASSERT_TRUE(portrait.Open(s.dualPhoto, 450, 800));
        ASSERT_EQ(portrait.renderer->InitShaders(), 0);
        EXPECT_EQ(portrait.Viewport(0), (std::vector<int>{-175, 0, 800, 800}));
    }
    Scene single;
    ASSERT_TRUE(single.Open(s.singlePhoto, 800, 450));
    ASSERT_EQ(single.renderer->InitShaders(), 0);
    EXPECT_EQ(single.Viewport(3), (std::vector<int>{0, -175, 800, 800}));
    EXPECT_EQ(single.Viewport(5), (std::vector<int>{0, -175, 800, 800}));
    // The dome shows the upper half of a viewport twice the window's height,
    // the lower half when the camera hangs upside down.
    EXPECT_EQ(single.Viewport(4), (std::vector<int>{0, -450, 800, 900}));
    single.renderer->SetFlip(true);
    single.renderer->m_nBoundView = -1;
    EXPECT_EQ(single.Viewport(4), (std::vector<int>{0, 0, 800, 900}));
    // The flat view keeps the previous viewport.
    EXPECT_EQ(single.Viewport(6), (std::vector<int>{0, 0, 800, 900}));
}

TEST(Render, SnapshotHasTheWindowSizeAndRecordingHalvesFrames) {
    if (!HaveDisplay()) GTEST_SKIP() << "no X display";
    testutil::TempDir dir;
    Scene scene;
    ASSERT_TRUE(scene.Open(testutil::Samples().dualPhoto, 640, 360));
    ASSERT_EQ(scene.renderer->InitShaders(), 0);
    scene.renderer->SelectView(0);
    const std::string shot = dir.File("shot.jpg");
    scene.renderer->RequestSnapshot(shot);
    scene.renderer->Draw(nullptr);
    EXPECT_EQ(scene.posted.shots, 1);
    int status = 0;
    EXPECT_EQ(testutil::RunCommand("exiftool -s -s -s -FileType -ImageSize " + shot, &status),
              "JPEG\n640x360\n");

    CountingRecorder::frames = 0;
    EXPECT_EQ(scene.renderer->StartRecording("in.mp4", dir.File("rec.mp4").c_str(), 0), 0);
    EXPECT_EQ(scene.renderer->StartRecording("in.mp4", "again.mp4", 0), -1);
    for (int i = 0; i < 6; ++i) scene.renderer->Draw(nullptr);
    EXPECT_EQ(CountingRecorder::frames, 3);  // frames 1, 3 and 5
    EXPECT_EQ(CountingRecorder::lastWidth, 640);
    EXPECT_EQ(CountingRecorder::lastHeight, 360);
    scene.renderer->StopRecording();
    EXPECT_EQ(scene.posted.records, 1);
}

TEST(Render, RenderCommandWritesThePicture) {
    if (!HaveDisplay()) GTEST_SKIP() << "no X display";
    testutil::TempDir dir;
    const auto& s = testutil::Samples();
    int status = 0;
    const std::string out = dir.File("view.png");
    std::string text = testutil::RunCommand(std::string(ORBIVUE_CLI) + " render " + s.dualPhoto +
                                                " " + out + " --view 1 --yaw 30 --size 400x300",
                                            &status);
    EXPECT_NE(text.find("result: 0\n"), std::string::npos) << text;
    EXPECT_EQ(status, 0);
    EXPECT_EQ(testutil::RunCommand("exiftool -s -s -s -FileType -ImageSize " + out, &status),
              "PNG\n400x300\n");
    text = testutil::RunCommand(
        std::string(ORBIVUE_CLI) + " render " + s.plainPhoto + " " + dir.File("no.png"), &status);
    EXPECT_NE(text.find("result: 1\n"), std::string::npos) << text;
    EXPECT_EQ(status, 1);
}
