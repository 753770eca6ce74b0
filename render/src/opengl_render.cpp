// GL side of the renderer: raw GLX on the native window, GLEW after the
// context is current. Kept free of Qt headers (Xlib's macros break Qt).
#include "render/opengl_render.h"

#include <GL/glew.h>
#include <GL/glx.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/file.h"
#include "render/matrix.h"
#include "render/models.h"

namespace {

const char* const kPlainVertex = R"glsl(uniform mat4 u_MMatrix;
uniform mat4 u_PMatrix;
attribute vec4 a_Position;
attribute vec2 a_UV;
varying vec2 v_UV;
void main()
{
    gl_Position = u_PMatrix * u_MMatrix * a_Position;
    v_UV = a_UV;
}
)glsl";
const char* const kPlainFragment = R"glsl(varying vec2 v_UV;
uniform sampler2D sTexture;
const float M_PI = 3.14159265358979;
const float M_PI2 = M_PI/2.0;
const float M_2PI = M_PI*2.0;
void main()
{
    gl_FragColor = texture2D(sTexture, v_UV);
}
)glsl";
const char* const kStitchVertex = R"glsl(uniform mat4 u_MMatrix;
uniform mat4 u_PMatrix;
attribute vec4 a_Position;
attribute vec2 a_UV;
attribute vec2 a_UVB;
varying vec2 v_UV;
varying vec2 v_UVB;
varying float v_pos_x;
void main()
{
    gl_Position = u_PMatrix * u_MMatrix * a_Position;
    v_pos_x = a_Position.x;
    v_UV = a_UV.xy;
    v_UVB = a_UVB.xy;
}
)glsl";
const char* const kStitchFragment = R"glsl(varying vec2 v_UV;
varying vec2 v_UVB;
varying float v_pos_x;
uniform sampler2D sTexture;
void main()
{
    vec4 colA = texture2D(sTexture, v_UV);
    vec4 colB = texture2D(sTexture, v_UVB);
    colA.a = 1.0;
    colB.a = 1.0;
    float alpha = 0.5 - (v_pos_x / 0.11);
    if (alpha <= 0.0) {
        alpha = 0.0;
    } else if (alpha >= 1.0) {
        alpha = 1.0;
    }
    gl_FragColor = colB * alpha + colA * (1.0 - alpha);
    gl_FragColor.a = 0.0;
}
)glsl";

const float kQuadPositions[12] = {-1, -1, 0, 1, -1, 0, -1, 1, 0, 1, 1, 0};
const float kQuadUV[8] = {1, 1, 0, 1, 1, 0, 0, 0};
const uint16_t kQuadIndices[6] = {0, 1, 2, 1, 3, 2};

// The framebuffer every renderer asks for: double-buffered RGBA with depth.
const int kFbAttributes[] = {GLX_X_RENDERABLE,
                             True,
                             GLX_DRAWABLE_TYPE,
                             GLX_WINDOW_BIT,
                             GLX_RENDER_TYPE,
                             GLX_RGBA_BIT,
                             GLX_DOUBLEBUFFER,
                             True,
                             GLX_RED_SIZE,
                             8,
                             GLX_GREEN_SIZE,
                             8,
                             GLX_BLUE_SIZE,
                             8,
                             GLX_DEPTH_SIZE,
                             16,
                             None};

}  // namespace

// One display connection per drawing thread, with the context made on it.
struct GlxState {
    Display* display = nullptr;
    GLXContext context = nullptr;
    unsigned long window = 0;

