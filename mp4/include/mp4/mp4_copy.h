// Copying tracks from an MP4Spliter to an MP4Writer: the one way the remux, the
// export's sound and the merge carry samples without decoding them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "mp4/mp4_common.h"
#include "mp4/mp4_reader.h"
#include "mp4/mp4_writer.h"

// A reader query's bytes (codec configuration, handler name); empty when the
// track has none.
std::vector<uint8_t> Mp4QueryBytes(MP4Spliter* sp, int track, int query);

// Adds a writer track with the given parameter record, codec configuration
// and handler name (either may be empty). 0 or the writer's code.
int Mp4AddTrackLike(MP4Writer* w, uint32_t handler, const void* params, uint32_t size,
                    const std::vector<uint8_t>& config, const std::vector<uint8_t>& handlerName,
                    uint32_t* writerId);

// The next sample of one reader track, in a buffer that grows to fit.
struct Mp4SampleCursor {
    int track = 0;  // the reader's track index
    std::vector<uint8_t> buffer = std::vector<uint8_t>(1 << 16);
    Mp4SampleInfo info{};
    bool pending = false;  // info and buffer hold a sample not yet written
    // The buffer grows to the size a sample needs up to this bound; a larger
    // sample is refused as malformed rather than trusted.
    size_t limit = size_t{256} << 20;

    // Reads the next sample. 0 with `pending` set, 0 with it cleared at the
    // end of the track, or the reader's code (kMp4ReadMalformed for a sample
    // over the limit).
    int Next(MP4Spliter* sp);
};

// One track of a copy: where its samples come from and where they go.
struct Mp4TrackCopy {
    Mp4SampleCursor cursor;
    uint32_t writerId = 0;
};

enum Mp4CopyStatus {
    kMp4CopyOk = 0,
    kMp4CopyReadFailed = 1,   // `code` holds the reader's code
    kMp4CopyWriteFailed = 2,  // `code` holds the writer's code
    kMp4CopyStopped = 3,      // the stop flag was raised
};

struct Mp4CopyResult {
    int status = kMp4CopyOk;
    int code = 0;
    uint32_t endMs = 0;  // the latest sample end written, at least offsetMs
};

// Writes every remaining sample of the tracks in decode-time order across
// them, each time moved by offsetMs. Each cursor must hold its first sample
// (Next called once). stop, when given, is checked before every sample.
Mp4CopyResult Mp4CopySamples(MP4Spliter* sp, std::vector<Mp4TrackCopy>* tracks, MP4Writer* w,
                             uint32_t offsetMs, const std::atomic<bool>* stop);
