// `orbivue-cli remux`: real files read by our reader and written again by our
// writer keep every packet, and the peers accept the result.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "calib/spherical.h"
#include "calib/trailer.h"
#include "sample/samplegen.h"
#include "support/camera.h"
#include "support/command.h"
#include "support/files.h"
#include "support/peers.h"

using testutil::ExpectPeersAccept;
using testutil::RunCommand;

namespace {

void ExpectSamePackets(const std::string& in, const std::string& out, int streams) {
    for (int s = 0; s < streams; ++s) {
        const std::string a = testutil::PacketHashes(in, s), b = testutil::PacketHashes(out, s);
        EXPECT_FALSE(a.empty()) << in << " stream " << s;
        EXPECT_EQ(a, b) << in << " stream " << s;
    }
}

std::string Remux(const std::string& in, const std::string& out, int* status) {
    return testutil::RunCli({"remux", in, out}, status);
}

}  // namespace

TEST(Remux, KeepsEveryPacketOfFilesFfmpegMakes) {
    testutil::TempDir dir;
    const std::string src =
        "-f lavfi -i testsrc2=s=320x160:r=25:d=3 -f lavfi -i sine=d=3 -c:v libx264 -pix_fmt "
        "yuv420p";
    struct Case {
        const char* name;
        std::string args;
        int streams;
    } cases[] = {
        {"last.mp4", src + " -c:a aac -shortest", 2},
        {"first.mp4", src + " -bf 2 -c:a aac -shortest -movflags +faststart", 2},
        {"audio-first.mp4", src + " -c:a aac -shortest -map 1 -map 0", 2},
        {"video-only.mp4", src + " -an", 1},
    };
    for (const Case& c : cases) {
        const std::string in = dir.File(c.name), out = dir.File(std::string("re-") + c.name);
        int status = 0;
        ASSERT_EQ(testutil::FfmpegWrite(c.args, in), 0) << c.name;
        EXPECT_EQ(Remux(in, out, &status), "result: 0\n") << c.name;
        EXPECT_EQ(status, 0);
        ExpectSamePackets(in, out, c.streams);
        ExpectPeersAccept(out);
    }
}

TEST(Remux, SpillsTheTablesOfALongFile) {
    testutil::TempDir dir;
    const std::string in = dir.File("long.mp4"), out = dir.File("re-long.mp4");
    int status = 0;
    // 3000 video samples and about 4700 sound frames.
    ASSERT_EQ(testutil::FfmpegWrite(
                  "-f lavfi -i testsrc2=s=64x32:r=30:d=100 -f lavfi -i sine=d=100 -c:v libx264 "
                  "-preset ultrafast -pix_fmt yuv420p -c:a aac -shortest",
                  in),
              0);
    EXPECT_EQ(Remux(in, out, &status), "result: 0\n");
    ExpectSamePackets(in, out, 2);
    ExpectPeersAccept(out);
}

TEST(Remux, APhoneVideo) {
    const std::string phone =
        "/usr/lib/python3/dist-packages/imageio/resources/images/realshort.mp4";
    testutil::TempDir dir;
    const std::string out = dir.File("phone.mp4");
    int status = 0;
    EXPECT_EQ(Remux(phone, out, &status), "result: 0\n");
    ExpectSamePackets(phone, out, 2);
    ExpectPeersAccept(out);
}

TEST(Remux, RefusalsLeaveNoFile) {
    testutil::TempDir dir;
    const std::string junk = dir.File("junk.mp4"), out = dir.File("out.mp4");
    testutil::WriteBytes(junk, {0, 0, 0, 8, 'f', 'r', 'e', 'e'});
    int status = 0;
    EXPECT_NE(Remux(junk, out, &status), "result: 0\n");
    EXPECT_EQ(status, 1);
    EXPECT_EQ(Remux(dir.File("missing.mp4"), out, &status), "result: -1\n");
    EXPECT_EQ(RunCommand("ls -A " + testutil::ShellQuote(dir.path()), &status), "junk.mp4\n");
    testutil::RunCli({"remux"}, &status);
    EXPECT_EQ(status, 2);
}

TEST(SampleVideos, CameraVideosOfOurWriterPassThePeers) {
    testutil::TempDir dir;
    for (auto place : {sample::Mp4Placement::MoovUdta, sample::Mp4Placement::TrakUdta,
                       sample::Mp4Placement::TopLevelUdat}) {
        sample::Mp4Options o;
        o.width = 640;
        o.height = 320;
        o.seconds = 0.5;
        o.audio = true;
        o.placement = place;
        const std::string path = dir.File("cam" + std::to_string(static_cast<int>(place)) + ".mp4");
        ASSERT_EQ(sample::WriteMp4(path, testutil::DefaultTrailer(2), o), 0);
        testutil::ExpectPeersDecode(path);
        const std::string info = testutil::Mediainfo(path);
        EXPECT_NE(info.find("AVC"), std::string::npos);
        EXPECT_NE(info.find("AAC"), std::string::npos);
        EXPECT_EQ(ReadCameraType(path.c_str()), 2);
        EXPECT_EQ(IsSphericalVideo(path.c_str()), 0);  // fisheye frames are not a panorama
    }
    sample::Mp4Options o;
    o.width = 640;
    o.height = 320;
    o.seconds = 0.5;
    o.cameraType = 0;
    o.placement = sample::Mp4Placement::None;
    o.sphericalBox = true;
    const std::string pano = dir.File("pano.mp4");
    ASSERT_EQ(sample::WriteMp4(pano, {}, o), 0);
    ExpectPeersAccept(pano);
    EXPECT_EQ(IsSphericalVideo(pano.c_str()), 1);
}
