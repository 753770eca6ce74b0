#include "player/player_engine.h"

#include <cmath>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <cstdio>
#include <cstring>
#include <new>

#include "render/models.h"

// What the playback library's threads see. Made at each open, fixed until the
// player it belongs to is stopped and released, so the event and video
// threads read it without a lock.
struct CPlayerEngine::PlayerContext {
    CPlayerEngine* engine = nullptr;
    const CVlcBinding* binding = nullptr;
    libvlc_media_player_t* player = nullptr;
    libvlc_media_t* media = nullptr;
    COpenglRender* renderer = nullptr;  // null when the library draws itself
    EngineNotifier notifier = nullptr;
    void* user = nullptr;
    uint32_t tag = 0;
    unsigned probedWidth = 0, probedHeight = 0;  // the picture size the probe read
};

namespace {

// The frame buffer of one negotiation and the context it came from.
struct FrameSlot {
    VoutFrame frame;
    CPlayerEngine* engine = nullptr;
};

}  // namespace

CPlayerEngine::CPlayerEngine(const RenderHooks& hooks, const char* libraryName)
    : m_binding(libraryName), m_hooks(hooks), m_probe(&m_mediaInfo) {
    m_mediaInfo.Load();
    m_nGLMajor = ProbeGLMajorVersion();
}

CPlayerEngine::~CPlayerEngine() {
    ReleasePlayer();
    m_media.Reset();
    m_instance.Reset();
    m_nState = PS_IDLE;
    if (m_pRender != nullptr) {
        if (m_bPhotoMode) m_pRender->ReleaseShaders();
        delete m_pRender;
        m_pRender = nullptr;
    }
}

void CPlayerEngine::SetVideoWindow(unsigned long window, IRenderNotify* renderNotify,
                                   IPlayerOwner* owner) {
    m_hVideoWindow = window;
    m_pRenderNotify = renderNotify;
    m_pOwner = owner;
}

void CPlayerEngine::SetNotifier(EngineNotifier notifier, void* user) {
    m_notifier = notifier;
    m_pNotifierUser = user;
}

int CPlayerEngine::Probe(bool isPhoto, const char* path) {
    const int result = m_probe.Probe(isPhoto, path);
    m_nCameraType = m_probe.m_nCameraType;
    m_nWidth = m_probe.m_nWidth;
    m_nHeight = m_probe.m_nHeight;
    m_nViewMode = m_probe.m_nViewMode;
    return result;
}

bool CPlayerEngine::EnsureRenderer() {
    if (m_pRender == nullptr) {
        m_pRender = new (std::nothrow) COpenglRender(m_hVideoWindow, m_pRenderNotify, m_hooks);
    }
    return m_pRender != nullptr;
}

void CPlayerEngine::SelectModel() {
    // No thread draws at this moment (the previous player is stopped), so
    // the renderer is changed directly.
    m_pRender->m_nBoundView = -1;
    if (m_nViewMode != -1) m_pRender->SelectView(m_nViewMode);
    CShapeModel* model = m_pRender->m_pCurModel;
    m_pRender->m_input.Restart(model != nullptr ? model->m_fFov : m_pRender->m_fDefaultFov);
}

void CPlayerEngine::ReleasePlayer() {
    if (m_player) {
        // Stopping joins the video thread (its clean-up runs) and ends the
        // events; only then do the handlers' context and the player go.
        m_binding.libvlc_media_player_stop(m_player.Get());
        libvlc_event_manager_t* events =
            m_binding.libvlc_media_player_event_manager(m_player.Get());
        if (events != nullptr && m_context) {
            for (libvlc_event_e type :
                 {libvlc_MediaPlayerEndReached, libvlc_MediaPlayerPlaying, libvlc_MediaPlayerPaused,
                  libvlc_MediaPlayerPositionChanged})
                m_binding.libvlc_event_detach(events, type, &CPlayerEngine::OnEvent,
                                              m_context.get());
        }
        m_player.Reset();
        // The player's threads leave their frames in per-thread heaps that
        // the C library keeps; give them back, or every replay adds to the
        // resident size.
#if defined(__GLIBC__)
        malloc_trim(0);
#endif
    }
    m_context.reset();
    m_nTag = 0;
}

