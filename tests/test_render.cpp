// The GL renderer in a real X11 window (Mesa under Xvfb). Skipped without a
// display; CTest runs this group once more under xvfb-run.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "adapters/image.h"
#include "adapters/native_window.h"
#include "platform/file.h"
#include "player/mediainfo.h"
#include "player/probe.h"
#include "render/models.h"
#include "render/opengl_render.h"
#include "sample/samplegen.h"
#include "support/command.h"
#include "support/files.h"
#include "support/peers.h"
#include "support/picture.h"
#include "support/samples.h"

using testutil::BgrLuma;
using testutil::SampleWrapped;

namespace {

int Load(const char* path, PhotoBitmap* out) {
    return adapters::LoadBgrImage(path, &out->width, &out->height, &out->stride, &out->rows);
}

// The last picture saved, kept for comparison (BGRA, bottom row first).
struct Saved {
    std::vector<uint8_t> bgra;
    int width = 0, height = 0;
};
Saved& LastSaved() {
    static Saved saved;
    return saved;
}

int Save(const char* path, const uint8_t* pixels, int w, int h) {
    Saved& s = LastSaved();
    s.bgra.assign(pixels, pixels + static_cast<size_t>(w) * h * 4);
    s.width = w;
    s.height = h;
    return adapters::SaveBgraBottomUp(path, pixels, w, h);
}

// Counts what the recorder is handed; halves like a 25 fps source.
struct CountingRecorder : IFrameRecorder {
    static int frames, lastWidth, lastHeight;
    static RecordSpec spec;
    int Open(const RecordSpec& s) override {
        spec = s;
        return 0;
    }
    std::string OutputPath() const override { return "rec.mp4"; }
    bool HalvesFrames() const override { return true; }
    void Frame(const uint8_t*, int width, int height) override {
        ++frames;
        lastWidth = width;
        lastHeight = height;
    }
    int Close() override { return 0; }
    RecordCounts Counts() const override { return {}; }
};
int CountingRecorder::frames = 0, CountingRecorder::lastWidth = 0, CountingRecorder::lastHeight = 0;
RecordSpec CountingRecorder::spec;
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
    adapters::NativeWindow window;
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
    // The flat frame fills the window whatever view came before.
    EXPECT_EQ(single.Viewport(6), (std::vector<int>{0, 0, 800, 450}));
}

