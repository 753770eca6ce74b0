// The probe on real files, with the real media-information library.
#include <gtest/gtest.h>

#include <clocale>

#include "calib/trailer.h"
#include "player/probe.h"
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
