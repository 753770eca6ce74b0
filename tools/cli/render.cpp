#include "render.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "adapters/image.h"
#include "adapters/native_window.h"
#include "player/mediainfo.h"
#include "player/probe.h"
#include "render/models.h"
#include "render/opengl_render.h"

namespace {

constexpr int kNoDisplay = -20;  // no X display or window
constexpr int kSaveFailed = -21;

int LoadHook(const char* path, PhotoBitmap* out) {
    return adapters::LoadBgrImage(path, &out->width, &out->height, &out->stride, &out->rows);
}

int SaveHook(const char* path, const uint8_t* pixels, int w, int h) {
    return adapters::SaveBgraBottomUp(path, pixels, w, h);
}

int g_saveResult = 0;

int SaveChecked(const char* path, const uint8_t* pixels, int w, int h) {
    g_saveResult = SaveHook(path, pixels, w, h);
    return g_saveResult;
}

bool ParseNumber(const std::string& s, double* v) {
    char* end = nullptr;
    *v = std::strtod(s.c_str(), &end);
    return !s.empty() && end && *end == '\0';
}

int Usage() {
    std::fprintf(stderr,
                 "usage: orbivue-cli render FILE OUT.png [--view N] [--yaw D] [--pitch D] "
                 "[--fov D] [--size WxH] [--flip]\n");
    return 2;
}

}  // namespace

int RunRender(const std::vector<std::string>& args) {
    std::string file, out;
    int view = -1, width = 800, height = 450;
    bool flip = false, haveYaw = false, havePitch = false, haveFov = false;
    double yaw = 0, pitch = 0, fov = 0;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size();
        double v = 0;
        if (a == "--view" && hasValue && ParseNumber(args[i + 1], &v) && v >= ViewSphere &&
            v <= ViewFlat && v == static_cast<int>(v)) {
            view = static_cast<int>(v);
            ++i;
        } else if (a == "--yaw" && hasValue && ParseNumber(args[i + 1], &yaw)) {
            haveYaw = true;
            ++i;
        } else if (a == "--pitch" && hasValue && ParseNumber(args[i + 1], &pitch)) {
            havePitch = true;
            ++i;
        } else if (a == "--fov" && hasValue && ParseNumber(args[i + 1], &fov)) {
            haveFov = true;
            ++i;
        } else if (a == "--size" && hasValue &&
                   std::sscanf(args[i + 1].c_str(), "%dx%d", &width, &height) == 2 && width > 0 &&
                   height > 0 && width <= 8192 && height <= 8192) {
            ++i;
        } else if (a == "--flip") {
            flip = true;
        } else if (a.size() > 1 && a[0] == '-' && a[1] == '-') {
            std::fprintf(stderr, "orbivue-cli render: unknown or incomplete option '%s'\n",
                         a.c_str());
            return 2;
        } else if (file.empty()) {
            file = a;
        } else if (out.empty()) {
            out = a;
        } else {
            return Usage();
        }
    }
    if (file.empty() || out.empty()) return Usage();

    int result = 0;
    CMediaInfo mediaInfo;
    mediaInfo.Load();
    CMediaProbe probe(&mediaInfo);
    result = probe.Probe(true, file.c_str());
    adapters::NativeWindow window;
    if (result == 0 && !window.Open(width, height, "orbivue render")) result = kNoDisplay;
    if (result == 0) {
        RenderHooks hooks;
        hooks.loadPhoto = LoadHook;
        hooks.saveImage = SaveChecked;
        COpenglRender renderer(window.Id(), nullptr, hooks);
        const int type =
            probe.m_nCameraType == 1 || probe.m_nCameraType == 2 ? probe.m_nCameraType : 0;
        renderer.SetSource(type, probe.m_nWidth, probe.m_nHeight, probe.m_pMeshA, probe.m_pMeshB);
        const int v = view >= 0 ? view : probe.m_nViewMode;
        if (flip) renderer.SetFlip(true);
        renderer.SelectView(v);
        if (v >= 0 && v < 6) {
            CShapeModel* m = renderer.m_pModels[v];
            if (haveFov) m->SetFov(static_cast<float>(fov));
            if (haveYaw) m->m_fYaw = static_cast<float>(yaw);
            if (havePitch) m->m_fPitch = static_cast<float>(pitch);
        }
        result = renderer.LoadPhoto(file.c_str());
        if (result == 0) result = renderer.InitShaders();
        if (result == 0) {
            g_saveResult = kSaveFailed;
            renderer.RequestSnapshot(out);
            renderer.Draw(nullptr);
            result = g_saveResult == 0 ? 0 : kSaveFailed;
        }
        renderer.ReleaseShaders();
    }
    std::fflush(stdout);
    std::printf("result: %d\n", result);
    return result == 0 ? 0 : 1;
}
