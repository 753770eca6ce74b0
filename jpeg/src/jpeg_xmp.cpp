// The panorama XMP packet of stitched photos and the export quality steps.
#include "jpeg/jpeg.h"

// The XML text of the packet; the values are fixed, whatever the picture.
#define ORBIVUE_PANO_XML                                                      \
    "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n"                                \
    "  <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n" \
    "    <rdf:Description rdf:about=\"\"\n"                                   \
    "        xmlns:GPano=\"http://ns.google.com/photos/1.0/panorama/\"\n"     \
    "      GPano:UsePanoramaViewer=\"True\"\n"                                \
    "      GPano:ProjectionType=\"equirectangular\"\n"                        \
    "      GPano:CroppedAreaImageHeightPixels=\"1504\"\n"                     \
    "      GPano:CroppedAreaImageWidthPixels=\"3008\"\n"                      \
    "      GPano:FullPanoHeightPixels=\"1504\"\n"                             \
    "      GPano:FullPanoWidthPixels=\"3008\"\n"                              \
    "      GPano:CroppedAreaTopPixels=\"0\"\n"                                \
    "      GPano:CroppedAreaLeftPixels=\"0\"\n"                               \
    "      GPano:InitialHorizontalFOVDegrees=\"75.0\"\n"                      \
    "      GPano:FirstPhotoDate=\"2016-07-13T20:06:08.142Z\"\n"               \
    "      GPano:LastPhotoDate=\"2016-07-13T20:06:39.563Z\"\n"                \
    "      GPano:SourcePhotosCount=\"0\"\n"                                   \
    "      GPano:PoseHeadingDegrees=\"306.0\"\n"                              \
    "      GPano:StitchingSoftware=\"Quartz Nebulaform\"\n"                   \
    "      GPano:LargestValidInteriorRectLeft=\"0\"\n"                        \
    "      GPano:LargestValidInteriorRectTop=\"0\"\n"                         \
    "      GPano:LargestValidInteriorRectWidth=\"3008\"\n"                    \
    "      GPano:LargestValidInteriorRectHeight=\"1504\"/>\n"                 \
    "  </rdf:RDF>\n"                                                          \
    "</x:xmpmeta>\n"

#define ORBIVUE_XMP_NAMESPACE "http://ns.adobe.com/xap/1.0/"

static_assert(sizeof(ORBIVUE_XMP_NAMESPACE) == 28 + 1, "namespace id is 28 characters");
static_assert(sizeof(ORBIVUE_PANO_XML) == 1027 + 1, "panorama XML is 1027 characters");

// Namespace id, its zero byte, the XML, and the literal's own terminating
// zero as the packet's last byte.
const uint8_t kPanoramaXmpPacket[1057] = ORBIVUE_XMP_NAMESPACE "\0" ORBIVUE_PANO_XML;
static_assert(sizeof(ORBIVUE_XMP_NAMESPACE "\0" ORBIVUE_PANO_XML) == 1057,
              "packet fills the array exactly, final zero included");

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