    bool Open(unsigned long win) {
        display = XOpenDisplay(nullptr);
        if (display == nullptr) return false;
        window = win;
        XWindowAttributes attr;
        if (XGetWindowAttributes(display, win, &attr) == 0) return false;

        int count = 0;
        GLXFBConfig* configs =
            glXChooseFBConfig(display, XScreenNumberOfScreen(attr.screen), kFbAttributes, &count);
        GLXFBConfig chosen = nullptr;
        // The configuration must match the window's visual.
        for (int i = 0; i < count && chosen == nullptr; ++i) {
            int visual = 0;
            glXGetFBConfigAttrib(display, configs[i], GLX_VISUAL_ID, &visual);
            if (static_cast<VisualID>(visual) == attr.visual->visualid) chosen = configs[i];
        }
        if (configs) XFree(configs);
        if (chosen == nullptr) return false;
        context = glXCreateNewContext(display, chosen, GLX_RGBA_TYPE, nullptr, True);
        return context != nullptr && glXMakeCurrent(display, win, context);
    }
    // Several renderers may draw on one thread (the window thread holds the
    // photo's context and, later, a preview's): each makes its own context
    // current before it touches GL.
    bool MakeCurrent() {
        if (display == nullptr || context == nullptr) return false;
        return glXGetCurrentContext() == context || glXMakeCurrent(display, window, context);
    }
    // Not current on this thread any more (another thread may take it).
    void Release() {
        if (display != nullptr && context != nullptr && glXGetCurrentContext() == context)
            glXMakeCurrent(display, None, nullptr);
    }
    void Close() {
        if (display) {
            // Only this context is let go: another renderer's may be current.
            if (context != nullptr && glXGetCurrentContext() == context) {
                glXMakeCurrent(display, None, nullptr);
            }
            if (context) glXDestroyContext(display, context);
            XCloseDisplay(display);
        }
        display = nullptr;
        context = nullptr;
    }
    void Swap() { glXSwapBuffers(display, window); }
};

namespace {

// The last X error, kept instead of letting Xlib end the process: a bad
// window id then fails the call that used it. Written and read under Xlib's
// own display lock.
int g_lastXError = 0;
int KeepXError(Display*, XErrorEvent* e) {
    g_lastXError = e->error_code;
    return 0;
}

// The OpenGL major version, probed once per process with a short-lived context
// on a hidden window of its own display connection.
int ProbeGLMajorOnce() {
    static const int major = [] {
        XSetErrorHandler(KeepXError);
        Display* d = XOpenDisplay(nullptr);
        if (d == nullptr) return 0;
        int result = 0;

        int count = 0;
        GLXFBConfig* configs = glXChooseFBConfig(d, DefaultScreen(d), kFbAttributes, &count);
        XVisualInfo* vi = count > 0 ? glXGetVisualFromFBConfig(d, configs[0]) : nullptr;
        if (vi != nullptr) {
            XSetWindowAttributes attrs{};
            attrs.colormap = XCreateColormap(d, RootWindow(d, vi->screen), vi->visual, AllocNone);
            const Window hidden =
                XCreateWindow(d, RootWindow(d, vi->screen), 0, 0, 16, 16, 0, vi->depth, InputOutput,
                              vi->visual, CWColormap, &attrs);
            const GLXContext c = glXCreateNewContext(d, configs[0], GLX_RGBA_TYPE, nullptr, True);
            if (c != nullptr && glXMakeCurrent(d, hidden, c)) {
                const char* v = reinterpret_cast<const char*>(glGetString(GL_VERSION));
                result = v && *v >= '0' && *v <= '9' ? *v - '0' : 0;
                glXMakeCurrent(d, None, nullptr);
            }
            if (c != nullptr) glXDestroyContext(d, c);
            XDestroyWindow(d, hidden);
            XFreeColormap(d, attrs.colormap);
            XFree(vi);
        }
        if (configs) XFree(configs);
        XCloseDisplay(d);
        return result;
    }();
    return major;
}

}  // namespace

int ProbeGLMajorVersion() {
    return ProbeGLMajorOnce();
}

COpenglRender::COpenglRender(unsigned long window, IRenderNotify* notify, const RenderHooks& hooks)
    : m_hWnd(window), m_notify(notify), m_hooks(hooks) {
    m_nGLMajor = ProbeGLMajorOnce();
    int w = 0, h = 0;
    WindowSize(&w, &h);
    CreateModels(m_pModels, static_cast<float>(std::sqrt(double(w) * w + double(h) * h)));
    // Lens B of the flat quad samples the same place as lens A, so the
    // stitching program shows the plain frame there.
    std::memcpy(m_quadUVB, kQuadUV, sizeof m_quadUVB);
}

COpenglRender::~COpenglRender() {
    DestroyContext();
    delete[] m_pPhotoPixels;
    DeleteModels(m_pModels);
    StopRecording();
}

