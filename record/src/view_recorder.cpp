#include "record/view_recorder.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "mp4/mp4_writer.h"
#include "platform/file.h"

namespace {

constexpr int kKeyInterval = 30;
constexpr int kBitRateKbps = 10485;  // 10 485 760 bits per second
constexpr size_t kMaxFrameSide = 16384;

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int SetTrackBytes(MP4Writer* w, int property, uint32_t track, const void* data, size_t size) {
    const Mp4WriterTrackBytes rec{track, static_cast<uint32_t>(size), data};
    return MP4WriterSetProperty(w, property, &rec, sizeof rec);
}

int SetTrackValue(MP4Writer* w, int property, uint32_t track, uint32_t value) {
    const Mp4WriterTrackValue rec{track, value};
    return MP4WriterSetProperty(w, property, &rec, sizeof rec);
}

}  // namespace

CViewRecorder::CViewRecorder(const RecorderOptions& options) : m_options(options) {
    if (m_options.queueLimit == 0) m_options.queueLimit = 1;
}

CViewRecorder::~CViewRecorder() {
    if (m_bOpen) Close();
    MP4SpliterClose(m_pSource);
}

void CViewRecorder::Abandon() {
    m_output.Finish(false);
    if (!m_outputPath.empty()) platform::RemoveFile(m_outputPath.c_str());
    MP4SpliterClose(m_pSource);
    m_pSource = nullptr;
    m_sourceFile.Close();
}

