#include "app/video_player_dlg.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QTimerEvent>
#include <QUrl>
#include <QWindow>

#include <cstdio>

#include "adapters/image.h"
#include "app/bars.h"
#include "app/composite_dlg.h"
#include "app/language_change.h"
#include "app/language_dlg.h"
#include "app/messages.h"
#include "app/my_menu.h"
#include "app/settings.h"
#include "app/skin.h"
#include "app/strings.h"
#include "app/video_control.h"
#include "convert/convert_client.h"
#include "record/view_recorder.h"

namespace app {

namespace {

int LoadPhotoHook(const char* path, PhotoBitmap* out) {
    return adapters::LoadBgrImage(path, &out->width, &out->height, &out->stride, &out->rows);
}

int SaveImageHook(const char* path, const uint8_t* pixels, int w, int h) {
    return adapters::SaveBgraBottomUp(path, pixels, w, h);
}

// Recorders convert frames with the conversion library, loaded at the first
// recording; without it a recording cannot start.
IFrameRecorder* MakeRecorderHook() {
    static ConvertClient client;
    static const bool loaded = [] {
        std::string error;
        const bool ok = client.Load(&error);
        if (!ok) std::fprintf(stderr, "recording unavailable: %s\n", error.c_str());
        return ok;
    }();
    RecorderOptions options;
    options.convert = loaded ? client.rescaleCsconvert : nullptr;
    return new CViewRecorder(options);
}

RenderHooks Hooks() {
    RenderHooks hooks;
    hooks.loadPhoto = LoadPhotoHook;
    hooks.saveImage = SaveImageHook;
    hooks.makeRecorder = MakeRecorderHook;
    return hooks;
}

// The file filter of the open dialog; patterns match any letter case here.
const char kOpenFilter[] =
    "Files (*.jpg *.bmp *.rm *.rmvb *.flv *.f4v *.avi *.3gp *.mp4 *.wmv *.mpeg *.mpga *.asf "
    "*.dat *.mov);;All Files (*)";

constexpr int kMinWidth = 1024;
constexpr int kMinHeight = 597;
constexpr int kBand = 5;  // resize band width

}  // namespace

CVideoPlayerDlg::CVideoPlayerDlg(const char* playbackLibrary)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint), m_engine(Hooks(), playbackLibrary) {
    std::printf("m_nThemeid=%d\n", m_nThemeid);
    std::fflush(stdout);
    setWindowTitle("VideoPlayer");
    setWindowIcon(QIcon(SkinPixmap(183)));
    setObjectName("VideoPlayer");
    setMinimumSize(kMinWidth, kMinHeight);
    resize(kMinWidth, kMinHeight);
    setMouseTracking(true);
    // Files can be dropped anywhere, also while the video area is hidden.
    setAcceptDrops(true);
    QPalette p = palette();
    p.setColor(QPalette::Window, QColor(0x1e, 0x1e, 0x1e));
    setPalette(p);
    setAutoFillBackground(true);

    m_pVideo = new CVideoControl(this);
    m_pVideo->hide();
    m_engine.SetVideoWindow(m_pVideo->NativeWindow(), this, this);
    m_engine.SetNotifier(&CVideoPlayerDlg::Notify, this);

    m_pCaption = new CCaptionBar(this, this);
    m_pBottom = new CBottomBar(this, this);
    m_pFloat = new CFloatBar(this, this);
    m_pFloat->hide();
    m_nVolume = m_pBottom->Volume();
    m_pLanguage = new CDlgSetLanguage(this);
    m_pLanguage->m_done = [this](int result) {
        if (result == kLanguageRestarted)
            close();
        else if (result == kLanguageWriteFailed)
            Message(kStrCreateFileFailed);
        else if (result == kLanguageStartFailed)
            Message(kStrLanguageAtNextStart);
    };
    m_pMenu = new CMyMenu(this);
    m_runConverter = [this](const QString& path, bool isPhoto) {
        CCompositeDlg converter(this);
        if (!path.isEmpty()) converter.SetInput(path, isPhoto);
        converter.exec();
    };
    m_pFallback = new QLabel(this);
    m_pFallback->setObjectName("fallback");
    m_pFallback->setAlignment(Qt::AlignCenter);
    m_pFallback->hide();

    m_showMessage = [this](const QString& text, const QString& caption, MessageButtons buttons) {
        return ShowMessage(this, text, caption, buttons);
    };
    m_chooseFiles = [this] {
        return QFileDialog::getOpenFileNames(this, QString(), QString(), kOpenFilter, nullptr,
                                             QFileDialog::ReadOnly);
    };

    Layout();
    const OutputFolder folder = ReadOutputFolder();
    m_strOutputFolder = folder.path;
    m_bOutputFolderReady = folder.result == kOutputFolderReady;
}

