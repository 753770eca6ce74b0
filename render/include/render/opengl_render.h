// Draws camera frames on the projection models with OpenGL 2 shaders, blending
// the two lenses of a dual-lens frame across the seam, and reads the picture
// back for snapshots and recordings. No Qt and no GL headers here: the window
// is a native X11 window id, and images are loaded and saved through hooks.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "render/view_input.h"
#include "render/views.h"

class CShapeModel;

enum { WM_REDRAW_VIEW = 1280, WM_RECORD_SAVED = 1292, WM_SCREENSHOT_SAVED = 1293 };

// Where the renderer's window messages go (posted, any thread).
class IRenderNotify {
  public:
    virtual ~IRenderNotify() = default;
    virtual void Post(int message) = 0;
};

// What a view recording is asked to make.
struct RecordSpec {
    const char* sourcePath = nullptr;  // the playing file, whose sound is copied
    const char* outputPath = nullptr;  // the wanted name; an existing file is never replaced
    int64_t startMs = 0;               // the playback time at the start
    int64_t startTick = -1;            // steady-clock ms when startMs was read; -1: at Open
    int width = 0, height = 0;         // the encoded picture (even sizes)
    bool spherical = false;            // the picture is a whole 2:1 panorama
};

// What a recording did, for the log and the benchmark.
struct RecordCounts {
    uint64_t offered = 0;  // frames handed to Frame while recording
    uint64_t dropped = 0;  // refused because the queue was full
    uint64_t early = 0;    // left out: a frame would have run ahead of its time
    uint64_t encoded = 0;  // video samples written
    uint64_t soundSamples = 0;
    double encodeSeconds = 0;  // conversion and encoding time on the encode thread
    uint32_t lastVideoMs = 0;  // time of the last video sample
    uint32_t lastSoundEndMs = 0;
};

// The recorder a recording hands frames to. Open and Close on the window
// thread, Frame on the thread that draws.
class IFrameRecorder {
  public:
    virtual ~IFrameRecorder() = default;
    // 0, or a negative code; on a failure nothing is left on disk.
    virtual int Open(const RecordSpec& spec) = 0;
    // The file being written (the wanted name or a numbered one).
    virtual std::string OutputPath() const = 0;
    // True when the source has a video track of 20 frames per second or more:
    // every second frame is then recorded.
    virtual bool HalvesFrames() const = 0;
    // A drawn frame as read back: BGRA, rows from the bottom. Copied.
    virtual void Frame(const uint8_t* pixelsBottomUp, int width, int height) = 0;
    // Finishes the file: 0 when it is complete, otherwise it was removed.
    virtual int Close() = 0;
    virtual RecordCounts Counts() const = 0;
};

// The outcome of a screen shot or a recording, for the window to announce.
struct SavedFile {
    int result = 0;       // 0 the file is complete; otherwise nothing was saved
    std::string path;     // the file written (or the name that was wanted)
    RecordCounts counts;  // a recording's
    double drawMs = 0;    // a screen shot's time on the drawing thread
};

// Image hooks of the platform layer: a BGR picture with 4-byte aligned rows,
// first row at the top; saving a BGRA picture (rows from the bottom) by the
// path's extension. Both return 0 on success.
struct PhotoBitmap {
    int width = 0, height = 0, stride = 0;
    uint8_t* rows = nullptr;  // height x stride bytes, freed with delete[]
};
using PhotoLoadFn = int (*)(const char* path, PhotoBitmap* out);
using ImageSaveFn = int (*)(const char* path, const uint8_t* bgraBottomUp, int width, int height);
using RecorderFactoryFn = IFrameRecorder* (*)();

struct RenderHooks {
    PhotoLoadFn loadPhoto = nullptr;
    ImageSaveFn saveImage = nullptr;
    RecorderFactoryFn makeRecorder = nullptr;
};

struct GlxState;  // the drawing thread's display connection and context

// The OpenGL major version of this display, probed once per process with a
// short-lived context on a hidden window; 0 without a display.
int ProbeGLMajorVersion();

class COpenglRender {
  public:
    // window: X11 window id. Probes the GL version with a short-lived context.
    COpenglRender(unsigned long window, IRenderNotify* notify, const RenderHooks& hooks);
    ~COpenglRender();
    COpenglRender(const COpenglRender&) = delete;
    COpenglRender& operator=(const COpenglRender&) = delete;

