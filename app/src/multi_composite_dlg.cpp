#include "app/multi_composite_dlg.h"

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QTemporaryFile>
#include <QWindow>

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "app/list_ctrl.h"
#include "app/messages.h"
#include "app/settings.h"
#include "app/skin_controls.h"
#include "app/strings.h"
#include "calib/spherical.h"
#include "convert/convert_api.h"
#include "convert/convert_client.h"
#include "platform/file.h"

namespace app {

namespace {

constexpr int kWidth = 720;
constexpr int kHeight = 480;
constexpr int kCaptionHeight = 30;  // a press here drags the window
constexpr int kColumnWidth = 240;
const QColor kWindowColor(0x1e, 0x1e, 0x1e);
const QColor kCaptionColor(0x2b, 0x2b, 0x2b);
const QColor kButtonColor(0x3a, 0x3a, 0x3a);

// The conversion library, loaded once per process on first use (from
// whichever thread asks first).
class SharedConvert {
  public:
    static SharedConvert& Get() {
        static SharedConvert instance;
        return instance;
    }
    int Run(const std::vector<std::string>& argv) {
        SynthTransFn synth = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            LoadLocked();
            synth = m_client.synthTrans;
        }
        if (synth == nullptr) return kConvertCannotOpenInput;
        std::vector<std::string> copies = argv;
        std::vector<char*> pointers;
        pointers.reserve(copies.size() + 1);
        for (std::string& s : copies) pointers.push_back(s.data());
        pointers.push_back(nullptr);
        return synth(static_cast<int>(copies.size()), pointers.data(), 0, 0, 0);
    }
    void Stop() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_client.stopTranscoding != nullptr) m_client.stopTranscoding();
    }

  private:
    void LoadLocked() {
        if (m_tried) return;
        m_tried = true;
        std::string error;
        if (!m_client.Load(&error)) std::fprintf(stderr, "merge: %s\n", error.c_str());
    }

    std::mutex m_mutex;
    ConvertClient m_client;
    bool m_tried = false;
};

std::string Narrow(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

}  // namespace

CMultiCompositeDlg::CMultiCompositeDlg(QWidget* parent, const QString& outputFolder)
    : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint), m_outputFolder(outputFolder) {
    setObjectName("merge");
    setWindowTitle(LoadString(kStrMerger));
    setFixedSize(kWidth, kHeight);
    QPalette p = palette();
    p.setColor(QPalette::Window, kWindowColor);
    setPalette(p);
    setAutoFillBackground(true);

    auto addButton = [this](int id, const QRect& geometry) {
        auto* b = new CButtonEx(this);
        b->setObjectName(QString::number(id));
        b->setGeometry(geometry);
        return b;
    };
    CButtonEx* minimize = addButton(kIdMin, QRect(kWidth - 70, 0, 30, 30));
    minimize->SetImages(131, 132, 131);
    CButtonEx* close = addButton(kIdClose, QRect(kWidth - 40, 0, 30, 30));
    close->SetImages(129, 132, 129);
    const int y = kHeight - 50;
    CButtonEx* add = addButton(kIdAdd, QRect(20, y, 100, 32));
    add->setText(LoadString(kStrAdd));
    CButtonEx* remove = addButton(kIdDelete, QRect(130, y, 100, 32));
    remove->setText(LoadString(kStrDelete));
    CButtonEx* start = addButton(kIdStart, QRect(kWidth - 120, y, 100, 32));
    start->setText(LoadString(kStrStart));
    for (CButtonEx* b : {add, remove, start}) {
        b->SetImages(0, 0, 0, 0, kButtonColor);
        b->setFont(OwnerDrawFont(14));
    }

    m_list = new CListCtrlCl(this);
    m_list->setObjectName(QString::number(kIdList));
    m_list->setGeometry(20, kCaptionHeight + 15, kWidth - 40, y - kCaptionHeight - 30);
    m_list->SetColumn(0, LoadString(kStrIndex), kColumnWidth);
    m_list->SetColumn(1, LoadString(kStrInputFiles), kColumnWidth);
    m_list->Header()->SetAlignment("00");
    m_list->SetBackground(QColor(255, 255, 255));
    m_list->setShowGrid(true);

    QObject::connect(minimize, &CButtonEx::clicked, this, [this] { Minimize(); });
    QObject::connect(close, &CButtonEx::clicked, this, [this] { CloseDialog(); });
    QObject::connect(add, &CButtonEx::clicked, this, [this] { Add(); });
    QObject::connect(remove, &CButtonEx::clicked, this, [this] { Delete(); });
    QObject::connect(start, &CButtonEx::clicked, this,
                     [this] { PostMessage(this, WM_START_MERGE); });

    m_chooseFiles = [this] {
        return QFileDialog::getOpenFileNames(this, QStringLiteral("Select Files"), QString(),
                                             QStringLiteral("Media Files (*.mp4);;All Files (*)"));
    };
    m_showMessage = [this](const QString& text, const QString& caption, MessageButtons buttons) {
        return ShowMessage(this, text, caption, buttons);
    };
    m_isStitched = [](const std::string& path) { return IsSphericalVideo(path.c_str()) == 1; };
    m_runMerge = [](const std::vector<std::string>& argv) {
        return SharedConvert::Get().Run(argv);
    };
    m_stopMerge = [] { SharedConvert::Get().Stop(); };
    m_localTime = [] {
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        return local;
    };

    // Centred on the parent's window, else on the screen.
    const QRect around = parent != nullptr     ? parent->window()->frameGeometry()
                         : screen() != nullptr ? screen()->availableGeometry()
                                               : QRect();
    if (around.isValid()) move(around.center() - QPoint(kWidth / 2, kHeight / 2));
    UpdateButtons();
}