int CPlayerEngine::Open(const char* path, bool isPhoto) {
    m_lastError = kOpenOk;
    if (!m_binding.Usable()) {
        std::fprintf(stderr, "cannot open %s: the playback library is unusable (%s)\n",
                     path != nullptr ? path : "", m_binding.Missing().c_str());
        m_nState = PS_IDLE;
        m_lastError = kOpenNoLibrary;
        return 0;
    }
    if (!m_instance) {
        m_instance = CVlcInstance(m_binding, m_binding.libvlc_new(0, nullptr));
        if (!m_instance) {
            m_nState = PS_IDLE;
            m_lastError = kOpenNoInstance;
            return 0;
        }
    }
    if (path == nullptr || *path == '\0') {
        m_lastError = kOpenNoMedia;
        return 0;
    }
    if (m_nState != PS_IDLE && m_pOwner != nullptr) m_pOwner->StopBeforeOpen();
    if (m_pRender != nullptr) {
        m_pRender->CancelSnapshot();
        m_pRender->StopRecording();
    }
    if (m_bPhotoMode && m_pRender != nullptr) {
        m_bPhotoMode = 0;
        m_pRender->ReleaseShaders();
    }
    if (m_pOwner != nullptr) m_pOwner->ShowFallbackPhoto("");

    if (isPhoto) {
        if (!EnsureRenderer()) {
            m_lastError = kOpenNoPicture;
            return 0;
        }
        m_bPhotoMode = 1;
        m_bInvalid = true;
        if (m_pRender->m_nGLMajor < 2) {
            if (m_pOwner == nullptr || !m_pOwner->AskPlayNonPanoramic()) {
                m_lastError = kOpenDeclined;
                return 0;
            }
            m_pOwner->ShowFallbackPhoto(path);
            return 1;
        }
        if (m_pOwner != nullptr) m_pOwner->FocusVideo();
        m_pRender->SetSource(m_nCameraType, m_nWidth, m_nHeight, m_probe.m_pMeshA,
                             m_probe.m_pMeshB);
        if (m_pRender->InitShaders() != 0) {
            m_bPhotoMode = 0;
            m_pRender->ReleaseShaders();
            m_lastError = kOpenNoGL;
            return 0;
        }
        SelectModel();
        m_pRender->m_bVideoFrames = 0;
        if (m_pRender->LoadPhoto(path) != 0) {
            m_bPhotoMode = 0;
            m_pRender->ReleaseShaders();
            m_lastError = kOpenNoPicture;
            return 0;
        }
        return 1;
    }

    CVlcMedia media(m_binding, m_binding.libvlc_media_new_path(m_instance.Get(), path));
    if (!media) {
        m_lastError = kOpenNoMedia;
        return 0;
    }
    ReleasePlayer();
    m_media = std::move(media);
    m_player = CVlcPlayer(m_binding, m_binding.libvlc_media_player_new_from_media(m_media.Get()));
    if (!m_player || !EnsureRenderer()) {
        m_player.Reset();
        m_lastError = kOpenNoMedia;
        return 0;
    }
    auto context = std::unique_ptr<PlayerContext>(new (std::nothrow) PlayerContext);
    if (!context) {
        m_player.Reset();
        m_lastError = kOpenNoMedia;
        return 0;
    }
    context->engine = this;
    context->binding = &m_binding;
    context->player = m_player.Get();
    context->media = m_media.Get();
    context->notifier = m_notifier;
    context->user = m_pNotifierUser;
    context->probedWidth = m_nWidth > 0 ? static_cast<unsigned>(m_nWidth) : 0;
    context->probedHeight = m_nHeight > 0 ? static_cast<unsigned>(m_nHeight) : 0;
    context->tag = m_nNextTag++;
    if (m_nNextTag == 0) m_nNextTag = 1;

    if (m_pRender->m_nGLMajor >= 2) {
        m_pRender->SetSource(m_nCameraType, m_nWidth, m_nHeight, m_probe.m_pMeshA,
                             m_probe.m_pMeshB);
        m_pRender->m_bVideoFrames = 1;
        SelectModel();
        context->renderer = m_pRender;
        m_binding.libvlc_video_set_format_callbacks(m_player.Get(), &CPlayerEngine::OnFormat,
                                                    &CPlayerEngine::OnCleanup);
        m_binding.libvlc_video_set_callbacks(m_player.Get(), &CPlayerEngine::OnLock,
                                             &CPlayerEngine::OnUnlock, &CPlayerEngine::OnDisplay,
                                             context.get());
    } else {
        if (m_pOwner == nullptr || !m_pOwner->AskPlayNonPanoramic()) {
            m_player.Reset();
            m_lastError = kOpenDeclined;
            return 0;
        }
        m_binding.libvlc_media_player_set_xwindow(m_player.Get(),
                                                  static_cast<uint32_t>(m_hVideoWindow));
    }

    if (libvlc_event_manager_t* events =
            m_binding.libvlc_media_player_event_manager(m_player.Get())) {
        for (libvlc_event_e type : {libvlc_MediaPlayerEndReached, libvlc_MediaPlayerPlaying,
                                    libvlc_MediaPlayerPaused, libvlc_MediaPlayerPositionChanged})
            m_binding.libvlc_event_attach(events, type, &CPlayerEngine::OnEvent, context.get());
    }
    m_context = std::move(context);
    m_nTag = m_context->tag;
    m_nState = PS_OPENED;
    return 1;
}