TEST(Render, SnapshotHasTheWindowSizeAndRecordingHalvesFrames) {
    if (!HaveDisplay()) GTEST_SKIP() << "no X display";
    testutil::TempDir dir;
    Scene scene;
    ASSERT_TRUE(scene.Open(testutil::Samples().dualPhoto, 640, 360));
    ASSERT_EQ(scene.renderer->InitShaders(), 0);
    scene.renderer->SelectView(0);
    // Two shots under one name give two files; neither replaces the other.
    const std::string shot = dir.File("shot.jpg");
    SavedFile saved;
    for (const char* expected : {"shot.jpg", "shot_1.jpg"}) {
        scene.renderer->RequestSnapshot(shot);
        scene.renderer->Draw(nullptr);
        ASSERT_TRUE(scene.renderer->TakeSnapshotResult(&saved));
        EXPECT_EQ(saved.result, 0);
        EXPECT_EQ(saved.path, dir.File(expected));
        EXPECT_EQ(testutil::Exiftool("-s -s -s -FileType -ImageSize", saved.path),
                  "JPEG\n640x360\n");
    }
    EXPECT_EQ(scene.posted.shots, 2);
    EXPECT_FALSE(scene.renderer->TakeSnapshotResult(&saved));
    // A cancelled request saves nothing; a folder that is missing fails.
    scene.renderer->RequestSnapshot(dir.File("cancelled.jpg"));
    scene.renderer->CancelSnapshot();
    scene.renderer->Draw(nullptr);
    EXPECT_FALSE(platform::FileExists(dir.File("cancelled.jpg").c_str()));
    EXPECT_EQ(scene.posted.shots, 2);
    scene.renderer->RequestSnapshot(dir.File("missing/shot.jpg"));
    scene.renderer->Draw(nullptr);
    ASSERT_TRUE(scene.renderer->TakeSnapshotResult(&saved));
    EXPECT_NE(saved.result, 0);

    CountingRecorder::frames = 0;
    EXPECT_EQ(scene.renderer->StartRecording("in.mp4", dir.File("rec.mp4").c_str(), 61500), 0);
    EXPECT_EQ(scene.renderer->StartRecording("in.mp4", "again.mp4", 0), -1);
    EXPECT_EQ(CountingRecorder::spec.startMs, 61500);
    EXPECT_EQ(CountingRecorder::spec.width, 640);
    EXPECT_EQ(CountingRecorder::spec.height, 360);
    EXPECT_FALSE(CountingRecorder::spec.spherical);  // a view of the sphere is ordinary video
    for (int i = 0; i < 6; ++i) scene.renderer->Draw(nullptr);
    EXPECT_EQ(CountingRecorder::frames, 3);  // frames 1, 3 and 5
    EXPECT_EQ(CountingRecorder::lastWidth, 640);
    EXPECT_EQ(CountingRecorder::lastHeight, 360);
    scene.renderer->StopRecording();
    EXPECT_EQ(scene.posted.records, 1);
    ASSERT_TRUE(scene.renderer->TakeRecordResult(&saved));
    EXPECT_EQ(saved.result, 0);
    scene.renderer->StopRecording();  // nothing runs: nothing posted
    EXPECT_EQ(scene.posted.records, 1);

    // Larger views keep their shape within 1920 a side, in even sizes.
    int w = 0, h = 0;
    COpenglRender::RecordSize(2560, 1440, &w, &h);
    EXPECT_EQ(std::make_pair(w, h), std::make_pair(1920, 1080));
    COpenglRender::RecordSize(1023, 511, &w, &h);
    EXPECT_EQ(std::make_pair(w, h), std::make_pair(1022, 510));
    COpenglRender::RecordSize(900, 3000, &w, &h);
    EXPECT_EQ(std::make_pair(w, h), std::make_pair(576, 1920));
}

TEST(Render, RenderCommandWritesThePicture) {
    if (!HaveDisplay()) GTEST_SKIP() << "no X display";
    testutil::TempDir dir;
    const auto& s = testutil::Samples();
    int status = 0;
    const std::string out = dir.File("view.png");
    std::string text = testutil::RunCli(
        {"render", s.dualPhoto, out, "--view", "1", "--yaw", "30", "--size", "400x300"}, &status);
    // The driver's status lines go to standard error: only the result is printed.
    EXPECT_EQ(text, "result: 0\n");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(testutil::Exiftool("-s -s -s -FileType -ImageSize", out), "PNG\n400x300\n");
    text = testutil::RunCli({"render", s.plainPhoto, dir.File("no.png")}, &status);
    EXPECT_NE(text.find("result: 1\n"), std::string::npos) << text;
    EXPECT_EQ(status, 1);
    // The default view of a single-lens photo, in the format the name asks for.
    const std::string jpeg = dir.File("single.JPG");
    text = testutil::RunCli({"render", s.singlePhoto, jpeg, "--size", "320x200"}, &status);
    EXPECT_EQ(text, "result: 0\n");
    EXPECT_EQ(testutil::Exiftool("-s -s -s -FileType -ImageSize", jpeg), "JPEG\n320x200\n");
    EXPECT_EQ(testutil::ListFolder(dir.path()).size(), 2u);  // no temporary file left
}