    // SetSource, SelectView and SetFlip change the models directly: call them
    // only while no other thread draws (before playback starts, or on the
    // thread that draws). Input while a video plays goes through m_input.
    void SetSource(int cameraType, int frameWidth, int frameHeight, const float* tableA,
                   const float* tableB);
    // 0 ready, 1 OpenGL below 2, -1 GLEW failed, -2 a shader or the program
    // failed. The calling thread becomes the drawing thread.
    int InitShaders();
    void ReleaseShaders();
    void SelectView(int index);
    void SetFlip(bool flip);
    // 0, -1 no path, -2 not loaded, -3 no memory.
    int LoadPhoto(const char* path);
    void Draw(const uint8_t* pixels);
    // The drawing thread: the window's size differs from the last drawn one.
    bool WindowChanged() const;
    // Window thread: the next drawn frame is saved under path, or, when
    // keepExisting and a file has that name, under the first free numbered
    // name beside it; WM_SCREENSHOT_SAVED follows, and TakeSnapshotResult
    // tells what was written. Without keepExisting the path is written as it
    // is (a caller's own temporary name).
    void RequestSnapshot(const std::string& path, bool keepExisting = true);
    // Window thread: forgets a request not yet served (playback stopped or
    // another file opens).
    void CancelSnapshot();
    bool TakeSnapshotResult(SavedFile* out);
    // Window thread: hands every drawn frame (every second one when the
    // recorder halves frames) to a recorder made by the hook. The picture is
    // encoded at the window's shape, at most 1920 wide, in even sizes; a flat
    // view of a 2:1 panorama keeps the spherical mark. 0 recording (the file's
    // name in *created); -1 a recording is already running; -2 no memory for
    // the frame buffer; -4 no recorder (no hook, or it made none); otherwise
    // the recorder's Open code. On a failure nothing is kept.
    int StartRecording(const char* sourcePath, const char* outputPath, int64_t startMs,
                       std::string* created = nullptr);
    // Finishes the file (waiting for the encoder), posts WM_RECORD_SAVED and
    // keeps the outcome for TakeRecordResult. Nothing when none runs.
    void StopRecording();
    bool TakeRecordResult(SavedFile* out);
    // The encoded size of a recording of a window of this size.
    static void RecordSize(int windowWidth, int windowHeight, int* width, int* height);

    // View input from any thread; the drawing thread takes it at the start of
    // every Draw, before the view is bound and the matrices are made.
    CViewInput m_input;

    // Members read by the engine, navigation and tests.
    int32_t m_nCameraType = 0;
    int32_t m_bStitch = 0;
    CShapeModel* m_pModels[kModelSlots] = {};
    CShapeModel* m_pCurModel = nullptr;
    std::atomic<int32_t> m_bFlip{0};             // written by the window thread
    std::atomic<int32_t> m_bSnapshotPending{0};  // set after m_strSnapshotPath, under m_lock
    std::atomic<int32_t> m_bRecording{0};
    int32_t m_nRecordFrameCount = 0;
    int32_t m_nGLMajor = 0;
    int32_t m_nVertexShader = -1, m_nFragmentShader = -1, m_nProgram = -1;
    int32_t m_nPositionLoc = -1, m_nUVLoc = -1, m_nUVBLoc = -1, m_nMMatrixLoc = -1,
            m_nPMatrixLoc = -1;
    uint32_t m_nTexture = 0;
    int32_t m_nBoundView = -1;
    std::atomic<int32_t> m_nView{ViewFlat};  // written by the window thread
    std::atomic<int32_t> m_nTexWidth{1}, m_nTexHeight{1};
    std::atomic<int32_t> m_bFrameReady{0};
    float m_mModel[16] = {};
    float m_mProj[16] = {};
    float m_fDefaultFov = 90;
    int32_t m_nQuadIndexCount = 6;
    const uint16_t* m_pDrawIndices = nullptr;
    int32_t m_nDrawIndexCount = 0;
    int32_t m_bVideoFrames = 0;
    int32_t m_bInitialised = 0;
    int32_t m_bTextureDirty = 0;
    // The last viewport set, for tests: x, y, width, height.
    int32_t m_viewport[4] = {};
    // The window size of the last Draw (drawing thread).
    int32_t m_nDrawnWidth = 0, m_nDrawnHeight = 0;

  private:
    void BindView();
    void Matrices();
    void ReadBack(int w, int h);
    void ReleaseContext();
    void DestroyContext();
    bool WindowSize(int* w, int* h) const;

    unsigned long m_hWnd;
    IRenderNotify* m_notify;
    RenderHooks m_hooks;
    GlxState* m_glx = nullptr;
    // Guards m_strSnapshotPath, the results, m_pRecorder and the record buffer.
    std::mutex m_lock;
    std::string m_strSnapshotPath;
    bool m_bSnapshotKeep = true;
    bool m_bSnapshotResult = false, m_bRecordResult = false;
    SavedFile m_snapshotResult, m_recordResult;
    IFrameRecorder* m_pRecorder = nullptr;
    uint8_t* m_pRecordPixels = nullptr;
    size_t m_nRecordBytes = 0;
    uint8_t* m_pPhotoPixels = nullptr;
    int32_t m_nPhotoBytes = 0;
    float m_quadUVB[8] = {};
};
