// The calibration readers: every result code, the single-lens frame scalings and
// the process-wide lens circle.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "calib/trailer.h"
#include "lens/mesh.h"
#include "sample/samplegen.h"
#include "support/camera.h"

using sample::Record;
using testutil::JpegWithExif;
using testutil::Mp4WithUdtaInMoov;
using testutil::TrailerOf;

namespace {

std::vector<Record> SingleRecords(float cx, float cy, float r) {
    sample::SingleLensValues v;
    v.cx = cx, v.cy = cy, v.r = r;
    return {sample::CameraTextRecord("CAM"), sample::CameraTypeRecord(1),
            Record{7, sample::EncodeSingleLensRecord(v)}};
}

struct Mesh {
    std::vector<float> a = std::vector<float>(kStitchMeshFloats, -7.0f);
    std::vector<float> b = std::vector<float>(kStitchMeshFloats, -7.0f);
    bool Untouched() const {
        for (size_t i = 0; i < a.size(); ++i)
            if (a[i] != -7.0f || b[i] != -7.0f) return false;
        return true;
    }
};

int SinglePhoto(const std::vector<uint8_t>& trailer, int w, int h, Mesh* m) {
    const auto file = JpegWithExif(trailer);
    platform::MemorySource src(file.data(), file.size());
    return ReadSingleLensCalibrationFrom(src, kTrailerInJpeg, w, h, m->a.data());
}

int SingleVideo(const std::vector<uint8_t>& trailer, int w, int h, Mesh* m) {
    const auto file = Mp4WithUdtaInMoov(trailer);
    platform::MemorySource src(file.data(), file.size());
    return ReadSingleLensCalibrationFrom(src, kTrailerInMp4, w, h, m->a.data());
}

int Dual(const std::vector<uint8_t>& trailer, int w, int h, Mesh* m, bool photo = true) {
    const auto file = photo ? JpegWithExif(trailer) : Mp4WithUdtaInMoov(trailer);
    platform::MemorySource src(file.data(), file.size());
    return ReadDualLensCalibrationFrom(src, photo ? kTrailerInJpeg : kTrailerInMp4, w, h,
                                       m->a.data(), m->b.data());
}

int CameraType(const std::vector<uint8_t>& file) {
    platform::MemorySource src(file.data(), file.size());
    return ReadCameraTypeFrom(src);
}

class Readers : public ::testing::Test {
  protected:
    void SetUp() override { ResetLensCircleState(); }
};

}  // namespace

TEST_F(Readers, CameraTypeFromPhotoAndVideoTrailers) {
    EXPECT_EQ(CameraType(JpegWithExif(testutil::DefaultTrailer(1))), 1);
    EXPECT_EQ(CameraType(JpegWithExif(testutil::DefaultTrailer(2))), 2);
    EXPECT_EQ(CameraType(Mp4WithUdtaInMoov(testutil::DefaultTrailer(2))), 2);
}

TEST_F(Readers, CameraTypeCodes) {
    using sample::CameraTextRecord;
    using sample::CameraTypeRecord;
    EXPECT_EQ(CameraType({}), kCalibNoPath);
    EXPECT_EQ(CameraType(JpegWithExif({'n', 'o', 'n', 'e'})), kCalibNoPath);
    EXPECT_EQ(CameraType(JpegWithExif(
                  TrailerOf(sample::DefaultRecords(1), sample::Corruption::EmptyBase64))),
              kCalibNoPath);
    EXPECT_EQ(CameraType(JpegWithExif(
                  TrailerOf(sample::DefaultRecords(1), sample::Corruption::BadPadding))),
              kCalibTypeDecipherFailed);
    // Without a type-5 record the answer is 1015 whatever the text record says.
    EXPECT_EQ(CameraType(JpegWithExif(TrailerOf({CameraTextRecord("CAM")}))), kCalibUnknownCamera);
    EXPECT_EQ(CameraType(JpegWithExif(TrailerOf({}))), kCalibUnknownCamera);
    // A type of 3 gives 1015 with the text record and 1011 without it.
    EXPECT_EQ(CameraType(JpegWithExif(TrailerOf({CameraTextRecord("CAM"), CameraTypeRecord(3)}))),
              kCalibUnknownCamera);
    EXPECT_EQ(CameraType(JpegWithExif(TrailerOf({CameraTypeRecord(3)}))), kCalibNoCameraText);
    EXPECT_EQ(CameraType(JpegWithExif(TrailerOf({CameraTypeRecord(2)}))), kCalibNoCameraText);
    EXPECT_EQ(CameraType(JpegWithExif(
                  TrailerOf({CameraTextRecord(std::string(37, 'x')), CameraTypeRecord(2)}))),
              kCalibNoCameraText);
    EXPECT_EQ(CameraType(JpegWithExif(
                  TrailerOf({CameraTextRecord(std::string(36, 'x')), CameraTypeRecord(2)}))),
              2);
    // A declared total past the data parses no records.
    EXPECT_EQ(CameraType(JpegWithExif(
                  TrailerOf(sample::DefaultRecords(2), sample::Corruption::None, 99999))),
              kCalibUnknownCamera);
}