int CViewRecorder::Open(const RecordSpec& spec) {
    if (m_bOpen || spec.sourcePath == nullptr || spec.outputPath == nullptr ||
        *spec.sourcePath == 0 || *spec.outputPath == 0 || spec.width <= 0 || spec.height <= 0 ||
        (spec.width & 1) || (spec.height & 1) || size_t(spec.width) > kMaxFrameSide ||
        size_t(spec.height) > kMaxFrameSide) {
        return kRecordBusy;
    }
    if (m_options.convert == nullptr) return kRecordNoConverter;
    m_spec = spec;
    // When the playback time was read; the sound is placed again at the first
    // frame, by the time that passed since (opening the encoder takes a while).
    if (m_spec.startTick < 0) m_spec.startTick = NowMs();
    m_outputPath.clear();

    // The source first: nothing is created for a file that cannot be recorded.
    if (m_sourceFile.OpenRead(spec.sourcePath) != 0) return kRecordBadSource;
    MP4SpliterSetTrace(0);
    if (MP4SpliterOpen(m_sourceFile.Io(), kMp4ReadModeAll, &m_pSource) != 0) {
        m_pSource = nullptr;
        Abandon();
        return kRecordBadSource;
    }
    Mp4TrackEntry tracks[16];
    uint32_t count = 0;
    MP4SpliterListTracks(m_pSource, tracks, 16, &count);
    int videoTrack = 0, soundTrack = 0;
    for (uint32_t i = 0; i < std::min<uint32_t>(count, 16); ++i) {
        if (tracks[i].handler == kMp4HandlerVideo && videoTrack == 0) videoTrack = tracks[i].index;
        if (tracks[i].handler == kMp4HandlerSound && soundTrack == 0) soundTrack = tracks[i].index;
    }
    Mp4VideoParams source{};
    if (videoTrack == 0 ||
        MP4SpliterGetTrackParams(m_pSource, videoTrack, &source, sizeof source) != 0) {
        Abandon();
        return kRecordNoVideo;
    }
    // Sources of 20 frames per second and more are recorded at half their rate.
    // The track's rate comes from its durations (30.0075 for 30): whole
    // numbers are taken as such.
    double rate = source.frameRate;
    if (std::fabs(rate - std::round(rate)) < 0.01) rate = std::round(rate);
    m_bHalves = rate >= 20;
    m_fFrameRate = rate >= 20 ? rate / 2 : rate > 0 ? rate : 15;
    m_frameMs = static_cast<uint32_t>(1000 / m_fFrameRate + 0.5);

    // The sound from the playback position on, when the writer can carry it.
    Mp4SoundParams sound{};
    std::vector<uint8_t> soundConfig;
    m_bHasSound = false;
    m_bSoundDone = true;
    if (soundTrack != 0 &&
        MP4SpliterGetTrackParams(m_pSource, soundTrack, &sound, sizeof sound) == 0) {
        soundConfig = Mp4QueryBytes(m_pSource, soundTrack, kMp4QueryCodecConfig);
        uint32_t at = static_cast<uint32_t>(std::clamp<int64_t>(spec.startMs, 0, INT32_MAX));
        if (MP4WriterDescribesCodec(sound.codec, soundConfig.size()) &&
            MP4SpliterSeek(m_pSource, soundTrack, &at, kMp4SeekToSample) == 0) {
            m_soundStart = at;
            m_sound = Mp4SampleCursor();
            m_sound.track = soundTrack;
            m_sound.limit = m_options.soundSampleLimit;
            m_bHasSound = m_sound.Next(m_pSource) == 0 && m_sound.pending;
            m_bSoundDone = !m_bHasSound;
        }
    }

    EncoderSettings es;
    es.width = spec.width;
    es.height = spec.height;
    es.frameRate = m_fFrameRate;
    es.keyInterval = kKeyInterval;
    es.bitRateKbps = kBitRateKbps;
    es.preset = m_options.preset;
    es.refs = 1;
    es.bFrames = 0;
    es.sceneCut = false;
    es.threads = m_options.threads;
    if (m_encoder.Open(es) != 0) {
        Abandon();
        return kRecordEncoderFailed;
    }
    m_yuv.assign(static_cast<size_t>(spec.width) * spec.height * 3 / 2, 0);

    // Now the output, under a name no other file has.
    if (platform::CreateUniqueFile(spec.outputPath, &m_outputPath) != 0) {
        m_outputPath.clear();
        Abandon();
        return kRecordCannotCreate;
    }
    if (m_output.Open(m_outputPath.c_str()) != kMp4OutputOk) {
        Abandon();
        return kRecordCannotCreate;
    }
    MP4Writer* w = m_output.Writer();
    Mp4VideoParams video{kMp4CodecH264,
                         0,
                         static_cast<uint32_t>(spec.width),
                         static_cast<uint32_t>(spec.height),
                         static_cast<float>(m_fFrameRate),
                         kBitRateKbps * 1000u,
                         0,
                         0};
    static const char kVideoName[] = "Core Media";
    static const char kSoundName[] = "SoundHandler";
    int rc = MP4WriterAddTrack(w, kMp4HandlerVideo, &video, sizeof video, &m_videoId);
    const std::vector<uint8_t>& avc = m_encoder.Config();
    if (rc == 0) rc = SetTrackBytes(w, kMp4PropCodecConfig, m_videoId, avc.data(), avc.size());
    if (rc == 0) rc = SetTrackBytes(w, kMp4PropHandlerName, m_videoId, kVideoName, 10);
    // A view of the sphere is an ordinary video; only the whole panorama is marked.
    if (rc == 0) rc = SetTrackValue(w, kMp4PropSpherical, m_videoId, spec.spherical ? 1 : 0);
    if (rc == 0 && m_bHasSound) {
        rc = Mp4AddTrackLike(w, kMp4HandlerSound, &sound, sizeof sound, soundConfig,
                             std::vector<uint8_t>(kSoundName, kSoundName + 12), &m_soundId);
    }
    if (rc != 0) {
        Abandon();
        return kRecordWriteFailed;
    }

    m_frameIndex = 0;
    m_frameTimes.clear();
    m_firstTick = -1;
    m_lastSlot = -1;
    m_lastT = -1;
    m_writerError = 0;
    m_nOffered = m_nDropped = m_nEarly = m_nEncoded = m_nSound = m_nEncodeMicros = 0;
    m_nLastVideoMs = m_nLastSoundEndMs = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStopping = false;
        m_queue.clear();
    }
    m_thread = std::thread([this] { EncodeLoop(); });
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bAccepting = true;
    }
    m_bOpen = true;
    return 0;
}

void CViewRecorder::Frame(const uint8_t* pixelsBottomUp, int width, int height) {
    FrameAt(pixelsBottomUp, width, height, NowMs());
}

