// Camera photos rendered from an equirectangular panorama through the lens geometry.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "media_internal.h"
#include "render_geometry.h"
#include "sample/samplegen.h"

namespace sample {
namespace {

namespace fs = std::filesystem;

// A file name in the temp dir that no other thread or process uses.
fs::path TempFile(const char* tag) {
    static std::atomic<unsigned> counter{0};
    std::error_code ec;
    fs::path dir = fs::temp_directory_path(ec);
    if (ec) dir = "/tmp";
    return dir / ("orbivue-render-" + std::to_string(getpid()) + "-" +
                  std::to_string(counter.fetch_add(1)) + tag);
}

// Runs ffmpeg with args + an output file and returns what it wrote.
int FfmpegToBytes(std::vector<std::string> args, const char* tag, std::vector<uint8_t>* out) {
    const fs::path tmp = TempFile(tag);
    args.push_back(tmp.string());
    const bool ok = RunFfmpeg(args) && ReadFile(tmp, *out) && !out->empty();
    std::error_code ec;
    fs::remove(tmp, ec);
    return ok ? 0 : kErrFfmpeg;
}

size_t Yuv420Size(int w, int h) {
    const size_t cw = static_cast<size_t>(w + 1) / 2, ch = static_cast<size_t>(h + 1) / 2;
    return static_cast<size_t>(w) * h + 2 * cw * ch;
}

int LoadPanoramaImpl(const std::string& path, int wo, std::vector<uint8_t>* yuv) {
    if (wo < 2 || wo % 2 || wo > 16384 || !yuv) return kErrArgs;
    const std::string file = path.empty() ? kEarthPanorama : path;
    std::error_code ec;
    if (!fs::is_regular_file(file, ec)) return kErrIo;
    const int ho = wo / 2;
    // Full-range samples throughout, as JPEG stores them, so nothing is rescaled on the way.
    const std::vector<std::string> args = {
        "-i",        file,
        "-frames:v", "1",
        "-vf",       "scale=" + std::to_string(wo) + "x" + std::to_string(ho) + ":flags=bicubic",
        "-pix_fmt",  "yuvj420p",
        "-f",        "rawvideo"};
    if (int rc = FfmpegToBytes(args, ".yuv", yuv); rc != 0) return rc;
    return yuv->size() == Yuv420Size(wo, ho) ? 0 : kErrFormat;
}

// Planar 4:2:0 picture with its planes in one buffer.
struct Planes {
    int w = 0, h = 0, cw = 0, ch = 0;
    uint8_t* data = nullptr;

    Planes(int width, int height, uint8_t* d)
        : w(width), h(height), cw((width + 1) / 2), ch((height + 1) / 2), data(d) {}
    uint8_t* Plane(int k) const {
        return data + (k == 0 ? 0 : static_cast<size_t>(w) * h + (k - 1) * size_t{1} * cw * ch);
    }
};

// Bilinear sample of a panorama plane; columns wrap around, rows stop at the edges.
double Sample(const uint8_t* plane, int w, int h, double x, double y) {
    y = std::clamp(y, 0.0, static_cast<double>(h - 1));
    const double fx = std::floor(x), fy = std::floor(y);
    const double tx = x - fx, ty = y - fy;
    int x0 = static_cast<int>(fx) % w;
    if (x0 < 0) x0 += w;
    const int x1 = x0 + 1 == w ? 0 : x0 + 1;
    const int y0 = static_cast<int>(fy);
    const int y1 = std::min(y0 + 1, h - 1);
    const uint8_t* r0 = plane + static_cast<size_t>(y0) * w;
    const uint8_t* r1 = plane + static_cast<size_t>(y1) * w;
    const double top = r0[x0] + tx * (r0[x1] - r0[x0]);
    const double bottom = r1[x0] + tx * (r1[x1] - r1[x0]);
    return top + ty * (bottom - top);
}

uint8_t ToByte(double v) {
    return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L));
}

