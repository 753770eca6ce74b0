#include "app/transcode_preview_dlg.h"

#include <QFile>
#include <QLabel>
#include <QTimerEvent>

#include <string>

#include "adapters/image.h"
#include "app/messages.h"
#include "app/skin_controls.h"
#include "app/strings.h"
#include "app/video_control.h"

namespace app {

namespace {

int LoadPhotoHook(const char* path, PhotoBitmap* out) {
    return adapters::LoadBgrImage(path, &out->width, &out->height, &out->stride, &out->rows);
}

int SaveImageHook(const char* path, const uint8_t* pixels, int w, int h) {
    return adapters::SaveBgraBottomUp(path, pixels, w, h);
}

// The preview never records, so it needs no recorder.
RenderHooks Hooks() {
    RenderHooks hooks;
    hooks.loadPhoto = LoadPhotoHook;
    hooks.saveImage = SaveImageHook;
    return hooks;
}

constexpr int kPositionMs = 250;
constexpr int kPhotoMs = 20;
constexpr int kFirstFrameMs = 20;
constexpr int kFirstFrameTries = 200;  // 4 s: then pause on whatever is shown
const char kZeroTime[] = "00:00:00";

}  // namespace

CTranscodePreviewDlg::CTranscodePreviewDlg(QWidget* parent, QObject* owner,
                                           const char* playbackLibrary)
    : QWidget(parent), m_engine(Hooks(), playbackLibrary), m_pOwner(owner) {
    setObjectName("TranscodePreview");
    setFixedSize(kWidth, kHeight);
    QPalette p = palette();
    p.setColor(QPalette::Window, QColor(0x1e, 0x1e, 0x1e));
    p.setColor(QPalette::WindowText, QColor(0xd0, 0xd0, 0xd0));
    setPalette(p);
    setAutoFillBackground(true);

    m_pVideo = new CVideoControl(this);
    m_pVideo->setObjectName(QString::number(kIdVideo));
    m_engine.SetVideoWindow(m_pVideo->NativeWindow(), this, this);
    m_engine.SetNotifier(&CTranscodePreviewDlg::Notify, this);

    m_pPlay = new CButtonEx(this);
    m_pPlay->setObjectName(QString::number(kIdPlay));
    m_pPlay->setFocusPolicy(Qt::NoFocus);
    ShowPauseImage(false);
    connect(m_pPlay, &CButtonEx::clicked, this, [this] { PostMessage(this, WM_PLAY_PAUSE); });

    m_pStop = new CButtonEx(this);
    m_pStop->setObjectName(QString::number(kIdStop));
    m_pStop->setFocusPolicy(Qt::NoFocus);
    m_pStop->SetImages(167, 166, 168);
    connect(m_pStop, &CButtonEx::clicked, this, [this] { StopPlayback(); });

    m_pPosition = new CSliderCtrlEx(this);
    m_pPosition->setObjectName(QString::number(kIdPosition));
    m_pPosition->setRange(0, 100);
    m_pPosition->setFocusPolicy(Qt::NoFocus);
    m_pPosition->setEnabled(false);
    // The place is sent at release; 100 is the end, never a place to seek to.
    m_pPosition->m_notify = [this](int code, int position) {
        if (code == 4 && position < 100) PostMessage(this, WM_SEEK, kIdPosition, position);
    };

    m_pRange = new CRangeSlider(this);
    m_pRange->setObjectName(QString::number(kIdRange));
    m_pRange->SetImages(161, 305, 181);
    m_pRange->SetThumbWidth(8);
    m_pRange->SetRange(0, 100);
    m_pRange->SetValues(0, 100);
    m_pRange->setEnabled(false);
    m_pRange->m_notify = [this](int part) { PostMessage(this, WM_RANGE_CHANGED, kIdRange, part); };

    m_pStartLabel = new QLabel(kZeroTime, this);
    m_pStartLabel->setObjectName(QString::number(kIdStartLabel));
    m_pDurationLabel = new QLabel(kZeroTime, this);
    m_pDurationLabel->setObjectName(QString::number(kIdDurationLabel));
    m_pDurationLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    m_showMessage = [this](const QString& text, const QString& caption, MessageButtons buttons) {
        return ShowMessage(this, text, caption, buttons);
    };
    Layout();
}

CTranscodePreviewDlg::~CTranscodePreviewDlg() {
    m_timers.clear();
    m_engine.Stop();
}

// ------------------------------------------------------------------ helpers

QString CTranscodePreviewDlg::FormatMarkTime(int mark, int64_t durationMs) {
    if (mark < 0) mark = 0;
    if (mark > 100) mark = 100;
    if (durationMs < 0) durationMs = 0;
    // mark percent of the duration, in hundredths of a millisecond.
    const long long product = static_cast<long long>(mark) * durationMs;
    return QString::asprintf("%02lld:%02lld:%02lld", product / 360000000, product / 6000000 % 60,
                             product / 100000 % 60);
}

QString CTranscodePreviewDlg::FormatDuration(int64_t ms) {
    if (ms < 0) ms = 0;
    const long long s = ms / 1000;
    return QString::asprintf("%02lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
}

bool CTranscodePreviewDlg::TimerActive(int id) const {
    auto it = m_timers.find(id);
    return it != m_timers.end() && it->second.isActive();
}

void CTranscodePreviewDlg::StartTimer(int id, int milliseconds) {
    m_timers[id].start(milliseconds, this);
}

void CTranscodePreviewDlg::StopTimer(int id) {
    auto it = m_timers.find(id);
    if (it != m_timers.end()) it->second.stop();
}

void CTranscodePreviewDlg::Message(int stringId) {
    if (m_showMessage) m_showMessage(LoadString(stringId), QString(), kMessageOk);
}

void CTranscodePreviewDlg::ShowPauseImage(bool pause) {
    m_bPauseImage = pause;
    m_pPlay->SetImages(pause ? 169 : 163, pause ? 170 : 164, pause ? 171 : 162);
}

void CTranscodePreviewDlg::SetPosition(int percent) {
    m_nPosition = percent;
    if (!m_pPosition->Pressed()) {
        m_pPosition->setValue(percent);
        m_pPosition->SetPercent(percent);
    }
    m_pRange->SetPosition(percent);
}

void CTranscodePreviewDlg::Layout() {
    const int w = width(), h = height();
    m_pVideo->setGeometry(0, 0, w, h - 62);
    m_pPosition->setGeometry(0, h - 60, w, 18);
    m_pRange->setGeometry(0, h - 40, w, 14);
    m_pPlay->setGeometry(6, h - 24, 22, 22);
    m_pStop->setGeometry(32, h - 24, 22, 22);
    m_pStartLabel->setGeometry(64, h - 24, 90, 22);
    m_pDurationLabel->setGeometry(w - 96, h - 24, 90, 22);
}

void CTranscodePreviewDlg::resizeEvent(QResizeEvent*) {
    Layout();
    m_engine.Invalidate();
}

// --------------------------------------------------------------- the engine

void CTranscodePreviewDlg::StopBeforeOpen() {
    // Inside Open: only the engine and the timers; the load's own flags stay.
    m_engine.Stop();
    StopTimer(kTimerPosition);
    StopTimer(kTimerFirstFrame);
    SetPosition(0);
}

void CTranscodePreviewDlg::FocusVideo() {
    m_pVideo->setFocus();
}

void CTranscodePreviewDlg::ShowFallbackPhoto(const char*) {
    // Never asked: the preview declines pictures without stitching.
}

void CTranscodePreviewDlg::Post(int message) {
    PostMessage(this, message);
}

void CTranscodePreviewDlg::Notify(CPlayerEngine*, int code, int value1, int value2, uint32_t tag,
                                  void* user) {
    PostEngineEvent(static_cast<QObject*>(static_cast<CTranscodePreviewDlg*>(user)), code, value1,
                    value2, tag);
}

// ------------------------------------------------------------------- events

bool CTranscodePreviewDlg::event(QEvent* event) {
    if (event->type() == MessageEvent::EventType()) {
        const auto* m = static_cast<MessageEvent*>(event);
        OnMessage(m->m_message, m->m_wParam, m->m_lParam, m->m_tag);
        return true;
    }
    return QWidget::event(event);
}

void CTranscodePreviewDlg::timerEvent(QTimerEvent* event) {
    for (auto& [id, timer] : m_timers) {
        if (timer.timerId() == event->timerId()) {
            OnTimer(id);
            return;
        }
    }
    QWidget::timerEvent(event);
}

void CTranscodePreviewDlg::OnTimer(int id) {
    switch (id) {
        case kTimerPosition:
            if (m_engine.m_nState == PS_PLAYING || m_engine.m_nState == PS_PAUSED)
                SetPosition(m_nPosition);
            break;
        case kTimerPhoto:
            if (m_engine.NeedsRedraw()) m_engine.Redraw();
            break;
        case kTimerFirstFrame:
            // The playing event comes before any picture: pause once the first
            // frame is drawn, so the preview shows it instead of black.
            if (m_engine.m_nState != PS_PLAYING) {
                StopTimer(kTimerFirstFrame);
            } else if (m_engine.m_nFramesDrawn.load() != m_nFramesAtOpen ||
                       ++m_nFirstFrameTicks >= kFirstFrameTries) {
                StopTimer(kTimerFirstFrame);
                PauseNow();
            }
            break;
        default:
            break;
    }
}

// -------------------------------------------------------------- the hub

void CTranscodePreviewDlg::OnMessage(int message, intptr_t wParam, intptr_t lParam, uint32_t tag) {
    // Events of a player that has since been replaced are old news.
    if ((message == WM_PLAYER_EVENT || message == WM_PLAYER_POSITION) && tag != 0 &&
        tag != m_engine.CurrentTag())
        return;
    switch (message) {
        case WM_PLAY_PAUSE:
            if (wParam == kPlayAfterLoad) m_bOpenPosted = false;
            PlayPause(wParam == kPlayAfterLoad);
            break;
        case WM_PLAYER_POSITION:
            OnPositionReport(static_cast<int>(lParam));
            break;
        case WM_SEEK:
            if (lParam >= 0 && lParam < 100) SeekTo(static_cast<int>(lParam));
            break;
        case WM_PLAYER_EVENT:
            OnPlayerEvent(static_cast<int>(wParam), lParam);
            break;
        case WM_RANGE_CHANGED:
            OnRangeChanged(static_cast<int>(lParam));
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
        default:
            break;
    }
}

void CTranscodePreviewDlg::Load(const QString& path, bool isPhoto) {
    StopPlayback();
    m_strPath = path;
    m_bIsPhoto = isPhoto;
    m_pStartLabel->setText(kZeroTime);
    m_pDurationLabel->setText(kZeroTime);
    m_nStartMark = 0;
    m_nEndMark = 100;
    m_nDurationMs = 0;
    m_pRange->SetValues(0, 100);
    SetPosition(0);
    // A photo is converted whole.
    m_pRange->setEnabled(!isPhoto);
    m_pPosition->setEnabled(false);
    m_bFirstPlay = !isPhoto;
    PostOpen();
}

void CTranscodePreviewDlg::PostOpen() {
    if (m_bOpenPosted) return;
    m_bOpenPosted = true;
    PostMessage(this, WM_PLAY_PAUSE, kPlayAfterLoad);
}

void CTranscodePreviewDlg::StopPlayback() {
    m_bFirstPlay = false;
    ResetStopped();
}

void CTranscodePreviewDlg::ResetStopped() {
    m_engine.Stop();
    m_bPhotoShown = false;
    StopTimer(kTimerPosition);
    StopTimer(kTimerPhoto);
    StopTimer(kTimerFirstFrame);
    SetPosition(0);
    ShowPauseImage(false);
}

void CTranscodePreviewDlg::PlayPause(bool afterLoad) {
    if (m_strPath.isEmpty()) return;
    switch (m_engine.m_nState) {
        case PS_PLAYING:
            if (!afterLoad) PauseNow();
            break;
        case PS_PAUSED:
            if (afterLoad) break;
            // Played up to the end mark: start again at the start mark.
            if (m_nPosition >= m_nEndMark) SeekTo(m_nStartMark);
            m_engine.Play();
            ShowPauseImage(true);
            break;
        case PS_OPENED:
            break;
        default:
            // A photo leaves the engine idle: it is open while timer 5 draws it.
            if (!m_bPhotoShown) OpenFile();
            break;
    }
}

void CTranscodePreviewDlg::OpenFile() {
    const std::string path = QFile::encodeName(m_strPath).toStdString();
    if (m_engine.Probe(m_bIsPhoto, path.c_str()) != 0) {
        Message(kStrNotFromQualifiedCamera);
        return;
    }
    m_nFramesAtOpen = m_engine.m_nFramesDrawn.load();
    if (m_engine.Open(path.c_str(), m_bIsPhoto) == 0) {
        Message(kStrOpenGl2Required);
        return;
    }
    if (m_bIsPhoto) {
        m_bPhotoShown = true;
        m_engine.Invalidate();
        StartTimer(kTimerPhoto, kPhotoMs);
    } else {
        m_engine.SetNotifier(&CTranscodePreviewDlg::Notify, this);
        m_engine.Play();
        if (m_engine.m_nState != PS_PLAYING) {
            Message(kStrOpenGl2Required);
            return;
        }
    }
    ShowPauseImage(true);
}

void CTranscodePreviewDlg::PauseNow() {
    if (m_engine.m_nState != PS_PLAYING) return;
    m_engine.Pause();
    ShowPauseImage(false);
}

void CTranscodePreviewDlg::SeekTo(int percent) {
    if (m_engine.m_nState == PS_IDLE) return;
    SetPosition(percent);
    m_engine.Seek(percent);
}

void CTranscodePreviewDlg::OnPlayerEvent(int code, intptr_t value) {
    switch (code) {
        case kEventStop:
            ResetStopped();
            if (value == kStopAsked) {
                // Closed on request: load the same file again at the start mark.
                m_bFirstPlay = !m_bIsPhoto;
                PostOpen();
                PostMessage(this, WM_SEEK, 0, m_nStartMark);
            } else {
                m_bFirstPlay = false;
            }
            break;
        case kEventPaused:
            ShowPauseImage(false);
            break;
        case kEventPlaying:
            OnPlaying(static_cast<int64_t>(static_cast<uint32_t>(value)));
            break;
        default:
            break;
    }
}

void CTranscodePreviewDlg::OnPlaying(int64_t lengthMs) {
    StartTimer(kTimerPosition, kPositionMs);
    ShowPauseImage(true);
    // The event carries 32 bits; the engine's own length has all of them.
    const int64_t full = m_engine.GetLength();
    if (full > 0) lengthMs = full;
    if (m_nDurationMs <= 0 && lengthMs > 0) {
        m_nDurationMs = lengthMs;
        m_pDurationLabel->setText(FormatDuration(lengthMs));
        m_nEndMark = 100;
        m_pRange->SetValues(m_nStartMark, m_nEndMark);
    }
    if (m_bFirstPlay) {
        m_bFirstPlay = false;
        m_pPosition->setEnabled(true);
        m_nFirstFrameTicks = 0;
        StartTimer(kTimerFirstFrame, kFirstFrameMs);
    }
}

void CTranscodePreviewDlg::OnPositionReport(int percent) {
    // Only while playing: reports still queued when the preview paused and
    // went back to a mark would undo that seek.
    if (m_engine.m_nState != PS_PLAYING) return;
    SetPosition(percent);
    // The end mark ends the range: pause there and go back to its start. The
    // first-frame pause is still pending while timer 6 runs; an end mark of
    // 100 is the end of the file, where playback stops by itself.
    if (percent >= m_nEndMark && m_nEndMark < 100 && !TimerActive(kTimerFirstFrame)) {
        PauseNow();
        SeekTo(m_nStartMark);
    }
}

void CTranscodePreviewDlg::OnRangeChanged(int part) {
    if (part != 2) PauseNow();
    switch (part) {
        case 0:
            m_nStartMark = m_pRange->Left();
            SeekTo(m_nStartMark);
            m_pStartLabel->setText(FormatMarkTime(m_nStartMark, m_nDurationMs));
            break;
        case 1:
            m_nEndMark = m_pRange->Right();
            m_pDurationLabel->setText(FormatMarkTime(m_nEndMark, m_nDurationMs));
            break;
        case 2:
            if (m_pRange->Position() < 100) SeekTo(m_pRange->Position());
            return;
        default:
            return;
    }
    if (m_pOwner != nullptr) PostMessage(m_pOwner, WM_REFRESH_OUTPUT);
}

}  // namespace app
