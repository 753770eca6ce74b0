// The converter: turns one camera photo or video into a stitched
// equirectangular file. Photos are stitched on the window thread; videos go
// to the conversion library on the dialog's export worker, with the span,
// rotation and quality chosen here. The worker never touches a widget: it
// posts "started" and "finished" and the window thread does the rest.
#pragma once

#include <QBasicTimer>
#include <QDialog>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/message_box.h"
#include "convert/convert_client.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QUrl;

namespace app {

class CButtonEx;
class CTranscodePreviewDlg;
class CUploadDlg;

// Control ids of the converter.
enum : int {
    kIdConvMin = 1154,
    kIdConvClose = 1151,
    kIdConvOpen = 1005,
    kIdConvMerge = 1006,
    kIdConvStart = 1157,
    kIdConvStop = 1048,
    kIdConvBrowse = 1152,
    kIdConvOpenDir = 1153,
    kIdConvUpload = 1066,
    kIdRotateUp = 1033,
    kIdRotateDown = 1034,
    kIdRotateLeft = 1035,
    kIdRotateRight = 1036,
};

// The estimate of the time left, ticked once a second.
struct TimeLeft {
    float lastProgress = 0;
    int seconds = 0;
    // progress in percent; elapsed whole seconds since the job started.
    void Tick(float progress, int64_t elapsedSeconds);
};

class CCompositeDlg : public QDialog {
  public:
    // convertLibrary: the conversion library to load (null: the installed one).
    explicit CCompositeDlg(QWidget* parent, const char* convertLibrary = nullptr,
                           const char* playbackLibrary = nullptr);
    ~CCompositeDlg() override;

    // The main window hands over its open file before the dialog runs.
    void SetInput(const QString& path, bool isPhoto);
    void OnMessage(int message, intptr_t wParam, intptr_t lParam);
    void OnTimer(int id);

    // The conversion's argument vector for a quality (0 Low, 1 Medium, 2 High)
    // and span, and the call's last argument.
    static std::vector<std::string> ExportArguments(int quality, int64_t startMs, int64_t lengthMs,
                                                    const std::string& input,
                                                    const std::string& output);
    static int HighFlagOf(int quality);
    // "hh:mm:ss" of a time in ms (hours may pass 99).
    static QString Hms(int64_t ms);
    // "Progress:37.50% " below 100, "Progress:100% " at 100.
    static QString ProgressText(float progress);
    static QString TimeLeftText(int seconds);
    // The span of the marks (whole percent) of a duration, 64-bit.
    static void Span(int startMark, int endMark, int64_t durationMs, int64_t* startMs,
                     int64_t* lengthMs);

    // Replaceable for tests: boxes, the pickers, opening a folder.
    std::function<bool(const QString& text, const QString& caption, MessageButtons buttons)>
        m_showMessage;
    std::function<QString()> m_chooseInput;
    std::function<QString(const QString& start)> m_chooseFolder;
    std::function<bool(const QUrl& url)> m_openUrl;
    // How the merge dialog is run (default: modal, with this folder).
    std::function<void(const QString& outputFolder)> m_runMerge;

    // State (window thread unless said otherwise).
    QString m_inputPath;
    bool m_bIsPhoto = false;
    QString m_outputFolder;  // ends in "/"
    QString m_outputName;
    QString m_outputPath;  // the running or last output
    int m_nRotation = 0;
    TimeLeft m_timeLeft;
    std::atomic<float> m_progress{0};    // written by the library's callback
    std::atomic<bool> m_bBusy{false};    // a video job is queued or running
    std::atomic<bool> m_bCancel{false};  // Stop or Close asked for the running job to end

    CButtonEx* Button(int id) const;
    QComboBox* QualityList() const { return m_pQuality; }
    QLabel* ProgressLabel() const { return m_pProgress; }
    QLabel* TimeLeftLabel() const { return m_pTimeLeft; }
    QLineEdit* FolderEdit() const { return m_pFolder; }
    QLineEdit* NameEdit() const { return m_pName; }
    CTranscodePreviewDlg* Preview() const { return m_pPreview; }
    bool ConverterLoaded() const { return m_convert.IsLoaded(); }
    bool TimerActive(int id) const;
    // The rotation radio marks: which one is checked.
    int CheckedRotation() const;

  protected:
    bool event(QEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  public:
    // Escape: the way of the Close button.
    void reject() override;

  private:
    struct Job {
        std::vector<std::string> args;
        int rotation = 0;
        int high = 0;
    };
    static void OnPosition(float percent, void* user);
    void ExportWorker();
    void RefreshOutput();
    void ShowProgress();
    void EnableControls(bool enable);
    void OpenInput();
    void Start();
    void ExportPhoto();
    void QueueVideo();
    void Finished(int result);
    void Stop();
    void Close();
    void Browse();
    void OpenDir();
    void ToggleUpload();
    void Merge();
    void SetRotation(int id);
    bool Message(const QString& text, const QString& caption = QString(),
                 MessageButtons buttons = kMessageOk);

    ConvertClient m_convert;
    CTranscodePreviewDlg* m_pPreview = nullptr;
    CUploadDlg* m_pUpload = nullptr;
    QComboBox* m_pQuality = nullptr;
    QLineEdit* m_pFolder = nullptr;
    QLineEdit* m_pName = nullptr;
    QLabel* m_pProgress = nullptr;
    QLabel* m_pTimeLeft = nullptr;
    std::vector<CButtonEx*> m_buttons;
    std::vector<QWidget*> m_lockedWhileBusy;
    QBasicTimer m_progressTimer;  // timer 2
    int64_t m_startTick = 0;      // when the running job was handed to the library, ms
    bool m_bClosing = false;
    QPoint m_dragStart;
    bool m_bDragging = false;

    // Shared with the worker: guarded by m_mutex.
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_bJobPending = false;
    bool m_bQuit = false;
    Job m_job;
    std::thread m_worker;
};

}  // namespace app