// Where each luma pixel and each chroma sample (at the centre of its 2 x 2 block) of a camera
// picture looks in the panorama, found once by the inverse geometry. Videos turn the view by
// shifting panorama columns, so every frame of a video reuses one table.
struct LocateTable {
    int w = 0, h = 0, cw = 0, ch = 0;
    std::vector<float> luma, chroma;  // (column, row) pairs; a negative row: outside the circles

    template <typename Inverse>
    void Build(const Inverse& inverse, int width, int height) {
        w = width, h = height, cw = (w + 1) / 2, ch = (h + 1) / 2;
        luma.assign(static_cast<size_t>(w) * h * 2, -1.0f);
        chroma.assign(static_cast<size_t>(cw) * ch * 2, -1.0f);
        auto band = [&](int part, int parts) {
            for (int y = h * part / parts; y < h * (part + 1) / parts; ++y) {
                for (int x = 0; x < w; ++x) {
                    double c, r;
                    if (inverse.Locate(x, y, &c, &r))
                        Put(&luma, static_cast<size_t>(y) * w + x, c, r);
                }
            }
            for (int y = ch * part / parts; y < ch * (part + 1) / parts; ++y) {
                for (int x = 0; x < cw; ++x) {
                    double c, r;
                    if (inverse.Locate(2 * x + 0.5, 2 * y + 0.5, &c, &r))
                        Put(&chroma, static_cast<size_t>(y) * cw + x, c, r);
                }
            }
        };
        const int parts = static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 8u));
        std::vector<std::thread> workers;
        for (int p = 1; p < parts; ++p) workers.emplace_back(band, p, parts);
        band(0, parts);
        for (std::thread& t : workers) t.join();
    }

  private:
    static void Put(std::vector<float>* t, size_t at, double c, double r) {
        (*t)[2 * at] = static_cast<float>(c);
        (*t)[2 * at + 1] = static_cast<float>(std::max(r, 0.0));
    }
};

// Fills the w x h picture (both even) from the panorama, its columns shifted by `shift`: luma
// per pixel, chroma at the centre of each 2 x 2 block. Outside the image circles the picture is
// black.
void RenderPlanes(const LocateTable& table, double shift, const Planes& pano, Planes pic) {
    auto band = [&](int part, int parts) {
        const int y0 = pic.h * part / parts, y1 = pic.h * (part + 1) / parts;
        uint8_t* luma = pic.Plane(0);
        for (int y = y0; y < y1; ++y) {
            for (int x = 0; x < pic.w; ++x) {
                const float* at = &table.luma[2 * (static_cast<size_t>(y) * pic.w + x)];
                uint8_t v = 0;
                if (at[1] >= 0)
                    v = ToByte(Sample(pano.Plane(0), pano.w, pano.h, at[0] + shift, at[1]));
                luma[static_cast<size_t>(y) * pic.w + x] = v;
            }
        }
        const int c0 = pic.ch * part / parts, c1 = pic.ch * (part + 1) / parts;
        for (int y = c0; y < c1; ++y) {
            for (int x = 0; x < pic.cw; ++x) {
                const size_t i = static_cast<size_t>(y) * pic.cw + x;
                const float* at = &table.chroma[2 * i];
                uint8_t cb = 128, cr = 128;
                if (at[1] >= 0) {
                    // Panorama chroma sample k sits at luma position 2k + 0.5.
                    const double pc = (at[0] + shift - 0.5) / 2, pr = (at[1] - 0.5) / 2;
                    cb = ToByte(Sample(pano.Plane(1), pano.cw, pano.ch, pc, pr));
                    cr = ToByte(Sample(pano.Plane(2), pano.cw, pano.ch, pc, pr));
                }
                pic.Plane(1)[i] = cb;
                pic.Plane(2)[i] = cr;
            }
        }
    };
    const int parts = static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 8u));
    std::vector<std::thread> workers;
    for (int p = 1; p < parts; ++p) workers.emplace_back(band, p, parts);
    band(0, parts);
    for (std::thread& t : workers) t.join();
}

