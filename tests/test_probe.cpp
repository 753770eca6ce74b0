// The probe on real files, with the real media-information library.
#include <gtest/gtest.h>

#include <chrono>
#include <clocale>

#include "calib/trailer.h"
#include "player/mp4_frame.h"
#include "player/probe.h"
#include "sample/samplegen.h"
#include "support/boxes.h"
#include "support/samples.h"

namespace {

class ProbeTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        std::setlocale(LC_ALL, "C.UTF-8");
        ASSERT_TRUE(mediaInfo().Load());
    }
    static CMediaInfo& mediaInfo() {
        static CMediaInfo mi;
        return mi;
    }
    void SetUp() override { ResetLensCircleState(); }
    const testutil::SampleFiles& s = testutil::Samples();
};

using testutil::Bytes;

// A copy of a sample video whose "stts" declares 2^32 - 1 entries in its few
// bytes: the damage that keeps a general media parser busy for minutes.
std::string WithHugeSttsCount(const std::string& from, const std::string& to) {
    Bytes b = testutil::ReadFile(from);
    testutil::Box stts;
    EXPECT_TRUE(testutil::FindPath(b, "moov/trak/mdia/minf/stbl/stts", &stts)) << from;
    testutil::PutBe32(b, stts.body() + 4, 0xffffffffu);
    EXPECT_TRUE(testutil::WriteBytes(to, b));
    return to;
}