bool COpenglRender::WindowSize(int* w, int* h) const {
    Display* d = m_glx && m_glx->display ? m_glx->display : XOpenDisplay(nullptr);
    if (d == nullptr) return false;
    XWindowAttributes attr;
    const bool ok = XGetWindowAttributes(d, m_hWnd, &attr) != 0;
    if (ok) {
        *w = attr.width;
        *h = attr.height;
    }
    if (!(m_glx && m_glx->display)) XCloseDisplay(d);
    return ok;
}

void COpenglRender::SetSource(int cameraType, int frameWidth, int frameHeight, const float* tableA,
                              const float* tableB) {
    m_nCameraType = cameraType;
    m_bStitch = cameraType == 1 || cameraType == 2;
    m_nTexWidth = frameWidth;
    m_nTexHeight = frameHeight;
    BuildModelsForSource(m_pModels, cameraType, frameWidth, frameHeight, tableA, tableB);
}

void COpenglRender::ReleaseContext() {
    // Let the context go from this thread so that another may draw with it.
    if (m_glx) m_glx->Release();
    m_bInitialised = 0;
}

void COpenglRender::DestroyContext() {
    if (m_glx) {
        m_glx->Close();
        delete m_glx;
        m_glx = nullptr;
    }
    m_bInitialised = 0;
}

int COpenglRender::InitShaders() {
    if (m_bInitialised) return 0;
    if (m_nGLMajor < 2) return 1;
    m_bTextureDirty = 1;
    // The context is made once and kept: it moves between the threads that
    // draw (made current here, let go in ReleaseShaders). A context made and
    // destroyed per video negotiation leaks in the GL driver.
    if (m_glx == nullptr) {
        m_glx = new (std::nothrow) GlxState;
        if (m_glx == nullptr || !m_glx->Open(m_hWnd)) {
            DestroyContext();
            return -1;
        }
    } else if (!m_glx->MakeCurrent()) {
        ReleaseContext();
        return -1;
    }
    std::fprintf(stderr, "Status: Using GL %s\n",
                 reinterpret_cast<const char*>(glGetString(GL_VERSION)));
    const GLenum err = glewInit();
    // Under an EGL integration GLEW reports "no GLX display" with every entry
    // point loaded.
    if (err != GLEW_OK && glCreateShader == nullptr) {
        std::fprintf(stderr, "Error: %s\n", reinterpret_cast<const char*>(glewGetErrorString(err)));
        ReleaseContext();
        return -1;
    }
    std::fprintf(stderr, "Status: Using GLEW %s\n",
                 reinterpret_cast<const char*>(glewGetString(GLEW_VERSION)));
    const bool stitch = m_nCameraType == 2 && m_bStitch;
    const char* sources[2] = {stitch ? kStitchVertex : kPlainVertex,
                              stitch ? kStitchFragment : kPlainFragment};
    int32_t* names[2] = {&m_nVertexShader, &m_nFragmentShader};
    for (int k = 0; k < 2; ++k) {
        const GLuint s = glCreateShader(k == 0 ? GL_VERTEX_SHADER : GL_FRAGMENT_SHADER);
        *names[k] = static_cast<int32_t>(s);
        glShaderSource(s, 1, &sources[k], nullptr);
        glCompileShader(s);
        GLint ok = GL_FALSE;
        glGetShaderiv(s, GL_COMPILE_STATUS, &ok);
        if (ok != GL_TRUE) {
            char log[256] = {};
            glGetShaderInfoLog(s, 255, nullptr, log);
            if (k == 0)
                std::fprintf(stderr, "COpenglRender::InitShader[Vertex]:%s\n", log);
            else
                std::fprintf(stderr, "COpenglRender::InitShader[Fragment]:%s\n", log);
            ReleaseShaders();
            return -2;
        }
    }
    const GLuint program = glCreateProgram();
    m_nProgram = static_cast<int32_t>(program);
    glAttachShader(program, static_cast<GLuint>(m_nVertexShader));
    glAttachShader(program, static_cast<GLuint>(m_nFragmentShader));
    glLinkProgram(program);
    GLint linked = GL_FALSE;
    glGetProgramiv(program, GL_LINK_STATUS, &linked);
    if (linked != GL_TRUE) {
        char log[256] = {};
        glGetProgramInfoLog(program, 255, nullptr, log);
        std::fprintf(stderr, "COpenglRender::InitShaders[Program]:%s\n", log);
        ReleaseShaders();
        return -2;
    }
    m_nPositionLoc = glGetAttribLocation(program, "a_Position");
    m_nUVLoc = glGetAttribLocation(program, "a_UV");
    m_nUVBLoc = glGetAttribLocation(program, "a_UVB");
    m_nMMatrixLoc = glGetUniformLocation(program, "u_MMatrix");
    m_nPMatrixLoc = glGetUniformLocation(program, "u_PMatrix");
    glGenTextures(1, &m_nTexture);
    glBindTexture(GL_TEXTURE_2D, m_nTexture);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    m_nBoundView = -1;
    m_bInitialised = 1;
    return 0;
}

