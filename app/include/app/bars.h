// The caption, bottom and floating bars: skinned controls that post the main
// window's messages and show what it tells them. Each is a native child
// window so that it stays above the video area's GL window, and lays itself
// out again on every resize.
#pragma once

#include <QString>
#include <QWidget>

#include <map>

class QLabel;

namespace app {

class CButtonEx;
class CSliderCtrlEx;
class CSliderVolume;

// What kind of file the view buttons are offered for.
enum FileKind {
    kFileNone = 0,    // nothing open, or a picture that is no panorama
    kFileSingle = 1,  // single-lens camera
    kFileDual = 2,    // dual-lens camera, or an equirectangular 2:1 picture
};
FileKind KindOfFile(int cameraType, int width, int height);

// A bar of skinned buttons that post messages to a target window.
class CBar : public QWidget {
  public:
    CBar(QWidget* parent, QWidget* target, const char* name);
    CButtonEx* Button(int id) const;

  protected:
    // A button with control id `id` posting message(wParam, lParam) when clicked.
    CButtonEx* AddButton(int id, int message, intptr_t wParam = 0, intptr_t lParam = 0);
    void paintEvent(QPaintEvent* event) override;

    QWidget* m_target;
    std::map<int, CButtonEx*> m_buttons;
};

// Close, maximise, minimise, the language menu, the converter, the title and
// the view buttons for the kind of file shown.
class CCaptionBar : public CBar {
  public:
    CCaptionBar(QWidget* parent, QWidget* target);
    void SetTitle(const QString& title);
    QString Title() const { return m_title; }
    void ShowRestoreImage(bool restore);
    bool ShowsRestoreImage() const { return m_bRestore; }
    void SetFileKind(FileKind kind);
    // The view shown: its button takes the selected look, the others the normal one.
    void SetCurrentView(int view);
    void SetMirror(bool mirror);
    // A recording runs: a red mark before the title says so.
    void SetRecording(bool recording);
    bool Recording() const { return m_bRecording; }

  protected:
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

  private:
    void Layout();

    QString m_title;
    bool m_bRestore = false;
    bool m_bRecording = false;
    FileKind m_kind = kFileNone;
};

// Play and stop, the progress bar with the time and length, the frame step,
// mute and volume, open and the converter.
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
    // Locked while a recording runs: play, open and the converter do nothing
    // and the progress bar takes no input (a seek would break the sound).
    void SetLocked(bool locked);
    bool Locked() const { return m_bLocked; }
    CSliderCtrlEx* ProgressSlider() const { return m_progress; }
    CSliderVolume* VolumeSlider() const { return m_volume; }
    QLabel* TimeLabel() const { return m_time; }
    QLabel* LengthLabel() const { return m_length; }

    // The width of the volume slider and its n for a bar W wide.
    static int VolumeOffset(int width);
    static int VolumeWidth(int width);

  protected:
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

  private:
    void Layout();

    CSliderCtrlEx* m_progress;
    CSliderVolume* m_volume;
    QLabel* m_time;
    QLabel* m_length;
    bool m_bPause = false;
    bool m_bMuted = false;
    bool m_bLocked = false;
};

// Shown over the top of the video: snapshot, record, mirror, reset, the
// converter and the view buttons for the kind of file shown.
class CFloatBar : public CBar {
  public:
    CFloatBar(QWidget* parent, QWidget* target);
    // The file shown: a photo has no record button; the view buttons follow
    // the kind of file.
    void SetFile(const QString& path, bool isPhoto, FileKind kind);
    void EnableButtons(bool enabled);
    bool ButtonsEnabled() const { return m_bEnabled; }
    bool Mirror() const { return m_bMirror; }
    void ToggleMirror();
    void SetCurrentView(int view);
    void SetRecording(bool recording);
    void Reset();

  protected:
    void resizeEvent(QResizeEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

  private:
    void Layout();

    QString m_path;
    bool m_bPhoto = false;
    FileKind m_kind = kFileNone;
    bool m_bEnabled = false;
    bool m_bMirror = false;
    bool m_bRecording = false;
};

// Control ids.
enum : int {
    kIdSnapshot = 1033,
    kIdRecord = 1008,
    kIdPlay = 1048,
    kIdStop = 1067,
    kIdOpen = 1006,
    kIdForward = 1071,
    kIdBackward = 1070,
    kIdMute = 1005,
    kIdExport = 1007,
    kIdClose = 1066,
    kIdMinimise = 1064,
    kIdMaximise = 1065,
    kIdMenu = 1048,
    kIdConvert = 1151,
    kIdProgress = 1069,
    kIdVolume = 1043,
    kIdFloatMirror = 1048,
    kIdFloatReset = 1005,
    kIdFloatExport = 1149,
    kIdCaptionMirror = 1157,
};

// Skin image numbers of the view icons: normal, selected.
struct ViewIcon {
    int normal, selected;
};
ViewIcon ViewIconOf(int view);

}  // namespace app
