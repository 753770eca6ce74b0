// The player engine: opens one photo or video at a time, decides whether it
// can be shown as a panorama, hands the lens calibration to the renderer,
// plays videos through the playback library and draws every decoded frame.
//
// Threads. The window thread calls every member function. The playback
// library calls the event handlers on its event thread (they only call the
// notifier, which must post) and the frame hand-over on its video thread
// (which draws with the renderer while a video plays). View input goes
// through the renderer's guarded hand-over (render/view_input.h), so the
// models are written only by the thread that draws them. No Qt here: the
// owner is reached through IPlayerOwner and the notifier.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "player/mediainfo.h"
#include "player/probe.h"
#include "player/vlc_binding.h"
#include "render/opengl_render.h"

enum PlayerState { PS_IDLE = 0, PS_OPENED = 1, PS_PLAYING = 2, PS_PAUSED = 3, PS_STOPPED = 4 };

// Notifier codes.
enum {
    ENGINE_END = 1258,       // the end of the media was reached (0, 0)
    ENGINE_PAUSED = 1259,    // (0, 0)
    ENGINE_PLAYING = 1260,   // (0, length in ms truncated to 32 bits)
    ENGINE_POSITION = 1261,  // (whole percent, 0)
};

class CPlayerEngine;

// Called on the playback library's event thread; must only post. tag names
// the player the event came from: compare it with CurrentTag() on the window
// thread and drop events of a player that has since been replaced.
using EngineNotifier = void (*)(CPlayerEngine* engine, int code, int value1, int value2,
                                uint32_t tag, void* user);

// What the engine asks of its window (window thread, synchronous).
class IPlayerOwner {
  public:
    virtual ~IPlayerOwner() = default;
    // A file is open and another is about to be: stop playback now.
    virtual void StopBeforeOpen() = 0;
    // OpenGL 2 is missing: may the file be shown without stitching?
    virtual bool AskPlayNonPanoramic() = 0;
    // Give the video area the keyboard focus.
    virtual void FocusVideo() = 0;
    // A photo to show without OpenGL 2 (path); empty to stop showing one.
    virtual void ShowFallbackPhoto(const char* path) = 0;
};

// One format negotiation's picture buffer, owned by the frame hand-over.
struct VoutFrame {
    COpenglRender* renderer = nullptr;
    uint32_t width = 0;
    uint32_t height = 0;
    size_t size = 0;  // width x height x 4
    uint8_t* pixels = nullptr;
};

class CPlayerEngine {
  public:
    // Largest picture the video output accepts, each side.
    static constexpr unsigned kMaxFrameSide = 8192;

    // libraryName: the playback library to load (tests load a missing one).
    explicit CPlayerEngine(const RenderHooks& hooks, const char* libraryName = kVlcLibraryName);
    ~CPlayerEngine();
    CPlayerEngine(const CPlayerEngine&) = delete;
    CPlayerEngine& operator=(const CPlayerEngine&) = delete;

    // Set by the owner before the first open.
    void SetVideoWindow(unsigned long window, IRenderNotify* renderNotify, IPlayerOwner* owner);
    void SetNotifier(EngineNotifier notifier, void* user);

    // 0 when the file can be shown, otherwise a ProbeResult.
    int Probe(bool isPhoto, const char* path);
    // 1 on success, 0 on failure (see LastOpenError).
    int Open(const char* path, bool isPhoto);
    void Play();
    void Pause();
    void Stop();
    void SetVolume(int percent);
    void Seek(int percent);
    void SetMute(int flag);
    void NextFrame();
    int IsPlaying() const;
    int64_t GetTime() const;
    int64_t GetLength() const;
    // Applies nothing itself (the drawing thread takes the input); in photo
    // mode draws the photo again.
    void Redraw();
    // Photo mode: something changed since the last draw (input, a model
    // still moving, an Invalidate).
    bool NeedsRedraw() const;
    // The video area was resized or exposed: the photo must be drawn again.
    void Invalidate() { m_bInvalid = true; }

    // Navigation (window thread): only recorded for the next frame.
    void ResetView();
    void DragBy(float dx, float dy);
    void Fling(float vx, float vy);
    void Zoom(int delta);
    // The view commands 0..6 and -1, 8 (mirror as given) and 9 (reset).
    void ViewCommand(int value, bool mirror);

    // The tag of the current player's events; 0 when there is none.
    uint32_t CurrentTag() const { return m_nTag; }
    bool Usable() const { return m_binding.Usable(); }

    // Why the last Open failed.
    enum OpenError {
        kOpenOk = 0,
        kOpenNoLibrary,   // the playback library or an entry point is missing
        kOpenNoInstance,  // the library could not start
        kOpenNoMedia,     // media or player creation failed
        kOpenDeclined,    // the user declined non-panoramic playback
        kOpenNoPicture,   // the photo could not be decoded
        kOpenNoGL,        // the shaders could not be made
    };
    OpenError LastOpenError() const { return m_lastError; }

    // Fields (window thread unless said otherwise).
    int m_nState = PS_IDLE;
    unsigned long m_hVideoWindow = 0;
    int m_nGLMajor = 0;
    COpenglRender* m_pRender = nullptr;
    int m_bPhotoMode = 0;
    int m_nCameraType = 0;
    int m_nWidth = 0, m_nHeight = 0;
    int m_nViewMode = -1;

    // Counters for tests and benchmarks, written by the video thread.
    std::atomic<uint32_t> m_nFramesDrawn{0};
    std::atomic<uint32_t> m_nFormatWidth{0}, m_nFormatHeight{0};
    std::atomic<uint32_t> m_nFormatCalls{0};

  private:
    struct PlayerContext;  // what the library's threads get as their opaque pointer

    void SelectModel();
    void ReleasePlayer();
    bool EnsureRenderer();

    static void OnEvent(const libvlc_event_t* event, void* data);
    static unsigned OnFormat(void** opaque, char* chroma, unsigned* width, unsigned* height,
                             unsigned* pitches, unsigned* lines);
    static void OnCleanup(void* opaque);
    static void* OnLock(void* opaque, void** planes);
    static void OnUnlock(void* opaque, void* picture, void* const* planes);
    static void OnDisplay(void* opaque, void* picture);

    CVlcBinding m_binding;
    RenderHooks m_hooks;
    CMediaInfo m_mediaInfo;
    CMediaProbe m_probe;
    CVlcInstance m_instance;
    CVlcMedia m_media;
    CVlcPlayer m_player;
    std::unique_ptr<PlayerContext> m_context;
    uint32_t m_nTag = 0;      // the current player's tag; window thread
    uint32_t m_nNextTag = 1;  // window thread
    IRenderNotify* m_pRenderNotify = nullptr;
    IPlayerOwner* m_pOwner = nullptr;
    // Window thread; each player's context takes a copy at its open, which is
    // what the event thread reads.
    EngineNotifier m_notifier = nullptr;
    void* m_pNotifierUser = nullptr;
    bool m_bInvalid = true;
    OpenError m_lastError = kOpenOk;
};
