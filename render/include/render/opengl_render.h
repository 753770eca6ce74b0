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

// The recorder a recording hands frames to (BGRA, rows top first).
class IFrameRecorder {
  public:
    virtual ~IFrameRecorder() = default;
    virtual int Open(const char* sourcePath, const char* outputPath, int value) = 0;
    // True when the source has a video track of 20 frames per second or more:
    // every second frame is then recorded.
    virtual bool HalvesFrames() const = 0;
    virtual void Frame(int height, const uint8_t* pixels, int width) = 0;
    virtual void Close() = 0;
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
    // Window thread: the next drawn frame is saved to path.
    void RequestSnapshot(const std::string& path);
    // Window thread: hands every drawn frame (every second one when the
    // recorder halves frames) to a recorder made by the hook and opened with
    // the arguments. 0 recording; -1 a recording is already running; -2 no
    // memory for the frame buffer; -3 no memory for the row buffer; -4 no
    // recorder (no hook, or it made none); -6 the recorder's Open answered -6;
    // -5 it failed otherwise. On a failure nothing is kept.
    int StartRecording(const char* sourcePath, const char* outputPath, int value);
    void StopRecording();

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
    std::mutex m_lock;  // guards m_strSnapshotPath, m_pRecorder and the record buffers
    std::string m_strSnapshotPath;
    IFrameRecorder* m_pRecorder = nullptr;
    uint8_t* m_pRecordPixels = nullptr;
    uint8_t* m_pRecordRow = nullptr;
    size_t m_nRecordBytes = 0;
    uint8_t* m_pPhotoPixels = nullptr;
    int32_t m_nPhotoBytes = 0;
    float m_quadUVB[8] = {};
};
