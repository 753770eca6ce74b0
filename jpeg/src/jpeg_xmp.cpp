// The panorama XMP packet of stitched photos and the export quality steps.
#include <cstdio>
#include <cstring>

#include "jpeg/jpeg.h"

// The XML text of the packet, cut at the six size fields (values between the
// pieces: cropped area image height and width, full panorama height and width,
// largest valid interior rectangle width and height). Every other value is
// fixed, whatever the picture.
#define ORBIVUE_PANO_XML_0                                                    \
    "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n"                                \
    "  <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n" \
    "    <rdf:Description rdf:about=\"\"\n"                                   \
    "        xmlns:GPano=\"http://ns.google.com/photos/1.0/panorama/\"\n"     \
    "      GPano:UsePanoramaViewer=\"True\"\n"                                \
    "      GPano:ProjectionType=\"equirectangular\"\n"                        \
    "      GPano:CroppedAreaImageHeightPixels=\""
#define ORBIVUE_PANO_XML_1 "\"\n      GPano:CroppedAreaImageWidthPixels=\""
#define ORBIVUE_PANO_XML_2 "\"\n      GPano:FullPanoHeightPixels=\""
#define ORBIVUE_PANO_XML_3 "\"\n      GPano:FullPanoWidthPixels=\""
#define ORBIVUE_PANO_XML_4                                      \
    "\"\n"                                                      \
    "      GPano:CroppedAreaTopPixels=\"0\"\n"                  \
    "      GPano:CroppedAreaLeftPixels=\"0\"\n"                 \
    "      GPano:InitialHorizontalFOVDegrees=\"75.0\"\n"        \
    "      GPano:FirstPhotoDate=\"2016-07-13T20:06:08.142Z\"\n" \
    "      GPano:LastPhotoDate=\"2016-07-13T20:06:39.563Z\"\n"  \
    "      GPano:SourcePhotosCount=\"0\"\n"                     \
    "      GPano:PoseHeadingDegrees=\"306.0\"\n"                \
    "      GPano:StitchingSoftware=\"Quartz Nebulaform\"\n"     \
    "      GPano:LargestValidInteriorRectLeft=\"0\"\n"          \
    "      GPano:LargestValidInteriorRectTop=\"0\"\n"           \
    "      GPano:LargestValidInteriorRectWidth=\""
#define ORBIVUE_PANO_XML_5 "\"\n      GPano:LargestValidInteriorRectHeight=\""
#define ORBIVUE_PANO_XML_6 \
    "\"/>\n"               \
    "  </rdf:RDF>\n"       \
    "</x:xmpmeta>\n"

// The XML of a 3008 x 1504 panorama.
#define ORBIVUE_PANO_XML                                                   \
    ORBIVUE_PANO_XML_0 "1504" ORBIVUE_PANO_XML_1 "3008" ORBIVUE_PANO_XML_2 \
                       "1504" ORBIVUE_PANO_XML_3 "3008" ORBIVUE_PANO_XML_4 \
                       "3008" ORBIVUE_PANO_XML_5 "1504" ORBIVUE_PANO_XML_6

#define ORBIVUE_XMP_NAMESPACE "http://ns.adobe.com/xap/1.0/"

static_assert(sizeof(ORBIVUE_XMP_NAMESPACE) == 28 + 1, "namespace id is 28 characters");
static_assert(sizeof(ORBIVUE_PANO_XML) == 1027 + 1, "panorama XML is 1027 characters");

// Namespace id, its zero byte, the XML, and the literal's own terminating
// zero as the packet's last byte.
const uint8_t kPanoramaXmpPacket[1057] = ORBIVUE_XMP_NAMESPACE "\0" ORBIVUE_PANO_XML;
static_assert(sizeof(ORBIVUE_XMP_NAMESPACE "\0" ORBIVUE_PANO_XML) == 1057,
              "packet fills the array exactly, final zero included");

namespace {

// Appends n bytes; the capacity is checked by the caller's size bound.
uint8_t* Append(uint8_t* at, const char* text, size_t n) {
    std::memcpy(at, text, n);
    return at + n;
}

}  // namespace

size_t PanoramaXmpPacket(int width, int height, uint8_t out[kPanoramaXmpMaxBytes]) {
    if (width <= 0 || height <= 0) return 0;
    static const char* const kPieces[7] = {
        ORBIVUE_PANO_XML_0, ORBIVUE_PANO_XML_1, ORBIVUE_PANO_XML_2, ORBIVUE_PANO_XML_3,
        ORBIVUE_PANO_XML_4, ORBIVUE_PANO_XML_5, ORBIVUE_PANO_XML_6};
    // Height, width, height, width, width, height: the fields' order in the XML.
    const int values[6] = {height, width, height, width, width, height};
    uint8_t* at = Append(out, ORBIVUE_XMP_NAMESPACE, sizeof(ORBIVUE_XMP_NAMESPACE));  // with 0
    for (int i = 0; i < 7; ++i) {
        at = Append(at, kPieces[i], std::strlen(kPieces[i]));
        if (i == 6) break;
        char digits[12];
        const int n = std::snprintf(digits, sizeof(digits), "%d", values[i]);
        at = Append(at, digits, static_cast<size_t>(n));
    }
    *at++ = 0;
    return static_cast<size_t>(at - out);
}

int JpegQualityForIndex(int index) {
    switch (index) {
        case 0:
            return 90;
        case 2:
            return 100;
        default:
            return 99;
    }
}
