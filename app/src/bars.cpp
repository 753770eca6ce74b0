#include "app/bars.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QWindow>

#include <algorithm>

#include "app/messages.h"
#include "app/skin_controls.h"
#include "app/strings.h"

namespace app {

namespace {

// Background strips behind the bottom bar's buttons: cell 5 of 40.
constexpr int kStripCells = 40;

struct ViewButton {
    int id;
    int view;
};
// The caption bar's view group in its order from the right, per kind of file.
constexpr ViewButton kCaptionSingle[] = {{1157, 8}, {1152, 6}, {1156, 5}, {1155, 4}, {1154, 3}};
constexpr ViewButton kCaptionDual[] = {{1157, 8}, {1152, 6}, {1153, 0}};
constexpr int kCaptionViewIds[] = {1152, 1153, 1154, 1155, 1156, 1157};
// The floating bar's view buttons: views 0..2 and 3..5.
constexpr ViewButton kFloatDual[] = {{1152, 0}, {1006, 1}, {1007, 2}};
constexpr ViewButton kFloatSingle[] = {{1150, 3}, {1066, 4}, {1151, 5}};

int ViewOfCaptionButton(int id) {
    switch (id) {
        case 1152:
            return 6;
        case 1153:
            return 0;
        case 1154:
            return 3;
        case 1155:
            return 4;
        case 1156:
            return 5;
        default:
            return -1;
    }
}

void PaintGradient(QWidget* w) {
    QPainter p(w);
    QLinearGradient g(0, 0, 0, std::max(1, w->height()));
    g.setColorAt(0, QColor(0x20, 0x20, 0x20));
    g.setColorAt(1, QColor(0x09, 0x09, 0x09));
    p.fillRect(w->rect(), g);
}

}  // namespace

ViewIcon ViewIconOf(int view) {
    switch (view) {
        case 0:
            return {412, 413};
        case 1:
            return {424, 425};
        case 2:
            return {462, 461};
        case 3:
            return {416, 417};
        case 4:
            return {418, 419};
        case 5:
            return {420, 421};
        case 6:
            return {414, 415};
        default:
            return {0, 0};
    }
}

FileKind KindOfFile(int cameraType, int width, int height) {
    if (cameraType == 1) return kFileSingle;
    if (cameraType == 2 || (height > 0 && width == 2 * height)) return kFileDual;
    return kFileNone;
}

// ------------------------------------------------------------------- CBar

CBar::CBar(QWidget* parent, QWidget* target, const char* name) : QWidget(parent), m_target(target) {
    // Native, so that it stays above the video area's GL window.
    setAttribute(Qt::WA_NativeWindow);
    setObjectName(name);
    setMouseTracking(true);
}

CButtonEx* CBar::AddButton(int id, int message, intptr_t wParam, intptr_t lParam) {
    auto* button = new CButtonEx(this);
    button->setObjectName(QString::number(id));
    button->setFocusPolicy(Qt::NoFocus);
    button->resize(30, 30);
    if (message != 0) {
        QObject::connect(button, &CButtonEx::clicked, this, [this, message, wParam, lParam] {
            PostMessage(m_target, message, wParam, lParam);
        });
    }
    m_buttons[id] = button;
    return button;
}

CButtonEx* CBar::Button(int id) const {
    auto it = m_buttons.find(id);
    return it == m_buttons.end() ? nullptr : it->second;
}

void CBar::paintEvent(QPaintEvent*) {
    PaintGradient(this);
}

// ----------------------------------------------------------------- caption

CCaptionBar::CCaptionBar(QWidget* parent, QWidget* target) : CBar(parent, target, "caption") {
    m_title = LoadString(kStrPlayerTitle);
    AddButton(kIdClose, WM_CLOSE_APP)->SetImages(129, 132, 129);
    AddButton(kIdMaximise, WM_TOGGLE_FULLSCREEN)->SetImages(147, 132, 158);
    AddButton(kIdMinimise, WM_MINIMIZE_APP)->SetImages(131, 132, 131);
    AddButton(kIdMenu, WM_SHOW_LANGUAGE)->SetImages(159, 132, 159);
    CButtonEx* convert = AddButton(kIdConvert, WM_TOGGLE_FLOATBAR);
    convert->SetImages(456, 132, 456);
    convert->setToolTip(LoadString(kStrOpenConverter));
    for (int id : kCaptionViewIds) {
        CButtonEx* b = AddButton(id, 0);
        if (id == kIdCaptionMirror) {
            b->SetImages(422, 132, 423);
            QObject::connect(b, &CButtonEx::clicked, this,
                             [this] { PostMessage(m_target, WM_VIEW_MODE, 1, 8); });
        } else {
            const int view = ViewOfCaptionButton(id);
            b->SetImages(ViewIconOf(view).normal, 132, ViewIconOf(view).selected);
            QObject::connect(b, &CButtonEx::clicked, this,
                             [this, view] { PostMessage(m_target, WM_VIEW_MODE, 0, view); });
        }
    }
    ShowRestoreImage(false);
    SetFileKind(kFileNone);
}

void CCaptionBar::SetTitle(const QString& title) {
    m_title = title;
    update();
}

void CCaptionBar::ShowRestoreImage(bool restore) {
    m_bRestore = restore;
    CButtonEx* b = Button(kIdMaximise);
    b->SetImages(restore ? 344 : 147, 132, 158);
    b->setToolTip(LoadString(restore ? kStrRestore : kStrMaximise));
}

void CCaptionBar::SetFileKind(FileKind kind) {
    m_kind = kind;
    Layout();
}

void CCaptionBar::SetCurrentView(int view) {
    for (int id : kCaptionViewIds) {
        const int v = ViewOfCaptionButton(id);
        if (v < 0) continue;
        Button(id)->SetNormalImage(v == view ? ViewIconOf(v).selected : ViewIconOf(v).normal);
    }
}

void CCaptionBar::SetMirror(bool mirror) {
    Button(kIdCaptionMirror)->SetNormalImage(mirror ? 423 : 422);
}

void CCaptionBar::Layout() {
    const int w = width();
    Button(kIdClose)->move(w - 40, 0);
    Button(kIdMaximise)->move(w - 70, 0);
    Button(kIdMinimise)->move(w - 100, 0);
    Button(kIdMenu)->move(w - 130, 0);
    Button(kIdConvert)->move(4, 0);
    for (int id : kCaptionViewIds) Button(id)->hide();
    const ViewButton* group = nullptr;
    size_t count = 0;
    if (m_kind == kFileSingle) {
        group = kCaptionSingle;
        count = std::size(kCaptionSingle);
    } else if (m_kind == kFileDual) {
        group = kCaptionDual;
        count = std::size(kCaptionDual);
    }
    for (size_t i = 0; i < count; ++i) {
        CButtonEx* b = Button(group[i].id);
        b->move(w - 160 - 30 * static_cast<int>(i), 0);
        b->show();
    }
}

void CCaptionBar::resizeEvent(QResizeEvent*) {
    Layout();
}

void CCaptionBar::paintEvent(QPaintEvent* event) {
    CBar::paintEvent(event);
    // The title in the free middle of the bar.
    QPainter p(this);
    p.setPen(QColor(0xd8, 0xd8, 0xd8));
    int left = 40;
    const int right = width() - 170 - 30 * 5;
    if (m_bRecording && right > left + 20) {
        p.setRenderHint(QPainter::Antialiasing);
        p.setBrush(QColor(0xe0, 0x30, 0x30));
        p.setPen(Qt::NoPen);
        p.drawEllipse(QPoint(left + 6, height() / 2), 5, 5);
        p.setPen(QColor(0xd8, 0xd8, 0xd8));
        left += 18;
    }
    if (right > left)
        p.drawText(QRect(left, 0, right - left, height()), Qt::AlignVCenter | Qt::AlignLeft,
                   p.fontMetrics().elidedText(m_title, Qt::ElideMiddle, right - left));
}

void CCaptionBar::SetRecording(bool recording) {
    m_bRecording = recording;
    update();
}

void CCaptionBar::mouseDoubleClickEvent(QMouseEvent*) {
    PostMessage(m_target, WM_TOGGLE_FULLSCREEN);
}

void CCaptionBar::mousePressEvent(QMouseEvent* event) {
    // A press on the caption moves the window.
    if (event->button() == Qt::LeftButton && window()->windowHandle() != nullptr)
        window()->windowHandle()->startSystemMove();
}

void CCaptionBar::enterEvent(QEnterEvent*) {
    PostMessage(m_target, WM_CAPTION_HOVER);
}

void CCaptionBar::leaveEvent(QEvent*) {
    PostMessage(m_target, WM_CAPTION_LEAVE);
}

// ------------------------------------------------------------------- bottom

CBottomBar::CBottomBar(QWidget* parent, QWidget* target) : CBar(parent, target, "bottom") {
    CButtonEx* play = AddButton(kIdPlay, 0);
    play->SetImages(163, 164, 162);
    play->SetStrip(314, 5, kStripCells, 115);
    CButtonEx* stop = AddButton(kIdStop, WM_PLAYER_EVENT, kEventStop, kStopAsked);
    stop->SetImages(167, 166, 168);
    stop->SetStrip(314, 5, kStripCells, 157);
    CButtonEx* forward = AddButton(kIdForward, WM_NEXT_FRAME);
    forward->SetImages(326, 325, 321);
    forward->resize(30, 13);
    CButtonEx* mute = AddButton(kIdMute, 0);
    mute->SetImages(176, 132, 176);
    mute->SetStrip(161, 5, kStripCells, 0);
    // The mute button toggles its own mark and sends the new flag.
    QObject::connect(mute, &CButtonEx::clicked, this, [this] {
        SetMuted(!m_bMuted);
        PostMessage(m_target, WM_SET_MUTE, m_bMuted ? 1 : 0, 0);
    });
    CButtonEx* open = AddButton(kIdOpen, 0);
    open->SetImages(186, 187, 194);
    open->SetStrip(161, 5, kStripCells, 0);
    open->resize(34, 32);
    open->setToolTip(LoadString(kStrOpenFileTip));
    CButtonEx* convert = AddButton(kIdExport, 0);
    convert->SetImages(456, 132, 456);
    convert->SetStrip(161, 5, kStripCells, 0);
    convert->setToolTip(LoadString(kStrOpenConverter));
    // Play, open and the converter do nothing while the bar is locked.
    const std::pair<CButtonEx*, int> guarded[] = {
        {play, WM_PLAY_PAUSE}, {open, WM_OPEN_FILE}, {convert, WM_OPEN_EXPORT}};
    for (const auto& [button, message] : guarded) {
        const int m = message;
        QObject::connect(button, &CButtonEx::clicked, this, [this, m] {
            if (!m_bLocked) PostMessage(m_target, m);
        });
    }

    m_progress = new CSliderCtrlEx(this);
    m_progress->setObjectName(QString::number(kIdProgress));
    m_progress->setRange(0, 100);
    m_progress->setFocusPolicy(Qt::NoFocus);
    // The position is sent at release (never 100, the end).
    m_progress->m_notify = [this](int code, int position) {
        if (code == 4 && position < 100)
            PostMessage(m_target, WM_SEEK, kIdProgressSlider, position);
    };
    m_volume = new CSliderVolume(this);
    m_volume->setObjectName(QString::number(kIdVolume));
    m_volume->setRange(0, 80);
    m_volume->setValue(50);
    m_volume->setFocusPolicy(Qt::NoFocus);
    m_volume->m_notify = [this](int, int position) {
        PostMessage(m_target, WM_SET_VOLUME, kIdVolumeSlider, position);
    };
    auto label = [this](const char* name) {
        auto* l = new QLabel("00:00:00", this);
        l->setObjectName(name);
        l->setAlignment(Qt::AlignCenter);
        QPalette p = l->palette();
        p.setColor(QPalette::WindowText, QColor(0xd8, 0xd8, 0xd8));
        l->setPalette(p);
        QFont f = l->font();
        f.setPixelSize(10);
        l->setFont(f);
        return l;
    };
    m_time = label("1072");
    m_length = label("1073");
    setFocusPolicy(Qt::ClickFocus);
}

int CBottomBar::VolumeOffset(int width) {
    const double scale = std::min(1.5, std::max(1.0, width / 640.0));
    return static_cast<int>(70 * scale);
}

int CBottomBar::VolumeWidth(int width) {
    const int w = width * 70 / 640;
    return width > 960 ? std::min(w, 105) : w;
}

void CBottomBar::Layout() {
    const int w = width(), h = height();
    const int n = VolumeOffset(w);
    Button(kIdPlay)->move((w - 35) / 2, 20);
    Button(kIdStop)->move((w - 55) / 2 + 52, 20);
    // The frame step sits where the progress bar used to end; the bar ends
    // before it, so both take clicks.
    Button(kIdForward)->setGeometry(w - 80, h - 54, 30, 13);
    m_progress->setGeometry(50, h - 54, std::max(0, w - 132), 14);
    Button(kIdMute)->move(w - n - 150, h - 34);
    Button(kIdOpen)->setGeometry(w - 105, h - 35, 34, 32);
    Button(kIdExport)->move(60, h - 35);
    m_volume->setGeometry(w - n - 120, h - 32, VolumeWidth(w), 25);
    m_time->setGeometry(0, 1, 50, 14);
    m_length->setGeometry(w - 50, 1, 50, 14);
    // The strips line up with where each button sits on the bar.
    Button(kIdMute)->SetStrip(161, 5, kStripCells, w - n - 150);
    Button(kIdOpen)->SetStrip(161, 5, kStripCells, w - 105);
}

void CBottomBar::resizeEvent(QResizeEvent*) {
    Layout();
}

void CBottomBar::ShowPauseImage(bool pause) {
    m_bPause = pause;
    Button(kIdPlay)->SetImages(pause ? 169 : 163, pause ? 170 : 164, pause ? 171 : 162);
}

void CBottomBar::SetMuted(bool muted) {
    m_bMuted = muted;
    Button(kIdMute)->SetImages(muted ? 190 : 176, 132, muted ? 190 : 176);
}

void CBottomBar::SetProgress(int percent) {
    if (!m_progress->Pressed()) {
        m_progress->setValue(percent);
        m_progress->SetPercent(percent);
    }
}

int CBottomBar::Progress() const {
    return m_progress->value();
}

bool CBottomBar::DraggingProgress() const {
    return m_progress->Pressed();
}

void CBottomBar::SetTimeText(const QString& text) {
    m_time->setText(text);
}

QString CBottomBar::TimeText() const {
    return m_time->text();
}

void CBottomBar::SetLengthText(const QString& text) {
    m_length->setText(text);
}

QString CBottomBar::LengthText() const {
    return m_length->text();
}

int CBottomBar::Volume() const {
    return m_volume->value();
}

void CBottomBar::SetLocked(bool locked) {
    m_bLocked = locked;
    m_progress->setEnabled(!locked);
}

void CBottomBar::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Right:
        case Qt::Key_Down:
            PostMessage(m_target, WM_NEXT_FRAME);
            break;
        default:
            break;  // Enter, Escape and Space are swallowed like every other key
    }
}