void COpenglRender::ReleaseShaders() {
    if (m_glx && m_glx->MakeCurrent()) {
        if (m_nProgram != -1) {
            const GLuint p = static_cast<GLuint>(m_nProgram);
            if (m_nVertexShader != -1) glDetachShader(p, static_cast<GLuint>(m_nVertexShader));
            if (m_nFragmentShader != -1) glDetachShader(p, static_cast<GLuint>(m_nFragmentShader));
            glDeleteProgram(p);
        }
        if (m_nVertexShader != -1) glDeleteShader(static_cast<GLuint>(m_nVertexShader));
        if (m_nFragmentShader != -1) glDeleteShader(static_cast<GLuint>(m_nFragmentShader));
        if (m_nTexture != 0) glDeleteTextures(1, &m_nTexture);
    }
    m_nTexture = 0;
    m_nProgram = m_nVertexShader = m_nFragmentShader = -1;
    ReleaseContext();
    m_nBoundView = -1;
}

void COpenglRender::SelectView(int index) {
    m_nView = index;
    if (m_nBoundView >= 0 && m_nBoundView < kModelSlots) {
        m_pCurModel = m_pModels[m_nBoundView];
    } else if (index >= 0 && index < kModelSlots) {
        m_pCurModel = m_pModels[index];
    }
}

void COpenglRender::SetFlip(bool flip) {
    m_bFlip = flip ? 1 : 0;
    for (int s = ViewSphere; s <= ViewHalfBall; ++s) {
        CShapeModel* m = m_pModels[s];
        if (s < ViewHalfBall)
            static_cast<CBallModel*>(m)->m_bFlip = flip;
        else
            static_cast<CHalfBallModel*>(m)->m_bFlip = flip;
        m->m_fPitch += flip ? 180.0f : -180.0f;
    }
    auto* dome = static_cast<CIndomeModel*>(m_pModels[ViewInDome]);
    dome->m_bFlip = flip;
    dome->m_fPitch = flip ? 180.0f : 0.0f;
}

int COpenglRender::LoadPhoto(const char* path) {
    if (path == nullptr || *path == '\0') return -1;
    delete[] m_pPhotoPixels;
    m_pPhotoPixels = nullptr;
    m_nPhotoBytes = 0;
    PhotoBitmap bmp;
    if (m_hooks.loadPhoto == nullptr || m_hooks.loadPhoto(path, &bmp) != 0 || bmp.rows == nullptr) {
        std::fprintf(stderr, "load file[%s] failed.\n", path);
        return -2;
    }
    m_bVideoFrames = 0;
    m_pPhotoPixels = bmp.rows;
    m_nPhotoBytes = bmp.height * bmp.stride;
    m_nTexWidth = bmp.width;
    m_nTexHeight = bmp.height;
    m_bTextureDirty = 1;
    return 0;
}

