// The caption, bottom and floating bars: plain widgets that post the main
// window's messages and show what it tells them. Their skinned look comes
// later; the control ids, messages and states are the ones the window uses.
#pragma once

#include <QString>
#include <QWidget>

#include <map>

class QAbstractButton;
class QLabel;
class QSlider;

namespace app {

// A row of buttons and sliders that post messages to a target window.
class CBar : public QWidget {
  public:
    CBar(QWidget* parent, QWidget* target, const char* name);
    // A button with control id `id` posting message(wParam, lParam).
    QAbstractButton* AddButton(int id, const QString& text, int message, intptr_t wParam = 0,
                               intptr_t lParam = 0);
    QAbstractButton* Button(int id) const;
    void AddStretch();
    void AddWidget(QWidget* widget, int stretch = 0);

  protected:
    QWidget* m_target;
    std::map<int, QAbstractButton*> m_buttons;
};

// Title, view buttons, the converter, language, minimise, maximise and close.
class CCaptionBar : public CBar {
  public:
    CCaptionBar(QWidget* parent, QWidget* target);
    void SetTitle(const QString& title);
    QString Title() const;
    void ShowRestoreImage(bool restore);
    bool ShowsRestoreImage() const { return m_bRestore; }

  protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

  private:
    QLabel* m_title;
    bool m_bRestore = false;
};

// Open, play/pause, stop, next frame, progress, time and length, mute, volume.
class CBottomBar : public CBar {
  public:
    CBottomBar(QWidget* parent, QWidget* target);
    void ShowPauseImage(bool pause);  // the play button shows pause while playing
    bool ShowsPauseImage() const { return m_bPause; }
    void SetMuted(bool muted);
    bool Muted() const { return m_bMuted; }
    void SetProgress(int percent);  // ignored while the user drags the slider
    int Progress() const;
    bool DraggingProgress() const;
    void SetTimeText(const QString& text);
    QString TimeText() const;
    void SetLengthText(const QString& text);
    QString LengthText() const;
    int Volume() const;
    // Locked while a recording runs: play, open and export do nothing.
    void SetLocked(bool locked) { m_bLocked = locked; }
    bool Locked() const { return m_bLocked; }

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

  private:
    QSlider* m_progress;
    QSlider* m_volume;
    QLabel* m_time;
    QLabel* m_length;
    bool m_bPause = false;
    bool m_bMuted = false;
    bool m_bLocked = false;
};

// Shown over the top of the video: snapshot, record, views, mirror, reset.
class CFloatBar : public CBar {
  public:
    CFloatBar(QWidget* parent, QWidget* target);
    void SetPath(const QString& path) { m_path = path; }
    void EnableButtons(bool enabled);
    bool ButtonsEnabled() const { return m_bEnabled; }
    bool Mirror() const { return m_bMirror; }
    void Reset();

  protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

  private:
    QString m_path;
    bool m_bEnabled = false;
    bool m_bMirror = false;
};

// Control ids.
enum : int {
    kIdSnapshot = 1033,
    kIdRecord = 1008,
    kIdPlay = 1048,
    kIdStop = 1067,
    kIdOpen = 1006,
    kIdForward = 1071,
    kIdMute = 1005,
    kIdExport = 1007,
    kIdClose = 1066,
    kIdMinimise = 1064,
    kIdMaximise = 1065,
    kIdMenu = 1048,
    kIdConvert = 1151,
};

}  // namespace app
