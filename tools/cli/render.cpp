#include "render.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "adapters/image.h"
#include "adapters/native_window.h"
#include "messages.h"
#include "platform/file.h"
#include "player/mediainfo.h"
#include "player/probe.h"
#include "render/models.h"
#include "render/opengl_render.h"

namespace {

constexpr int kNoDisplay = -20;   // no X display or window
constexpr int kSaveFailed = -21;  // the picture could not be written
constexpr int kNoSuchView = -22;  // the file's camera kind has no such view
// The largest window side: an 8192 x 8192 picture is 256 MiB read back, and
// as much again while it is encoded.
constexpr int kMaxSide = 8192;

const char kUsage[] =
    "usage: orbivue-cli render FILE OUT.png [--view 0..6] [--yaw D] [--pitch D] [--fov D] "
    "[--size WxH] [--flip]\n"
    "  --size at most 8192x8192 (default 800x450); --fov above 0 and below 180 degrees\n";

int LoadHook(const char* path, PhotoBitmap* out) {
    return adapters::LoadBgrImage(path, &out->width, &out->height, &out->stride, &out->rows);
}

// The snapshot goes to a temporary name without the output's extension, so
// the format is given, not taken from the name.
std::string g_saveFormat = "png";
int g_saveResult = 0;

int SaveChecked(const char* path, const uint8_t* pixels, int w, int h) {
    g_saveResult = adapters::SaveBgraBottomUpAs(path, g_saveFormat.c_str(), pixels, w, h);
    return g_saveResult;
}

bool ParseNumber(const std::string& s, double* v) {
    char* end = nullptr;
    *v = std::strtod(s.c_str(), &end);
    return !s.empty() && end && *end == '\0';
}

// WxH in decimal digits; *inRange tells whether each side is 1..kMaxSide.
bool ParseSize(const std::string& s, int* w, int* h, bool* inRange) {
    const size_t x = s.find('x');
    if (x == 0 || x == std::string::npos || x + 1 == s.size()) return false;
    long sides[2] = {0, 0};
    const std::string parts[2] = {s.substr(0, x), s.substr(x + 1)};
    for (int k = 0; k < 2; ++k) {
        for (char c : parts[k]) {
            if (c < '0' || c > '9') return false;
            sides[k] = std::min(sides[k] * 10 + (c - '0'), 1000000L);
        }
    }
    *inRange = sides[0] >= 1 && sides[1] >= 1 && sides[0] <= kMaxSide && sides[1] <= kMaxSide;
    *w = static_cast<int>(sides[0]);
    *h = static_cast<int>(sides[1]);
    return true;
}

// The format the output's extension names, lower case; PNG without one.
std::string FormatOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) ||
        dot + 1 == path.size())
        return "png";
    std::string ext = path.substr(dot + 1);
    for (char& c : ext)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return ext;
}

// Views of each camera kind: a single lens has the cap, the dome and the
// strips; a dual lens and a plain 2:1 panorama have the three sphere views.
// Every kind has the raw frame.
bool HasView(int cameraType, int view) {
    if (view == ViewFlat) return true;
    if (cameraType == 1) return view >= ViewHalfBall && view <= ViewLayer;
    return view >= ViewSphere && view <= ViewLittlePlanet;
}

std::string KindViews(int cameraType) {
    return cameraType == 1   ? "a single-lens picture, whose views are 3, 4, 5 and 6"
           : cameraType == 2 ? "a dual-lens picture, whose views are 0, 1, 2 and 6"
                             : "a 2:1 panorama, whose views are 0, 1, 2 and 6";
}

std::string ProbeFailure(int result, const CMediaProbe& probe, const std::string& file) {
    if (result == kProbeNoMemory) return "no memory for the lens meshes of " + file;
    if (result == kProbeTooWide) return file + " is wider than 1920 pixels";
    if (probe.m_nWidth <= 0 || probe.m_nHeight <= 0)
        return "cannot read the picture size of " + file + " (missing, or not a picture)";
    if (probe.m_nCameraType == 1 || probe.m_nCameraType == 2)
        return "the calibration of " + file + " cannot be used (lens reader result " +
               std::to_string(probe.m_nCalibResult) + ")";
    return file + " has no calibration and is not a 2:1 panorama";
}

std::string DrawFailure(int result, const std::string& file) {
    switch (result) {
        case -2:
            return "cannot decode " + file + " as a picture";
        case -3:
            return "no memory for the picture of " + file;
        case 1:
            return "drawing " + file + " needs OpenGL 2, which the display does not offer";
        default:
            return "the GL drawing of " + file + " could not be set up (code " +
                   std::to_string(result) + ")";
    }
}

int Finish(int result, const std::string& sentence) {
    if (result != 0) PrintFailure(sentence);
    std::fflush(stdout);
    std::printf("result: %d\n", result);
    return result == 0 ? 0 : 1;
}