void COpenglRender::BindView() {
    const int view = m_nView;
    if (view == m_nBoundView) return;
    m_nBoundView = view;
    const bool stitch = m_nCameraType == 2 && m_bStitch;
    auto attrib = [](int32_t loc, int size, const float* data) {
        if (loc < 0) return;
        glEnableVertexAttribArray(static_cast<GLuint>(loc));
        glVertexAttribPointer(static_cast<GLuint>(loc), size, GL_FLOAT, GL_FALSE, 0, data);
    };
    if (view >= 0 && view <= 5) {
        CShapeModel* m = m_pModels[view];
        m_pCurModel = m;
        attrib(m_nUVLoc, 2, m->m_pUV);
        if (view <= 2 && stitch) attrib(m_nUVBLoc, 2, m->m_pUVB);
        attrib(m_nPositionLoc, 3, m->m_pVertices);
        m_pDrawIndices = m->m_pIndices;
        m_nDrawIndexCount = m->m_nIndexCount;
        if (view == ViewInDome) {
            auto* dome = static_cast<CIndomeModel*>(m);
            dome->m_bFlip = m_bFlip != 0;
            dome->m_fPitch = m_bFlip ? 180.0f : 0.0f;
        }
    } else if (view == ViewFlat) {
        attrib(m_nUVLoc, 2, kQuadUV);
        attrib(m_nUVBLoc, 2, m_quadUVB);
        attrib(m_nPositionLoc, 3, kQuadPositions);
        float proj[16], model[16];
        IdentityM(proj);
        PerspectiveM(proj, 90, 1, 0.1f, 100);
        IdentityM(model);
        LookAtM(model, 0, 0, -1, 0, 0, 0, 0, 1, 0);
        glUniformMatrix4fv(m_nMMatrixLoc, 1, GL_FALSE, model);
        glUniformMatrix4fv(m_nPMatrixLoc, 1, GL_FALSE, proj);
        m_pDrawIndices = kQuadIndices;
        m_nDrawIndexCount = m_nQuadIndexCount;
    }
}

void COpenglRender::Matrices() {
    const int view = m_nBoundView;
    if (view >= 0 && view <= 5 && m_pCurModel != nullptr) {
        CShapeModel* m = m_pCurModel;
        const bool flip = m_bFlip != 0;
        m->Update(flip);
        if (view == ViewLayer) {
            auto* layer = static_cast<CLayerModel*>(m);
            if (layer->m_bUVDirty && m_nUVLoc >= 0) {
                glVertexAttribPointer(static_cast<GLuint>(m_nUVLoc), 2, GL_FLOAT, GL_FALSE, 0,
                                      layer->m_pUV);
                layer->m_bUVDirty = false;
            }
        }
        IdentityM(m_mProj);
        if (view == ViewLittlePlanet)
            PerspectiveM(m_mProj, m->m_fFov, 1.0f, 0.001f, 80000);
        else
            PerspectiveM(m_mProj, m->m_fFov, 1.0f, m->m_fNear, 100);
        IdentityM(m_mModel);
        LookAtM(m_mModel, 0, 0, m->m_fEyeZ, 0, 0, 0, 0, 1, 0);
        float r[16], t[16];
        RotateM(r, m->GetPitch(), 1, 0, 0);
        MultiplyMM(t, m_mModel, r);
        std::memcpy(m_mModel, t, sizeof t);
        RotateM(r, flip ? -m->GetYaw() : m->GetYaw(), 0, 1, 0);
        MultiplyMM(t, m_mModel, r);
        std::memcpy(m_mModel, t, sizeof t);
        glUniformMatrix4fv(m_nMMatrixLoc, 1, GL_FALSE, m_mModel);
        glUniformMatrix4fv(m_nPMatrixLoc, 1, GL_FALSE, m_mProj);
    }
    if (m_notify) m_notify->Post(WM_REDRAW_VIEW);
}

