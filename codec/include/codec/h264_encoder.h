// A thin layer over libx264: open with the size, frame rate, key-frame
// interval and rate control, plus optional profile, preset, references and
// B frames. Pictures come out as length-prefixed NAL units with the avcC record
// of the stream, ready for the MP4 writer. Used by the conversion library, the
// sample maker and the view recorder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct EncoderSettings {
    int width = 0, height = 0;
    double frameRate = 15;  // frames per second
    int keyInterval = 30;
    int bitRateKbps = 10240;    // average bit rate; 0: constant quality (the encoder's default)
    bool keepDefaults = false;  // the "High" level: only the bit rate on top of the defaults
    std::string profile;        // empty: the encoder's choice
    std::string preset;         // empty: the encoder's default
    int refs = -1;              // -1: not set
    int bFrames = -1;           // -1: not set
    int threads = 0;            // 0: the encoder's choice; 1 gives the same bytes everywhere
    bool sceneCut = true;       // false: key frames only where asked or at the interval
};

// One encoded picture: length-prefixed NAL units, times in frame ticks.
struct EncodedPicture {
    std::vector<uint8_t> data;
    int64_t pts = 0, dts = 0;
    bool key = false;
};

class VideoEncoder {
  public:
    VideoEncoder() = default;
    ~VideoEncoder();
    VideoEncoder(const VideoEncoder&) = delete;
    VideoEncoder& operator=(const VideoEncoder&) = delete;

    // 0, or -1 when the encoder refuses the settings.
    int Open(const EncoderSettings& s);
    // The avcC record built from the encoder's parameter sets.
    const std::vector<uint8_t>& Config() const { return m_config; }
    // Encodes one contiguous 4:2:0 frame (null: drain one delayed picture);
    // forceKey makes this frame an IDR picture. The picture handed back may be
    // an earlier frame's: its pts says which. Returns 1 with a picture, 0
    // without, -1 on failure.
    int Encode(const uint8_t* frame420, int64_t pts, EncodedPicture* out, bool forceKey = false);
    bool HasDelayed() const;
    // Frame-rate fraction of the timestamps.
    uint32_t FpsNum() const { return m_fpsNum; }
    uint32_t FpsDen() const { return m_fpsDen; }

  private:
    struct x264_t* m_enc = nullptr;
    std::vector<uint8_t> m_config;
    int m_width = 0, m_height = 0;
    uint32_t m_fpsNum = 15, m_fpsDen = 1;
};