TEST(Render, RenderCommandKeepsTheOldFileWhenTheWriteFails) {
    if (!HaveDisplay()) GTEST_SKIP() << "no X display";
    testutil::TempDir dir;
    const std::string out = dir.File("view.png");
    const testutil::Bytes old = {'o', 'l', 'd'};
    ASSERT_TRUE(testutil::WriteBytes(out, old));
    // Files of at most 8 blocks, as on a full disk: writes past that fail.
    const std::string full = "trap '' XFSZ; ulimit -f 8; ";
    int status = 0;
    std::string text =
        testutil::RunCli({"render", testutil::Samples().dualPhoto, out}, &status, full);
    EXPECT_EQ(text, "result: -21\n");
    EXPECT_EQ(status, 1);
    EXPECT_EQ(testutil::ReadFile(out), old);
    EXPECT_EQ(testutil::ListFolder(dir.path()), std::vector<std::string>{"view.png"});
    // With room, the picture takes the old file's place.
    text = testutil::RunCli({"render", testutil::Samples().dualPhoto, out}, &status);
    EXPECT_EQ(text, "result: 0\n");
    EXPECT_EQ(testutil::Exiftool("-s -s -s -FileType -ImageSize", out), "PNG\n800x450\n");
    EXPECT_EQ(testutil::ListFolder(dir.path()), std::vector<std::string>{"view.png"});
}

TEST(ImageAdapter, SavedPictureReportsAFullDisk) {
    // The codecs' own file writes report success on a full disk.
    const std::vector<uint8_t> pixels(64 * 64 * 4, 0x80);
    EXPECT_EQ(adapters::SaveBgraBottomUpAs("/dev/full", "png", pixels.data(), 64, 64), -1);
    testutil::TempDir dir;
    const std::string out = dir.File("picture");
    EXPECT_EQ(adapters::SaveBgraBottomUpAs(out.c_str(), "png", pixels.data(), 64, 64), 0);
    EXPECT_EQ(testutil::Exiftool("-s -s -s -FileType -ImageSize", out), "PNG\n64x64\n");
    EXPECT_EQ(adapters::SaveBgraBottomUpAs(out.c_str(), "nosuchformat", pixels.data(), 64, 64), -1);
    EXPECT_TRUE(adapters::CanSaveImageFormat("PNG"));
    EXPECT_FALSE(adapters::CanSaveImageFormat("nosuchformat"));
}