CVideoPlayerDlg::~CVideoPlayerDlg() {
    StopRecording();
    m_timers.clear();
}

// ------------------------------------------------------------------ helpers

QString CVideoPlayerDlg::FormatHms(int64_t milliseconds) {
    if (milliseconds < 0) milliseconds = 0;
    const long long s = milliseconds / 1000;
    const long long h = s / 3600, m = (s - 3600 * h) / 60, sec = (s - 3600 * h) % 60;
    return QString::asprintf("%02lld:%02lld:%02lld", h, m, sec);
}

bool CVideoPlayerDlg::IsPhotoPath(const QString& path) {
    return path.endsWith(".jpg", Qt::CaseInsensitive) ||
           path.endsWith(".jpeg", Qt::CaseInsensitive) ||
           path.endsWith(".bmp", Qt::CaseInsensitive);
}

std::string CVideoPlayerDlg::NativePath() const {
    return QFile::encodeName(m_strCurrentPath).toStdString();
}

bool CVideoPlayerDlg::TimerActive(int id) const {
    auto it = m_timers.find(id);
    return it != m_timers.end() && it->second.isActive();
}

int CVideoPlayerDlg::Position() {
    std::lock_guard<std::mutex> lock(m_positionMutex);
    return m_nPosition;
}

void CVideoPlayerDlg::StartTimer(int id, int milliseconds) {
    m_timers[id].start(milliseconds, this);
}

void CVideoPlayerDlg::StopTimer(int id) {
    auto it = m_timers.find(id);
    if (it != m_timers.end()) it->second.stop();
}

bool CVideoPlayerDlg::Message(int stringId, MessageButtons buttons) {
    return m_showMessage ? m_showMessage(LoadString(stringId), QString(), buttons) : false;
}

void CVideoPlayerDlg::MessageSaved(int stringId, const QString& path) {
    std::printf("saved %s\n", QFile::encodeName(path).constData());
    std::fflush(stdout);
    if (m_showMessage)
        m_showMessage(QString("%1: %2").arg(LoadString(stringId), QDir::toNativeSeparators(path)),
                      LoadString(kStrFinish), kMessageOk);
}

// --------------------------------------------------------------- the engine

void CVideoPlayerDlg::StopBeforeOpen() {
    SendMessage(this, WM_PLAYER_EVENT, kEventStop, 0);
}

bool CVideoPlayerDlg::AskPlayNonPanoramic() {
    return Message(kStrAskPlayWithoutOpenGl2, kMessageOkCancel);
}

void CVideoPlayerDlg::FocusVideo() {
    m_pVideo->setFocus();
}

void CVideoPlayerDlg::ShowFallbackPhoto(const char* path) {
    if (path == nullptr || *path == '\0') {
        m_pFallback->hide();
        m_pFallback->clear();
        return;
    }
    QPixmap picture(QFile::decodeName(path));
    m_pFallback->setPixmap(
        picture.scaled(m_pVideo->size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    m_pFallback->setGeometry(m_pVideo->geometry());
    m_pFallback->show();
    m_pFallback->raise();
}

void CVideoPlayerDlg::Post(int message) {
    PostMessage(this, message);
}

void CVideoPlayerDlg::Notify(CPlayerEngine*, int code, int value1, int value2, uint32_t tag,
                             void* user) {
    PostEngineEvent(static_cast<QObject*>(static_cast<CVideoPlayerDlg*>(user)), code, value1,
                    value2, tag);
}

// ------------------------------------------------------------------- events

bool CVideoPlayerDlg::event(QEvent* event) {
    if (event->type() == MessageEvent::EventType()) {
        const auto* m = static_cast<MessageEvent*>(event);
        OnMessage(m->m_message, m->m_wParam, m->m_lParam, m->m_tag);
        return true;
    }
    return QWidget::event(event);
}

void CVideoPlayerDlg::timerEvent(QTimerEvent* event) {
    for (auto& [id, timer] : m_timers) {
        if (timer.timerId() == event->timerId()) {
            OnTimer(id);
            return;
        }
    }
    QWidget::timerEvent(event);
}

void CVideoPlayerDlg::OnTimer(int id) {
    switch (id) {
        case kTimerProgress:
            m_pBottom->SetProgress(Position());
            m_pBottom->SetTimeText(FormatHms(m_engine.GetTime()));
            break;
        case kTimerBarsHide:
            if (m_pFloat->isHidden()) {
                m_pCaption->hide();
                m_pBottom->hide();
                StopTimer(kTimerBarsHide);
            }
            break;
        case kTimerFloatBar:
            if (m_bIsFullScreen) {
                m_pBottom->hide();
                if (!m_pCaption->underMouse()) m_pCaption->hide();
            }
            m_pFloat->hide();
            StopTimer(kTimerFloatBar);
            break;
        case kTimerPhoto:
            // Only when something changed: a still photo costs nothing.
            if (m_engine.NeedsRedraw()) m_engine.Redraw();
            break;
        default:
            break;
    }
}

void CVideoPlayerDlg::resizeEvent(QResizeEvent*) {
    Layout();
    m_engine.Invalidate();
}

void CVideoPlayerDlg::moveEvent(QMoveEvent*) {
    if (m_pFloat->isVisible()) PlaceFloatBar();
}

void CVideoPlayerDlg::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Window));
    if (m_bIsPhoto) m_engine.Invalidate();
}