void COpenglRender::Draw(const uint8_t* pixels) {
    if (m_nGLMajor < 2 || !m_bInitialised || !m_glx->MakeCurrent()) return;
    int w = 0, h = 0;
    if (!WindowSize(&w, &h)) return;
    m_nDrawnWidth = w;
    m_nDrawnHeight = h;
    glClearColor(0, 0, 0, 0);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glEnable(GL_TEXTURE_2D);
    glBindTexture(GL_TEXTURE_2D, m_nTexture);
    const int tw = m_nTexWidth, th = m_nTexHeight;
    const bool video = m_bVideoFrames != 0;
    const void* data = video ? static_cast<const void*>(pixels) : m_pPhotoPixels;
    if (data != nullptr) {
        const GLenum format = video ? GL_BGRA : GL_BGR;
        if (m_bTextureDirty) {
            glTexImage2D(GL_TEXTURE_2D, 0, video ? GL_RGBA8 : GL_RGB, tw, th, 0, format,
                         GL_UNSIGNED_BYTE, data);
            m_bTextureDirty = 0;
        } else {
            glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, tw, th, format, GL_UNSIGNED_BYTE, data);
        }
    }
    glUseProgram(static_cast<GLuint>(m_nProgram));
    // The user's input since the last frame: view and mirror first, so that
    // turning and zooming reach the model that is drawn.
    const ViewInputBatch input = m_input.Take();
    if (input.hasFlip) SetFlip(input.flip);
    if (input.hasView) {
        if (input.view < 0)
            m_nBoundView = -1;
        else
            SelectView(input.view);
    }
    BindView();
    const bool modelView = m_nBoundView >= 0 && m_nBoundView < kModelSlots;
    CShapeModel* const model = modelView ? m_pCurModel : nullptr;
    ApplyViewInput(input, model, m_nBoundView,
                   static_cast<float>(std::sqrt(double(w) * w + double(h) * h)));
    Matrices();
    m_input.Publish(model != nullptr ? model->m_fFov : m_fDefaultFov, ModelMoving(model));
    const int view = m_nBoundView;
    if (view == ViewInDome) {
        const int y = m_bFlip ? 0 : -h;
        glViewport(0, y, w, 2 * h);
        m_viewport[0] = 0, m_viewport[1] = y, m_viewport[2] = w, m_viewport[3] = 2 * h;
    } else if (view >= 0 && view <= 5) {
        const int x = w >= h ? 0 : (w - h) / 2, y = w >= h ? (h - w) / 2 : 0;
        const int side = w >= h ? w : h;
        glViewport(x, y, side, side);
        m_viewport[0] = x, m_viewport[1] = y, m_viewport[2] = side, m_viewport[3] = side;
    } else {
        // The flat frame fills the window, whatever size it had when the
        // context was made.
        glViewport(0, 0, w, h);
        m_viewport[0] = 0, m_viewport[1] = 0, m_viewport[2] = w, m_viewport[3] = h;
    }
    glEnable(GL_CULL_FACE);
    glCullFace(GL_FRONT);
    if (m_pDrawIndices != nullptr && m_nDrawIndexCount > 0)
        glDrawElements(GL_TRIANGLES, m_nDrawIndexCount, GL_UNSIGNED_SHORT, m_pDrawIndices);
    glBindTexture(GL_TEXTURE_2D, 0);
    // The back buffer is undefined after the swap, so read it back first.
    ReadBack(w, h);
    m_glx->Swap();
    glFinish();
}

bool COpenglRender::WindowChanged() const {
    int w = 0, h = 0;
    return WindowSize(&w, &h) && (w != m_nDrawnWidth || h != m_nDrawnHeight);
}

void COpenglRender::ReadBack(int w, int h) {
    if (w <= 0 || h <= 0) return;
    if (m_bSnapshotPending) {
        const auto began = std::chrono::steady_clock::now();
        std::string wanted;
        bool keep = true;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            wanted = m_strSnapshotPath;
            keep = m_bSnapshotKeep;
            m_bSnapshotPending = 0;
        }
        SavedFile saved;
        saved.result = -1;
        saved.path = wanted;
        std::string created;
        uint8_t* buf = new (std::nothrow) uint8_t[static_cast<size_t>(w) * h * 4];
        if (!keep) created = wanted;
        if (buf != nullptr && m_hooks.saveImage != nullptr && !wanted.empty() &&
            (!keep || platform::CreateUniqueFile(wanted, &created) == 0)) {
            // The empty file holds the name; the picture replaces it when whole.
            saved.path = created;
            glPixelStorei(GL_PACK_ALIGNMENT, 4);
            glReadPixels(0, 0, w, h, GL_BGRA, GL_UNSIGNED_BYTE, buf);
            saved.result = m_hooks.saveImage(created.c_str(), buf, w, h) == 0 ? 0 : -1;
            if (saved.result != 0 && keep) platform::RemoveFile(created.c_str());
        }
        delete[] buf;
        saved.drawMs =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began)
                .count();
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_snapshotResult = saved;
            m_bSnapshotResult = true;
        }
        if (m_notify) m_notify->Post(WM_SCREENSHOT_SAVED);
    }
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_pRecorder == nullptr || !m_bRecording) return;
    if (m_pRecorder->HalvesFrames()) {
        const int before = m_nRecordFrameCount++;
        if (before % 2 == 0) return;
    }
    const size_t bytes = static_cast<size_t>(w) * h * 4;
    if (bytes > m_nRecordBytes) {
        // The window grew: the read-back buffer follows it.
        uint8_t* pixels = new (std::nothrow) uint8_t[bytes];
        if (pixels == nullptr) return;
        delete[] m_pRecordPixels;
        m_pRecordPixels = pixels;
        m_nRecordBytes = bytes;
    }
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    glReadPixels(0, 0, w, h, GL_BGRA, GL_UNSIGNED_BYTE, m_pRecordPixels);
    // The recorder turns the rows over while it copies them.
    m_pRecorder->Frame(m_pRecordPixels, w, h);
}

