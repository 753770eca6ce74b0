#include "app/video_control.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QUrl>
#include <QWheelEvent>

#include "app/messages.h"
#include "render/view_input.h"

namespace app {

CVideoControl::CVideoControl(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_NativeWindow);
    setAttribute(Qt::WA_PaintOnScreen);
    setAttribute(Qt::WA_NoSystemBackground);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);
    setAcceptDrops(true);
    setObjectName("video");
    m_clock.start();
}

unsigned long CVideoControl::NativeWindow() {
    return static_cast<unsigned long>(winId());
}

QString CVideoControl::TakeDroppedPath() {
    QString path = m_dropped;
    m_dropped.clear();
    return path;
}

uint32_t CVideoControl::Tick() const {
    return static_cast<uint32_t>(m_clock.elapsed());
}

void CVideoControl::mouseMoveEvent(QMouseEvent* event) {
    const QPoint p = event->position().toPoint();
    QWidget* owner = parentWidget();
    if (owner == nullptr) return;
    if (p.y() < 30) PostMessage(owner, WM_SHOW_FLOATBAR);
    if (p.y() > 30 && height() != 40) setFocus();
    if (m_bDragging) {
        DragStep(m_ptLast.x(), m_ptLast.y(), p.x(), p.y(), &m_fSend[0], &m_fSend[1]);
        SendMessage(owner, WM_VIEW_DRAG, 0, reinterpret_cast<intptr_t>(m_fSend));
        m_ptLast = p;
    }
}

void CVideoControl::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::RightButton) {
        // The owner shows its menu at the pointer.
        const QPoint at = event->globalPosition().toPoint();
        PostMessage(parentWidget(), WM_SHOW_MENU, at.x(), at.y());
        return;
    }
    if (event->button() != Qt::LeftButton) return;
    m_bDragging = true;
    m_ptLast = m_ptPress = event->position().toPoint();
    m_dwPressTick = Tick();
    SendMessage(parentWidget(), WM_HIDE_FLOATBAR);
}

void CVideoControl::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !m_bDragging) return;
    m_bDragging = false;
    const QPoint p = event->position().toPoint();
    // A release in the same millisecond as the press throws nothing.
    if (FlingVelocity(m_ptPress.x(), m_ptPress.y(), p.x(), p.y(), Tick() - m_dwPressTick,
                      &m_fSend[0], &m_fSend[1]))
        SendMessage(parentWidget(), WM_VIEW_FLING, 0, reinterpret_cast<intptr_t>(m_fSend));
}

void CVideoControl::leaveEvent(QEvent*) {
    m_bDragging = false;
}

void CVideoControl::wheelEvent(QWheelEvent* event) {
    // One message per notch of 120; touchpads send many small deltas.
    m_nWheelRest += event->angleDelta().y();
    while (m_nWheelRest >= 120 || m_nWheelRest <= -120) {
        const int step = m_nWheelRest > 0 ? 120 : -120;
        m_nWheelRest -= step;
        PostMessage(parentWidget(), WM_VIEW_ZOOM, 0, -step);
    }
    event->accept();
}

void CVideoControl::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void CVideoControl::dropEvent(QDropEvent* event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    for (const QUrl& url : urls) {
        if (!url.isLocalFile()) continue;
        m_dropped = url.toLocalFile();  // the first file only, whole
        event->acceptProposedAction();
        PostMessage(parentWidget(), WM_DROP_FILE);
        return;
    }
}

void CVideoControl::paintEvent(QPaintEvent*) {
    // Exposed: a photo must be drawn again (the renderer owns the pixels).
    PostMessage(parentWidget(), WM_REDRAW_VIEW_MSG, 1);
}

void CVideoControl::resizeEvent(QResizeEvent*) {
    PostMessage(parentWidget(), WM_REDRAW_VIEW_MSG, 1);
}

}  // namespace app