void CVideoPlayerDlg::Layout() {
    const int w = width(), h = height();
    m_pVideo->setGeometry(0, 30, w, h - 85);
    m_pCaption->setGeometry(1, 1, w - 2, 30);
    m_pBottom->setGeometry(1, h - 56, w - 2, 55);
    if (m_pFallback->isVisible()) m_pFallback->setGeometry(m_pVideo->geometry());
    PlaceFloatBar();
}

void CVideoPlayerDlg::PlaceFloatBar() {
    m_pFloat->setGeometry(0, 29, width(), 30);
    m_pFloat->raise();
}

void CVideoPlayerDlg::mousePressEvent(QMouseEvent* event) {
    const QPoint p = event->position().toPoint();
    SendMessage(this, WM_HIDE_FLOATBAR);
    Qt::Edges edges;
    if (p.x() < kBand) edges |= Qt::LeftEdge;
    if (p.x() >= width() - kBand) edges |= Qt::RightEdge;
    if (p.y() < kBand) edges |= Qt::TopEdge;
    if (p.y() >= height() - kBand) edges |= Qt::BottomEdge;
    if (edges == Qt::Edges() || event->button() != Qt::LeftButton || m_bIsFullScreen) return;
    if (windowHandle() != nullptr && windowHandle()->startSystemResize(edges)) return;
    // No window manager to ask: resize by hand.
    m_resizeEdges = edges;
    m_resizeStart = event->globalPosition().toPoint();
    m_resizeGeometry = geometry();
}

void CVideoPlayerDlg::mouseMoveEvent(QMouseEvent* event) {
    const QPoint p = event->position().toPoint();
    if (m_resizeEdges != Qt::Edges()) {
        const QPoint d = event->globalPosition().toPoint() - m_resizeStart;
        QRect g = m_resizeGeometry;
        if (m_resizeEdges & Qt::LeftEdge)
            g.setLeft(std::min(g.left() + d.x(), g.right() - kMinWidth));
        if (m_resizeEdges & Qt::RightEdge) g.setRight(g.right() + d.x());
        if (m_resizeEdges & Qt::TopEdge)
            g.setTop(std::min(g.top() + d.y(), g.bottom() - kMinHeight));
        if (m_resizeEdges & Qt::BottomEdge) g.setBottom(g.bottom() + d.y());
        setGeometry(g);
        return;
    }
    if (m_bIsFullScreen) {
        if (p.y() <= 30) m_pCaption->show();
        if (p.y() >= height() - 55) m_pBottom->show();
    }
    if (p.y() < 30 || p.y() > 60) {
        PostMessage(this, WM_FLOATBAR_TIMER);
    } else if (!m_pCaption->isHidden() && m_pFloat->isHidden() && !m_bIsPhoto) {
        PostMessage(this, WM_SHOW_FLOATBAR);
        PlaceFloatBar();
    }
}

void CVideoPlayerDlg::mouseReleaseEvent(QMouseEvent*) {
    m_resizeEdges = Qt::Edges();
}

