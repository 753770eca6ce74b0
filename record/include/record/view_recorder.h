// The view recorder: drawn frames of the navigated view become an H.264 MP4
// file, with the sound of the playing source copied beside them sample by
// sample from the playback position on.
//
// Threads. Open and Close run on the window thread, Frame on the thread that
// draws; one encode thread per recording converts, encodes and writes. The
// frame queue is bounded: a frame offered while it is full is dropped and
// counted, so a slow encoder costs frames, never memory. Close drains the
// queue and the encoder before the file is finished. No Qt here.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "codec/h264_encoder.h"
#include "convert/convert_api.h"
#include "mp4/mp4_common.h"
#include "mp4/mp4_copy.h"
#include "mp4/mp4_output.h"
#include "mp4/mp4_reader.h"
#include "render/opengl_render.h"

// Results of CViewRecorder::Open besides 0.
enum RecordResult {
    kRecordBusy = -1,              // already open, or a missing path or size
    kRecordBadSource = -2,         // the source cannot be read as MP4 or MOV
    kRecordNoVideo = -3,           // the source has no video track
    kRecordCannotCreate = -5,      // the output file cannot be created
    kRecordEncoderFailed = -7,     // the encoder refused its settings
    kRecordNoConverter = -8,       // no colour conversion was given
    kRecordWriteFailed = -9,       // the writer refused the tracks
    kRecordNothingRecorded = -10,  // Close: no frame reached the file
};

struct RecorderOptions {
    RescaleCsconvertFn convert = nullptr;  // BGRA into 4:2:0 (the conversion library's)
    size_t queueLimit = 8;                 // frames waiting for the encoder at most
    std::string preset = "superfast";      // the encoder's speed, chosen to keep up on 2 cores
    // One encoder thread: a 1024x512 frame takes about 3 ms, and the drawing
    // and decoding threads need the other cores.
    int threads = 1;
    size_t soundSampleLimit = size_t{4} << 20;  // the largest sound sample accepted
    // Tests: every sample as it goes to the writer (track 0 video, 1 sound).
    std::function<void(int track, const Mp4SampleInfo& info)> onWrite;
};

class CViewRecorder final : public IFrameRecorder {
  public:
    explicit CViewRecorder(const RecorderOptions& options);
    ~CViewRecorder() override;
    CViewRecorder(const CViewRecorder&) = delete;
    CViewRecorder& operator=(const CViewRecorder&) = delete;

    int Open(const RecordSpec& spec) override;
    std::string OutputPath() const override { return m_outputPath; }
    bool HalvesFrames() const override { return m_bHalves; }
    // Captured now (steady clock).
    void Frame(const uint8_t* pixelsBottomUp, int width, int height) override;
    // The same with the capture time given, in ms (tests).
    void FrameAt(const uint8_t* pixelsBottomUp, int width, int height, int64_t tickMs);
    int Close() override;
    RecordCounts Counts() const override;
    // The encoder's frame rate.
    double FrameRate() const { return m_fFrameRate; }

  private:
    struct Entry {
        std::vector<uint8_t> pixels;  // BGRA, rows from the top
        int width = 0, height = 0;
        int64_t tick = 0;
    };
    void EncodeLoop();
    bool PlaceOnGrid(int64_t tick, int64_t* slot) const;
    void PlaceSound(int64_t firstTick);
    void EncodeOne(Entry* e);
    void TakeEncoded(const EncodedPicture& pic);
    void WriteSoundUpTo(uint32_t t);
    void Fail(int writerCode);
    void Abandon();

    RecorderOptions m_options;
    std::string m_outputPath;  // window thread, before the encode thread starts
    bool m_bOpen = false;      // window thread
    bool m_bHalves = false;    // fixed while open
    double m_fFrameRate = 15;  // fixed while open
    RecordSpec m_spec;

    // Encode thread only, after Open.
    Mp4Output m_output;
    MP4Spliter* m_pSource = nullptr;
    Mp4File m_sourceFile;
    VideoEncoder m_encoder;
    uint32_t m_videoId = 0, m_soundId = 0;
    bool m_bHasSound = false, m_bSoundDone = true;
    Mp4SampleCursor m_sound;
    uint32_t m_soundStart = 0;  // source time the sound starts at, ms
    std::vector<uint8_t> m_yuv;
    int64_t m_frameIndex = 0;          // frames given to the encoder
    std::deque<int64_t> m_frameTimes;  // the time of each frame the encoder holds, ms
    int64_t m_firstTick = -1;          // capture tick of the first frame
    int64_t m_lastSlot = -1;           // frame-grid slot of the last frame
    int64_t m_lastT = -1;
    uint32_t m_frameMs = 66;
    int m_writerError = 0;

    // The queue, the spare buffers and the stop flag: guarded by m_mutex.
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::unique_ptr<Entry>> m_queue;
    std::vector<std::unique_ptr<Entry>> m_spare;
    bool m_bStopping = false;
    bool m_bAccepting = false;  // between a successful Open and Close
    std::thread m_thread;       // window thread: started by Open, joined by Close

    // Counters: atomics, read by any thread.
    std::atomic<uint64_t> m_nOffered{0}, m_nDropped{0}, m_nEarly{0}, m_nEncoded{0}, m_nSound{0};
    std::atomic<uint64_t> m_nEncodeMicros{0};
    std::atomic<uint32_t> m_nLastVideoMs{0}, m_nLastSoundEndMs{0};
};
