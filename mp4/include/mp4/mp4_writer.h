// MP4 writer: takes encoded samples (H.264/HEVC video, AAC and other sound,
// text) and writes them into one media data box as they arrive; the sample
// tables are kept in fixed-size blocks, full blocks go to a spill file, and
// close writes the movie box after the media data and patches its size.
//
// Usage:
//   MP4Writer* w = nullptr;
//   MP4WriterCreate(out, &spill, &w);          // spill may be null
//   MP4WriterAddTrack(w, kMp4HandlerVideo, &videoParams, 32, &videoId);
//   MP4WriterSetProperty(w, kMp4PropCodecConfig, &cfg, sizeof cfg);
//   MP4WriterWriteSample(w, videoId, data, &info);   // repeatedly
//   MP4WriterClose(w);                         // always frees the writer
//
// Every function returns 0 or one of the Mp4WriterResult codes. After any
// failure the output file is incomplete; the writer must still be closed.
#pragma once

#include <cstdint>

#include "mp4/mp4_common.h"

// Result codes of the writer functions.
enum Mp4WriterResult {
    kMp4WriterOk = 0,
    kMp4WriterErrHandler = 1,        // handler type other than vide, soun, text
    kMp4WriterErrArgument = 2,       // null pointer, missing I/O function, unknown track, bad value
    kMp4WriterErrNoMemory = 4,       // an allocation failed
    kMp4WriterErrRecordSize = 9,     // property record smaller than its layout
    kMp4WriterErrSpillSeek = 4101,   // a seek in the spill file failed
    kMp4WriterErrSpillRead = 4102,   // a spilled block could not be read back whole
    kMp4WriterErrShortWrite = 4103,  // a write to the output or the spill file came out short
    kMp4WriterErrModeRefused = 4104,      // fragmented or movie-box-first mode: not supported
    kMp4WriterErrUnknownProperty = 4105,  // property number not handled by this writer
    kMp4WriterErrOutputSeek = 4106,       // a seek or tell on the output failed
};

// Property numbers of MP4WriterSetProperty and the record each takes.
enum Mp4WriterProperty {
    kMp4PropCodecConfig = 100,    // Mp4WriterTrackBytes: codec configuration
    kMp4PropTimes = 101,          // Mp4WriterTimes (no track)
    kMp4PropStartCodeMode = 109,  // Mp4WriterTrackValue: 0 none, 2 three-byte, 3 four-byte
    kMp4PropTrackSetting = 202,   // Mp4WriterTrackValue: kept, no effect on the file
    kMp4PropMovieFirst = 203,     // uint32_t: 0 accepted, anything else refused
    kMp4PropBrand = 204,          // uint32_t: major brand (default '3gp5')
    kMp4PropSpill = 205,          // Mp4Io: spill file (replaces the one given to create)
    kMp4PropModeFlags = 206,      // uint32_t: bit 0 fragmented, bit 1 movie box first; 0 only
    kMp4PropSpherical = 207,      // Mp4WriterTrackValue: 1 (default) marks a video track as
                                  // equirectangular 360-degree video, 0 leaves the box out
    kMp4PropRotation = 406,       // Mp4WriterTrackValue: 0, 90, 180 or 270 degrees
    kMp4PropHandlerName = 431,    // Mp4WriterTrackBytes: handler name (no zero needed)
    kMp4PropUserData = 432,       // Mp4WriterBytes: payload of a udta box in moov (no track)
    // Test use: uint64_t; sample data whose end offset passes this value is
    // treated as large (co64 and a 64-bit mdat header). Default 0xFFFFFFFF.
    kMp4PropLargeThreshold = 900,
};

// Records of the properties.
struct Mp4WriterTrackValue {
    uint32_t trackId;
    uint32_t value;
};
struct Mp4WriterTrackBytes {
    uint32_t trackId;
    uint32_t size;
    const void* data;  // copied by the writer
};
struct Mp4WriterBytes {
    uint32_t size;
    const void* data;  // copied by the writer
};
struct Mp4WriterTimes {
    uint32_t creation;      // seconds since 1904-01-01
    uint32_t modification;  // seconds since 1904-01-01
};

struct MP4Writer;

// Creates a writer over `out` (needs write, seek and tell). `spill`, when not
// null, needs write, seek and read; full table blocks go there. Without a
// spill file they stay in memory. The slot is set on success only.
int MP4WriterCreate(const Mp4Io& out, const Mp4Io* spill, MP4Writer** slot);

// Adds a track. `params` is an Mp4VideoParams (video, text; 32 bytes) or an
// Mp4SoundParams (sound; 36 bytes); a record of another size is ignored and
// the track has no codec. Track identifiers are 1, 2, 3... in order of adding.
int MP4WriterAddTrack(MP4Writer* w, uint32_t handler, const void* params, uint32_t paramsSize,
                      uint32_t* trackId);

// Sets a numbered property (see Mp4WriterProperty); `size` is the record size.
int MP4WriterSetProperty(MP4Writer* w, int number, const void* record, uint32_t size);

// Writes one sample of `info->size` bytes. Times are in milliseconds. For
// H.264/HEVC with start-code mode 2 or 3 the start codes are turned into
// 4-byte lengths. Video and text samples are held until the next one, whose
// decode time gives their duration; a sample with the same decode time as the
// held one is appended to it (one access unit sent NAL by NAL).
int MP4WriterWriteSample(MP4Writer* w, uint32_t trackId, const uint8_t* data,
                         const Mp4SampleInfo* info);

// Writes the held samples and chunks, the movie box, patches the media data
// header and frees the writer (also on failure). Null is accepted.
int MP4WriterClose(MP4Writer* w);

// Bytes the writer holds allocated now and at most so far (its own counts).
int MP4WriterMemoryUse(const MP4Writer* w, uint64_t* current, uint64_t* peak);

// Whether the writer can give a track of this codec a complete sample
// description that players open: H.264 and HEVC with their codec
// configuration, AAC (also BSAC), MP3 and 16-bit PCM. Other codecs get an
// empty description.
bool MP4WriterDescribesCodec(uint32_t codec, size_t configSize);

// The spherical video box written as the last child of every video track
// (unless kMp4PropSpherical turned it off for the track).
constexpr uint32_t kMp4SphericalXmlSize = 417;
constexpr uint32_t kMp4SphericalBoxSize = 24 + kMp4SphericalXmlSize;
// The 441 bytes of the box.
const uint8_t* MP4SphericalBox();
// Writes the box to `out`; returns the bytes written (441), or 0 on failure.
uint32_t MP4WriteSphericalBox(const Mp4Io& out);