void CVideoPlayerDlg::keyPressEvent(QKeyEvent* event) {
    // Enter, Escape and Space never close the window; nothing else is bound.
    event->accept();
}

void CVideoPlayerDlg::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void CVideoPlayerDlg::dropEvent(QDropEvent* event) {
    for (const QUrl& url : event->mimeData()->urls()) {
        if (!url.isLocalFile()) continue;
        m_strDropped = url.toLocalFile();  // the first file only, whole
        event->acceptProposedAction();
        PostMessage(this, WM_DROP_FILE);
        return;
    }
}

void CVideoPlayerDlg::closeEvent(QCloseEvent* event) {
    // A recording must be finished before the loop ends: stop it now.
    StopRecording();
    event->accept();
}

// -------------------------------------------------------------- the hub

void CVideoPlayerDlg::OnMessage(int message, intptr_t wParam, intptr_t lParam, uint32_t tag) {
    // Events of a player that has since been replaced are old news.
    if ((message == WM_PLAYER_EVENT || message == WM_PLAYER_POSITION) && tag != 0 &&
        tag != m_engine.CurrentTag())
        return;
    switch (message) {
        case WM_OPEN_FILE:
            OpenByDialog();
            break;
        case WM_OPEN_PATH:
            OpenPath(m_strCurrentPath);
            break;
        case WM_PLAY_PAUSE:
            PlayPause();
            break;
        case WM_DROP_FILE: {
            QString path = m_pVideo->TakeDroppedPath();
            if (path.isEmpty()) std::swap(path, m_strDropped);
            if (path.isEmpty()) break;
            SendMessage(this, WM_PLAYER_EVENT, kEventStop, kStopAsked);
            m_strCurrentPath = path;
            if (m_bIsPhoto) {
                m_bIsPhoto = false;
                StopTimer(kTimerPhoto);
            }
            m_bIsPhoto = IsPhotoPath(path);
            PostMessage(this, WM_PLAY_PAUSE);
            break;
        }
        case WM_PLAYER_EVENT:
            OnPlayerEvent(static_cast<int>(wParam), lParam);
            break;
        case WM_PLAYER_POSITION: {
            const int state = m_engine.m_nState;
            if ((state == PS_PLAYING || state == PS_PAUSED) && lParam != 0) {
                std::lock_guard<std::mutex> lock(m_positionMutex);
                if (!m_bPositionFrozen) m_nPosition = static_cast<int>(lParam);
            }
            break;
        }
        case WM_SET_VOLUME:
            m_nVolume = static_cast<int>(lParam);
            if (m_engine.m_nState != PS_IDLE) m_engine.SetVolume(m_nVolume);
            break;
        case WM_SEEK:
            if (m_engine.m_nState != PS_IDLE && lParam >= 0 && lParam < 100) {
                {
                    std::lock_guard<std::mutex> lock(m_positionMutex);
                    m_nPosition = static_cast<int>(lParam);
                }
                m_engine.Seek(static_cast<int>(lParam));
            }
            break;
        case WM_SET_MUTE:
            if (m_engine.m_nState != PS_IDLE) m_engine.SetMute(static_cast<int>(wParam));
            break;
        case WM_NEXT_FRAME:
            m_engine.NextFrame();
            break;
        case WM_TOGGLE_FULLSCREEN:
            ToggleFullScreen();
            break;
        case WM_CAPTION_HOVER:
            if (m_bIsFullScreen) {
                m_pCaption->show();
                StopTimer(kTimerBarsHide);
            }
            break;
        case WM_CAPTION_LEAVE:
        case WM_BOTTOMBAR_HOVER:
            if (m_bIsFullScreen) StartTimer(kTimerBarsHide, 3000);
            break;
        case WM_SHOW_FLOATBAR:
            ShowFloatBar();
            break;
        case WM_FLOATBAR_TIMER:
            if (m_pFloat->isVisible()) StartTimer(kTimerFloatBar, 3000);
            break;
        case WM_HIDE_FLOATBAR:
            m_pFloat->hide();
            break;
        case WM_TOGGLE_FLOATBAR:
            if (m_pFloat->isHidden()) {
                PlaceFloatBar();
                m_pFloat->show();
            } else {
                m_pFloat->hide();
            }
            break;
        case WM_REDRAW_VIEW_MSG:
            if (wParam == 1) {
                m_engine.Invalidate();  // resized or exposed
            } else if (m_engine.m_nState == PS_PLAYING || m_engine.m_nState == PS_PAUSED) {
                m_engine.Redraw();
            }
            break;
        case WM_VIEW_DRAG:
        case WM_VIEW_FLING: {
            const auto* v = reinterpret_cast<const float*>(lParam);
            if (v == nullptr) break;
            if (message == WM_VIEW_DRAG)
                m_engine.DragBy(v[0], v[1]);
            else
                m_engine.Fling(v[0], v[1]);
            break;
        }
        case WM_VIEW_ZOOM:
            m_engine.Zoom(static_cast<int>(lParam));
            break;
        case WM_VIEW_MODE:
            // The caption's mirror button (wParam 1) turns the floating bar's mark.
            if (lParam == 8 && wParam == 1) m_pFloat->ToggleMirror();
            m_engine.ViewCommand(static_cast<int>(lParam), m_pFloat->Mirror());
            if (lParam == 8) {
                m_pCaption->SetMirror(m_pFloat->Mirror());
            } else if (lParam >= 0 && lParam <= 6) {
                m_pCaption->SetCurrentView(static_cast<int>(lParam));
                m_pFloat->SetCurrentView(static_cast<int>(lParam));
            }
            break;
        case WM_OPEN_EXPORT:
            OpenConverter();
            break;
        case WM_SHOW_MENU:
            m_pMenu->Popup(QPoint(static_cast<int>(wParam), static_cast<int>(lParam)));
            break;
        case WM_SHOW_LANGUAGE:
            ShowLanguageDialog();
            break;
        case WM_MINIMIZE_APP:
            showMinimized();
            break;
        case WM_CLOSE_APP:
            StopRecording();
            close();
            break;
        case WM_RECORD_STOP:
            StopRecording();
            break;
        case WM_TAKE_SCREENSHOT:
            TakeScreenshot();
            break;
        case WM_RECORD_START:
            StartRecording();
            break;
        case WM_RECORD_SAVED_MSG:
            AnnounceRecording();
            break;
        case WM_SCREENSHOT_SAVED_MSG:
            AnnounceScreenshot();
            break;
        default:
            break;
    }
}

