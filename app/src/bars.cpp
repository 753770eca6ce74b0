#include "app/bars.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QSlider>
#include <QWindow>

#include "app/messages.h"
#include "app/strings.h"

namespace app {

CBar::CBar(QWidget* parent, QWidget* target, const char* name) : QWidget(parent), m_target(target) {
    // Native, so that it stays above the video area's GL window.
    setAttribute(Qt::WA_NativeWindow);
    setAutoFillBackground(true);
    setObjectName(name);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(4, 2, 4, 2);
    row->setSpacing(4);
    QPalette p = palette();
    p.setColor(QPalette::Window, QColor(0x2b, 0x2b, 0x2b));
    p.setColor(QPalette::WindowText, QColor(0xee, 0xee, 0xee));
    setPalette(p);
}

QAbstractButton* CBar::AddButton(int id, const QString& text, int message, intptr_t wParam,
                                 intptr_t lParam) {
    auto* button = new QPushButton(text, this);
    button->setObjectName(QString::number(id));
    button->setFocusPolicy(Qt::NoFocus);
    QObject::connect(button, &QPushButton::clicked, this, [this, message, wParam, lParam] {
        PostMessage(m_target, message, wParam, lParam);
    });
    layout()->addWidget(button);
    m_buttons[id] = button;
    return button;
}

QAbstractButton* CBar::Button(int id) const {
    auto it = m_buttons.find(id);
    return it == m_buttons.end() ? nullptr : it->second;
}

void CBar::AddStretch() {
    static_cast<QHBoxLayout*>(layout())->addStretch(1);
}

void CBar::AddWidget(QWidget* widget, int stretch) {
    static_cast<QHBoxLayout*>(layout())->addWidget(widget, stretch);
}

// ------------------------------------------------------------------ caption

CCaptionBar::CCaptionBar(QWidget* parent, QWidget* target) : CBar(parent, target, "caption") {
    m_title = new QLabel(LoadString(kStrPlayerTitle), this);
    AddWidget(m_title, 1);
    AddButton(1153, "Sphere", WM_VIEW_MODE, 0, 0);
    AddButton(1154, "Half ball", WM_VIEW_MODE, 0, 3);
    AddButton(1155, "In dome", WM_VIEW_MODE, 0, 4);
    AddButton(1156, "Layer", WM_VIEW_MODE, 0, 5);
    AddButton(1152, "2D", WM_VIEW_MODE, 0, 6);
    AddButton(kIdConvert, LoadString(kStrOpenConverter), WM_TOGGLE_FLOATBAR);
    AddButton(kIdMenu, "A/文", WM_SHOW_LANGUAGE);
    AddButton(kIdMinimise, "_", WM_MINIMIZE_APP);
    AddButton(kIdMaximise, "[ ]", WM_TOGGLE_FULLSCREEN);
    AddButton(kIdClose, "X", WM_CLOSE_APP);
}

void CCaptionBar::SetTitle(const QString& title) {
    m_title->setText(title);
}

QString CCaptionBar::Title() const {
    return m_title->text();
}

void CCaptionBar::ShowRestoreImage(bool restore) {
    m_bRestore = restore;
    if (QAbstractButton* b = Button(kIdMaximise)) b->setText(restore ? "][" : "[ ]");
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
    AddButton(kIdOpen, LoadString(kStrOpen), WM_OPEN_FILE)->setToolTip(LoadString(kStrOpenFileTip));
    AddButton(kIdPlay, "▶", WM_PLAY_PAUSE);
    AddButton(kIdStop, "■", WM_PLAYER_EVENT, kEventStop, kStopAsked);
    AddButton(kIdForward, "▶|", WM_NEXT_FRAME);
    m_time = new QLabel("00:00:00", this);
    AddWidget(m_time);
    m_progress = new QSlider(Qt::Horizontal, this);
    m_progress->setObjectName(QString::number(1069));
    m_progress->setRange(0, 100);
    m_progress->setFocusPolicy(Qt::NoFocus);
    AddWidget(m_progress, 1);
    // The slider seeks where it is let go (never to 100, which is the end).
    QObject::connect(m_progress, &QSlider::sliderReleased, this, [this] {
        if (m_progress->value() < 100)
            PostMessage(m_target, WM_SEEK, kIdProgressSlider, m_progress->value());
    });
    QObject::connect(m_progress, &QSlider::actionTriggered, this, [this](int action) {
        if (action == QAbstractSlider::SliderPageStepAdd ||
            action == QAbstractSlider::SliderPageStepSub) {
            const int v = m_progress->sliderPosition();
            if (v < 100) PostMessage(m_target, WM_SEEK, kIdProgressSlider, v);
        }
    });
    m_length = new QLabel("00:00:00", this);
    AddWidget(m_length);
    QAbstractButton* mute = AddButton(kIdMute, "Sound", WM_SET_MUTE);
    // The mute button toggles its own mark and sends the new flag.
    QObject::disconnect(mute, nullptr, this, nullptr);
    QObject::connect(mute, &QAbstractButton::clicked, this, [this] {
        SetMuted(!m_bMuted);
        PostMessage(m_target, WM_SET_MUTE, m_bMuted ? 1 : 0, 0);
    });
    m_volume = new QSlider(Qt::Horizontal, this);
    m_volume->setObjectName(QString::number(1043));
    m_volume->setRange(0, 100);
    m_volume->setValue(100);
    m_volume->setFixedWidth(90);
    m_volume->setFocusPolicy(Qt::NoFocus);
    QObject::connect(m_volume, &QSlider::valueChanged, this,
                     [this](int v) { PostMessage(m_target, WM_SET_VOLUME, kIdVolumeSlider, v); });
    AddWidget(m_volume);
    AddButton(kIdExport, LoadString(kStrConverter), WM_OPEN_EXPORT);
    // Play, open and export do nothing while the bar is locked.
    for (int id : {kIdPlay, kIdOpen, kIdExport}) {
        QAbstractButton* b = Button(id);
        QObject::disconnect(b, nullptr, this, nullptr);
        const int message = id == kIdPlay   ? WM_PLAY_PAUSE
                            : id == kIdOpen ? WM_OPEN_FILE
                                            : WM_OPEN_EXPORT;
        QObject::connect(b, &QAbstractButton::clicked, this, [this, message] {
            if (!m_bLocked) PostMessage(m_target, message);
        });
    }
    setFocusPolicy(Qt::ClickFocus);
}

void CBottomBar::ShowPauseImage(bool pause) {
    m_bPause = pause;
    if (QAbstractButton* b = Button(kIdPlay)) b->setText(pause ? "❚❚" : "▶");
}

void CBottomBar::SetMuted(bool muted) {
    m_bMuted = muted;
    if (QAbstractButton* b = Button(kIdMute)) b->setText(muted ? "Muted" : "Sound");
}

void CBottomBar::SetProgress(int percent) {
    if (!m_progress->isSliderDown()) m_progress->setValue(percent);
}

int CBottomBar::Progress() const {
    return m_progress->value();
}

bool CBottomBar::DraggingProgress() const {
    return m_progress->isSliderDown();
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
    AddButton(kIdSnapshot, "Snapshot", WM_TAKE_SCREENSHOT);
    AddButton(kIdRecord, "Record", WM_RECORD_START);
    AddStretch();
    AddButton(1152, "Sphere", WM_VIEW_MODE, 0, 0);
    AddButton(1006, "Tile", WM_VIEW_MODE, 0, 1);
    AddButton(1007, "Planet", WM_VIEW_MODE, 0, 2);
    AddButton(1150, "Half ball", WM_VIEW_MODE, 0, 3);
    AddButton(1066, "In dome", WM_VIEW_MODE, 0, 4);
    AddButton(1151, "Layer", WM_VIEW_MODE, 0, 5);
    QAbstractButton* mirror = AddButton(1048, "Mirror", WM_VIEW_MODE, 0, 8);
    // The mirror button toggles its mark before the window reads it.
    QObject::disconnect(mirror, nullptr, this, nullptr);
    QObject::connect(mirror, &QAbstractButton::clicked, this, [this] {
        m_bMirror = !m_bMirror;
        PostMessage(m_target, WM_VIEW_MODE, 0, 8);
    });
    AddButton(1005, "Reset", WM_VIEW_MODE, 0, 9);
    AddStretch();
    AddButton(1149, LoadString(kStrConverter), WM_OPEN_EXPORT);
    EnableButtons(false);
}

void CFloatBar::EnableButtons(bool enabled) {
    m_bEnabled = enabled;
    for (auto& [id, button] : m_buttons)
        if (id != 1149) button->setEnabled(enabled);
}

void CFloatBar::Reset() {
    m_bMirror = false;
    EnableButtons(false);
}

void CFloatBar::enterEvent(QEnterEvent*) {
    PostMessage(m_target, WM_SHOW_FLOATBAR);
}

void CFloatBar::leaveEvent(QEvent*) {
    PostMessage(m_target, WM_FLOATBAR_TIMER);
}

}  // namespace app