void CPlayerEngine::Play() {
    if (m_nState == PS_IDLE || !m_player) return;
    m_binding.libvlc_media_player_play(m_player.Get());
    m_nState = PS_PLAYING;
    if (m_pOwner != nullptr) m_pOwner->FocusVideo();
}

void CPlayerEngine::Pause() {
    if (m_nState == PS_IDLE) return;
    if (m_player) {
        // set_pause(1) pauses; the plain pause call toggles.
        m_binding.libvlc_media_player_set_pause(m_player.Get(), 1);
        m_nState = PS_PAUSED;
    }
    if (m_pOwner != nullptr) m_pOwner->FocusVideo();
}

void CPlayerEngine::Stop() {
    // A recording never outlives the playback it records, and a screen shot
    // asked for now must not catch the next file's picture.
    if (m_pRender != nullptr) {
        m_pRender->CancelSnapshot();
        m_pRender->StopRecording();
    }
    ResetView();
    if (m_nState != PS_IDLE && m_player) {
        ReleasePlayer();
        m_nState = PS_STOPPED;
    }
}

void CPlayerEngine::SetVolume(int percent) {
    if (m_nState == PS_IDLE || !m_player) return;
    if (percent < 0) percent = 0;
    if (percent > 100) percent = 100;
    m_binding.libvlc_audio_set_volume(m_player.Get(), percent * 5 / 4);
}

void CPlayerEngine::Seek(int percent) {
    if (!m_player) return;
    m_binding.libvlc_media_player_set_position(m_player.Get(),
                                               static_cast<float>(percent) / 100.0f);
}

void CPlayerEngine::SetMute(int flag) {
    if (m_nState == PS_IDLE || !m_player) return;
    m_binding.libvlc_audio_set_mute(m_player.Get(), flag != 0 ? 1 : 0);
}

void CPlayerEngine::NextFrame() {
    if (m_player) m_binding.libvlc_media_player_next_frame(m_player.Get());
}

int CPlayerEngine::IsPlaying() const {
    return m_player ? m_binding.libvlc_media_player_is_playing(m_player.Get()) : 0;
}

