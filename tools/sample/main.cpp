// orbivue-sample: writes a synthetic camera file (JPEG photo or H.264 MP4) for tests.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "sample/samplegen.h"

namespace {

const char kUsage[] =
    "usage: orbivue-sample OUT --camera 0|1|2 [--photo|--video] [--size WxH]\n"
    "  [--layout app1|app0|after|noexif|noapp1] [--place moov|trak|udat|mdia|none]\n"
    "  [--spherical] [--audio] [--seconds S] [--fps N]\n"
    "  [--render [--panorama PATH]]  photo or video of camera 1|2: the panorama (default the\n"
    "                                 earth) seen through the lenses; a video turns the view\n"
    "                                 slowly and defaults to 30 fps\n"
    "  single lens: [--cx F --cy F --r F]\n"
    "  dual lens:   [--fov F --model N --cx1 F --cy1 F --r1 F --cx2 F --cy2 F --r2 F\n"
    "                --base F --lines N --line X0 Y0 X1 Y1 U0 V0 U1 V1 (repeatable) --long]\n"
    "  [--camera-value N] [--no-type3] [--no-type5] [--no-type7] [--type3-len N]\n"
    "  [--declared-total N] [--declared-count N]\n"
    "  [--corrupt nomarker|empty|garbage|block|padding]\n";

int Fail(const std::string& msg) {
    std::fprintf(stderr, "orbivue-sample: %s\n", msg.c_str());
    return 1;
}

bool ParseFloat(const char* s, float& out) {
    char* end = nullptr;
    errno = 0;
    const float v = std::strtof(s, &end);
    if (end == s || *end != '\0' || errno != 0 || !std::isfinite(v)) return false;
    out = v;
    return true;
}

bool ParseInt(const char* s, long long lo, long long hi, long long& out) {
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(s, &end, 10);
    if (end == s || *end != '\0' || errno != 0 || v < lo || v > hi) return false;
    out = v;
    return true;
}

bool EndsWithJpg(const std::string& s) {
    for (const char* ext : {".jpg", ".jpeg"}) {
        const size_t n = std::strlen(ext);
        if (s.size() < n) continue;
        bool same = true;
        for (size_t i = 0; i < n; ++i) {
            const char c = s[s.size() - n + i];
            if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != ext[i])
                same = false;
        }
        if (same) return true;
    }
    return false;
}

// n control line pairs across the seam of the 1920 x 960 panorama, spread evenly by azimuth
// (x) and crossing the equator; the second lens saw each a few pixels further right.
void FillLines(sample::DualLensValues& d, int n, int explicitCount) {
    for (int i = explicitCount; i < n && i < 50; ++i) {
        const float x = 1920.0f * (static_cast<float>(i) + 0.5f) / static_cast<float>(n);
        const float l1[4] = {x, 420.0f, x + 6.0f, 540.0f};
        // The second list starts where the first ends in polar angle, so the warp keeps the
        // ring angles and only shifts the azimuth.
        const float l2[4] = {x + 4.0f, 540.0f, x + 10.0f, 660.0f};
        for (int k = 0; k < 4; ++k) {
            d.lines1[i][k] = l1[k];
            d.lines2[i][k] = l2[k];
        }
    }
}