int UsageError(const std::string& sentence) {
    std::fprintf(stderr, "orbivue-cli render: %s\n", sentence.c_str());
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
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--view" && hasValue) {
            const std::string& t = args[++i];
            if (!ParseNumber(t, &v))
                return UsageError("--view wants a view number, got '" + t + "'");
            if (!(v >= ViewSphere && v <= ViewFlat && v == std::floor(v)))
                return UsageError("--view " + t + " is out of range: the views are 0 to 6");
            view = static_cast<int>(v);
        } else if ((a == "--yaw" || a == "--pitch" || a == "--fov") && hasValue) {
            const std::string& t = args[++i];
            if (!ParseNumber(t, &v)) return UsageError(a + " wants degrees, got '" + t + "'");
            if (!std::isfinite(v))
                return UsageError(a + " " + t + " is not a finite number of degrees");
            // Beyond the float range the models would get an infinity.
            if (std::fabs(v) > FLT_MAX) return UsageError(a + " " + t + " is too large");
            if (a == "--fov" && !(v > 0 && v < 180))
                return UsageError("--fov " + t + " is out of range: above 0 and below 180");
            if (a == "--yaw") {
                yaw = v;
                haveYaw = true;
            } else if (a == "--pitch") {
                pitch = v;
                havePitch = true;
            } else {
                fov = v;
                haveFov = true;
            }
        } else if (a == "--size" && hasValue) {
            const std::string& t = args[++i];
            bool inRange = false;
            if (!ParseSize(t, &width, &height, &inRange))
                return UsageError("--size wants WxH, got '" + t + "'");
            if (!inRange) return UsageError("--size " + t + " is out of range: 1x1 to 8192x8192");
        } else if (a == "--flip") {
            flip = true;
        } else if (a.size() > 1 && a[0] == '-' && a[1] == '-') {
            return UsageError("unknown or incomplete option '" + a + "'");
        } else if (file.empty()) {
            file = a;
        } else if (out.empty()) {
            out = a;
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    if (file.empty() || out.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }

    g_saveFormat = FormatOf(out);
    if (!adapters::CanSaveImageFormat(g_saveFormat.c_str()))
        return Finish(kSaveFailed, "cannot write " + out + ": pictures cannot be saved as '" +
                                       g_saveFormat + "' (use .png)");

    CMediaInfo mediaInfo;
    mediaInfo.Load();
    CMediaProbe probe(&mediaInfo);
    int result = probe.Probe(true, file.c_str());
    if (result != 0) return Finish(result, ProbeFailure(result, probe, file));
    const int type = probe.m_nCameraType == 1 || probe.m_nCameraType == 2 ? probe.m_nCameraType : 0;
    const int v = view >= 0 ? view : probe.m_nViewMode;
    // A view the models were not built for draws nothing: refuse it.
    if (!HasView(type, v))
        return Finish(kNoSuchView,
                      file + " is " + KindViews(type) + "; it has no view " + std::to_string(v));

    // The picture goes to a temporary name beside the output and takes its
    // place only when whole, so a failure leaves any earlier file as it was.
    platform::PendingFile pending;
    if (!pending.Begin(out.c_str())) {
        const std::string why = WhyCannotCreate(out);
        return Finish(kSaveFailed,
                      "cannot write " + out + ": " + (why.empty() ? "no file can be made" : why));
    }

    adapters::NativeWindow window;
    if (!window.Open(width, height, "orbivue render"))
        return Finish(kNoDisplay, "no X display to draw " + file + " on (run under xvfb-run)");
    std::string failure;
    {
        RenderHooks hooks;
        hooks.loadPhoto = LoadHook;
        hooks.saveImage = SaveChecked;
        COpenglRender renderer(window.Id(), nullptr, hooks);
        renderer.SetSource(type, probe.m_nWidth, probe.m_nHeight, probe.m_pMeshA, probe.m_pMeshB);
        if (flip) renderer.SetFlip(true);
        renderer.SelectView(v);
        if (v < kModelSlots) {
            CShapeModel* m = renderer.m_pModels[v];
            if (haveFov) m->SetFov(static_cast<float>(fov));
            if (haveYaw) m->m_fYaw = static_cast<float>(yaw);
            if (havePitch) m->m_fPitch = static_cast<float>(pitch);
        }
        result = renderer.LoadPhoto(file.c_str());
        if (result == 0) result = renderer.InitShaders();
        if (result != 0) failure = DrawFailure(result, file);
        if (result == 0) {
            g_saveResult = kSaveFailed;
            renderer.RequestSnapshot(pending.TempPath(), false);
            renderer.Draw(nullptr);
            if (g_saveResult != 0) {
                result = kSaveFailed;
                failure = "cannot write " + out + " (is the disk full?)";
            }
        }
        renderer.ReleaseShaders();
    }
    if (result == 0 && !pending.Commit()) {
        result = kSaveFailed;
        failure = "cannot write " + out + ": the finished picture could not take its place";
    }
    return Finish(result, failure);
}