template <typename F>
double SecondsOf(F f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

TEST_F(ProbeTest, MediaInfoReadsPictureSizes) {
    int w = 0, h = 0;
    mediaInfo().FrameSize(s.dualPhoto.c_str(), true, &w, &h);
    EXPECT_EQ(w, 1920);
    EXPECT_EQ(h, 960);
    mediaInfo().FrameSize(s.singleVideoUdat.c_str(), false, &w, &h);
    EXPECT_EQ(w, 1280);
    EXPECT_EQ(h, 720);
    // The photo's image stream is not a video stream.
    mediaInfo().FrameSize(s.dualPhoto.c_str(), false, &w, &h);
    EXPECT_EQ(w, 0);
    mediaInfo().FrameSize(s.unicodePhoto.c_str(), true, &w, &h);
    EXPECT_EQ(w, 1920);
    mediaInfo().FrameSize("/nonexistent.jpg", true, &w, &h);
    EXPECT_EQ(w, 0);
    EXPECT_EQ(h, 0);
    CMediaInfo missing;
    EXPECT_FALSE(missing.Load("libdoesnotexist.so.9"));
    missing.FrameSize(s.dualPhoto.c_str(), true, &w, &h);
    EXPECT_EQ(w, 0);
}

TEST_F(ProbeTest, CalibratedFilesAreShownWithTheirViewMode) {
    CMediaProbe p(&mediaInfo());
    EXPECT_EQ(p.Probe(true, s.dualPhoto.c_str()), kProbeOk);
    EXPECT_EQ(p.m_nCameraType, 2);
    EXPECT_EQ(p.m_nViewMode, 2);
    EXPECT_EQ(p.m_nCalibResult, 0);
    ASSERT_NE(p.m_pMeshB, nullptr);
    EXPECT_GT(p.m_pMeshB[0], 960.0f);  // the second lens lies in the right half
    const float* meshA = p.m_pMeshA;

    EXPECT_EQ(p.Probe(true, s.singlePhoto.c_str()), kProbeOk);
    EXPECT_EQ(p.m_nCameraType, 1);
    EXPECT_EQ(p.m_nViewMode, 3);
    EXPECT_EQ(p.m_nCalibResult, 1);
    EXPECT_EQ(p.m_pMeshA, meshA);  // buffers are kept between files

    for (const std::string* v : {&s.dualVideo, &s.dualVideoTrak, &s.singleVideoUdat}) {
        EXPECT_EQ(p.Probe(false, v->c_str()), kProbeOk) << *v;
    }
    EXPECT_EQ(p.Probe(true, s.unicodePhoto.c_str()), kProbeOk);
}

TEST_F(ProbeTest, UncalibratedFilesMustAlreadyBePanoramas) {
    CMediaProbe p(&mediaInfo());
    EXPECT_EQ(p.Probe(true, s.plainPano.c_str()), kProbeOk);
    EXPECT_EQ(p.m_nCameraType, kCalibNoPath);
    EXPECT_EQ(p.m_nViewMode, 2);
    EXPECT_EQ(p.m_pMeshA, nullptr);  // no mesh without a calibration
    EXPECT_EQ(p.Probe(true, s.plainPhoto.c_str()), kProbeRefused);
    EXPECT_EQ(p.Probe(false, s.sphericalVideo.c_str()), kProbeOk);
    EXPECT_EQ(p.Probe(false, s.mdiaVideo.c_str()), kProbeRefused);
    EXPECT_EQ(p.m_nCameraType, kCalibNoPath);
}

TEST_F(ProbeTest, RefusalsForSizeAndCalibration) {
    CMediaProbe p(&mediaInfo());
    EXPECT_EQ(p.Probe(false, s.wideVideo.c_str()), kProbeTooWide);
    EXPECT_EQ(p.m_nCalibResult, -1);  // refused before any mesh was read
    EXPECT_EQ(p.m_pMeshA, nullptr);
    // A dual-lens file with a 16:9 frame size.
    CFixedFrameSize wrong(1920, 1080);
    CMediaProbe q(&wrong);
    EXPECT_EQ(q.Probe(false, s.dualVideo.c_str()), kProbeRefused);
    EXPECT_EQ(q.m_nCalibResult, kCalibFrameNotTwoToOne);
    // No readable size: nothing can be shown.
    EXPECT_EQ(p.Probe(true, "/nonexistent.jpg"), kProbeRefused);
    CFixedFrameSize none(0, 0);
    CMediaProbe r(&none);
    EXPECT_EQ(r.Probe(true, s.plainPano.c_str()), kProbeRefused);
}

TEST_F(ProbeTest, InspectGivesTheSameResultAndTheWholeReport) {
    CMediaProbe p(&mediaInfo());
    // A file refused for its size: the lens is still read for the report.
    EXPECT_EQ(p.Inspect(false, s.wideVideo.c_str()), kProbeTooWide);
    EXPECT_EQ(p.m_nCalibResult, kCalibFrameNotTwoToOne);
    EXPECT_EQ(p.m_nSpherical, 0);
    // The meshes of each inspected file, or zeros.
    EXPECT_EQ(p.Inspect(true, s.dualPhoto.c_str()), kProbeOk);
    ASSERT_NE(p.m_pMeshB, nullptr);
    EXPECT_GT(p.m_pMeshB[0], 960.0f);
    EXPECT_EQ(p.Inspect(true, s.singlePhoto.c_str()), kProbeOk);
    EXPECT_EQ(p.m_pMeshB[0], 0.0f);
    EXPECT_EQ(p.Inspect(false, s.sphericalVideo.c_str()), kProbeOk);
    EXPECT_EQ(p.m_nSpherical, 1);
    // Probe and Inspect agree wherever Probe gets that far.
    for (const std::string* f : {&s.dualVideo, &s.singleVideoUdat, &s.mdiaVideo, &s.plainPhoto}) {
        const bool photo = f == &s.plainPhoto;
        ResetLensCircleState();  // so that both see the circle as new
        const int inspected = p.Inspect(photo, f->c_str());
        const int calib = p.m_nCalibResult;
        ResetLensCircleState();
        EXPECT_EQ(p.Probe(photo, f->c_str()), inspected) << *f;
        EXPECT_EQ(p.m_nCalibResult, calib) << *f;
    }
    EXPECT_EQ(p.Inspect(false, "/nonexistent.mp4"), kProbeRefused);
    EXPECT_EQ(p.m_nCameraType, kCalibNoPath);
    EXPECT_EQ(p.m_nSpherical, 0);
}

TEST_F(ProbeTest, DamagedSampleTableIsRefusedAtOnce) {
    testutil::TempDir dir;
    const std::string video = WithHugeSttsCount(s.dualVideo, dir.File("stall.mp4"));
    // The same bytes under a photo's name: the content decides, not the name.
    const std::string photo = WithHugeSttsCount(s.dualVideo, dir.File("stall.jpg"));
    CMediaProbe p(&mediaInfo());
    int probed = 0, inspected = 0, asPhoto = 0;
    // A generous bound: the answer takes milliseconds, the stall a minute or more.
    EXPECT_LT(SecondsOf([&] { probed = p.Probe(false, video.c_str()); }), 5.0);
    EXPECT_EQ(probed, kProbeRefused);
    EXPECT_EQ(p.m_nWidth, 0);
    EXPECT_EQ(p.m_nHeight, 0);
    EXPECT_LT(SecondsOf([&] { inspected = p.Inspect(false, video.c_str()); }), 5.0);
    EXPECT_EQ(inspected, kProbeRefused);
    EXPECT_EQ(p.m_nCameraType, 2);  // the trailer is still read for the report
    EXPECT_LT(SecondsOf([&] { asPhoto = p.Probe(true, photo.c_str()); }), 5.0);
    EXPECT_EQ(asPhoto, kProbeRefused);
    EXPECT_EQ(p.m_nWidth, 0);
}

TEST_F(ProbeTest, Mp4SizesComeFromTheContentNotTheName) {
    testutil::TempDir dir;
    const auto size = [](const IFrameSizeSource& from, const std::string& path, bool photo) {
        int w = -1, h = -1;
        from.FrameSize(path.c_str(), photo, &w, &h);
        return std::to_string(w) + "x" + std::to_string(h);
    };
    const auto copy = [&](const std::string& from, const std::string& name, const Bytes& more) {
        Bytes b = testutil::ReadFile(from);
        // A movie box over 64 KiB after the data takes the reader a second open.
        if (!more.empty()) testutil::AppendChild(b, testutil::FindBox(b, "moov"), more);
        EXPECT_TRUE(testutil::WriteBytes(dir.File(name), b));
        return dir.File(name);
    };
    EXPECT_EQ(size(mediaInfo(), copy(s.dualVideo, "clip.bin", {}), false), "1920x960");
    EXPECT_EQ(size(mediaInfo(), copy(s.dualPhoto, "photo.mp4", {}), true), "1920x960");
    EXPECT_EQ(size(mediaInfo(), s.dualVideo, true), "0x0");  // a movie has no photo size
    const Bytes pad = sample::Box("free", Bytes(70000));
    EXPECT_EQ(size(mediaInfo(), copy(s.dualVideo, "late.mp4", pad), false), "1920x960");
    // Movies need no media-information library.
    CMediaInfo missing;
    EXPECT_FALSE(missing.Load("libdoesnotexist.so.9"));
    EXPECT_EQ(size(missing, s.singleVideoUdat, false), "1280x720");
}

TEST(Mp4Structure, KnownTopLevelBoxesMakeAMovie) {
    const auto is = [](const Bytes& b) {
        platform::MemorySource m(b.data(), b.size());
        return IsMp4Structure(m);
    };
    const testutil::SampleFiles& s = testutil::Samples();
    EXPECT_TRUE(is(testutil::ReadFile(s.singleVideoUdat)));
    EXPECT_FALSE(is(testutil::ReadFile(s.dualPhoto)));
    // A QuickTime layout.
    EXPECT_TRUE(is(testutil::Concat({sample::Box("wide", {}), sample::Box("mdat", {1, 2})})));
    // Boxes of unknown types are walked over to a known one.
    EXPECT_TRUE(is(testutil::Concat({sample::Box("abcd", Bytes(20)), sample::Box("moov", {})})));
    // Boxes, but none of a movie; an unknown box overrunning the data.
    EXPECT_FALSE(is(testutil::Concat({sample::Box("jP  ", Bytes(4)), sample::Box("jp2h", {})})));
    Bytes overrun = testutil::Concat({sample::Box("abcd", Bytes(20)), sample::Box("moov", {})});
    testutil::PutBe32(overrun, 0, 4096);
    EXPECT_FALSE(is(overrun));
}

namespace {

// Records what the probe hands its size source.
struct SeenFile final : IFrameSizeSource {
    mutable bool gotFile = false;
    mutable std::string firstType;
    using IFrameSizeSource::FrameSize;
    void FrameSize(const char*, bool, platform::ByteSource* file, int* w, int* h) const override {
        gotFile = file != nullptr;
        char type[4] = {};
        if (file != nullptr && file->Seek(4, platform::kSeekSet) && file->ReadExact(type, 4))
            firstType.assign(type, 4);
        *w = 1920;
        *h = 960;
    }
};

}  // namespace

TEST_F(ProbeTest, SizeSourceReadsTheFileTheProbeOpened) {
    SeenFile seen;
    CMediaProbe p(&seen);
    EXPECT_EQ(p.Probe(false, s.dualVideo.c_str()), kProbeOk);
    EXPECT_TRUE(seen.gotFile);
    EXPECT_EQ(seen.firstType, "ftyp");
    // Nothing was opened: the source gets the path alone.
    p.Probe(true, "/nonexistent.jpg");
    EXPECT_FALSE(seen.gotFile);
}
