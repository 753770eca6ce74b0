// The converter's preview: a small player with its own engine and video area
// that shows the chosen input on the panorama view, plays, pauses and seeks
// it, and lets the user mark the start and end of the part of a video to
// convert. Window thread only; the engine's notifier and the renderer post
// their messages here.
#pragma once

#include <QBasicTimer>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <map>

#include "app/message_box.h"
#include "player/player_engine.h"

class QLabel;

namespace app {

class CButtonEx;
class CRangeSlider;
class CSliderCtrlEx;
class CVideoControl;

class CTranscodePreviewDlg : public QWidget, public IPlayerOwner, public IRenderNotify {
  public:
    // Control ids, also the object names of the controls.
    enum : int {
        kIdPlay = 1033,
        kIdPosition = 1043,
        kIdStop = 1048,
        kIdVideo = 1098,
        kIdStartLabel = 1099,
        kIdDurationLabel = 1100,
        kIdRange = 1174,
    };
    // Timer ids.
    enum : int { kTimerPosition = 1, kTimerPhoto = 5, kTimerFirstFrame = 6 };
    // WM_PLAY_PAUSE's wParam when a load asks for the file to open: posted once
    // however many loads come before it runs, and ignored when the file is
    // already open, so a quick second load never pauses the first.
    static constexpr intptr_t kPlayAfterLoad = 1;
    static constexpr int kWidth = 640;
    static constexpr int kHeight = 380;

    // owner receives WM_REFRESH_OUTPUT when a mark moves.
    CTranscodePreviewDlg(QWidget* parent, QObject* owner,
                         const char* playbackLibrary = kVlcLibraryName);
    ~CTranscodePreviewDlg() override;

    // Stops what is loaded, resets the marks and labels and opens path.
    void Load(const QString& path, bool isPhoto);
    // Stops playback without loading the file again.
    void StopPlayback();
    int StartMark() const { return m_nStartMark; }        // 0..100
    int EndMark() const { return m_nEndMark; }            // 0..100
    int64_t DurationMs() const { return m_nDurationMs; }  // 0 until known
    bool DurationKnown() const { return m_nDurationMs > 0; }
    CPlayerEngine& Engine() { return m_engine; }
    // The message hub.
    void OnMessage(int message, intptr_t wParam, intptr_t lParam, uint32_t tag = 0);
    void OnTimer(int id);

    // "hh:mm:ss" of mark percent of durationMs.
    static QString FormatMarkTime(int mark, int64_t durationMs);
    // "hh:mm:ss" of ms; the hours take as many digits as they need.
    static QString FormatDuration(int64_t ms);

    // What the preview shows (tests and the converter's layout).
    int Position() const { return m_nPosition; }
    const QString& Path() const { return m_strPath; }
    bool IsPhoto() const { return m_bIsPhoto; }
    bool PauseImageShown() const { return m_bPauseImage; }
    bool TimerActive(int id) const;
    CVideoControl* VideoControl() const { return m_pVideo; }
    CButtonEx* PlayButton() const { return m_pPlay; }
    CButtonEx* StopButton() const { return m_pStop; }
    CSliderCtrlEx* PositionSlider() const { return m_pPosition; }
    CRangeSlider* RangeSlider() const { return m_pRange; }
    QLabel* StartLabel() const { return m_pStartLabel; }
    QLabel* DurationLabel() const { return m_pDurationLabel; }

    std::function<bool(const QString& text, const QString& caption, MessageButtons buttons)>
        m_showMessage;

    // IPlayerOwner (window thread, from inside engine calls).
    void StopBeforeOpen() override;
    bool AskPlayNonPanoramic() override { return false; }
    void FocusVideo() override;
    void ShowFallbackPhoto(const char* path) override;
    // IRenderNotify (any thread).
    void Post(int message) override;

  protected:
    bool event(QEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    static void Notify(CPlayerEngine* engine, int code, int value1, int value2, uint32_t tag,
                       void* user);

    void Layout();
    void StartTimer(int id, int milliseconds);
    void StopTimer(int id);
    void Message(int stringId);
    void ShowPauseImage(bool pause);
    void SetPosition(int percent);

    void PostOpen();
    void PlayPause(bool afterLoad);
    void OpenFile();
    void PauseNow();
    void SeekTo(int percent);
    void ResetStopped();
    void OnPlayerEvent(int code, intptr_t value);
    void OnPlaying(int64_t lengthMs);
    void OnPositionReport(int percent);
    void OnRangeChanged(int part);

    CPlayerEngine m_engine;
    QObject* m_pOwner;
    CVideoControl* m_pVideo = nullptr;
    CButtonEx* m_pPlay = nullptr;
    CButtonEx* m_pStop = nullptr;
    CSliderCtrlEx* m_pPosition = nullptr;
    CRangeSlider* m_pRange = nullptr;
    QLabel* m_pStartLabel = nullptr;
    QLabel* m_pDurationLabel = nullptr;
    std::map<int, QBasicTimer> m_timers;

    QString m_strPath;
    bool m_bIsPhoto = false;
    bool m_bPhotoShown = false;  // the photo is open and drawn by timer 5
    int m_nStartMark = 0;
    int m_nEndMark = 100;
    int64_t m_nDurationMs = 0;
    bool m_bFirstPlay = false;     // a load waits for its first playing event
    bool m_bOpenPosted = false;    // a kPlayAfterLoad message is on its way
    bool m_bPauseImage = false;    // the play button shows "pause"
    int m_nPosition = 0;           // whole percent
    uint32_t m_nFramesAtOpen = 0;  // m_nFramesDrawn when the video was opened
    int m_nFirstFrameTicks = 0;    // polls of timer 6 so far
};

}  // namespace app