int64_t CPlayerEngine::GetTime() const {
    if (!m_player) return 0;
    const int64_t t = m_binding.libvlc_media_player_get_time(m_player.Get());
    return t > 0 ? t : 0;
}

namespace {

// The media's duration; the player's length while the duration is not known.
int64_t LengthOf(const CVlcBinding& b, libvlc_media_player_t* player, libvlc_media_t* media) {
    const int64_t length = player != nullptr ? b.libvlc_media_player_get_length(player) : 0;
    const int64_t duration = media != nullptr ? b.libvlc_media_get_duration(media) : -1;
    if (duration > 0) return duration;
    return length > 0 ? length : 0;
}

}  // namespace

int64_t CPlayerEngine::GetLength() const {
    if (!m_player) return 0;
    return LengthOf(m_binding, m_player.Get(), m_media.Get());
}

void CPlayerEngine::Redraw() {
    if (m_pRender == nullptr || !m_bPhotoMode) return;
    const int32_t w = m_pRender->m_nDrawnWidth, h = m_pRender->m_nDrawnHeight;
    if (m_pRender->m_nGLMajor >= 2) m_pRender->Draw(nullptr);
    // The GL driver learns a new window size only after a frame at it: a
    // resized window is drawn once more.
    m_bInvalid = m_pRender->m_nDrawnWidth != w || m_pRender->m_nDrawnHeight != h;
}

bool CPlayerEngine::NeedsRedraw() const {
    if (m_pRender == nullptr || !m_bPhotoMode) return false;
    return m_bInvalid || m_pRender->m_input.HasPending() || m_pRender->m_input.Moving() ||
           m_pRender->WindowChanged();
}

void CPlayerEngine::ResetView() {
    if (m_pRender != nullptr) m_pRender->m_input.Reset();
}

void CPlayerEngine::DragBy(float dx, float dy) {
    if (m_nViewMode == ViewFlat || m_pRender == nullptr) return;
    m_pRender->m_input.Drag(dx, dy);
}

void CPlayerEngine::Fling(float vx, float vy) {
    if (m_nViewMode == ViewFlat || m_pRender == nullptr) return;
    m_pRender->m_input.Fling(vx, vy);
}

void CPlayerEngine::Zoom(int delta) {
    if (m_nViewMode == ViewFlat || m_pRender == nullptr) return;
    m_pRender->m_input.Zoom(delta);
}

void CPlayerEngine::ViewCommand(int value, bool mirror) {
    if (value == 8) {
        if (m_pRender != nullptr) m_pRender->m_input.SetFlip(mirror);
        return;
    }
    if (value == 9) {
        ResetView();
        return;
    }
    if (value < -1 || value > ViewFlat) return;
    m_nViewMode = value;
    if (m_pRender != nullptr) {
        m_pRender->m_input.SelectView(value);
        if (m_pOwner != nullptr) m_pOwner->FocusVideo();
    }
}

// ----------------------------------------------------- the library's threads

void CPlayerEngine::OnEvent(const libvlc_event_t* event, void* data) {
    const auto* ctx = static_cast<const PlayerContext*>(data);
    if (event == nullptr || ctx == nullptr || ctx->notifier == nullptr) return;
    switch (event->type) {
        case libvlc_MediaPlayerPlaying:
            ctx->notifier(ctx->engine, ENGINE_PLAYING, 0,
                          static_cast<int>(static_cast<uint32_t>(
                              LengthOf(*ctx->binding, ctx->player, ctx->media))),
                          ctx->tag, ctx->user);
            break;
        case libvlc_MediaPlayerPaused:
            ctx->notifier(ctx->engine, ENGINE_PAUSED, 0, 0, ctx->tag, ctx->user);
            break;
        case libvlc_MediaPlayerEndReached:
            ctx->notifier(ctx->engine, ENGINE_END, 0, 0, ctx->tag, ctx->user);
            break;
        case libvlc_MediaPlayerPositionChanged: {
            const float position = event->u.media_player_position_changed.new_position;
            int percent = std::isfinite(position) ? static_cast<int>(position * 100.0f) : 0;
            if (percent < 0) percent = 0;
            if (percent > 100) percent = 100;
            ctx->notifier(ctx->engine, ENGINE_POSITION, percent, 0, ctx->tag, ctx->user);
            break;
        }
        default:
            break;
    }
}