// The panorama and the locate table of the last picture geometry asked for, so that the frames
// of a video cost one sampling pass each. Guarded by its mutex.
struct RenderCache {
    std::mutex mutex;
    std::string panoKey, tableKey;
    std::shared_ptr<std::vector<uint8_t>> pano;
    std::shared_ptr<const LocateTable> table;
};

RenderCache& Cache() {
    static RenderCache cache;
    return cache;
}

template <typename Inverse>
int RenderWith(const Inverse& inverse, const std::string& geometryKey, int w, int h, int wo,
               const RenderOptions& opt, std::vector<uint8_t>* yuv) {
    const std::string panoKey =
        (opt.panorama.empty() ? std::string(kEarthPanorama) : opt.panorama) + "@" +
        std::to_string(wo);
    // Odd sizes are rendered one pixel larger; the JPEG frame header then declares the size
    // asked for.
    const int w2 = w + w % 2, h2 = h + h % 2;
    const std::string tableKey = geometryKey + "@" + std::to_string(w2) + "x" + std::to_string(h2);
    std::shared_ptr<std::vector<uint8_t>> pano;
    std::shared_ptr<const LocateTable> table;
    {
        std::lock_guard<std::mutex> lock(Cache().mutex);
        if (Cache().panoKey == panoKey) pano = Cache().pano;
        if (Cache().tableKey == tableKey) table = Cache().table;
    }
    if (!pano) {
        auto loaded = std::make_shared<std::vector<uint8_t>>();
        if (int rc = LoadPanoramaImpl(opt.panorama, wo, loaded.get()); rc != 0) return rc;
        pano = loaded;
    }
    if (!table) {
        auto built = std::make_shared<LocateTable>();
        built->Build(inverse, w2, h2);
        table = built;
    }
    {
        std::lock_guard<std::mutex> lock(Cache().mutex);
        Cache().panoKey = panoKey;
        Cache().pano = pano;
        Cache().tableKey = tableKey;
        Cache().table = table;
    }
    yuv->assign(Yuv420Size(w2, h2), 0);
    // Turning the view is a shift of the panorama's columns (they wrap around).
    RenderPlanes(*table, opt.turnDegrees / 360.0 * wo, Planes(wo, wo / 2, pano->data()),
                 Planes(w2, h2, yuv->data()));
    return 0;
}

int RenderDualImpl(int w, int h, const DualLensValues& dual, const RenderOptions& opt,
                   std::vector<uint8_t>* yuv) {
    if (!yuv || w < 4 || w % 2 || h != w / 2 || w > 16384) return kErrArgs;
    // The record exactly as a reader decodes it from the trailer.
    const std::vector<uint8_t> bytes = EncodeDualLensRecord(dual);
    DualLensRecord record;
    DecodeDualLensRecord(bytes.data(), &record);
    DualLensInverse inverse;
    if (!inverse.Init(record, w)) return kErrArgs;
    return RenderWith(inverse, "dual:" + std::string(bytes.begin(), bytes.end()), w, h, w, opt,
                      yuv);
}

int RenderSingleImpl(int w, int h, const SingleLensValues& single, const RenderOptions& opt,
                     std::vector<uint8_t>* yuv) {
    if (!yuv || w < 2 || h < 2 || w > 16384 || h > 16384) return kErrArgs;
    SingleLensInverse inverse;
    inverse.Init(single.cx, single.cy, single.r, w, h);
    const std::vector<uint8_t> bytes = EncodeSingleLensRecord(single);
    const std::string key = "single:" + std::string(bytes.begin(), bytes.end());
    return RenderWith(inverse, key, w, h, inverse.panoramaWidth(), opt, yuv);
}

