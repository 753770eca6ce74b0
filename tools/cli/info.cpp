#include "info.h"

#include <strings.h>
#include <cstdio>
#include <cstring>
#include <vector>

#include "calib/trailer.h"
#include "lens/mesh.h"
#include "messages.h"
#include "platform/file.h"
#include "player/mediainfo.h"
#include "player/probe.h"

namespace {

enum class Kind { ByName, Photo, Video };

bool EndsWithNoCase(const std::string& s, const char* suffix) {
    const size_t n = std::strlen(suffix);
    return s.size() >= n && strcasecmp(s.c_str() + s.size() - n, suffix) == 0;
}

bool IsPhotoName(const std::string& path) {
    return EndsWithNoCase(path, ".jpg") || EndsWithNoCase(path, ".bmp");
}

bool ParseFrame(const std::string& text, int* w, int* h) {
    char tail = 0;
    return std::sscanf(text.c_str(), "%dx%d%c", w, h, &tail) == 2 && *w > 0 && *h > 0;
}

bool WriteMeshes(const std::string& path, const float* a, const float* b) {
    platform::PendingFile target;
    if (!target.Begin(path.c_str())) return false;
    platform::FileWriter f;
    if (f.Open(target.TempPath().c_str()) != 0) return false;
    // Little-endian floats, the host order on every platform we build for.
    bool ok = f.Write(a, kStitchMeshBytes) && f.Write(b, kStitchMeshBytes);
    ok = f.Close() && ok;
    return ok && target.Commit();
}

// Why the probe did not accept a file, in words.
std::string ProbeMeaning(int result, const CMediaProbe& probe, bool isPhoto) {
    if (result == kProbeTooWide) return "a video wider than 1920 pixels is not shown";
    if (result == kProbeNoMemory) return "out of memory";
    if (probe.m_nCameraType == 1 || probe.m_nCameraType == 2) {
        return "the camera's calibration cannot be used";
    }
    if (probe.m_nWidth <= 0 || probe.m_nHeight <= 0) return "the picture size cannot be read";
    return isPhoto ? "a photo without calibration is shown only when twice as wide as high"
                   : "a video without calibration is shown only when it declares itself "
                     "spherical";
}

const char kUsage[] =
    "usage: orbivue-cli info FILE... [--photo|--video] [--frame WxH] [--mesh OUT]\n";

}  // namespace

int RunInfo(const std::vector<std::string>& args) {
    std::vector<std::string> files;
    Kind kind = Kind::ByName;
    int frameW = 0, frameH = 0;
    bool haveFrame = false;
    std::string meshOut;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--photo") {
            kind = Kind::Photo;
        } else if (a == "--video") {
            kind = Kind::Video;
        } else if (a == "--frame" && i + 1 < args.size()) {
            if (!ParseFrame(args[++i], &frameW, &frameH)) {
                std::fprintf(stderr, "orbivue-cli info: --frame wants WxH, got '%s'\n",
                             args[i].c_str());
                return 2;
            }
            haveFrame = true;
        } else if (a == "--mesh" && i + 1 < args.size()) {
            meshOut = args[++i];
        } else if (a.size() > 1 && a[0] == '-' && a[1] == '-') {
            std::fprintf(stderr, "orbivue-cli info: unknown or incomplete option '%s'\n",
                         a.c_str());
            return 2;
        } else {
            files.push_back(a);
        }
    }
    if (files.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }

    CMediaInfo mediaInfo;
    mediaInfo.Load();
    CFixedFrameSize fixedSize(frameW, frameH);
    const IFrameSizeSource* sizes = haveFrame ? static_cast<const IFrameSizeSource*>(&fixedSize)
                                              : static_cast<const IFrameSizeSource*>(&mediaInfo);
    CMediaProbe probe(sizes);

    bool allShown = true;
    bool lastHasMesh = false;
    for (const std::string& file : files) {
        const char* path = file.c_str();
        const bool isPhoto = kind == Kind::ByName ? IsPhotoName(file) : kind == Kind::Photo;
        const int result = probe.Inspect(isPhoto, path);
        const int cameraType = probe.m_nCameraType;
        const int calib = probe.m_nCalibResult;
        std::printf("file: %s\n", path);
        std::printf("camera_type: %d\n", cameraType);
        std::printf("frame: %dx%d\n", probe.m_nWidth, probe.m_nHeight);
        if (cameraType == 1 || cameraType == 2) {
            std::printf("calibration: %d\n", calib);
        } else {
            std::printf("calibration: none\n");
        }
        if (cameraType == 1 && calib >= 0 && calib < 1000) {
            const LensCircle c = CurrentLensCircle();
            std::printf("lens_circle: %d %d %.4f\n", c.x, c.y, static_cast<double>(c.r));
        }
        std::printf("spherical: %d\n", probe.m_nSpherical);
        std::printf("probe: %d\n", result);
        // Words where a number is easily misread.
        if ((cameraType == 1 || cameraType == 2) && (calib == 1 || calib >= 1000)) {
            std::printf("note: calibration %d: %s%s\n", calib, CalibMeaning(calib).c_str(),
                        calib == 1 ? ", not an error" : "");
        }
        if (result != 0) {
            std::printf("note: probe %d: %s\n", result,
                        ProbeMeaning(result, probe, isPhoto).c_str());
        }
        std::fflush(stdout);
        if (result != 0) allShown = false;
        lastHasMesh = (cameraType == 1 || cameraType == 2) && calib >= 0 && calib < 1000;
    }
    if (meshOut.empty()) return allShown ? 0 : 1;
    // The meshes of the last file (a single-lens file's second one is zeros);
    // nothing is written for a file without them.
    if (!lastHasMesh) {
        PrintFailure("no mesh to write: " + files.back() + " has no usable calibration");
        return 1;
    }
    if (!WriteMeshes(meshOut, probe.m_pMeshA, probe.m_pMeshB)) {
        const std::string why = WhyCannotCreate(meshOut);
        PrintFailure("cannot write " + meshOut + (why.empty() ? "" : ": " + why));
        return 1;
    }
    return allShown ? 0 : 1;
}