namespace {

constexpr double kPi = 3.14159265358979323846;

// The centre of a window pixel (rows from the top) in the viewport's -1..1 coordinates; the
// viewport (x, y, width, height) counts from the bottom.
void WindowToNdc(const int32_t vp[4], int height, int x, int rowFromTop, double* nx, double* ny) {
    *nx = (x + 0.5 - vp[0]) / vp[2] * 2 - 1;
    *ny = (height - rowFromTop - 0.5 - vp[1]) / vp[3] * 2 - 1;
}

// Where the ray through a window pixel leaves the unit sphere, in the model's
// own coordinates: the eye at (0, 0, eyeZ) looks at the origin along +z with
// its right along -x, the model turned by pitch about x after yaw about y, and
// a square viewport vp (x, y from the bottom, side) with a vertical field of
// view fov. The eye is outside the sphere, so the inside surface seen is the
// far one. False when the ray misses the sphere.
bool FarSpherePoint(double yaw, double pitch, double fov, double eyeZ, const int32_t vp[4],
                    int height, int x, int rowFromTop, double p[3]) {
    double nx, ny;
    WindowToNdc(vp, height, x, rowFromTop, &nx, &ny);
    const double t = std::tan(fov * kPi / 360.0);
    double o[3] = {0, 0, eyeZ}, d[3] = {-nx * t, ny * t, 1};
    const double cp = std::cos(pitch * kPi / 180), sp = std::sin(pitch * kPi / 180);
    const double cy = std::cos(yaw * kPi / 180), sy = std::sin(yaw * kPi / 180);
    for (double* v : {o, d}) {
        const double y1 = cp * v[1] + sp * v[2], z1 = -sp * v[1] + cp * v[2];  // undo pitch
        const double x2 = cy * v[0] - sy * z1, z2 = sy * v[0] + cy * z1;       // undo yaw
        v[0] = x2, v[1] = y1, v[2] = z2;
    }
    const double a = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
    const double b = 2 * (o[0] * d[0] + o[1] * d[1] + o[2] * d[2]);
    const double c = o[0] * o[0] + o[1] * o[1] + o[2] * o[2] - 1;
    const double disc = b * b - 4 * a * c;
    if (disc < 0) return false;
    const double s = (-b + std::sqrt(disc)) / (2 * a);
    for (int i = 0; i < 3; ++i) p[i] = o[i] + s * d[i];
    return true;
}

// The panorama pixel the stitch puts at a model point: lens A looks along +x;
// the panorama's longitude runs from +x towards +z and its top is +y.
void PanoramaPixel(const double p[3], int panoHeight, double* col, double* row) {
    const double a = kPi / panoHeight;
    const double lambda = std::atan2(p[2], p[0]);
    const double beta = std::acos(std::max(-1.0, std::min(1.0, -p[1])));
    *col = lambda / a + panoHeight;
    *row = (kPi - beta) / a;
}

struct Psnrs {
    double all = 0, band = 0;
    size_t bandPixels = 0;
};

// The picture read back at the last snapshot against the panorama seen the same way,
// over the whole window and over the seam's blend band (|x| < 0.055 of the model).
Psnrs CompareWithPanorama(const Saved& got, const CShapeModel& m, const int32_t vp[4],
                          const std::vector<uint8_t>& pano, int panoWidth) {
    const int panoHeight = panoWidth / 2;
    double all = 0, band = 0;
    size_t bandCount = 0;
    for (int r = 0; r < got.height; ++r) {
        const uint8_t* row =
            got.bgra.data() + static_cast<size_t>(got.height - 1 - r) * got.width * 4;
        for (int x = 0; x < got.width; ++x) {
            double p[3] = {1, 0, 0}, want = 0;
            if (FarSpherePoint(m.GetYaw(), m.GetPitch(), m.m_fFov, m.m_fEyeZ, vp, got.height, x, r,
                               p)) {
                double col, prow;
                PanoramaPixel(p, panoHeight, &col, &prow);
                want = SampleWrapped(pano, panoWidth, panoHeight, col, prow);
            }
            const double e = BgrLuma(row + 4 * x) - want;
            all += e * e;
            if (std::fabs(p[0]) < 0.055) {
                band += e * e;
                ++bandCount;
            }
        }
    }
    Psnrs out;
    out.all = testutil::PsnrFromSquaredError(all, static_cast<size_t>(got.width) * got.height);
    out.band = testutil::PsnrFromSquaredError(band, bandCount);
    out.bandPixels = bandCount;
    return out;
}

}  // namespace

// A dual-lens photo of a real panorama on the sphere, against a perspective view of the
// panorama itself computed here for the same eye, rotation and field of view.
TEST(Render, SphereViewMatchesThePanorama) {
    if (!HaveDisplay()) GTEST_SKIP() << "no X display";
    testutil::TempDir dir;
    const int w = 1920, h = 960;
    sample::DualLensValues v;
    const std::string cam = dir.File("cam.jpg");
    ASSERT_EQ(sample::WriteRenderedDualPhoto(cam, w, h, v, sample::DefaultTrailer(v)), 0);
    std::vector<uint8_t> pano;
    ASSERT_TRUE(sample::LoadPanorama(sample::kEarthPanorama, w, &pano));

    Scene scene;
    ASSERT_TRUE(scene.Open(cam, 480, 360));
    ASSERT_EQ(scene.renderer->InitShaders(), 0);
    // Sphere, level sphere and little planet share the ball; each has its own eye and range.
    struct Case {
        int view;
        float yaw, pitch, fov;
        bool seamInView;
    } cases[] = {{0, 0, 0, 90, true},     {0, 90, 0, 100, false}, {0, 270, 20, 70, false},
                 {0, 180, -30, 80, true}, {0, 40, 60, 120, true}, {0, 320, -10, 136, true},
                 {1, 30, 10, 90, true},   {2, 0, -90, 160, true}, {2, 200, -60, 120, true}};
    for (const Case& c : cases) {
        scene.renderer->SelectView(c.view);
        CShapeModel* m = scene.renderer->m_pModels[c.view];
        m->SetFov(c.fov);
        m->m_fYaw = c.yaw;
        m->m_fPitch = c.pitch;
        scene.renderer->RequestSnapshot(dir.File("view.png"));
        scene.renderer->Draw(nullptr);
        const Saved& got = LastSaved();
        ASSERT_EQ(got.width, 480);
        ASSERT_EQ(got.height, 360);
        const Psnrs psnr = CompareWithPanorama(got, *m, scene.renderer->m_viewport, pano, w);
        std::printf(
            "view %d yaw %.0f pitch %.0f fov %.0f: PSNR %.2f dB, blend band %.2f dB "
            "(%zu px)\n",
            c.view, c.yaw, c.pitch, c.fov, psnr.all, psnr.band, psnr.bandPixels);
        const std::string where = "view " + std::to_string(c.view) + " yaw " +
                                  std::to_string(c.yaw) + " pitch " + std::to_string(c.pitch);
        EXPECT_GE(psnr.all, 25.0) << where;
        if (c.seamInView) {
            EXPECT_GT(psnr.bandPixels, 1000u) << where;
            EXPECT_GE(psnr.band, 25.0) << where;
        }
    }
}

