// Draw of a 1920 x 960 BGRA video frame into a 1024 x 512 window with the
// stitching shaders (needs an X display; Mesa's llvmpipe under Xvfb here).
// Also the renderer's own per-frame work without the GL: the model step and
// the matrices.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "adapters/native_window.h"
#include "player/mediainfo.h"
#include "player/probe.h"
#include "render/matrix.h"
#include "render/models.h"
#include "render/opengl_render.h"
#include "sample/samplegen.h"

namespace {

struct DualSource {
    CMediaInfo info;
    CMediaProbe probe{&info};
    bool ok = false;
    DualSource() {
        const std::string path = "/tmp/orbivue-bench-render-dual.jpg";
        sample::DualLensValues v;
        info.Load();
        ok = sample::WriteRenderedDualPhoto(path, 1920, 960, v, sample::DefaultTrailer(v)) == 0 &&
             probe.Probe(true, path.c_str()) == 0 && probe.m_nCameraType == 2;
    }
};

DualSource& Source() {
    static DualSource s;
    return s;
}

void BM_Render_Draw(benchmark::State& state) {
    if (std::getenv("DISPLAY") == nullptr) {
        state.SkipWithError("no X display");
        return;
    }
    DualSource& src = Source();
    adapters::NativeWindow window;
    if (!src.ok || !window.Open(1024, 512, "bench")) {
        state.SkipWithError("no source or window");
        return;
    }
    COpenglRender r(window.Id(), nullptr, RenderHooks{});
    r.SetSource(2, 1920, 960, src.probe.m_pMeshA, src.probe.m_pMeshB);
    r.m_bVideoFrames = 1;
    r.SelectView(ViewSphere);
    if (r.InitShaders() != 0) {
        state.SkipWithError("no GL 2");
        return;
    }
    std::vector<uint8_t> frame(1920 * 960 * 4);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 7);
    for (auto _ : state) {
        r.m_pModels[0]->m_fYawSpeed = 1.0f;  // keeps the view moving
        r.Draw(frame.data());
    }
    state.counters["fps"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    r.ReleaseShaders();
}
BENCHMARK(BM_Render_Draw)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// What the renderer computes per frame besides the GL calls.
void BM_Render_OwnWorkPerFrame(benchmark::State& state) {
    CShapeModel* models[6];
    CreateModels(models, 1145.0f);
    CShapeModel* m = models[0];
    float proj[16], model[16], rot[16], tmp[16];
    for (auto _ : state) {
        m->m_fYawSpeed = 1.0f;
        m->Update(false);
        IdentityM(proj);
        PerspectiveM(proj, m->m_fFov, 1.0f, m->m_fNear, 100);
        IdentityM(model);
        LookAtM(model, 0, 0, m->m_fEyeZ, 0, 0, 0, 0, 1, 0);
        RotateM(rot, m->GetPitch(), 1, 0, 0);
        MultiplyMM(tmp, model, rot);
        RotateM(rot, m->GetYaw(), 0, 1, 0);
        MultiplyMM(model, tmp, rot);
        benchmark::DoNotOptimize(model);
        benchmark::DoNotOptimize(proj);
    }
    DeleteModels(models);
}
BENCHMARK(BM_Render_OwnWorkPerFrame);

}  // namespace