void COpenglRender::RequestSnapshot(const std::string& path, bool keepExisting) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_strSnapshotPath = path;
    m_bSnapshotKeep = keepExisting;
    m_bSnapshotPending = 1;
}

void COpenglRender::CancelSnapshot() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_bSnapshotPending = 0;
    m_strSnapshotPath.clear();
}

namespace {

// Hands a kept result over once.
bool TakeOnce(bool* kept, const SavedFile& result, SavedFile* out) {
    if (!*kept) return false;
    *kept = false;
    if (out) *out = result;
    return true;
}

}  // namespace

bool COpenglRender::TakeSnapshotResult(SavedFile* out) {
    std::lock_guard<std::mutex> lock(m_lock);
    return TakeOnce(&m_bSnapshotResult, m_snapshotResult, out);
}

bool COpenglRender::TakeRecordResult(SavedFile* out) {
    std::lock_guard<std::mutex> lock(m_lock);
    return TakeOnce(&m_bRecordResult, m_recordResult, out);
}

void COpenglRender::RecordSize(int windowWidth, int windowHeight, int* width, int* height) {
    // The view's own shape, scaled down to fit 1920 a side; even sizes for 4:2:0.
    double w = windowWidth > 0 ? windowWidth : 1920, h = windowHeight > 0 ? windowHeight : 960;
    const double scale = std::min(1.0, std::min(1920.0 / w, 1920.0 / h));
    *width = std::max(2, static_cast<int>(w * scale) & ~1);
    *height = std::max(2, static_cast<int>(h * scale) & ~1);
}

int COpenglRender::StartRecording(const char* sourcePath, const char* outputPath, int64_t startMs,
                                  std::string* created) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_pRecorder != nullptr) return -1;
    int w = 1920, h = 960;
    WindowSize(&w, &h);
    const size_t bytes = static_cast<size_t>(std::max(w, 1)) * std::max(h, 1) * 4;
    m_pRecordPixels = new (std::nothrow) uint8_t[bytes];
    if (m_pRecordPixels == nullptr) return -2;
    auto fail = [&](int code) {
        delete[] m_pRecordPixels;
        m_pRecordPixels = nullptr;
        m_nRecordBytes = 0;
        delete m_pRecorder;
        m_pRecorder = nullptr;
        return code;
    };
    m_nRecordBytes = bytes;
    m_pRecorder = m_hooks.makeRecorder ? m_hooks.makeRecorder() : nullptr;
    if (m_pRecorder == nullptr) return fail(-4);
    RecordSpec spec;
    spec.sourcePath = sourcePath;
    spec.outputPath = outputPath;
    spec.startMs = startMs;
    RecordSize(w, h, &spec.width, &spec.height);
    // Only the flat frame of an equirectangular source shows the whole panorama.
    spec.spherical = m_nView == ViewFlat && !m_bStitch && m_nTexWidth == 2 * m_nTexHeight;
    const int rc = m_pRecorder->Open(spec);
    if (rc != 0) return fail(rc);
    if (created) *created = m_pRecorder->OutputPath();
    m_nRecordFrameCount = 0;
    m_bRecording = 1;
    return 0;
}

void COpenglRender::StopRecording() {
    IFrameRecorder* recorder = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_pRecorder == nullptr) return;
        m_bRecording = 0;
        recorder = m_pRecorder;
        m_pRecorder = nullptr;
        delete[] m_pRecordPixels;
        m_pRecordPixels = nullptr;
        m_nRecordBytes = 0;
    }
    // Outside the lock: the encoder drains its queue while drawing goes on.
    SavedFile saved;
    saved.result = recorder->Close();
    saved.path = recorder->OutputPath();
    saved.counts = recorder->Counts();
    delete recorder;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_recordResult = saved;
        m_bRecordResult = true;
    }
    if (m_notify) m_notify->Post(WM_RECORD_SAVED);
}