TEST_F(Readers, LensReaderCodesForEachFailingStep) {
    Mesh m;
    const auto recs = SingleRecords(960, 540, 540);
    struct Case {
        std::vector<uint8_t> trailer;
        int photo, video, dual;
    } cases[] = {
        {TrailerOf(recs, sample::Corruption::NoMarker), kCalibNoMarker, kCalibNoMarker,
         kCalibNoMarker},
        {TrailerOf(recs, sample::Corruption::EmptyBase64), kCalibNothingDecoded,
         kCalibNothingDecoded, kCalibNothingDecoded},
        {TrailerOf(recs, sample::Corruption::CipherNotBlockMultiple), kCalibDecipherFailed,
         kCalibDecipherFailed, kCalibDecipherFailed},
        {TrailerOf(recs, sample::Corruption::BadPadding), kCalibDecipherFailed,
         kCalibDecipherFailed, kCalibDecipherFailed},
        {TrailerOf({sample::CameraTextRecord("CAM"), recs[2]}), kCalibNoCameraType,
         kCalibNoCameraType, kCalibNoCameraType},
        {TrailerOf(recs, sample::Corruption::None, 99999), kCalibNoCameraType, kCalibNoCameraType,
         kCalibNoCameraType},
        {TrailerOf({recs[0], recs[1]}), kCalibBadLensRecord, kCalibBadLensRecord,
         kCalibBadLensRecord},
        // A single-lens record is the wrong length for the dual-lens reader.
        {TrailerOf(recs), kCalibCircleChanged, kCalibOk, kCalibBadLensRecord},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SinglePhoto(c.trailer, 1920, 1080, &m), c.photo);
        EXPECT_EQ(SingleVideo(c.trailer, 1920, 1080, &m), c.video);
        Mesh d;
        EXPECT_EQ(Dual(c.trailer, 1920, 960, &d), c.dual);
        if (c.dual >= 1000) {
            EXPECT_TRUE(d.Untouched());
        }
    }
    // No container data: 1004 for the photo reader, 1003 for the others.
    const std::vector<uint8_t> junk = {'j', 'u', 'n', 'k'};
    platform::MemorySource src(junk.data(), junk.size());
    EXPECT_EQ(ReadSingleLensCalibrationFrom(src, kTrailerInJpeg, 1920, 1080, m.a.data()),
              kCalibNoPhotoData);
    EXPECT_EQ(ReadSingleLensCalibrationFrom(src, kTrailerInMp4, 1920, 1080, m.a.data()),
              kCalibNoVideoData);
    EXPECT_EQ(ReadDualLensCalibrationFrom(src, kTrailerInJpeg, 1920, 960, m.a.data(), m.b.data()),
              kCalibNoVideoData);
    // Paths that are missing or do not exist.
    EXPECT_EQ(ReadCameraType(nullptr), kCalibNoPath);
    EXPECT_EQ(ReadSingleLensCalibrationFromPhoto("", 1920, 1080, m.a.data()), kCalibNoPath);
    EXPECT_EQ(ReadSingleLensCalibrationFromPhoto("/nonexistent.jpg", 1920, 1080, m.a.data()),
              kCalibNoPhotoData);
    EXPECT_EQ(ReadSingleLensCalibrationFromVideo("/nonexistent.mp4", 1920, 1080, m.a.data()),
              kCalibNoVideoData);
    EXPECT_EQ(ReadDualLensCalibrationFromVideo(nullptr, 1920, 960, m.a.data(), m.b.data()),
              kCalibNoPath);
}

TEST_F(Readers, DualLensChecksTheFrameBeforeAnythingElse) {
    Mesh m;
    EXPECT_EQ(ReadDualLensCalibrationFromVideo(nullptr, 1920, 1080, m.a.data(), m.b.data()),
              kCalibFrameNotTwoToOne);
    EXPECT_EQ(ReadDualLensCalibrationFromPhoto("/nonexistent", 1921, 960, m.a.data(), m.b.data()),
              kCalibFrameNotTwoToOne);
    EXPECT_TRUE(m.Untouched());
}