void CBottomBar::enterEvent(QEnterEvent*) {
    PostMessage(m_target, WM_BOTTOMBAR_HOVER);
}

void CBottomBar::leaveEvent(QEvent*) {
    PostMessage(m_target, WM_BOTTOMBAR_HOVER);
}

// ------------------------------------------------------------------- floating

CFloatBar::CFloatBar(QWidget* parent, QWidget* target) : CBar(parent, target, "float") {
    CButtonEx* snapshot = AddButton(kIdSnapshot, WM_TAKE_SCREENSHOT);
    snapshot->SetImages(460, 397, 459);
    CButtonEx* record = AddButton(kIdRecord, 0);
    record->SetImages(467, 397, 468);
    QObject::connect(record, &CButtonEx::clicked, this, [this] {
        PostMessage(m_target, m_bRecording ? WM_RECORD_STOP : WM_RECORD_START);
    });
    CButtonEx* mirror = AddButton(kIdFloatMirror, 0);
    mirror->SetImages(430, 397, 431);
    // The mirror button toggles its mark before the window reads it.
    QObject::connect(mirror, &CButtonEx::clicked, this, [this] {
        ToggleMirror();
        PostMessage(m_target, WM_VIEW_MODE, 0, 8);
    });
    AddButton(kIdFloatReset, WM_VIEW_MODE, 0, 9)->SetImages(432, 432, 433);
    CButtonEx* convert = AddButton(kIdFloatExport, WM_OPEN_EXPORT);
    convert->SetImages(456, 397, 456);
    convert->setToolTip(LoadString(kStrOpenConverter));
    for (const ViewButton& v : kFloatDual) {
        AddButton(v.id, WM_VIEW_MODE, 0, v.view)
            ->SetImages(ViewIconOf(v.view).normal, 397, ViewIconOf(v.view).selected);
    }
    for (const ViewButton& v : kFloatSingle) {
        AddButton(v.id, WM_VIEW_MODE, 0, v.view)
            ->SetImages(ViewIconOf(v.view).normal, 397, ViewIconOf(v.view).selected);
    }
    EnableButtons(false);
}