namespace {

// Bilinear lookup of a lens table (rings of 181 pairs) at a fractional ring and column.
void TableAt(const float* table, double ring, double col, double* x, double* y) {
    const int r0 = static_cast<int>(ring), c0 = static_cast<int>(col);
    const int r1 = std::min(r0 + 1, 48), c1 = std::min(c0 + 1, 180);
    const double fr = ring - r0, fc = col - c0;
    auto at = [&](int r, int c, int k) { return double{table[2 * (r * 181 + c) + k]}; };
    for (int k = 0; k < 2; ++k) {
        const double v = (at(r0, c0, k) * (1 - fc) + at(r0, c1, k) * fc) * (1 - fr) +
                         (at(r1, c0, k) * (1 - fc) + at(r1, c1, k) * fc) * fr;
        (k == 0 ? *x : *y) = v;
    }
}

// The layer as drawn against the camera photo looked up through its own lens table: two
// strips 0.93 wide in the plane z = 0, seen from (0, 0, -1) turned half a turn about x.
// Upper strip: rings 9..48 over columns 0..90; lower: the same rings over columns 90..180.
// flip mirrors the whole table (ring 48 - r, column 180 - c) and shift then moves its columns.
double LayerPsnr(const Saved& got, const CShapeModel& m, const int32_t vp[4], const float* table,
                 int shift, bool flip, const std::vector<uint8_t>& photo, int pw, int ph) {
    const double t = std::tan(m.m_fFov * kPi / 360.0);
    double se = 0;
    for (int r = 0; r < got.height; ++r) {
        const uint8_t* row =
            got.bgra.data() + static_cast<size_t>(got.height - 1 - r) * got.width * 4;
        for (int x = 0; x < got.width; ++x) {
            double nx, ny;
            WindowToNdc(vp, got.height, x, r, &nx, &ny);
            // The ray meets z = 0 one unit from the eye; half a turn about x turns y over.
            const double X = -nx * t, Y = -ny * t;
            const double i = 45 - X / 0.93 * 90;
            double want = 0;
            if (i >= 0 && i <= 90 && std::fabs(Y) <= 39 / 80.0) {
                const bool upper = Y <= 0;
                double ring = upper ? 9 + 39 + Y * 80 : 9 + Y * 80;
                double col = (upper ? 0 : 90) + i;
                if (flip) ring = 48 - ring, col = 180 - col;
                col = std::fmod(col + shift, 180.0);
                if (col < 0) col += 180;
                double fx, fy;
                TableAt(table, ring, col, &fx, &fy);
                want = SampleWrapped(photo, pw, ph, fx - 0.5, fy - 0.5);
            }
            const double e = BgrLuma(row + 4 * x) - want;
            se += e * e;
        }
    }
    return testutil::PsnrFromSquaredError(se, static_cast<size_t>(got.width) * got.height);
}

}  // namespace