TEST_F(Readers, DualLensRecordLengthsAndValues) {
    using sample::CameraTextRecord;
    using sample::CameraTypeRecord;
    auto dualWith = [](const sample::DualLensValues& v, size_t cut = 0) {
        std::vector<uint8_t> rec = sample::EncodeDualLensRecord(v);
        rec.resize(rec.size() - cut);
        return TrailerOf({CameraTextRecord("CAM"), CameraTypeRecord(2), Record{7, rec}});
    };
    Mesh m;
    sample::DualLensValues v;
    EXPECT_EQ(Dual(dualWith(v), 1920, 960, &m), kCalibOk);
    EXPECT_EQ(Dual(dualWith(v), 3840, 1920, &m, false), kCalibOk);
    v.long1656 = true;
    EXPECT_EQ(Dual(dualWith(v), 1920, 960, &m), kCalibOk);
    v.long1656 = false;
    EXPECT_EQ(Dual(dualWith(v, 52), 1920, 960, &m), kCalibBadLensRecord);  // 1600 bytes
    for (int model : {-1, 3, 1000}) {
        sample::DualLensValues bad;
        bad.model = model;
        EXPECT_EQ(Dual(dualWith(bad), 1920, 960, &m), kCalibBadLensRecord) << model;
    }
    for (int n : {-1, 51}) {
        sample::DualLensValues bad;
        bad.n = n;
        EXPECT_EQ(Dual(dualWith(bad), 1920, 960, &m), kCalibBadLensRecord) << n;
    }
    // The camera-type value itself does not matter to the lens readers.
    std::vector<uint8_t> rec = sample::EncodeDualLensRecord(sample::DualLensValues());
    EXPECT_EQ(Dual(TrailerOf({CameraTypeRecord(9), Record{7, rec}}), 1920, 960, &m), kCalibOk);
}

TEST_F(Readers, SingleLensScalesTheCircleToTheFrame) {
    struct Case {
        int w, h;
        float cx, cy, r;
        int x, y;
        float rOut;
    } cases[] = {
        {1920, 1080, 960, 540, 540, 960, 540, 530.0f},
        {3840, 2160, 960, 540, 540, 1920, 1080, 1060.0f},
        {1440, 1080, 960, 540, 540, 720, 540, 530.0f},      // 4:3 crop: 240 to the left
        {1080, 1080, 960, 540, 540, 540, 540, 530.0f},      // square crop: 420 to the left
        {1944, 1080, 960, 540, 540, 972, 540, 530.0f},      // 9:5: 12 added to x
        {720, 540, 960.7f, 540.9f, 540, 360, 270, 265.0f},  // 4:3 at half scale, truncated
        {1280, 720, 961.9f, 540, 540, 640, 360, 353.3333f},
    };
    for (const Case& c : cases) {
        Mesh m;
        const int r = SinglePhoto(TrailerOf(SingleRecords(c.cx, c.cy, c.r)), c.w, c.h, &m);
        ASSERT_LE(r, 1);
        const LensCircle got = CurrentLensCircle();
        EXPECT_EQ(got.x, c.x) << c.w << "x" << c.h;
        EXPECT_EQ(got.y, c.y) << c.w << "x" << c.h;
        EXPECT_NEAR(got.r, c.rOut, 1e-3) << c.w << "x" << c.h;
        // The mesh's first ring sits on the circle's centre.
        EXPECT_FLOAT_EQ(m.a[0], static_cast<float>(c.x));
        EXPECT_FLOAT_EQ(m.a[1], static_cast<float>(c.y));
    }
}

TEST_F(Readers, SingleLensReportsNewCirclesOnce) {
    Mesh m;
    const auto first = TrailerOf(SingleRecords(960, 540, 540));
    const auto second = TrailerOf(SingleRecords(900, 500, 520));
    EXPECT_EQ(SinglePhoto(first, 1920, 1080, &m), kCalibCircleChanged);
    EXPECT_EQ(SinglePhoto(first, 1920, 1080, &m), kCalibOk);
    EXPECT_EQ(SingleVideo(second, 1920, 1080, &m), kCalibCircleChanged);
    EXPECT_EQ(SinglePhoto(first, 1920, 1080, &m), kCalibCircleChanged);
    EXPECT_EQ(LastReportedLensCircle().r, 530.0f);
    // A failed read changes neither circle nor the mesh.
    Mesh untouched;
    EXPECT_EQ(SinglePhoto(TrailerOf(SingleRecords(1, 2, 3), sample::Corruption::BadPadding), 1920,
                          1080, &untouched),
              kCalibDecipherFailed);
    EXPECT_TRUE(untouched.Untouched());
    EXPECT_EQ(CurrentLensCircle().x, 960);
    // The same file at another frame size is a new circle.
    EXPECT_EQ(SinglePhoto(first, 3840, 2160, &m), kCalibCircleChanged);
    // A zero circle is "as before" at start.
    ResetLensCircleState();
    EXPECT_EQ(SinglePhoto(TrailerOf(SingleRecords(0, 0, 10.5f)), 1920, 1080, &m), kCalibOk);
}