int Run(int argc, char** argv) {
    std::string out;
    long long camera = -1;
    bool photoFlag = false, videoFlag = false;
    int width = 0, height = 0;
    sample::JpegLayout layout = sample::JpegLayout::App1First;
    bool layoutGiven = false;
    sample::Mp4Options mp4;
    bool placeGiven = false, fpsGiven = false;
    sample::SingleLensValues single;
    sample::DualLensValues dual;
    bool singleGiven = false, dualGiven = false;
    int lines = -1;
    int explicitLines = 0;
    std::optional<long long> cameraValue, type3Len;
    bool noType3 = false, noType5 = false, noType7 = false;
    sample::TrailerSpec want;
    bool render = false;
    sample::RenderOptions renderOpt;
    bool panoramaGiven = false;

    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        auto floatOpt = [&](float& dst, bool& group) {
            const char* v = value();
            group = true;
            return v && ParseFloat(v, dst);
        };
        auto intOpt = [&](long long lo, long long hi, long long& dst) {
            const char* v = value();
            return v && ParseInt(v, lo, hi, dst);
        };
        long long n = 0;
        bool ok = true;
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--camera") {
            ok = intOpt(0, 2, camera);
        } else if (a == "--photo") {
            photoFlag = true;
        } else if (a == "--video") {
            videoFlag = true;
        } else if (a == "--size") {
            const char* v = value();
            char tail = 0;
            ok = v && std::sscanf(v, "%dx%d%c", &width, &height, &tail) == 2 && width > 0 &&
                 height > 0;
        } else if (a == "--layout") {
            const char* v = value();
            const std::string s = v ? v : "";
            layoutGiven = true;
            if (s == "app1")
                layout = sample::JpegLayout::App1First;
            else if (s == "app0")
                layout = sample::JpegLayout::App0ThenApp1;
            else if (s == "after")
                layout = sample::JpegLayout::App1AfterOtherSegment;
            else if (s == "noexif")
                layout = sample::JpegLayout::App1WithoutExif;
            else if (s == "noapp1")
                layout = sample::JpegLayout::NoApp1;
            else
                ok = false;
        } else if (a == "--place") {
            const char* v = value();
            const std::string s = v ? v : "";
            placeGiven = true;
            if (s == "moov")
                mp4.placement = sample::Mp4Placement::MoovUdta;
            else if (s == "trak")
                mp4.placement = sample::Mp4Placement::TrakUdta;
            else if (s == "udat")
                mp4.placement = sample::Mp4Placement::TopLevelUdat;
            else if (s == "mdia")
                mp4.placement = sample::Mp4Placement::MdiaUdta;
            else if (s == "none")
                mp4.placement = sample::Mp4Placement::None;
            else
                ok = false;
        } else if (a == "--render") {
            render = true;
        } else if (a == "--panorama") {
            const char* v = value();
            ok = v && *v;
            if (ok) renderOpt.panorama = v;
            panoramaGiven = true;
        } else if (a == "--spherical") {
            mp4.sphericalBox = true;
        } else if (a == "--audio") {
            mp4.audio = true;
        } else if (a == "--seconds") {
            float s = 0;
            bool unused = false;
            ok = floatOpt(s, unused) && s > 0 && s <= 600;
            mp4.seconds = s;
        } else if (a == "--fps") {
            float f = 0;
            bool unused = false;
            ok = floatOpt(f, unused) && f >= 1 && f <= 120 && f == std::floor(f);
            mp4.fps = static_cast<int>(f);
            fpsGiven = true;
        } else if (a == "--cx") {
            ok = floatOpt(single.cx, singleGiven);
        } else if (a == "--cy") {
            ok = floatOpt(single.cy, singleGiven);
        } else if (a == "--r") {
            ok = floatOpt(single.r, singleGiven);
        } else if (a == "--fov") {
            ok = floatOpt(dual.fov, dualGiven);
        } else if (a == "--model") {
            ok = intOpt(INT32_MIN, INT32_MAX, n);
            dual.model = static_cast<int32_t>(n);
            dualGiven = true;
        } else if (a == "--cx1") {
            ok = floatOpt(dual.cx1, dualGiven);
        } else if (a == "--cy1") {
            ok = floatOpt(dual.cy1, dualGiven);
        } else if (a == "--r1") {
            ok = floatOpt(dual.r1, dualGiven);
        } else if (a == "--cx2") {
            ok = floatOpt(dual.cx2, dualGiven);
        } else if (a == "--cy2") {
            ok = floatOpt(dual.cy2, dualGiven);
        } else if (a == "--r2") {
            ok = floatOpt(dual.r2, dualGiven);
        } else if (a == "--base") {
            ok = floatOpt(dual.radialBase, dualGiven);
        } else if (a == "--lines") {
            ok = intOpt(INT32_MIN, INT32_MAX, n);
            lines = static_cast<int>(n);
            dualGiven = true;
        } else if (a == "--line") {
            // One control line pair: x0 y0 x1 y1 in the panorama, then as the second lens saw it.
            ok = explicitLines < 50;
            for (int k = 0; k < 8 && ok; ++k) {
                const char* v = value();
                float f = 0;
                ok = v && ParseFloat(v, f);
                if (ok) (k < 4 ? dual.lines1 : dual.lines2)[explicitLines][k % 4] = f;
            }
            ++explicitLines;
            dualGiven = true;
        } else if (a == "--long") {
            dual.long1656 = true;
            dualGiven = true;
        } else if (a == "--camera-value") {
            ok = intOpt(INT32_MIN, INT32_MAX, n);
            cameraValue = n;
        } else if (a == "--no-type3") {
            noType3 = true;
        } else if (a == "--no-type5") {
            noType5 = true;
        } else if (a == "--no-type7") {
            noType7 = true;
        } else if (a == "--type3-len") {
            ok = intOpt(0, 0xFFFF, n);
            type3Len = n;
        } else if (a == "--declared-total") {
            ok = intOpt(0, UINT32_MAX, n);
            want.declaredTotal = n;
        } else if (a == "--declared-count") {
            ok = intOpt(0, UINT32_MAX, n);
            want.declaredCount = n;
        } else if (a == "--corrupt") {
            const char* v = value();
            const std::string s = v ? v : "";
            if (s == "nomarker")
                want.corruption = sample::Corruption::NoMarker;
            else if (s == "empty")
                want.corruption = sample::Corruption::EmptyBase64;
            else if (s == "garbage")
                want.corruption = sample::Corruption::GarbageBase64;
            else if (s == "block")
                want.corruption = sample::Corruption::CipherNotBlockMultiple;
            else if (s == "padding")
                want.corruption = sample::Corruption::BadPadding;
            else
                ok = false;
        } else if (!a.empty() && a[0] == '-') {
            return Fail("unknown option " + a + "\n" + kUsage);
        } else if (out.empty()) {
            out = a;
        } else {
            return Fail("more than one output path given");
        }
        if (!ok) return Fail("bad or missing value for " + a);
    }

    if (out.empty()) return Fail(std::string("no output path\n") + kUsage);
    if (camera < 0) return Fail("--camera 0|1|2 is required");
    if (photoFlag && videoFlag) return Fail("--photo and --video exclude each other");
    if (singleGiven && camera != 1) return Fail("--cx/--cy/--r apply to --camera 1");
    if (dualGiven && camera != 2) return Fail("dual lens options apply to --camera 2");
    const bool photo = photoFlag || (!videoFlag && EndsWithJpg(out));
    if (panoramaGiven && !render) return Fail("--panorama needs --render");
    if (render && camera == 0) return Fail("--render draws the pictures of camera 1 or 2");
    if (width == 0) {
        width = 1920;
        height = camera == 1 ? 1080 : 960;
        // The stitch takes a single-lens photo for a 4:3 picture.
        if (render && photo && camera == 1) width = 1440;
    }
    if (render && camera == 2 && (width % 2 || height * 2 != width))
        return Fail("a rendered dual-lens picture needs an even width and a 2:1 size");
    // A rendered video is meant to be watched: smooth motion unless asked otherwise.
    if (render && !photo && !fpsGiven) mp4.fps = 30;

    std::vector<uint8_t> trailer;
    if (camera != 0) {
        dual.n = lines >= 0 ? lines : explicitLines;
        FillLines(dual, dual.n, explicitLines);
        if (!noType3) {
            std::string text = "ORBIVUE SAMPLE CAM";
            if (type3Len) text.resize(static_cast<size_t>(*type3Len), 'X');
            want.records.push_back(sample::CameraTextRecord(text));
        }
        if (!noType5) {
            want.records.push_back(sample::CameraTypeRecord(
                static_cast<int32_t>(cameraValue ? *cameraValue : camera)));
        }
        if (!noType7) {
            sample::Record lens;
            lens.type = 7;
            lens.value = camera == 1 ? sample::EncodeSingleLensRecord(single)
                                     : sample::EncodeDualLensRecord(dual);
            want.records.push_back(lens);
        }
        trailer = sample::BuildTrailer(want);
        if (trailer.empty()) return Fail("could not build the trailer");
    }

    int rc = 0;
    if (photo) {
        // A plain file carries no APP1 unless a layout was asked for.
        if (camera == 0 && !layoutGiven) layout = sample::JpegLayout::NoApp1;
        if (!render) {
            rc = sample::WriteJpeg(out, width, height, trailer, layout);
        } else if (camera == 1) {
            rc = sample::WriteRenderedSinglePhoto(out, width, height, single, want, renderOpt,
                                                  layout);
        } else {
            rc = sample::WriteRenderedDualPhoto(out, width, height, dual, want, renderOpt, layout);
        }
    } else {
        if (camera == 0 && !placeGiven) mp4.placement = sample::Mp4Placement::None;
        mp4.width = width;
        mp4.height = height;
        mp4.cameraType = static_cast<int>(camera);
        mp4.dual = dual;
        mp4.single = single;
        mp4.panorama = renderOpt.panorama;
        rc = sample::WriteMp4(out, trailer, mp4);
    }
    switch (rc) {
        case 0:
            break;
        case sample::kErrArgs:
            return Fail("unsupported size or options for " + out);
        case sample::kErrFfmpeg:
            return Fail(render ? "ffmpeg failed (can it read the panorama?)"
                               : "ffmpeg failed (is it installed with libx264?)");
        case sample::kErrFormat:
            return Fail("unexpected ffmpeg output structure");
        case sample::kErrTooLarge:
            return Fail("trailer too large for an APP1 segment");
        default:
            return Fail((render ? "could not read the panorama or write " : "could not write ") +
                        out);
    }
    std::printf("wrote %s\n", out.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (...) {
        return Fail("internal error");
    }
}
