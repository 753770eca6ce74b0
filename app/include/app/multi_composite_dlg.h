// The merge dialog: joins already-stitched MP4 files, in the listed order,
// into one MP4 file without re-encoding. The conversion library does the
// joining on a worker thread from a concatenation list in the temporary
// folder; the dialog stays responsive and shows the result when it ends.
#pragma once

#include <QDialog>
#include <QPoint>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/message_box.h"

class QAbstractButton;
class QTemporaryFile;

namespace app {

class CListCtrlCl;

class CMultiCompositeDlg : public QDialog {
  public:
    // outputFolder: the converter's output folder, ending in "/".
    CMultiCompositeDlg(QWidget* parent, const QString& outputFolder);
    ~CMultiCompositeDlg() override;

    enum : int {
        kIdMin = 1172,
        kIdClose = 1173,
        kIdAdd = 1174,
        kIdDelete = 1175,
        kIdStart = 1177,
        kIdList = 1119,
    };

    QAbstractButton* Button(int id) const;
    CListCtrlCl* List() const { return m_list; }
    // The paths of the rows, in order.
    QStringList Files() const;
    // A merge is running on the worker.
    bool Busy() const { return m_busy; }
    QString Folder() const { return m_outputFolder; }
    // The output path reserved by the last merge (empty before the first).
    QString LastOutput() const { return m_lastOutput; }

    // The commands (the buttons call these).
    void Add();
    void Delete();
    void Minimize();
    void CloseDialog();

    // Replaceable for tests; defaults set by the constructor.
    std::function<QStringList()> m_chooseFiles;
    std::function<bool(const QString& text, const QString& caption, MessageButtons buttons)>
        m_showMessage;
    std::function<bool(const std::string& utf8Path)> m_isStitched;
    // Runs on the worker thread; returns the conversion library's result.
    std::function<int(const std::vector<std::string>& argv)> m_runMerge;
    // Asks a running merge to end soon (called when the dialog goes away
    // while a merge runs).
    std::function<void()> m_stopMerge;
    // The local time the output is named after.
    std::function<std::tm()> m_localTime;

    // "%d%02d%02d%02d%02d%02d_merge.mp4" of the given local time.
    static QString OutputName(const std::tm& time);
    // The list file line for one path: file '<path>' with each ' as '\''.
    static QByteArray ListLine(const QString& path);

  protected:
    bool event(QEvent* event) override;
    void reject() override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    void OnMessage(int message, intptr_t wParam, intptr_t lParam);
    void StartMerge();
    void MergeFinished(int result);
    void AppendRow(const QString& path);
    void Renumber();
    void UpdateButtons();
    void Refuse(int id, const QString& path);
    void Show(const QString& text, const QString& caption = QString());

    QString m_outputFolder;
    CListCtrlCl* m_list = nullptr;
    bool m_busy = false;
    std::atomic<int> m_mergeResult{0};  // written by the worker
    std::thread m_worker;
    std::unique_ptr<QTemporaryFile> m_listFile;
    QString m_lastOutput;
    bool m_dragging = false;
    QPoint m_dragOffset;
};

}  // namespace app