CMultiCompositeDlg::~CMultiCompositeDlg() {
    if (!m_worker.joinable()) return;
    if (m_stopMerge) m_stopMerge();
    m_worker.join();
    // Its result event dies with the dialog: whatever the library left of
    // an output that never finished goes too.
    if (m_busy && m_mergeResult.load() != 0 && !m_lastOutput.isEmpty())
        platform::RemoveFile(Narrow(m_lastOutput).c_str());
}

QAbstractButton* CMultiCompositeDlg::Button(int id) const {
    return findChild<QAbstractButton*>(QString::number(id));
}

QStringList CMultiCompositeDlg::Files() const {
    QStringList files;
    for (int row = 0; row < m_list->rowCount(); ++row) {
        const QTableWidgetItem* item = m_list->item(row, 1);
        files << (item != nullptr ? item->text() : QString());
    }
    return files;
}

QString CMultiCompositeDlg::OutputName(const std::tm& time) {
    return QString::asprintf("%d%02d%02d%02d%02d%02d_merge.mp4", time.tm_year + 1900,
                             time.tm_mon + 1, time.tm_mday, time.tm_hour, time.tm_min, time.tm_sec);
}

QByteArray CMultiCompositeDlg::ListLine(const QString& path) {
    QByteArray quoted = QFile::encodeName(path);
    quoted.replace("'", "'\\''");
    return "file '" + quoted + "'\n";
}

void CMultiCompositeDlg::Add() {
    if (m_busy) return;
    const QStringList chosen = m_chooseFiles ? m_chooseFiles() : QStringList();
    for (const QString& path : chosen) {
        // A line break would split the path across lines of the list file.
        if (path.contains(QLatin1Char('\n')) || path.contains(QLatin1Char('\r'))) {
            Refuse(kStrCannotMergeName, path);
            continue;
        }
        if (!m_isStitched || !m_isStitched(Narrow(path))) {
            Refuse(kStrNotYetStitched, path);
            continue;
        }
        AppendRow(path);
    }
    UpdateButtons();
    m_list->setFocus();
}

void CMultiCompositeDlg::Delete() {
    if (m_busy) return;
    const QModelIndexList selected = m_list->selectionModel()->selectedRows();
    if (selected.isEmpty()) {
        Show(LoadString(kStrSelectFiles));
        return;
    }
    std::vector<int> rows;
    for (const QModelIndex& index : selected) rows.push_back(index.row());
    std::sort(rows.rbegin(), rows.rend());
    for (int row : rows) m_list->removeRow(row);
    Renumber();
    UpdateButtons();
}

void CMultiCompositeDlg::Minimize() {
    if (parentWidget() != nullptr) PostMessage(parentWidget(), WM_MINIMIZE_APP);
}

void CMultiCompositeDlg::CloseDialog() {
    if (m_busy) return;
    WriteOutputFolder(m_outputFolder);
    PostMessage(this, WM_CLOSE_MERGE);
}

void CMultiCompositeDlg::reject() {
    // Escape while a merge runs would leave its result without a window.
    if (!m_busy) QDialog::reject();
}

bool CMultiCompositeDlg::event(QEvent* event) {
    if (event->type() == MessageEvent::EventType()) {
        const auto* m = static_cast<MessageEvent*>(event);
        OnMessage(m->m_message, m->m_wParam, m->m_lParam);
        return true;
    }
    return QDialog::event(event);
}

void CMultiCompositeDlg::OnMessage(int message, intptr_t /*wParam*/, intptr_t lParam) {
    switch (message) {
        case WM_START_MERGE:
            StartMerge();
            break;
        case WM_MERGE_FINISHED:
            MergeFinished(static_cast<int>(lParam));
            break;
        case WM_CLOSE_MERGE:
            if (!m_busy) accept();
            break;
        default:
            break;
    }
}

