// The video area: a native child window the renderer draws into with GLX (Qt
// never paints it), turning the mouse into view messages to its parent.
#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QWidget>

namespace app {

class CVideoControl : public QWidget {
  public:
    explicit CVideoControl(QWidget* parent);

    // The X11 window the renderer draws into.
    unsigned long NativeWindow();
    // The path of the last drop, taken by the parent on WM_DROP_FILE.
    QString TakeDroppedPath();

    QPaintEngine* paintEngine() const override { return nullptr; }

    // Members used by navigation.
    bool m_bDragging = false;
    QPoint m_ptLast;
    QPoint m_ptPress;
    uint32_t m_dwPressTick = 0;
    float m_fSend[2] = {};
    int m_nWheelRest = 0;  // wheel delta not yet worth a message

  protected:
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    uint32_t Tick() const;

    QElapsedTimer m_clock;
    QString m_dropped;
};

}  // namespace app
