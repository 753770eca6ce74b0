// Baseline sequential JPEG (ITU-T T.81, JFIF) with a planar YCbCr interface,
// and the application segments of stitched photos: the carried Exif segment
// and the panorama XMP packet.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/file.h"

// Result codes of the coder. They never collide with the calibration codes
// (1000..1015) because the photo export passes them on as its own result.
enum JpegResult {
    kJpegOk = 0,
    kJpegBadArgument = 2001,   // null pointer, zero size, call out of order
    kJpegNoMemory = 2002,      // an allocation through the caller's functions failed
    kJpegCorruptData = 2003,   // a marker, table or entropy-coded segment is wrong
    kJpegPrematureEnd = 2004,  // the data ends early (also a truncated APP1 segment)
    kJpegUnsupported = 2005,   // progressive, arithmetic-coded, lossless, 12-bit, ...
    kJpegWriteFailed = 2006,   // the output sink refused bytes
};

// Caller-supplied allocation: every buffer of the coder comes from here.
struct JpegAllocator {
    void* (*allocate)(void* opaque, size_t bytes);  // null on failure
    void (*release)(void* opaque, void* block);
    void* opaque;
};
// malloc and free.
JpegAllocator DefaultJpegAllocator();

// Chroma layouts of a decoded picture.
enum JpegLayout {
    kJpeg420 = 0,         // chroma width/2 x height/2
    kJpeg422 = 1,         // width/2 x height
    kJpeg440 = 2,         // width x height/2
    kJpeg444 = 3,         // width x height
    kJpegGrey = 4,        // no chroma
    kJpegHorizontalF = 5  // width/f x height, f = ChromaFactor()
};

// The Exif segment carried from a camera photo into its stitched output.
// The decoder fills it from the source's APP1 segments; the encoder writes
// it back. Only the first 736 bytes of content survive; the rest is zeroed,
// so a calibration trailer beyond them never reaches the output.
struct JpegExifCarry {
    uint8_t* data = nullptr;  // from the allocator; released by JpegReleaseExif
    size_t size = 0;          // bytes after "Exif"
};
void JpegReleaseExif(JpegExifCarry* carry, const JpegAllocator& alloc);

class JpegDecoder {
  public:
    JpegDecoder();
    ~JpegDecoder();
    JpegDecoder(const JpegDecoder&) = delete;
    JpegDecoder& operator=(const JpegDecoder&) = delete;

    // Reads the source and parses everything up to the first scan. APP1
    // segments are collected into carry when it is not null.
    int Open(platform::ByteSource& src, const JpegAllocator& alloc, JpegExifCarry* carry);

    int Width() const;
    int Height() const;
    int OutputWidth() const;   // Width() rounded up to even
    int OutputHeight() const;  // Height() rounded up to even
    int Layout() const;        // a JpegLayout
    int ChromaFactor() const;  // f of kJpegHorizontalF, else 0

    // Decodes the next strip (one row of MCUs: 8 or 16 luma rows, the last one
    // cut at OutputHeight()). Writes OutputWidth() luma samples per row and the
    // chroma rows of the layout (chroma width: OutputWidth()/2 for 4:2:0 and
    // 4:2:2, OutputWidth() for 4:4:0 and 4:4:4, OutputWidth()/f for layout 5).
    // *rows receives the luma rows written; 0 when the picture is complete.
    int DecodeStrip(uint8_t* y, size_t yStride, uint8_t* cb, uint8_t* cr, size_t cStride,
                    int* rows);

    void Close();

  private:
    struct State;
    State* m_pState;
};

class JpegEncoder {
  public:
    JpegEncoder();
    ~JpegEncoder();
    JpegEncoder(const JpegEncoder&) = delete;
    JpegEncoder& operator=(const JpegEncoder&) = delete;

    // 4:2:0 output of width x height into sink.
    int Open(platform::ByteSink& sink, int width, int height, const JpegAllocator& alloc);
    void SetQuality(int quality);  // clamped to 1..100; 90 when never set
    // The carried Exif segment (bytes after "Exif"); written instead of the
    // APP0 JFIF segment when size > 0. The bytes must live until Encode returns.
    void SetExif(const uint8_t* data, size_t size);
    // Codes the picture on every core: each MCU row becomes a restart
    // interval, so the output carries restart markers (any decoder reads it
    // the same). Off by default, where the output has none.
    void SetParallel(bool on);
    // Writes the headers and the whole picture. Planes: Y of width x height
    // (stride yStride), Cb and Cr of ceil(width/2) x ceil(height/2) (stride cStride).
    int Encode(const uint8_t* y, size_t yStride, const uint8_t* cb, const uint8_t* cr,
               size_t cStride);
    int Finish();  // writes EOI
    uint64_t BytesWritten() const;
    void Close();

  private:
    struct State;
    State* m_pState;
};

// The panorama XMP packet of a 3008 x 1504 picture: 1057 bytes (namespace id,
// a zero byte, the 1027-byte panorama XML, a zero byte); its APP1 length field
// is 1059.
extern const uint8_t kPanoramaXmpPacket[1057];

// The longest packet PanoramaXmpPacket writes: six sizes of ten digits.
constexpr size_t kPanoramaXmpMaxBytes = 1057 + 6 * 6;
// The packet the encoder writes for a width x height picture: the layout and
// every field of kPanoramaXmpPacket, with the picture's own width and height in
// the full panorama, cropped area image and largest valid interior rectangle
// sizes (kPanoramaXmpPacket itself for 3008 x 1504). Returns its length (the
// APP1 length field is 2 more), or 0 when a size is not positive.
size_t PanoramaXmpPacket(int width, int height, uint8_t out[kPanoramaXmpMaxBytes]);

// Quality index of the export dialog (0, 1, 2) to JPEG quality (90, 99, 100).
int JpegQualityForIndex(int index);
