// The spherical video box: a "uuid" box whose payload marks the track as a
// stitched equirectangular 360-degree video.
#include <cstring>

#include "mp4/mp4_writer.h"

namespace {

constexpr char kXml[] =
    "<rdf:SphericalVideo"
    " xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\""
    " xmlns:GSpherical=\"http://ns.google.com/videos/1.0/spherical/\">"
    "  <GSpherical:Spherical>true</GSpherical:Spherical>"
    "  <GSpherical:Stitched>true</GSpherical:Stitched>"
    "  <GSpherical:StitchingSoftware>Spherical Metadata Tool</GSpherical:StitchingSoftware>"
    "  <GSpherical:ProjectionType>equirectangular</GSpherical:ProjectionType>"
    "</rdf:SphericalVideo>";
static_assert(sizeof(kXml) - 1 == kMp4SphericalXmlSize, "spherical XML text is 417 bytes");
static_assert(kMp4SphericalBoxSize == 441, "spherical box is 441 bytes");

constexpr uint8_t kUuid[16] = {0xff, 0xcc, 0x82, 0x63, 0xf8, 0x55, 0x4a, 0x93,
                               0x88, 0x14, 0x58, 0x7a, 0x02, 0x52, 0x1f, 0xdd};

struct Box {
    uint8_t bytes[kMp4SphericalBoxSize];
    Box() {
        bytes[0] = 0;
        bytes[1] = 0;
        bytes[2] = static_cast<uint8_t>(kMp4SphericalBoxSize >> 8);
        bytes[3] = static_cast<uint8_t>(kMp4SphericalBoxSize & 0xff);
        std::memcpy(bytes + 4, "uuid", 4);
        std::memcpy(bytes + 8, kUuid, 16);
        std::memcpy(bytes + 24, kXml, kMp4SphericalXmlSize);
    }
};

}  // namespace

const uint8_t* MP4SphericalBox() {
    static const Box box;
    return box.bytes;
}

uint32_t MP4WriteSphericalBox(const Mp4Io& out) {
    if (!out.write) return 0;
    int64_t n = out.write(out.user, MP4SphericalBox(), kMp4SphericalBoxSize);
    return n == kMp4SphericalBoxSize ? kMp4SphericalBoxSize : 0;
}
