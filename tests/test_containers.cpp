// Finding the data block in JPEG segments and MP4 boxes, including damaged layouts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "calib/containers.h"
#include "sample/samplegen.h"
#include "support/boxes.h"
#include "support/camera.h"

using sample::Box;
using testutil::Append;
using testutil::Concat;

namespace {

const std::vector<uint8_t> kData = {'p', 'a', 'y', 'l', 'o', 'a', 'd'};

int WalkUserData(const std::vector<uint8_t>& file, std::string* found = nullptr) {
    platform::MemorySource src(file.data(), file.size());
    ByteBuffer out;
    const int r = WalkMp4Boxes(src, kWalkUserData, &out);
    if (found != nullptr) found->assign(out.data(), out.data() + out.size());
    return r;
}

int ReadJpeg(const std::vector<uint8_t>& file, std::string* found = nullptr) {
    platform::MemorySource src(file.data(), file.size());
    ByteBuffer out;
    const int r = ReadJpegExifPayload(src, &out);
    if (found != nullptr) found->assign(out.data(), out.data() + out.size());
    return r;
}

}  // namespace

TEST(JpegSegments, ReadsExifDirectlyAfterSoiOrAfterOneApp0) {
    std::string got;
    EXPECT_EQ(ReadJpeg(testutil::JpegWithExif(kData), &got), kContainerFound);
    EXPECT_EQ(got, "payload");
    EXPECT_EQ(ReadJpeg(testutil::JpegWithExif(kData, true), &got), kContainerFound);
    EXPECT_EQ(got, "payload");
}

TEST(JpegSegments, OtherLayoutsHoldNoData) {
    std::vector<uint8_t> good = testutil::JpegWithExif(kData);
    std::vector<uint8_t> noSoi = good;
    noSoi[1] = 0xD9;
    EXPECT_EQ(ReadJpeg(noSoi), kContainerNoData);

    // A comment segment before APP1.
    std::vector<uint8_t> com = {0xFF, 0xD8, 0xFF, 0xFE, 0x00, 0x04, 'h', 'i'};
    com.insert(com.end(), good.begin() + 2, good.end());
    EXPECT_EQ(ReadJpeg(com), kContainerNoData);

    // Two APP0 segments.
    std::vector<uint8_t> twoApp0 = testutil::JpegWithExif(kData, true);
    std::vector<uint8_t> app0(twoApp0.begin() + 2, twoApp0.begin() + 20);
    twoApp0.insert(twoApp0.begin() + 2, app0.begin(), app0.end());
    EXPECT_EQ(ReadJpeg(twoApp0), kContainerNoData);

    std::vector<uint8_t> notExif = good;
    notExif[6] = 'X';
    EXPECT_EQ(ReadJpeg(notExif), kContainerNoData);

    // APP0 lengths of 0..2 cannot hold their own length field.
    for (uint8_t len : {0, 1, 2}) {
        std::vector<uint8_t> bad = testutil::JpegWithExif(kData, true);
        bad[4] = 0;
        bad[5] = len;
        EXPECT_EQ(ReadJpeg(bad), kContainerNoData);
    }
    // APP1 lengths below the "Exif" letters, or past the end of the file.
    for (uint16_t len : {0, 5, 60000}) {
        std::vector<uint8_t> bad = good;
        bad[4] = static_cast<uint8_t>(len >> 8);
        bad[5] = static_cast<uint8_t>(len);
        EXPECT_EQ(ReadJpeg(bad), kContainerNoData) << len;
    }
    for (size_t cut = 0; cut < 12; ++cut) {
        EXPECT_EQ(ReadJpeg(std::vector<uint8_t>(good.begin(), good.begin() + cut)),
                  kContainerNoData);
    }
}

TEST(Mp4Boxes, FindsUserDataInMoovInTrakOrAtTopLevel) {
    std::string got;
    EXPECT_EQ(WalkUserData(testutil::Mp4WithUdtaInMoov(kData), &got), kContainerFound);
    EXPECT_EQ(got, "payload");

    const auto ftyp = Box("ftyp", {'m', 'p', '4', '2'});
    const auto mdat = Box("mdat", std::vector<uint8_t>(100, 1));
    const auto inTrak =
        Concat({ftyp, mdat,
                Box("moov", Concat({Box("mvhd", {0, 0, 0, 0}),
                                    Box("trak", Concat({Box("tkhd", {}), Box("udta", kData)}))}))});
    EXPECT_EQ(WalkUserData(inTrak, &got), kContainerFound);
    EXPECT_EQ(got, "payload");

    const auto topLevel = Concat({ftyp, mdat, Box("moov", Box("mvhd", {})), Box("udat", kData)});
    EXPECT_EQ(WalkUserData(topLevel, &got), kContainerFound);
    EXPECT_EQ(got, "payload");
}