void CViewRecorder::FrameAt(const uint8_t* pixelsBottomUp, int width, int height, int64_t tickMs) {
    if (pixelsBottomUp == nullptr || width <= 0 || height <= 0 || size_t(width) > kMaxFrameSide ||
        size_t(height) > kMaxFrameSide)
        return;
    std::unique_ptr<Entry> e;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_bAccepting) return;
        ++m_nOffered;
        if (m_queue.size() >= m_options.queueLimit) {
            ++m_nDropped;  // the newest frame goes; the encoder is behind
            return;
        }
        if (!m_spare.empty()) {
            e = std::move(m_spare.back());
            m_spare.pop_back();
        }
    }
    if (!e) e = std::make_unique<Entry>();
    const size_t stride = static_cast<size_t>(width) * 4;
    e->pixels.resize(stride * height);
    // Rows come from the bottom; the queue keeps them from the top.
    for (int y = 0; y < height; ++y)
        std::memcpy(e->pixels.data() + stride * y, pixelsBottomUp + stride * (height - 1 - y),
                    stride);
    e->width = width;
    e->height = height;
    e->tick = tickMs;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back(std::move(e));
    }
    m_wake.notify_one();
}

void CViewRecorder::EncodeLoop() {
    for (;;) {
        std::unique_ptr<Entry> e;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return !m_queue.empty() || m_bStopping; });
            if (m_queue.empty()) break;  // stopping, and everything queued is done
            e = std::move(m_queue.front());
            m_queue.pop_front();
        }
        EncodeOne(e.get());
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_spare.size() <= m_options.queueLimit) m_spare.push_back(std::move(e));
    }
    // The pictures the encoder still holds, then the sound up to the video's end.
    while (m_writerError == 0 && m_encoder.HasDelayed()) {
        EncodedPicture pic;
        if (m_encoder.Encode(nullptr, 0, &pic) <= 0) break;
        TakeEncoded(pic);
    }
    if (m_writerError == 0 && m_lastT >= 0)
        WriteSoundUpTo(static_cast<uint32_t>(m_lastT) + m_frameMs);
}

bool CViewRecorder::PlaceOnGrid(int64_t tick, int64_t* slot) const {
    // Capture times are rounded to the recording's frame grid, so that every
    // frame has a time of its own and players that count frames at the
    // nominal rate see each one; a frame that would run more than a frame
    // ahead of its capture time is left out instead.
    const double frame = 1000.0 / m_fFrameRate;
    const double elapsed = m_firstTick < 0 ? 0.0 : static_cast<double>(tick - m_firstTick);
    int64_t s = std::llround(elapsed / frame);
    if (s <= m_lastSlot) s = m_lastSlot + 1;
    if (static_cast<double>(s) * frame - elapsed > frame + 0.5) return false;
    *slot = s;
    return true;
}

void CViewRecorder::PlaceSound(int64_t firstTick) {
    // The playback time of the first frame is where the sound starts.
    if (!m_bHasSound) return;
    const int64_t at = m_spec.startMs + std::max<int64_t>(0, firstTick - m_spec.startTick);
    uint32_t reached = static_cast<uint32_t>(std::clamp<int64_t>(at, 0, INT32_MAX));
    m_sound.pending = false;
    m_bSoundDone = true;
    if (MP4SpliterSeek(m_pSource, m_sound.track, &reached, kMp4SeekToSample) != 0) return;
    m_soundStart = reached;
    m_bSoundDone = !(m_sound.Next(m_pSource) == 0 && m_sound.pending);
    std::fprintf(stderr, "recording: sound from %u ms\n", reached);
}

void CViewRecorder::EncodeOne(Entry* e) {
    if (m_writerError != 0) return;
    const auto start = std::chrono::steady_clock::now();
    int64_t slot = 0;
    if (!PlaceOnGrid(e->tick, &slot)) {
        ++m_nEarly;
        return;
    }
    if (m_firstTick < 0) PlaceSound(e->tick);
    if (m_options.convert(e->pixels.data(), m_yuv.data(), e->width, e->height, kConvertFormatBgra,
                          m_spec.width, m_spec.height, 0) != kConvertOk) {
        return;  // a frame that cannot be converted is left out
    }
    if (m_firstTick < 0) m_firstTick = e->tick;
    m_lastSlot = slot;
    const int64_t t = std::llround(static_cast<double>(slot) * 1000.0 / m_fFrameRate);
    const int64_t pts = m_frameIndex++;
    m_frameTimes.emplace_back(t);
    EncodedPicture pic;
    const int r = m_encoder.Encode(m_yuv.data(), pts, &pic, pts % kKeyInterval == 0);
    m_nEncodeMicros += static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                                 std::chrono::steady_clock::now() - start)
                                                 .count());
    if (r < 0) {
        m_frameTimes.pop_back();
        --m_frameIndex;
        return;
    }
    if (r == 1) TakeEncoded(pic);
}

