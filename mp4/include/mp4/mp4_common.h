// Types shared by the MP4 reader and writer: the I/O table, the track
// parameter records, the sample record and the codec codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Origins of Mp4Io::seek.
enum Mp4SeekOrigin { kMp4SeekSet = 0, kMp4SeekCur = 1, kMp4SeekEnd = 2 };

// I/O table over a stream. The reader uses read, seek, tell and size; the
// writer uses write, seek, tell and read. Unused entries may be null.
struct Mp4Io {
    void* user;
    // Bytes transferred (short only at the end or on an error), or -1.
    int64_t (*read)(void* user, void* dst, int64_t n);
    int64_t (*write)(void* user, const void* src, int64_t n);
    // 0 on success, -1 on failure.
    int (*seek)(void* user, int64_t offset, int origin);
    int64_t (*tell)(void* user);
    // Stream size, or -1 when unknown.
    int64_t (*size)(void* user);
};

// A buffered file behind an Mp4Io table. Not copyable; closes itself.
class Mp4File {
  public:
    Mp4File() = default;
    ~Mp4File();
    Mp4File(const Mp4File&) = delete;
    Mp4File& operator=(const Mp4File&) = delete;

    // Opens a UTF-8 path for reading, or creates/truncates it for writing
    // (writing files can also be read back and seeked). Returns 0 or -1.
    int OpenRead(const char* path);
    int OpenWrite(const char* path);
    // Flushes and closes; false when anything written was lost.
    bool Close();
    Mp4Io Io();

  private:
    struct State;
    State* m_pState = nullptr;
};

constexpr uint32_t Mp4FourCC(char a, char b, char c, char d) {
    return (uint32_t{static_cast<uint8_t>(a)} << 24) | (uint32_t{static_cast<uint8_t>(b)} << 16) |
           (uint32_t{static_cast<uint8_t>(c)} << 8) | uint32_t{static_cast<uint8_t>(d)};
}

// Codec codes of the track records, from the sample entries.
constexpr uint32_t kMp4CodecH264 = Mp4FourCC('2', '6', '4', ' ');  // avc1
constexpr uint32_t kMp4CodecHevc = Mp4FourCC('h', 'e', 'v', 'c');  // hvc1
constexpr uint32_t kMp4CodecAac = Mp4FourCC('a', 'a', 'c', ' ');   // mp4a
constexpr uint32_t kMp4CodecMp3 = Mp4FourCC('m', 'p', '3', ' ');   // .mp3
constexpr uint32_t kMp4CodecAc3 = Mp4FourCC('a', 'c', '3', ' ');   // ac-3
constexpr uint32_t kMp4CodecAlac = Mp4FourCC('a', 'l', 'a', 'c');  // alac

// Handler types.
constexpr uint32_t kMp4HandlerVideo = Mp4FourCC('v', 'i', 'd', 'e');
constexpr uint32_t kMp4HandlerSound = Mp4FourCC('s', 'o', 'u', 'n');
constexpr uint32_t kMp4HandlerText = Mp4FourCC('t', 'e', 'x', 't');

// The 32-byte parameter record of a video (or text) track.
struct Mp4VideoParams {
    uint32_t codec;
    uint32_t durationMs;
    uint32_t width;
    uint32_t height;
    float frameRate;
    uint32_t bitRate;
    uint32_t bufferSize;  // largest sample + 1024
    uint32_t reserved;    // left as it is by the reader
};
static_assert(sizeof(Mp4VideoParams) == 32, "video record is 32 bytes");

// The 36-byte parameter record of a sound track.
struct Mp4SoundParams {
    uint32_t codec;
    uint32_t durationMs;
    uint32_t channels;
    uint32_t bitsPerSample;
    uint32_t zero;
    uint32_t sampleRate;
    uint32_t bitRate;
    uint32_t bufferSize;  // largest sample + size of the codec configuration
    uint32_t reserved;
};
static_assert(sizeof(Mp4SoundParams) == 36, "sound record is 36 bytes");

// The 28-byte record that goes with each sample.
struct Mp4SampleInfo {
    uint32_t size;        // bytes
    uint32_t ptsMs;       // presentation time
    uint32_t dtsMs;       // decode time
    uint32_t durationMs;  // filled by the writer for held samples
    uint32_t zero1;
    uint32_t sync;  // 1 for a sync (key) sample
    uint32_t zero2;
};
static_assert(sizeof(Mp4SampleInfo) == 28, "sample record is 28 bytes");

// An avcC record (configuration version 1, 4-byte lengths) from one sequence
// and one picture parameter set given without start codes or lengths; the
// SPS must be at least 4 bytes.
std::vector<uint8_t> Mp4AvcConfig(const std::vector<uint8_t>& sps, const std::vector<uint8_t>& pps);