TEST(Mp4Boxes, UserDataDeeperThanATrakIsNotFound) {
    const auto inMdia =
        Concat({Box("ftyp", {}), Box("moov", Box("trak", Box("mdia", Box("udta", kData))))});
    EXPECT_EQ(WalkUserData(inMdia), kContainerNoData);
    // A trak at the top level is not entered.
    EXPECT_EQ(WalkUserData(Concat({Box("trak", Box("udta", kData))})), kContainerNoData);
}

TEST(Mp4Boxes, SkipsA64BitMdat) {
    const auto file =
        Concat({Box("ftyp", {}), sample::LargeBox("mdat", std::vector<uint8_t>(300, 7)),
                Box("moov", Box("udta", kData))});
    std::string got;
    EXPECT_EQ(WalkUserData(file, &got), kContainerFound);
    EXPECT_EQ(got, "payload");
}

TEST(Mp4Boxes, TheFirstUserDataBoxWins) {
    const auto file =
        Concat({Box("moov", Concat({Box("udta", {'o', 'n', 'e'}), Box("udta", {'t', 'w', 'o'})}))});
    std::string got;
    EXPECT_EQ(WalkUserData(file, &got), kContainerFound);
    EXPECT_EQ(got, "one");
}

TEST(Mp4Boxes, ChildrenAreCutToTheirParent) {
    // The udta claims 1000 bytes but its moov ends after 7 bytes of payload.
    std::vector<uint8_t> udta = Box("udta", kData);
    udta[2] = 0x03;
    udta[3] = 0xE8;
    const auto file = Concat({Box("moov", udta), Box("free", std::vector<uint8_t>(2000, 0))});
    std::string got;
    EXPECT_EQ(WalkUserData(file, &got), kContainerFound);
    EXPECT_EQ(got, "payload");
}

TEST(Mp4Boxes, DamagedSizesEndTheWalkWithoutData) {
    // A child of size 0 inside moov ends the walk.
    std::vector<uint8_t> zeroChild = {0, 0, 0, 0, 'f', 'r', 'e', 'e'};
    Append(zeroChild, Box("udta", kData));
    EXPECT_EQ(WalkUserData(Concat({Box("moov", zeroChild)})), kContainerNoData);
    // Child sizes below a header.
    for (uint8_t size : {1, 4, 7}) {
        std::vector<uint8_t> child = {0, 0, 0, size, 'f', 'r', 'e', 'e'};
        Append(child, Box("udta", kData));
        EXPECT_EQ(WalkUserData(Concat({Box("moov", child)})), kContainerNoData);
    }
    // A top-level box below its header size, and a udta larger than the file.
    EXPECT_EQ(WalkUserData({0, 0, 0, 5, 'f', 'r', 'e', 'e', 0, 0, 0, 0}), kContainerNoData);
    std::vector<uint8_t> huge = Box("udta", kData);
    huge[0] = 0x7F;
    EXPECT_EQ(WalkUserData(huge), kContainerNoData);
    // A 64-bit size that wraps past the largest offset.
    std::vector<uint8_t> wrap = {0,    0,    0,    1,    'm',  'd',  'a',  't',
                                 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0};
    Append(wrap, Box("udta", kData));
    EXPECT_EQ(WalkUserData(wrap), kContainerNoData);
    EXPECT_EQ(WalkUserData({}), kContainerNoData);
    // Every truncation of a good file is handled.
    const auto good = testutil::Mp4WithUdtaInMoov(kData);
    for (size_t cut = 0; cut < good.size(); ++cut) {
        WalkUserData(std::vector<uint8_t>(good.begin(), good.begin() + cut));
    }
}

TEST(Mp4Boxes, SphericalModeFindsOnlyTheSphericalUuid) {
    const std::string xml = "<a><GSpherical:Spherical>true</GSpherical:Spherical></a>";
    std::vector<uint8_t> other = Box("uuid", std::vector<uint8_t>(16 + 4, 0x11));
    const auto file = Concat(
        {Box("moov", Concat({Box("trak", Concat({other, sample::SphericalUuidBox(xml)}))}))});
    platform::MemorySource src(file.data(), file.size());
    ByteBuffer out;
    ASSERT_EQ(WalkMp4Boxes(src, kWalkSpherical, &out), kContainerFound);
    EXPECT_EQ(std::string(out.data(), out.data() + out.size()), xml);
    // The user-data walk does not read uuid boxes.
    EXPECT_EQ(WalkUserData(file), kContainerNoData);
}