void CViewRecorder::TakeEncoded(const EncodedPicture& pic) {
    // Pictures leave the encoder in the order they went in (no B pictures),
    // so the oldest time held is this picture's.
    if (m_frameTimes.empty()) return;
    const int64_t t = m_frameTimes.front();
    m_frameTimes.pop_front();
    if (t > INT32_MAX) return;
    m_lastT = t;
    WriteSoundUpTo(static_cast<uint32_t>(t));
    if (m_writerError != 0) return;
    Mp4SampleInfo info{};
    info.size = static_cast<uint32_t>(pic.data.size());
    info.ptsMs = info.dtsMs = static_cast<uint32_t>(t);
    info.durationMs = m_frameMs;
    info.sync = pic.key ? 1 : 0;
    const int rc = MP4WriterWriteSample(m_output.Writer(), m_videoId, pic.data.data(), &info);
    if (rc != 0) {
        Fail(rc);
        return;
    }
    if (m_options.onWrite) m_options.onWrite(0, info);
    ++m_nEncoded;
    m_nLastVideoMs = info.dtsMs;
}

void CViewRecorder::WriteSoundUpTo(uint32_t t) {
    while (!m_bSoundDone && m_writerError == 0) {
        if (!m_sound.pending && (m_sound.Next(m_pSource) != 0 || !m_sound.pending)) {
            m_bSoundDone = true;  // the end of the track, or a sample that cannot be read
            break;
        }
        Mp4SampleInfo info = m_sound.info;
        if (info.dtsMs < m_soundStart) {  // before the start: not ours
            m_sound.pending = false;
            continue;
        }
        info.dtsMs -= m_soundStart;
        info.ptsMs = info.ptsMs >= m_soundStart ? info.ptsMs - m_soundStart : info.dtsMs;
        // A sample that ends after the video frame waits for a later frame.
        if (uint64_t{info.dtsMs} + info.durationMs > t) break;
        const int rc =
            MP4WriterWriteSample(m_output.Writer(), m_soundId, m_sound.buffer.data(), &info);
        if (rc != 0) {
            Fail(rc);
            return;
        }
        m_sound.pending = false;
        if (m_options.onWrite) m_options.onWrite(1, info);
        ++m_nSound;
        m_nLastSoundEndMs = info.dtsMs + info.durationMs;
    }
}

void CViewRecorder::Fail(int writerCode) {
    if (m_writerError == 0) {
        m_writerError = writerCode;
        std::fprintf(stderr, "recording: the writer failed with %d\n", writerCode);
    }
}

int CViewRecorder::Close() {
    if (!m_bOpen) return kRecordBusy;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bAccepting = false;
        m_bStopping = true;
    }
    m_wake.notify_one();
    m_thread.join();
    m_bOpen = false;
    int result = 0;
    if (m_writerError != 0) {
        result = kRecordWriteFailed;
    } else if (m_nEncoded == 0) {
        result = kRecordNothingRecorded;
    } else if (m_output.Finish(true) != kMp4OutputOk) {
        result = kRecordWriteFailed;
    }
    const uint64_t encoded = m_nEncoded.load();
    std::fprintf(stderr,
                 "recording: %llu frames written, %llu dropped, %llu ahead of time, "
                 "%.1f ms a frame to encode\n",
                 static_cast<unsigned long long>(encoded),
                 static_cast<unsigned long long>(m_nDropped.load()),
                 static_cast<unsigned long long>(m_nEarly.load()),
                 encoded ? static_cast<double>(m_nEncodeMicros.load()) / 1000.0 /
                               static_cast<double>(encoded)
                         : 0.0);
    if (result != 0) {
        Abandon();
    } else {
        MP4SpliterClose(m_pSource);
        m_pSource = nullptr;
        m_sourceFile.Close();
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.clear();
        m_spare.clear();
    }
    return result;
}

RecordCounts CViewRecorder::Counts() const {
    RecordCounts s;
    s.offered = m_nOffered;
    s.dropped = m_nDropped;
    s.early = m_nEarly;
    s.encoded = m_nEncoded;
    s.soundSamples = m_nSound;
    s.encodeSeconds = static_cast<double>(m_nEncodeMicros.load()) / 1e6;
    s.lastVideoMs = m_nLastVideoMs;
    s.lastSoundEndMs = m_nLastSoundEndMs;
    return s;
}