void CVideoPlayerDlg::OpenPath(const QString& path) {
    if (path.isEmpty()) return;
    m_strCurrentPath = path;
    update(width() / 6, 0, width() * 2 / 3, 30);
    if (m_bIsPhoto) {
        m_bIsPhoto = false;
        StopTimer(kTimerPhoto);
    }
    m_bIsPhoto = IsPhotoPath(path);
    m_bIsRejected = false;
    ProbeAndLoad(true);
}

void CVideoPlayerDlg::OpenByDialog() {
    if (m_engine.m_nGLMajor < 2) SendMessage(this, WM_PLAYER_EVENT, kEventStop, kStopAsked);
    const QStringList files = m_chooseFiles ? m_chooseFiles() : QStringList();
    if (files.isEmpty()) return;
    OpenPath(files.first());
}

void CVideoPlayerDlg::ProbeAndLoad(bool stopWhenRefused) {
    const std::string path = NativePath();
    const QString name = QFileInfo(m_strCurrentPath).fileName();
    if (m_engine.Probe(m_bIsPhoto, path.c_str()) != 0) {
        m_pCaption->SetTitle(name);
        if (stopWhenRefused && m_engine.m_nState != PS_IDLE)
            SendMessage(this, WM_PLAYER_EVENT, kEventStop, kStopAsked);
        m_bIsRejected = true;
        Message(kStrNotFromQualifiedCamera);
        return;
    }
    const FileKind kind = KindOfFile(m_engine.m_nCameraType, m_engine.m_nWidth, m_engine.m_nHeight);
    m_pFloat->SetFile(m_strCurrentPath, m_bIsPhoto, kind);
    m_pCaption->SetFileKind(kind);
    if (m_engine.Open(path.c_str(), m_bIsPhoto) == 0) {
        // A picture that does not decode is not a driver problem.
        Message(m_engine.LastOpenError() == CPlayerEngine::kOpenNoPicture ? kStrFileOpenFailed
                                                                          : kStrOpenGl2Required);
        return;
    }
    if (m_bIsPhoto) {
        StartTimer(kTimerPhoto, 25);
    } else {
        m_engine.SetNotifier(&CVideoPlayerDlg::Notify, this);
        m_engine.Play();
        m_engine.SetVolume(m_nVolume);
        StartTimer(kTimerProgress, 500);
    }
    ShowLoaded();
    m_pCaption->SetTitle(name);
    m_pCaption->SetCurrentView(m_engine.m_nViewMode);
    m_pFloat->SetCurrentView(m_engine.m_nViewMode);
}

