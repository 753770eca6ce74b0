// MP4Spliter: the reading side of the MP4 container library.
//
// Open walks the top-level boxes of an MP4 or MOV stream behind an Mp4Io
// table, parses the movie box into track records and checks every sample
// table against the stream. The reader then serves track parameters, codec
// configurations and samples in decode order. Every call returns 0 or one of
// the Mp4ReaderResult codes; nothing throws. One reader is used by one thread
// at a time; the I/O table must stay valid until MP4SpliterClose.
//
// Times handed out are milliseconds on each track's media timeline: the
// first sample decodes at 0 and edit lists are not applied.
#pragma once

#include <cstdint>

#include "mp4/mp4_common.h"

// Result codes of the reading side.
enum Mp4ReaderResult {
    kMp4ReadOk = 0,
    kMp4ReadBadArgument = 2,       // null pointer, mode not 1 or 2, track index 0 or past the
                                   // count, unprepared track, unknown query
    kMp4ReadNotApplicable = 3,     // query does not apply to the track; track cannot be
                                   // positioned; a media time scale of 0
    kMp4ReadNoMemory = 4,          // an allocation failed
    kMp4ReadRecordTooSmall = 9,    // parameter or query record too small
    kMp4ReadBufferTooSmall = 10,   // sample buffer too small (needed size in the record);
                                   // from open: the data ended before any "mdat"
    kMp4ReadIoFailed = 0x3001,     // the I/O table reported a failure
    kMp4ReadEndOfData = 0x3005,    // the data ended inside a box
    kMp4ReadNoMovie = 0x81001,     // no "moov" found, or it holds no track
    kMp4ReadNoFragment = 0x81002,  // no further fragment
    kMp4ReadEndOfTrack = 0x81003,  // every sample of the track has been read
    kMp4ReadLateMovie = 0x81005,   // mode 2: a large "moov" after "mdat"; the stream is left
                                   // 8 bytes before its end and the reader stays in the slot
    kMp4ReadFragmented = 0x81010,  // fragmented movie ("mvex", "moof"): not readable
    kMp4ReadProtected = 0x81011,   // protected samples ("encv", "enca", "sinf"): not readable
    kMp4ReadMalformed = 0x81020,   // box contents inconsistent: tables disagree, sample outside
                                   // the stream, bad counts or sizes
};

// Open modes.
constexpr int kMp4ReadModeAll = 1;        // prepare every track (the recorder uses this)
constexpr int kMp4ReadModeVideoOnly = 2;  // prepare video tracks only

// Query numbers of MP4SpliterQuery.
constexpr int kMp4QueryCodecConfig = 100;  // codec configuration bytes: the avcC or hvcC body,
                                           // the decoder-specific info of esds, the alac body
constexpr int kMp4QuerySampleCount = 101;  // uint32_t sample count
constexpr int kMp4QueryTimeScale = 102;    // uint32_t media time scale
constexpr int kMp4QueryHandlerName = 103;  // the handler name bytes (no terminating zero)

// Seek flags.
constexpr int kMp4SeekToSync = 0;    // go back to the sync sample at or before the time
constexpr int kMp4SeekToSample = 1;  // stop at the sample for the time itself

// One entry of MP4SpliterListTracks.
struct Mp4TrackEntry {
    uint32_t index;    // from 1
    uint32_t handler;  // kMp4HandlerVideo, kMp4HandlerSound, kMp4HandlerText, 0 when unprepared
};

struct MP4Spliter;

// Switches the diagnostic lines of open (printed to stdout) on or off for
// the whole process. They are on by default.
void MP4SpliterSetTrace(int enabled);

// Opens the stream behind io. A null *slot gets a new reader; on failure the
// reader is freed and *slot cleared, except for kMp4ReadLateMovie, where the
// reader stays in *slot and a second open with the same slot, once the whole
// stream is available, parses the deferred movie box.
int MP4SpliterOpen(const Mp4Io& io, int mode, MP4Spliter** slot);

// Writes up to capacity entries and the total track count into *count.
int MP4SpliterListTracks(MP4Spliter* sp, Mp4TrackEntry* entries, uint32_t capacity,
                         uint32_t* count);

// Fills an Mp4VideoParams (video and text tracks, 32 bytes) or an
// Mp4SoundParams (sound tracks, 36 bytes). The last word is left as it is.
int MP4SpliterGetTrackParams(MP4Spliter* sp, int track, void* record, uint32_t recordSize);

// Runs a numbered query on a track. *size holds the capacity of out on entry
// and the bytes written (or, with kMp4ReadRecordTooSmall, needed) on return.
int MP4SpliterQuery(MP4Spliter* sp, int track, int query, void* out, uint32_t* size);

// Positions the read cursor of a track. *timeMs holds the wanted time on
// entry and the decode time of the sample reached on return.
int MP4SpliterSeek(MP4Spliter* sp, int track, uint32_t* timeMs, int flags);

// Copies the next sample of a track into buf and fills info. With a buffer
// too small it returns kMp4ReadBufferTooSmall, sets info->size to the size
// needed and leaves the cursor, so the next read returns the same sample.
int MP4SpliterReadSample(MP4Spliter* sp, int track, uint8_t* buf, uint32_t bufSize,
                         Mp4SampleInfo* info);

// Frees the reader; null is allowed.
void MP4SpliterClose(MP4Spliter* sp);
