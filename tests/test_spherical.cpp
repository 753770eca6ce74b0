// Recognising Spherical Video V1 metadata.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "calib/spherical.h"
#include "sample/samplegen.h"
#include "support/boxes.h"
#include "support/camera.h"

using sample::Box;
using testutil::Append;

namespace {

std::string Xml(const std::string& flag) {
    return "<?xml version=\"1.0\"?><rdf:SphericalVideo xmlns:rdf=\"x\" xmlns:GSpherical=\"y\">"
           "<GSpherical:Spherical>" +
           flag + "</GSpherical:Spherical></rdf:SphericalVideo>";
}

int Answer(const std::vector<uint8_t>& file) {
    platform::MemorySource src(file.data(), file.size());
    return IsSphericalVideoFrom(src);
}

std::vector<uint8_t> MoovWith(std::vector<std::vector<uint8_t>> children) {
    std::vector<uint8_t> moov;
    for (const auto& c : children) Append(moov, c);
    std::vector<uint8_t> out = Box("ftyp", {'i', 's', 'o', 'm'});
    Append(out, Box("mdat", std::vector<uint8_t>(32, 0)));
    Append(out, Box("moov", moov));
    return out;
}

}  // namespace

TEST(Spherical, TheFlagTextDecidesCaseInsensitively) {
    EXPECT_EQ(IsSphericalXml(reinterpret_cast<const unsigned char*>(Xml("true").data()),
                             Xml("true").size()),
              1);
    for (const char* yes : {"True", "TRUE", "true"}) {
        EXPECT_EQ(Answer(MoovWith({Box("trak", sample::SphericalUuidBox(Xml(yes)))})), 1) << yes;
    }
    for (const char* no : {"yes", "false", "", "truex"}) {
        EXPECT_EQ(Answer(MoovWith({Box("trak", sample::SphericalUuidBox(Xml(no)))})), 0) << no;
    }
    EXPECT_EQ(
        Answer(MoovWith({Box("trak", sample::SphericalUuidBox(sample::StandardSphericalXml()))})),
        1);
}

TEST(Spherical, FoundAtTopLevelInMoovAndInTrak) {
    const auto box = sample::SphericalUuidBox(Xml("true"));
    std::vector<uint8_t> top = Box("ftyp", {});
    Append(top, box);
    EXPECT_EQ(Answer(top), 1);
    EXPECT_EQ(Answer(MoovWith({box})), 1);
    EXPECT_EQ(Answer(MoovWith({Box("trak", Box("tkhd", {})), Box("trak", box)})), 1);
    // Deeper than a trak is not looked at.
    EXPECT_EQ(Answer(MoovWith({Box("trak", Box("mdia", box))})), 0);
}

TEST(Spherical, UserDataBeforeTheTrakEndsTheSearch) {
    const auto box = sample::SphericalUuidBox(Xml("true"));
    EXPECT_EQ(Answer(MoovWith({Box("udta", {1, 2, 3}), Box("trak", box)})), 0);
    EXPECT_EQ(Answer(MoovWith({Box("trak", box), Box("udta", {1, 2, 3})})), 1);
    // Inside a trak, user data ends that trak's walk only.
    EXPECT_EQ(Answer(MoovWith({Box("trak",
                                   [&] {
                                       std::vector<uint8_t> t = Box("udta", {});
                                       Append(t, box);
                                       return t;
                                   }()),
                               Box("trak", box)})),
              1);
}

TEST(Spherical, OtherUuidsBadXmlAndTrailersAnswerZero) {
    std::vector<uint8_t> other = Box("uuid", [] {
        std::vector<uint8_t> p(16, 0x42);
        const std::string x = Xml("true");
        p.insert(p.end(), x.begin(), x.end());
        return p;
    }());
    EXPECT_EQ(Answer(MoovWith({Box("trak", other)})), 0);
    for (const std::string& bad :
         {std::string("<unclosed"), std::string("not xml"), std::string(), std::string("<a/>"),
          std::string("<a><GSpherical:Spherical/></a>"),
          std::string("<a><b><GSpherical:Spherical>true</GSpherical:Spherical></b></a>")}) {
        EXPECT_EQ(Answer(MoovWith({Box("trak", sample::SphericalUuidBox(bad))})), 0) << bad;
    }
    EXPECT_EQ(Answer(testutil::Mp4WithUdtaInMoov(testutil::DefaultTrailer(2))), 0);
    EXPECT_EQ(Answer({}), 0);
    EXPECT_EQ(IsSphericalVideo(nullptr), 0);
    EXPECT_EQ(IsSphericalVideo("/nonexistent.mp4"), 0);
    // The XML is read only as far as the payload goes.
    const std::string x = Xml("true");
    EXPECT_EQ(IsSphericalXml(reinterpret_cast<const unsigned char*>(x.data()), x.size() - 30), 0);
}

TEST(Spherical, MalformedUtf8IsRefusedBeforeParsing) {
    // A lead byte that promises more bytes than the text has left.
    for (const std::string& bad :
         {std::string("<a><GSpherical:Spherical>true</GSpherical:Spherical></a\xF0"),
          std::string("<\xF0\x9F"), std::string("<a \xC3>"), std::string("<a>\xFF</a>"),
          // Overlong forms and surrogates are malformed too.
          std::string("<a>\xC0\xBC</a>"), std::string("<a>\xE0\x80\xBC</a>"),
          std::string("<a>\xED\xA0\x80</a>")}) {
        EXPECT_EQ(IsSphericalXml(reinterpret_cast<const unsigned char*>(bad.data()), bad.size()),
                  0);
    }
    const std::string ok = "<a><GSpherical:Spherical>true</GSpherical:Spherical>\xC3\xA9</a>";
    EXPECT_EQ(IsSphericalXml(reinterpret_cast<const unsigned char*>(ok.data()), ok.size()), 1);
}