int EncodeAndWrap(const std::string& path, int w, int h, const std::vector<uint8_t>& yuv,
                  const TrailerSpec& wanted, JpegLayout layout) {
    const std::vector<uint8_t> trailer = BuildTrailer(wanted);
    if (trailer.empty()) return kErrArgs;
    const fs::path raw = TempFile(".yuv");
    std::error_code ec;
    if (!WriteFile(raw.string(), yuv)) {
        fs::remove(raw, ec);
        return kErrIo;
    }
    const std::vector<std::string> args = {
        "-f",
        "rawvideo",
        "-pix_fmt",
        "yuvj420p",
        "-s",
        std::to_string(w + w % 2) + "x" + std::to_string(h + h % 2),
        "-i",
        raw.string(),
        "-frames:v",
        "1",
        "-c:v",
        "mjpeg",
        "-pix_fmt",
        "yuvj420p",
        "-q:v",
        "2",
        "-map_metadata",
        "-1",
        "-fflags",
        "+bitexact",
        "-flags",
        "+bitexact",
        "-f",
        "mjpeg"};
    std::vector<uint8_t> jpg;
    const int rc = FfmpegToBytes(args, ".jpg", &jpg);
    fs::remove(raw, ec);
    if (rc != 0) return rc;
    return WrapPicture(path, w, h, jpg, trailer, layout);
}

TrailerSpec WithLensRecord(int cameraType, std::vector<uint8_t> lens) {
    TrailerSpec t;
    t.records = DefaultRecords(cameraType);
    for (Record& r : t.records) {
        if (r.type == 7) r.value = std::move(lens);
    }
    return t;
}

}  // namespace

TrailerSpec DefaultTrailer(const DualLensValues& dual) {
    return WithLensRecord(2, EncodeDualLensRecord(dual));
}

TrailerSpec DefaultTrailer(const SingleLensValues& single) {
    return WithLensRecord(1, EncodeSingleLensRecord(single));
}

bool LoadPanorama(const std::string& path, int wo, std::vector<uint8_t>* yuv420) {
    try {
        const std::string key =
            (path.empty() ? std::string(kEarthPanorama) : path) + "@" + std::to_string(wo);
        {
            std::lock_guard<std::mutex> lock(Cache().mutex);
            if (Cache().panoKey == key && Cache().pano) {
                *yuv420 = *Cache().pano;
                return true;
            }
        }
        if (LoadPanoramaImpl(path, wo, yuv420) != 0) return false;
        std::lock_guard<std::mutex> lock(Cache().mutex);
        Cache().panoKey = key;
        Cache().pano = std::make_shared<std::vector<uint8_t>>(*yuv420);
        return true;
    } catch (...) {
        return false;
    }
}

int RenderDualPicture(int w, int h, const DualLensValues& dual, const RenderOptions& opt,
                      std::vector<uint8_t>* yuv420) {
    try {
        return RenderDualImpl(w, h, dual, opt, yuv420);
    } catch (...) {
        return kErrIo;
    }
}

int RenderSinglePicture(int w, int h, const SingleLensValues& single, const RenderOptions& opt,
                        std::vector<uint8_t>* yuv420) {
    try {
        return RenderSingleImpl(w, h, single, opt, yuv420);
    } catch (...) {
        return kErrIo;
    }
}

int WriteRenderedDualPhoto(const std::string& path, int w, int h, const DualLensValues& dual,
                           const TrailerSpec& trailer, const RenderOptions& opt,
                           JpegLayout layout) {
    try {
        std::vector<uint8_t> yuv;
        if (int rc = RenderDualImpl(w, h, dual, opt, &yuv); rc != 0) return rc;
        return EncodeAndWrap(path, w, h, yuv, trailer, layout);
    } catch (...) {
        return kErrIo;
    }
}

int WriteRenderedSinglePhoto(const std::string& path, int w, int h, const SingleLensValues& single,
                             const TrailerSpec& trailer, const RenderOptions& opt,
                             JpegLayout layout) {
    try {
        std::vector<uint8_t> yuv;
        if (int rc = RenderSingleImpl(w, h, single, opt, &yuv); rc != 0) return rc;
        return EncodeAndWrap(path, w, h, yuv, trailer, layout);
    } catch (...) {
        return kErrIo;
    }
}

}  // namespace sample