void CMultiCompositeDlg::StartMerge() {
    if (m_busy || m_list->rowCount() == 0) return;
    const QString failed = LoadString(kStrMergeFailed);
    const QString finish = LoadString(kStrFinish);
    const QStringList files = Files();

    // A private list file: the temporary folder is shared by every user.
    auto listFile = std::make_unique<QTemporaryFile>(QDir::tempPath() +
                                                     QStringLiteral("/orbivue_merge_XXXXXX.txt"));
    listFile->setAutoRemove(true);
    if (!listFile->open()) {
        Show(failed, finish);
        return;
    }
    QByteArray content;
    for (const QString& path : files) content += ListLine(path);
    const bool written = listFile->write(content) == content.size() && listFile->flush();
    listFile->close();
    if (!written) {
        Show(failed, finish);
        return;
    }

    // The output name is reserved exclusively: a second merge in the same
    // second takes "_1", and nothing is overwritten.
    const QString wanted = m_outputFolder + OutputName(m_localTime ? m_localTime() : std::tm{});
    std::string created;
    if (platform::CreateUniqueFile(Narrow(wanted), &created) != 0) {
        Show(failed, finish);
        return;
    }
    for (const QString& path : files) {
        if (platform::IsSameFile(created.c_str(), Narrow(path).c_str())) {
            platform::RemoveFile(created.c_str());
            Show(failed, finish);
            return;
        }
    }
    m_lastOutput = QFile::decodeName(QByteArray::fromStdString(created));

    const std::vector<std::string> argv = {
        "ffmpeg", "-f", "concat", "-i", Narrow(listFile->fileName()), "-c", "copy", created};
    m_listFile = std::move(listFile);
    m_busy = true;
    m_mergeResult = 0;
    UpdateButtons();
    auto run = m_runMerge;
    m_worker = std::thread([this, run, argv] {
        const int result = run ? run(argv) : kConvertCannotOpenInput;
        m_mergeResult = result;
        PostMessage(this, WM_MERGE_FINISHED, 0, result);
    });
}

void CMultiCompositeDlg::MergeFinished(int result) {
    if (m_worker.joinable()) m_worker.join();
    if (!m_busy) return;
    m_busy = false;
    m_listFile.reset();  // deletes the list file
    if (result != 0 && !m_lastOutput.isEmpty()) platform::RemoveFile(Narrow(m_lastOutput).c_str());
    UpdateButtons();
    const QString finish = LoadString(kStrFinish);
    if (result == 0)
        Show(QStringLiteral("%1: %2").arg(LoadString(kStrMergeSavedTo), m_lastOutput), finish);
    else
        Show(LoadString(kStrMergeFailed), finish);
}

void CMultiCompositeDlg::AppendRow(const QString& path) {
    const int row = m_list->rowCount();
    m_list->insertRow(row);
    m_list->setItem(row, 0, new QTableWidgetItem(QString::asprintf("%03d", row + 1)));
    m_list->setItem(row, 1, new QTableWidgetItem(path));
}

void CMultiCompositeDlg::Renumber() {
    for (int row = 0; row < m_list->rowCount(); ++row) {
        const QString number = QString::asprintf("%03d", row + 1);
        if (QTableWidgetItem* item = m_list->item(row, 0))
            item->setText(number);
        else
            m_list->setItem(row, 0, new QTableWidgetItem(number));
    }
}

void CMultiCompositeDlg::UpdateButtons() {
    for (int id : {kIdAdd, kIdDelete, kIdClose}) Button(id)->setEnabled(!m_busy);
    Button(kIdStart)->setEnabled(!m_busy && m_list->rowCount() > 0);
}

void CMultiCompositeDlg::Refuse(int id, const QString& path) {
    Show(QStringLiteral("%1\n%2: %3").arg(LoadString(id), LoadString(kStrFilePath), path));
}

void CMultiCompositeDlg::Show(const QString& text, const QString& caption) {
    if (m_showMessage) m_showMessage(text, caption, kMessageOk);
}

void CMultiCompositeDlg::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), kWindowColor);
    painter.fillRect(QRect(0, 0, width(), kCaptionHeight), kCaptionColor);
    painter.setPen(QColor(255, 255, 255));
    painter.setFont(OwnerDrawFont(14));
    painter.drawText(QRect(10, 0, width() - 90, kCaptionHeight),
                     Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, windowTitle());
}

void CMultiCompositeDlg::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || event->position().y() >= kCaptionHeight) {
        QDialog::mousePressEvent(event);
        return;
    }
    if (windowHandle() != nullptr && windowHandle()->startSystemMove()) return;
    // No window manager to ask: move by hand.
    m_dragging = true;
    m_dragOffset = event->globalPosition().toPoint() - frameGeometry().topLeft();
}

void CMultiCompositeDlg::mouseMoveEvent(QMouseEvent* event) {
    if (m_dragging && (event->buttons() & Qt::LeftButton)) {
        move(event->globalPosition().toPoint() - m_dragOffset);
        return;
    }
    QDialog::mouseMoveEvent(event);
}

void CMultiCompositeDlg::mouseReleaseEvent(QMouseEvent* event) {
    m_dragging = false;
    QDialog::mouseReleaseEvent(event);
}

}  // namespace app
