// The main window: the video area, the three bars and the player engine, and
// the hub that turns the bars' and the video area's messages into engine
// calls. Everything here runs on the window thread; the engine's notifier
// (the playback library's event thread) and the renderer (its video thread)
// only post messages here.
#pragma once

#include <QBasicTimer>
#include <QString>
#include <QWidget>

#include <functional>
#include <map>
#include <mutex>

#include "app/message_box.h"
#include "player/player_engine.h"

class QLabel;

namespace app {

class CCaptionBar;
class CBottomBar;
class CFloatBar;
class CVideoControl;
class CDlgSetLanguage;
class CMyMenu;
class MessageEvent;

class CVideoPlayerDlg : public QWidget, private IPlayerOwner, private IRenderNotify {
  public:
    explicit CVideoPlayerDlg(const char* playbackLibrary = kVlcLibraryName);
    ~CVideoPlayerDlg() override;

    // Opens path as if it had been chosen in the file dialog.
    void OpenPath(const QString& path);
    // The message hub: every private message lands here.
    void OnMessage(int message, intptr_t wParam, intptr_t lParam, uint32_t tag = 0);
    // What each of the window's timers does when it fires.
    void OnTimer(int id);

    // "h:mm:ss" with at least two digits each: 01:02:05, 100:00:00.
    static QString FormatHms(int64_t milliseconds);
    // The path names a photo (".jpg", ".jpeg" or ".bmp", any case).
    static bool IsPhotoPath(const QString& path);

    CPlayerEngine& Engine() { return m_engine; }
    CCaptionBar* CaptionBar() const { return m_pCaption; }
    CBottomBar* BottomBar() const { return m_pBottom; }
    CFloatBar* FloatBar() const { return m_pFloat; }
    CVideoControl* VideoControl() const { return m_pVideo; }
    CDlgSetLanguage* LanguageDialog() const { return m_pLanguage; }
    CMyMenu* Menu() const { return m_pMenu; }
    bool TimerActive(int id) const;
    int Position();

    // Replaceable for tests: message boxes and the file dialog.
    std::function<bool(const QString& text, const QString& caption, MessageButtons buttons)>
        m_showMessage;
    std::function<QStringList()> m_chooseFiles;
    // Runs the converter on the file that was open (empty: none); modal.
    std::function<void(const QString& path, bool isPhoto)> m_runConverter;

    // State (window thread).
    QString m_strCurrentPath;
    bool m_bIsPhoto = false;
    bool m_bIsRejected = false;
    bool m_bIsFullScreen = false;
    bool m_bIsRecording = false;
    QString m_strSnapshotPath;  // the last screen-shot name asked for, then the one written
    QString m_strRecordPath;    // the running or last recording
    SavedFile m_lastShot, m_lastRecording;  // what the last notices were about
    QString m_strOutputFolder;
    bool m_bOutputFolderReady = true;
    int m_nVolume = 100;  // what the volume slider shows, applied to every new video
    int m_nThemeid = 2;

  protected:
    bool event(QEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    // IPlayerOwner (window thread, from inside engine calls).
    void StopBeforeOpen() override;
    bool AskPlayNonPanoramic() override;
    void FocusVideo() override;
    void ShowFallbackPhoto(const char* path) override;
    // IRenderNotify (any thread).
    void Post(int message) override;
    static void Notify(CPlayerEngine* engine, int code, int value1, int value2, uint32_t tag,
                       void* user);

    void Layout();
    void PlaceFloatBar();
    void StartTimer(int id, int milliseconds);
    void StopTimer(int id);
    bool Message(int stringId, MessageButtons buttons = kMessageOk);
    // "TEXT: PATH" under the caption "Finish".
    void MessageSaved(int stringId, const QString& path);

    void OpenByDialog();
    void PlayPause();
    void ProbeAndLoad(bool stopWhenRefused);
    void ShowLoaded();
    void ShowUnloaded();
    void OnPlayerEvent(int code, intptr_t value);
    void ToggleFullScreen();
    void ShowFloatBar();
    // Screen shots and recordings of the view.
    bool ViewShown() const;
    QString OutputName(const char* prefix, const char* extension) const;
    void TakeScreenshot();
    void StartRecording();
    void StopRecording();
    void ShowRecording(bool recording);
    void AnnounceScreenshot();
    void AnnounceRecording();
    void ShowLanguageDialog();
    void OpenConverter();
    std::string NativePath() const;

    CPlayerEngine m_engine;
    CCaptionBar* m_pCaption = nullptr;
    CBottomBar* m_pBottom = nullptr;
    CFloatBar* m_pFloat = nullptr;
    CVideoControl* m_pVideo = nullptr;
    CDlgSetLanguage* m_pLanguage = nullptr;
    CMyMenu* m_pMenu = nullptr;
    QLabel* m_pFallback = nullptr;  // the photo without OpenGL 2
    QString m_strDropped;           // a file dropped on the window, not the video area
    std::map<int, QBasicTimer> m_timers;

    std::mutex m_positionMutex;  // guards m_nPosition and m_bPositionFrozen
    int m_nPosition = 0;
    bool m_bPositionFrozen = false;

    QRect m_normalGeometry;  // where the window was before full screen
    // A manual resize when the window system offers none (no window manager).
    Qt::Edges m_resizeEdges;
    QPoint m_resizeStart;
    QRect m_resizeGeometry;
};

}  // namespace app
