// Synthetic camera files for tests: JPEG photos and H.264 MP4 videos that carry an
// enciphered calibration trailer, plus the pieces used to build them by hand.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sample {

struct SingleLensValues {
    float cx = 960, cy = 540, r = 540;
};

struct DualLensValues {
    float fov = 195;
    int32_t model = 0;
    float cx1 = 480, cy1 = 480, r1 = 470, cx2 = 480, cy2 = 480, r2 = 470;
    float radialBase = 1.0f;
    int32_t n = 0;
    float lines1[50][4] = {};
    float lines2[50][4] = {};
    bool long1656 = false;
};

std::vector<uint8_t> EncodeSingleLensRecord(const SingleLensValues&);  // 28 bytes
std::vector<uint8_t> EncodeDualLensRecord(const DualLensValues&);      // 1652 or 1656

struct Record {
    uint16_t type = 0;
    std::vector<uint8_t> value;
    int32_t lengthField = -1;  // -1: value.size(); else written as the u16 length
};

Record CameraTypeRecord(int32_t type);        // type 5
Record CameraTextRecord(const std::string&);  // type 3

// Type 3 text, type 5 camera type, type 7 lens record (the default single or dual record for
// camera type 1 / 2; other camera types get no type 7).
std::vector<Record> DefaultRecords(int cameraType);

enum class Corruption {
    None,
    NoMarker,
    EmptyBase64,
    GarbageBase64,
    CipherNotBlockMultiple,
    BadPadding
};

struct TrailerSpec {
    std::vector<Record> records;
    int64_t declaredTotal = -1;  // -1: the true joined length 16+|P|
    int64_t declaredCount = -1;  // -1: records.size()
    Corruption corruption = Corruption::None;
    bool base64Padding = true;  // write '=' padding, else stop the text with a zero byte
    std::vector<uint8_t> leading = std::vector<uint8_t>(8, 0);  // bytes placed before the marker
    std::vector<uint8_t> trailing;                              // bytes after the text
};

// The bytes to embed: leading + marker + 4 bytes + base64 text + terminator (one zero byte) +
// trailing. Empty on failure.
std::vector<uint8_t> BuildTrailer(const TrailerSpec&);
std::vector<uint8_t> Base64Encode(const uint8_t*, size_t, bool pad);

// Plain picture: a baseline 4:2:0 JPEG of w x h made with ffmpeg, cached per size in a temp dir.
enum class JpegLayout { App1First, App0ThenApp1, App1AfterOtherSegment, App1WithoutExif, NoApp1 };

// JPEG = SOI, [APP0 JFIF per layout], APP1 ("Exif\0\0" + minimal TIFF header, IFD with 0
// entries; then the trailer bytes), then the picture's DQT, SOF0, DHT, SOS, data, EOI.
// App1AfterOtherSegment puts a COM before the APP1. App1WithoutExif writes "Exix" instead.
// NoApp1 writes APP0 and no APP1. Returns 0 or a negative code.
int WriteJpeg(const std::string& path, int width, int height, const std::vector<uint8_t>& trailer,
              JpegLayout layout = JpegLayout::App1First);

enum class Mp4Placement {
    MoovUdta,
    TrakUdta,
    TopLevelUdat,
    MdiaUdta /* not found by readers */,
    None
};

struct Mp4Options {
    int width = 1920, height = 960;
    double seconds = 1.0;
    int fps = 15;
    bool audio = false;
    Mp4Placement placement = Mp4Placement::MoovUdta;
    bool sphericalBox = false;
    std::string sphericalXml;  // empty: the standard text with GSpherical:Spherical true
    // What the frames show: camera pictures of this camera type rendered from the panorama
    // through these lens values while the view turns slowly (0: the panorama itself).
    int cameraType = 2;
    DualLensValues dual;
    SingleLensValues single;
    std::string panorama;  // empty: the earth
};

// H.264 MP4 (moov after mdat) written by our MP4 writer: libx264 frames of the rendered camera
// pictures, an optional AAC rising tone (libavcodec), and the trailer: in a "udta" of "moov"
// through the writer's user data, or inserted afterwards as a box per the other placements. The
// writer's spherical box stays only with sphericalBox (replaced when sphericalXml is given).
// Results are cached in the temporary folder by their parameters. Returns 0 or a negative code.
int WriteMp4(const std::string& path, const std::vector<uint8_t>& trailer, const Mp4Options&);

// Low-level helpers for tests that build box structures by hand.
std::vector<uint8_t> Box(const char type[4], const std::vector<uint8_t>& payload);  // 32-bit size
std::vector<uint8_t> LargeBox(const char type[4],
                              const std::vector<uint8_t>& payload);  // size 1 + 64-bit size
std::vector<uint8_t> SphericalUuidBox(const std::string& xml);
std::string StandardSphericalXml();

// Camera photos whose picture is an equirectangular panorama seen through the lens geometry
// of the record, laid out so that stitching the photo at rotation 0 gives the panorama back.
// The panorama is scaled with ffmpeg to the stitched size: w x w/2 for a dual-lens photo, the
// even width for a single-lens one. All samples are full range, as JPEG stores them; outside
// the image circles the picture is black (Y 0, Cb = Cr = 128).
constexpr char kEarthPanorama[] = "/usr/share/xplanet/images/earth.jpg";  // 2048 x 1024

struct RenderOptions {
    std::string panorama;      // empty: the earth panorama
    double turnDegrees = 0.0;  // the view turned about the vertical axis
};

// DefaultRecords(2) or DefaultRecords(1) with the lens record made from the values given.
TrailerSpec DefaultTrailer(const DualLensValues&);
TrailerSpec DefaultTrailer(const SingleLensValues&);

// w x h, 2:1 with w even; the control lines of the record warp the second lens as the stitch
// does. Returns 0 or a negative code.
int WriteRenderedDualPhoto(const std::string& path, int w, int h, const DualLensValues& dual,
                           const TrailerSpec& trailer, const RenderOptions& = {},
                           JpegLayout layout = JpegLayout::App0ThenApp1);
// Any w x h (the stitch assumes a 4:3 picture: 1440 x 1080, 2048 x 1536).
int WriteRenderedSinglePhoto(const std::string& path, int w, int h, const SingleLensValues& single,
                             const TrailerSpec& trailer, const RenderOptions& = {},
                             JpegLayout layout = JpegLayout::App0ThenApp1);

// The pictures before JPEG coding: planar 4:2:0 of the size rounded up to even.
int RenderDualPicture(int w, int h, const DualLensValues&, const RenderOptions&,
                      std::vector<uint8_t>* yuv420);
int RenderSinglePicture(int w, int h, const SingleLensValues&, const RenderOptions&,
                        std::vector<uint8_t>* yuv420);

// The panorama (empty path: kEarthPanorama) scaled to wo x wo/2 (wo even) as planar 4:2:0,
// chroma planes of (wo/2) x ((wo/2 + 1) / 2), full range. False if it cannot be read.
bool LoadPanorama(const std::string& path, int wo, std::vector<uint8_t>* yuv420);

// Negative return codes of WriteJpeg / WriteMp4 and the writers above.
constexpr int kErrArgs = -1;      // bad size or options
constexpr int kErrFfmpeg = -2;    // ffmpeg missing or failed
constexpr int kErrIo = -3;        // reading or writing a file failed
constexpr int kErrFormat = -4;    // ffmpeg's output had an unexpected structure
constexpr int kErrTooLarge = -5;  // the trailer does not fit an APP1 segment

}  // namespace sample