TEST_F(Readers, DamagedLensValuesStayDefined) {
    Mesh m;
    const float nan = std::nanf("");
    // Values that make no circle are refused (see UnusableSingleLensRecordsAreRefused).
    EXPECT_EQ(SinglePhoto(TrailerOf(SingleRecords(nan, 1e30f, -1e30f)), 1920, 1080, &m),
              kCalibBadLensRecord);
    // A huge radius is reported once, then compared again without overflow.
    const auto huge = TrailerOf(SingleRecords(960, 540, 1e30f));
    EXPECT_EQ(SinglePhoto(huge, 1920, 1080, &m), kCalibCircleChanged);
    EXPECT_EQ(SinglePhoto(huge, 1920, 1080, &m), kCalibOk);
    sample::DualLensValues v;
    v.cx1 = nan;
    v.r2 = 1e38f;
    v.fov = 0;
    v.n = 50;
    for (auto& l : v.lines1) l[0] = l[1] = l[2] = l[3] = 480;  // degenerate lines
    const auto t = TrailerOf({sample::CameraTextRecord("CAM"), sample::CameraTypeRecord(2),
                              Record{7, sample::EncodeDualLensRecord(v)}});
    EXPECT_EQ(Dual(t, 1920, 960, &m), kCalibOk);
}

// A single-lens record whose circle cannot be used: no finite values, no radius, or a circle
// entirely outside the 1920 x 1080 frame the record is written for. Both readers refuse it
// as a bad lens record and leave the mesh and the circle state as they were.
TEST_F(Readers, UnusableSingleLensRecordsAreRefused) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    Mesh m;
    ASSERT_EQ(SinglePhoto(TrailerOf(SingleRecords(900, 500, 520)), 1920, 1080, &m),
              kCalibCircleChanged);
    const LensCircle before = CurrentLensCircle();
    const float refused[][3] = {
        {960, 540, 0},    {960, 540, -0.5f}, {960, 540, -540},  {nan, 540, 540},
        {960, nan, 540},  {960, 540, nan},   {inf, 540, 540},   {960, -inf, 540},
        {960, 540, inf},  {2500, 540, 540},  {-541, 540, 540},  {960, 1700, 540},
        {960, -600, 540}, {2400, 1500, 600}, {-400, -400, 550},  // nearest corners 638 and 566 away
    };
    for (const auto& c : refused) {
        Mesh untouched;
        const auto trailer = TrailerOf(SingleRecords(c[0], c[1], c[2]));
        EXPECT_EQ(SinglePhoto(trailer, 1920, 1080, &untouched), kCalibBadLensRecord)
            << c[0] << " " << c[1] << " " << c[2];
        EXPECT_EQ(SingleVideo(trailer, 1440, 1080, &untouched), kCalibBadLensRecord)
            << c[0] << " " << c[1] << " " << c[2];
        EXPECT_TRUE(untouched.Untouched());
    }
    const LensCircle after = CurrentLensCircle();
    EXPECT_EQ(after.x, before.x);
    EXPECT_EQ(after.y, before.y);
    EXPECT_EQ(after.r, before.r);
    // Circles that reach into the frame from outside it, or are tiny, are used.
    for (const auto& c : {std::vector<float>{-539, 540, 540}, std::vector<float>{2400, 1500, 700},
                          std::vector<float>{960, 540, 1e-3f}, std::vector<float>{0, 0, 10.5f}}) {
        EXPECT_LE(SinglePhoto(TrailerOf(SingleRecords(c[0], c[1], c[2])), 1920, 1080, &m), 1)
            << c[0] << " " << c[1] << " " << c[2];
    }
}

TEST(SingleLensRecord, UsableOnlyWithTwentyEightBytesOfCircle) {
    sample::SingleLensValues v;
    std::vector<uint8_t> value = sample::EncodeSingleLensRecord(v);
    CalibrationRecord rec{7, 28, value.data()};
    EXPECT_TRUE(IsUsableSingleLensRecord(rec));
    rec.length = 27;
    EXPECT_FALSE(IsUsableSingleLensRecord(rec));
    value.resize(32);
    rec.value = value.data();
    rec.length = 32;
    EXPECT_FALSE(IsUsableSingleLensRecord(rec));
}