void CFloatBar::SetFile(const QString& path, bool isPhoto, FileKind kind) {
    m_path = path;
    m_bPhoto = isPhoto;
    m_kind = kind;
    Layout();
}

void CFloatBar::Layout() {
    const int w = width();
    Button(kIdFloatExport)->move(10, 0);
    Button(kIdSnapshot)->move(w - 40, 0);
    Button(kIdRecord)->move(w - 80, 0);
    Button(kIdRecord)->setVisible(!m_bPhoto);
    const int u = m_bPhoto ? -80 : -120, v = m_bPhoto ? -160 : -190;
    Button(kIdFloatMirror)->move(w + u, 0);
    Button(kIdFloatReset)->move(w + u - 40, 0);
    for (const auto* group : {kFloatDual, kFloatSingle}) {
        const bool shown = (group == kFloatDual && m_kind == kFileDual) ||
                           (group == kFloatSingle && m_kind == kFileSingle);
        for (int i = 0; i < 3; ++i) {
            CButtonEx* b = Button(group[i].id);
            b->move(w + v - 30 * i, 0);
            b->setVisible(shown);
        }
    }
    // Nothing to turn or take for a file that is no panorama.
    const bool panorama = m_kind != kFileNone;
    for (int id : {kIdSnapshot, kIdFloatMirror, kIdFloatReset})
        if (!panorama)
            Button(id)->hide();
        else
            Button(id)->show();
    if (!panorama) Button(kIdRecord)->hide();
    update();
}