void CVideoPlayerDlg::ShowLoaded() {
    m_pVideo->show();
    m_pBottom->SetMuted(false);
    m_pBottom->ShowPauseImage(!m_bIsPhoto);
    m_pFloat->EnableButtons(true);
    m_engine.Invalidate();
}

void CVideoPlayerDlg::ShowUnloaded() {
    m_pVideo->hide();
    m_pBottom->SetLengthText("00:00:00");
    m_pBottom->ShowPauseImage(false);
    m_pFloat->Reset();
}

void CVideoPlayerDlg::PlayPause() {
    if (m_strCurrentPath.isEmpty()) return;
    switch (m_engine.m_nState) {
        case PS_PLAYING:
            m_engine.Pause();
            m_pBottom->ShowPauseImage(false);
            break;
        case PS_PAUSED:
            m_engine.Play();
            m_pBottom->ShowPauseImage(true);
            break;
        case PS_OPENED:
            break;
        default:
            m_bIsRejected = false;
            m_bIsPhoto = IsPhotoPath(m_strCurrentPath);
            if (m_bIsPhoto) StopTimer(kTimerPhoto);
            ProbeAndLoad(false);
            break;
    }
}

void CVideoPlayerDlg::OnPlayerEvent(int code, intptr_t value) {
    switch (code) {
        case kEventStop: {
            std::lock_guard<std::mutex> lock(m_positionMutex);
            m_bPositionFrozen = true;
            m_nPosition = 0;
        }
            m_pBottom->ShowPauseImage(false);
            m_engine.Stop();
            StopRecording();
            StopTimer(kTimerProgress);
            if (m_bIsPhoto) StopTimer(kTimerPhoto);
            m_pBottom->SetProgress(0);
            m_pBottom->SetTimeText("00:00:00");
            ShowUnloaded();
            break;
        case kEventPaused:
            m_pBottom->ShowPauseImage(false);
            break;
        case kEventPlaying: {
            std::lock_guard<std::mutex> lock(m_positionMutex);
            m_bPositionFrozen = false;
        }
            m_pBottom->ShowPauseImage(true);
            if (static_cast<uint32_t>(value) >= 1)
                m_pBottom->SetLengthText(FormatHms(static_cast<uint32_t>(value)));
            break;
        default:
            break;
    }
}

void CVideoPlayerDlg::ToggleFullScreen() {
    if (m_bIsFullScreen) {
        showNormal();
        // Without a window manager the request alone changes nothing.
        if (m_normalGeometry.isValid()) setGeometry(m_normalGeometry);
        m_bIsFullScreen = false;
        m_pCaption->ShowRestoreImage(false);
        StopTimer(kTimerBarsHide);
        m_pCaption->show();
        m_pBottom->show();
    } else {
        m_normalGeometry = geometry();
        showFullScreen();
        if (QScreen* display = screen()) setGeometry(display->geometry());
        m_bIsFullScreen = true;
        m_pCaption->ShowRestoreImage(true);
        StartTimer(kTimerBarsHide, 3000);
    }
    m_pVideo->setFocus();
}

void CVideoPlayerDlg::ShowFloatBar() {
    if (m_pCaption->isHidden() || m_pFloat->isVisible()) return;
    PlaceFloatBar();
    const bool nothingOpen = m_engine.m_nState == PS_IDLE && !m_bIsPhoto;
    if (m_bIsRejected || nothingOpen) return;
    m_pFloat->show();
    m_pFloat->raise();
    StopTimer(kTimerFloatBar);
}

// ------------------------------------------------- screen shots and recordings

bool CVideoPlayerDlg::ViewShown() const {
    const int state = m_engine.m_nState;
    const bool shown =
        state == PS_PLAYING || state == PS_PAUSED || (m_bIsPhoto && m_engine.m_bPhotoMode);
    return shown && m_engine.m_pRender != nullptr && m_engine.m_nGLMajor >= 2;
}

QString CVideoPlayerDlg::OutputName(const char* prefix, const char* extension) const {
    const QDateTime now = QDateTime::currentDateTime();
    const QDate d = now.date();
    const QTime t = now.time();
    return m_strOutputFolder + QString::asprintf("%s_%d-%02d-%02d-%02d-%02d-%02d.%s", prefix,
                                                 d.year(), d.month(), d.day(), t.hour(), t.minute(),
                                                 t.second(), extension);
}

