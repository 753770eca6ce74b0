// The main window's popup menu: eight owner-drawn rows on a dark face. Only
// "Open File" and "Exit" do something; the other rows are shown disabled.
#pragma once

#include <QPoint>
#include <QWidget>

namespace app {

class CMyMenu : public QWidget {
  public:
    // target: the window the chosen command is posted to.
    explicit CMyMenu(QWidget* target);

    static constexpr int kRows = 8;
    static constexpr int kRowHeight = 25;
    static constexpr int kWidth = 171;
    static constexpr int kHeight = kRows * kRowHeight;

    // Shows the menu with its top-left corner at globalPos.
    void Popup(const QPoint& globalPos);
    // The row under a point in the menu's coordinates, or -1.
    int ItemAt(const QPoint& local) const;
    bool Enabled(int row) const;
    // The row drawn highlighted (-1 for none).
    int Hovered() const { return m_hovered; }
    // Posts the row's command to the target when the row is enabled, and
    // hides the menu.
    void Choose(int row);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void SetHovered(int row);

    QWidget* m_target;
    int m_hovered = -1;
};

}  // namespace app
