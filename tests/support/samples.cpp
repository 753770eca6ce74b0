#include "support/samples.h"

#include <gtest/gtest.h>

#include <memory>

#include "support/camera.h"

namespace testutil {

namespace {

std::string MakeVideo(const TempDir& dir, const std::string& name, int cameraType, int w, int h,
                      sample::Mp4Placement place, bool spherical = false) {
    sample::Mp4Options o;
    o.width = w;
    o.height = h;
    o.seconds = 0.5;
    o.placement = place;
    o.sphericalBox = spherical;
    o.cameraType = cameraType;
    const std::string path = dir.File(name);
    const auto trailer = cameraType == 0 ? std::vector<uint8_t>() : DefaultTrailer(cameraType);
    EXPECT_EQ(sample::WriteMp4(path, trailer, o), 0) << path;
    return path;
}

std::string MakePhoto(const TempDir& dir, const std::string& name, int cameraType, int w, int h,
                      sample::JpegLayout layout = sample::JpegLayout::App0ThenApp1) {
    const std::string path = dir.File(name);
    const auto trailer = cameraType == 0 ? std::vector<uint8_t>() : DefaultTrailer(cameraType);
    EXPECT_EQ(sample::WriteJpeg(path, w, h, trailer,
                                cameraType == 0 ? sample::JpegLayout::NoApp1 : layout),
              0)
        << path;
    return path;
}

}  // namespace

const SampleFiles& Samples() {
    static std::unique_ptr<TempDir> dir;
    static std::unique_ptr<SampleFiles> files;
    if (files) return *files;
    dir = std::make_unique<TempDir>();
    files = std::make_unique<SampleFiles>();
    using P = sample::Mp4Placement;
    files->dualPhoto = MakePhoto(*dir, "dual.jpg", 2, 1920, 960);
    files->singlePhoto =
        MakePhoto(*dir, "single.JPG", 1, 1920, 1080, sample::JpegLayout::App1First);
    files->plainPano = MakePhoto(*dir, "pano.jpg", 0, 1024, 512);
    files->plainPhoto = MakePhoto(*dir, "plain.jpg", 0, 900, 600);
    files->dualVideo = MakeVideo(*dir, "dual.mp4", 2, 1920, 960, P::MoovUdta);
    files->dualVideoTrak = MakeVideo(*dir, "dual-trak.mp4", 2, 1920, 960, P::TrakUdta);
    files->singleVideoUdat = MakeVideo(*dir, "single.mov", 1, 1280, 720, P::TopLevelUdat);
    files->mdiaVideo = MakeVideo(*dir, "mdia.mp4", 2, 1920, 960, P::MdiaUdta);
    files->sphericalVideo = MakeVideo(*dir, "sphere.mp4", 0, 1280, 640, P::None, true);
    files->wideVideo = MakeVideo(*dir, "wide.mp4", 2, 1922, 960, P::MoovUdta);
    files->unicodePhoto = MakePhoto(*dir, "全景 照片 é.jpg", 2, 1920, 960);
    return *files;
}

}  // namespace testutil