void CFloatBar::resizeEvent(QResizeEvent*) {
    Layout();
}

void CFloatBar::EnableButtons(bool enabled) {
    m_bEnabled = enabled;
    for (auto& [id, button] : m_buttons)
        if (id != kIdFloatExport) button->setEnabled(enabled);
}

void CFloatBar::SetCurrentView(int view) {
    for (const auto* group : {kFloatDual, kFloatSingle})
        for (int i = 0; i < 3; ++i) {
            const ViewIcon icon = ViewIconOf(group[i].view);
            Button(group[i].id)
                ->SetNormalImage(group[i].view == view ? icon.selected : icon.normal);
        }
}

void CFloatBar::ToggleMirror() {
    m_bMirror = !m_bMirror;
    Button(kIdFloatMirror)->SetNormalImage(m_bMirror ? 431 : 430);
}

void CFloatBar::SetRecording(bool recording) {
    m_bRecording = recording;
    Button(kIdRecord)->SetNormalImage(recording ? 468 : 467);
}

void CFloatBar::Reset() {
    m_bMirror = false;
    Button(kIdFloatMirror)->SetNormalImage(430);
    EnableButtons(false);
}

void CFloatBar::enterEvent(QEnterEvent*) {
    PostMessage(m_target, WM_SHOW_FLOATBAR);
}

void CFloatBar::leaveEvent(QEvent*) {
    PostMessage(m_target, WM_FLOATBAR_TIMER);
}

}  // namespace app