TEST(Render, LayerStripsShowTheLensTable) {
    if (!HaveDisplay()) GTEST_SKIP() << "no X display";
    testutil::TempDir dir;
    const std::string file = testutil::Samples().singlePhoto;
    PhotoBitmap bmp;
    ASSERT_EQ(Load(file.c_str(), &bmp), 0);
    std::vector<uint8_t> luma(static_cast<size_t>(bmp.width) * bmp.height);
    for (int y = 0; y < bmp.height; ++y)
        for (int x = 0; x < bmp.width; ++x)
            luma[static_cast<size_t>(y) * bmp.width + x] = static_cast<uint8_t>(
                std::lround(BgrLuma(bmp.rows + static_cast<size_t>(y) * bmp.stride + 3 * x)));
    const int pw = bmp.width, ph = bmp.height;
    delete[] bmp.rows;

    Scene scene;
    ASSERT_TRUE(scene.Open(file, 800, 450));
    ASSERT_EQ(scene.renderer->InitShaders(), 0);
    scene.renderer->SelectView(5);
    CShapeModel* m = scene.renderer->m_pModels[5];
    const float* table = scene.probe.m_pMeshA;
    struct Step {
        float yaw;
        bool flip;
        int totalShift;
    } steps[] = {{0, false, 0},
                 {20, false, 20},
                 {-50, false, -30},
                 {0, true, -30},
                 {10, true, -40}};  // turning is mirrored too
    for (const Step& s : steps) {
        m->m_fYaw = s.yaw;
        scene.renderer->SetFlip(s.flip);
        scene.renderer->RequestSnapshot(dir.File("layer.png"));
        scene.renderer->Draw(nullptr);
        const double psnr = LayerPsnr(LastSaved(), *m, scene.renderer->m_viewport, table,
                                      s.totalShift, s.flip, luma, pw, ph);
        std::printf("layer shift %d%s: PSNR %.2f dB\n", s.totalShift, s.flip ? " flipped" : "",
                    psnr);
        EXPECT_GE(psnr, 25.0) << s.totalShift << (s.flip ? " flipped" : "");
    }
}

TEST(Render, TwoRenderersOnOneThreadEachDrawTheirOwnPicture) {
    if (!HaveDisplay()) GTEST_SKIP() << "no X display";
    const auto& s = testutil::Samples();
    testutil::TempDir dir;
    // The same photo on the flat view in two windows; the second is set up
    // after the first, so its context is the current one when the first draws.
    Scene a, b;
    ASSERT_TRUE(a.Open(s.plainPano, 320, 160));
    ASSERT_EQ(a.renderer->InitShaders(), 0);
    a.renderer->SelectView(ViewFlat);
    a.renderer->RequestSnapshot(dir.File("a0.png"));
    a.renderer->Draw(nullptr);
    const Saved alone = LastSaved();
    ASSERT_TRUE(b.Open(s.dualPhoto, 200, 100));
    ASSERT_EQ(b.renderer->InitShaders(), 0);
    b.renderer->SelectView(ViewFlat);
    b.renderer->Draw(nullptr);
    a.renderer->RequestSnapshot(dir.File("a1.png"));
    a.renderer->Draw(nullptr);
    const Saved again = LastSaved();
    ASSERT_EQ(again.width, 320);
    ASSERT_EQ(again.height, 160);
    EXPECT_EQ(again.bgra, alone.bgra) << "the first renderer drew into the second's context";
    // Releasing the first leaves the second drawing.
    a.renderer->ReleaseShaders();
    b.renderer->RequestSnapshot(dir.File("b.png"));
    b.renderer->Draw(nullptr);
    EXPECT_EQ(LastSaved().width, 200);
}

TEST(Render, TheVersionProbeNeedsNoWindow) {
    if (!HaveDisplay()) GTEST_SKIP() << "no X display";
    Posted posted;
    // Window 0 and a window id that does not exist: the probe uses a hidden
    // window of its own, and an X error is answered, not fatal.
    COpenglRender none(0, &posted, RenderHooks{});
    EXPECT_GE(none.m_nGLMajor, 2);
    COpenglRender bad(0x7fffff0, &posted, RenderHooks{});
    EXPECT_GE(bad.m_nGLMajor, 2);
    EXPECT_NE(bad.InitShaders(), 0);
}