void CVideoPlayerDlg::TakeScreenshot() {
    if (!ViewShown()) return;
    QDir().mkpath(m_strOutputFolder);  // it may have gone since the start
    m_strSnapshotPath = OutputName("ScreenShot", "jpg");
    m_engine.m_pRender->RequestSnapshot(QFile::encodeName(m_strSnapshotPath).toStdString());
    // A photo is drawn only when something changed: this is a change.
    if (m_engine.m_bPhotoMode) m_engine.Invalidate();
}

void CVideoPlayerDlg::StartRecording() {
    if (m_bIsRecording || !ViewShown()) return;
    QDir().mkpath(m_strOutputFolder);
    m_strRecordPath = OutputName("ScreenRecord", "mp4");
    std::string created;
    // The playback time in milliseconds: the sound starts where the picture does.
    // The bottom bar's play button is locked while recording: a paused video
    // plays on, or nothing would be drawn to record.
    const bool wasPaused = m_engine.m_nState == PS_PAUSED;
    if (wasPaused) m_engine.Play();
    const int64_t startMs = m_engine.GetTime();
    const int rc = m_engine.m_pRender->StartRecording(
        NativePath().c_str(), QFile::encodeName(m_strRecordPath).toStdString().c_str(), startMs,
        &created);
    if (rc == 0) {
        m_strRecordPath = QFile::decodeName(created.c_str());
        std::printf("recording %s from %lld ms\n", created.c_str(),
                    static_cast<long long>(startMs));
        std::fflush(stdout);
        ShowRecording(true);
        if (wasPaused) m_pBottom->ShowPauseImage(true);
        return;
    }
    if (wasPaused) m_engine.Pause();
    std::fprintf(stderr, "recording not started: %d\n", rc);
    ShowRecording(false);
    if (rc == kRecordBadSource || rc == kRecordNoVideo)
        Message(kStrCannotRecord);
    else
        Message(kStrCreateFileFailed);
}

void CVideoPlayerDlg::StopRecording() {
    // Finishes the file now; its notice follows as WM_RECORD_SAVED.
    if (m_engine.m_pRender != nullptr) m_engine.m_pRender->StopRecording();
    ShowRecording(false);
}

void CVideoPlayerDlg::ShowRecording(bool recording) {
    m_bIsRecording = recording;
    m_pCaption->SetRecording(recording);
    m_pFloat->SetRecording(recording);
    m_pBottom->SetLocked(recording);
}

void CVideoPlayerDlg::AnnounceScreenshot() {
    SavedFile saved;
    if (m_engine.m_pRender == nullptr || !m_engine.m_pRender->TakeSnapshotResult(&saved)) return;
    m_lastShot = saved;
    if (saved.result != 0) {
        Message(kStrCreateFileFailed);
        return;
    }
    m_strSnapshotPath = QFile::decodeName(saved.path.c_str());
    MessageSaved(kStrScreenShotSavedIn, m_strSnapshotPath);
}

void CVideoPlayerDlg::AnnounceRecording() {
    SavedFile saved;
    if (m_engine.m_pRender == nullptr || !m_engine.m_pRender->TakeRecordResult(&saved)) return;
    m_lastRecording = saved;
    // Playback may have ended the recording: the bars follow.
    ShowRecording(false);
    if (saved.result != 0) {
        Message(kStrCreateFileFailed);
        return;
    }
    m_strRecordPath = QFile::decodeName(saved.path.c_str());
    MessageSaved(kStrRecordingSavedIn, m_strRecordPath);
}

void CVideoPlayerDlg::OpenConverter() {
    m_pFloat->hide();
    // The converter takes the open file; playback stops first, synchronously
    // (which also ends a recording).
    const bool shown = m_engine.m_nState != PS_IDLE || m_engine.m_bPhotoMode;
    const QString path = shown && !m_bIsRejected ? m_strCurrentPath : QString();
    const bool photo = m_bIsPhoto;
    if (shown) SendMessage(this, WM_PLAYER_EVENT, kEventStop, kStopAsked);
    if (m_runConverter) m_runConverter(path, photo);
}

void CVideoPlayerDlg::ShowLanguageDialog() {
    m_pLanguage->ShowCentred();
}

}  // namespace app