unsigned CPlayerEngine::OnFormat(void** opaque, char* chroma, unsigned* width, unsigned* height,
                                 unsigned* pitches, unsigned* lines) {
    auto* ctx = static_cast<PlayerContext*>(*opaque);
    std::fputs("in vout_format\n", stdout);
    std::printf("glRender instance:%p\n", static_cast<void*>(ctx->renderer));
    ctx->engine->m_nFormatCalls.fetch_add(1);
    // The decoder proposes a height padded to its alignment: the picture is
    // the visible size.
    unsigned w = *width, h = *height;
    unsigned vw = 0, vh = 0;
    if (ctx->binding->libvlc_video_get_size(ctx->player, 0, &vw, &vh) == 0 && vw > 0 && vh > 0 &&
        vw <= w && vh <= h) {
        w = vw;
        h = vh;
    } else if (ctx->probedWidth > 0 && ctx->probedHeight > 0 && ctx->probedWidth <= w &&
               ctx->probedHeight <= h) {
        w = ctx->probedWidth;
        h = ctx->probedHeight;
    }
    if (w == 0 || h == 0 || w > kMaxFrameSide || h > kMaxFrameSide) {
        std::fprintf(stderr, "refusing a %ux%u video picture\n", w, h);
        return 0;
    }
    auto* slot = new (std::nothrow) FrameSlot;
    if (slot == nullptr) return 0;
    slot->engine = ctx->engine;
    slot->frame.renderer = ctx->renderer;
    slot->frame.width = w;
    slot->frame.height = h;
    slot->frame.size = static_cast<size_t>(w) * h * 4;
    slot->frame.pixels = new (std::nothrow) uint8_t[slot->frame.size];
    if (slot->frame.pixels == nullptr) {
        delete slot;
        return 0;
    }
    *opaque = slot;
    COpenglRender* renderer = ctx->renderer;
    renderer->m_bTextureDirty = 1;
    renderer->InitShaders();
    std::memcpy(chroma, "RV32", 4);
    *width = w;
    *height = h;
    pitches[0] = w * 4;
    lines[0] = h;
    ctx->engine->m_nFormatWidth = w;
    ctx->engine->m_nFormatHeight = h;
    return 1;
}

void CPlayerEngine::OnCleanup(void* opaque) {
    auto* slot = static_cast<FrameSlot*>(opaque);
    std::fputs("in vout_cleanup\n", stdout);
    if (slot == nullptr) return;
    if (slot->frame.renderer != nullptr) slot->frame.renderer->ReleaseShaders();
    delete[] slot->frame.pixels;
    delete slot;
}

void* CPlayerEngine::OnLock(void* opaque, void** planes) {
    planes[0] = static_cast<FrameSlot*>(opaque)->frame.pixels;
    return nullptr;
}

void CPlayerEngine::OnUnlock(void*, void*, void* const*) {}

void CPlayerEngine::OnDisplay(void* opaque, void*) {
    auto* slot = static_cast<FrameSlot*>(opaque);
    COpenglRender* renderer = slot->frame.renderer;
    if (renderer == nullptr) return;
    renderer->m_nTexWidth = static_cast<int32_t>(slot->frame.width);
    renderer->m_nTexHeight = static_cast<int32_t>(slot->frame.height);
    renderer->m_bFrameReady = 1;
    renderer->Draw(slot->frame.pixels);
    slot->engine->m_nFramesDrawn.fetch_add(1);
}
