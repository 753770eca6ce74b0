#include "app/composite_dlg.h"

#include <QButtonGroup>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QRadioButton>
#include <QTimerEvent>
#include <QUrl>
#include <QWindow>

#include <chrono>
#include <cstdio>

#include "app/messages.h"
#include "app/multi_composite_dlg.h"
#include "app/settings.h"
#include "app/skin_controls.h"
#include "app/strings.h"
#include "app/transcode_preview_dlg.h"
#include "app/upload_dlg.h"
#include "calib/spherical.h"
#include "platform/file.h"
#include "player/mediainfo.h"
#include "player/probe.h"
#include "player/vlc_binding.h"
#include "stitch/output_name.h"
#include "stitch/stitch.h"

namespace app {

namespace {

constexpr int kTimerExport = 2;
constexpr int kWidth = 660, kHeight = 640;

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

struct Rotation {
    int button;
    int mark;
    int degrees;
    const char* text;
};
constexpr Rotation kRotations[] = {
    {kIdRotateUp, 1167, 0, "UP"},
    {kIdRotateDown, 1164, 180, "DOWN"},
    {kIdRotateLeft, 1165, 270, "LEFT"},
    {kIdRotateRight, 1168, 90, "RIGHT"},
};

bool IsPhotoName(const QString& path) {
    return path.endsWith(".jpg", Qt::CaseInsensitive) || path.endsWith(".bmp", Qt::CaseInsensitive);
}

std::string Native(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

}  // namespace

// ------------------------------------------------------------ pure helpers

void TimeLeft::Tick(float progress, int64_t elapsedSeconds) {
    const bool sameWhole = static_cast<int>(lastProgress) == static_cast<int>(progress);
    if (progress > 0 && !(sameWhole && seconds != 0)) {
        const int64_t estimate = static_cast<int64_t>(static_cast<double>(elapsedSeconds) * 100.0 /
                                                      static_cast<double>(progress));
        if (estimate > elapsedSeconds) seconds = static_cast<int>(estimate - elapsedSeconds);
    } else if (seconds > 0) {
        --seconds;
    }
    lastProgress = progress;
    if (progress >= 100 || progress == 0) seconds = 0;
}

std::vector<std::string> CCompositeDlg::ExportArguments(int quality, int64_t startMs,
                                                        int64_t lengthMs, const std::string& input,
                                                        const std::string& output) {
    std::vector<std::string> a = {"ffmpeg", "-d",  "-ss", Hms(startMs).toStdString(),
                                  "-i",     input, "-t",  Hms(lengthMs).toStdString(),
                                  "-b:v"};
    if (quality == 0) {
        a.insert(a.end(), {"4096k", "-r", "15", "-profile:v", "main", "-preset", "veryfast",
                           "-refs", "1", "-bf", "0"});
    } else if (quality == 1) {
        a.insert(a.end(),
                 {"10000k", "-profile:v", "main", "-preset", "veryfast", "-refs", "2", "-bf", "1"});
    } else {
        a.push_back("20000k");
    }
    a.push_back(output);
    return a;
}

int CCompositeDlg::HighFlagOf(int quality) {
    return quality == 2 ? 1 : 0;
}

QString CCompositeDlg::Hms(int64_t ms) {
    if (ms < 0) ms = 0;
    const long long h = ms / 3600000, m = ms / 60000 % 60, s = ms / 1000 % 60;
    return QString::asprintf("%02lld:%02lld:%02lld", h, m, s);
}

QString CCompositeDlg::ProgressText(float progress) {
    if (progress < 100)
        return QString("%1:%2% ").arg(LoadString(kStrProgress)).arg(double(progress), 0, 'f', 2);
    return QString("%1:%2% ").arg(LoadString(kStrProgress)).arg(static_cast<int>(progress));
}

QString CCompositeDlg::TimeLeftText(int seconds) {
    if (seconds < 0) seconds = 0;
    return LoadString(kStrTimeLeft) +
           QString::asprintf(":%02d:%02d:%02d", seconds / 3600, seconds / 60 % 60, seconds % 60);
}

void CCompositeDlg::Span(int startMark, int endMark, int64_t durationMs, int64_t* startMs,
                         int64_t* lengthMs) {
    if (durationMs < 0) durationMs = 0;
    *startMs = int64_t{startMark} * durationMs / 100;
    *lengthMs = endMark > startMark ? int64_t{endMark - startMark} * durationMs / 100 : 0;
}

// ------------------------------------------------------------------ set-up

CCompositeDlg::CCompositeDlg(QWidget* parent, const char* convertLibrary,
                             const char* playbackLibrary)
    : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint) {
    setObjectName("converter");
    setWindowTitle(LoadString(kStrConverter));
    setFixedSize(kWidth, kHeight);
    QPalette p = palette();
    p.setColor(QPalette::Window, QColor(0x1e, 0x1e, 0x1e));
    p.setColor(QPalette::WindowText, QColor(0xd8, 0xd8, 0xd8));
    setPalette(p);
    setAutoFillBackground(true);

    std::string error;
    const bool loaded = convertLibrary != nullptr ? m_convert.LoadFrom(convertLibrary, &error)
                                                  : m_convert.Load(&error);
    if (!loaded) std::fprintf(stderr, "converter: %s\n", error.c_str());
    // The library reports progress from its converting thread.
    if (loaded) m_convert.setPositionCallback(&CCompositeDlg::OnPosition, this);

    m_pPreview = new CTranscodePreviewDlg(
        this, this, playbackLibrary != nullptr ? playbackLibrary : kVlcLibraryName);
    m_pPreview->setGeometry(11, 75, 640, 380);

    auto button = [this](int id, const QString& text, int x, int y, int w, int h) {
        auto* b = new CButtonEx(this);
        b->setObjectName(QString::number(id));
        b->SetImages(0, 0, 0, 0, QColor(0x3a, 0x3a, 0x3a));
        b->setText(text);
        b->setGeometry(x, y, w, h);
        m_buttons.push_back(b);
        return b;
    };
    auto label = [this](const QString& text, int x, int y, int w) {
        auto* l = new QLabel(text, this);
        l->setGeometry(x, y, w, 24);
        return l;
    };
    // The caption strip: title, minimise and close.
    CButtonEx* minimise = button(kIdConvMin, QString(), kWidth - 70, 0, 30, 30);
    minimise->SetImages(131, 132, 131);
    CButtonEx* close = button(kIdConvClose, QString(), kWidth - 40, 0, 30, 30);
    close->SetImages(129, 132, 129);
    connect(minimise, &CButtonEx::clicked, this, [this] {
        if (parentWidget() != nullptr) PostMessage(parentWidget(), WM_MINIMIZE_APP);
    });
    connect(close, &CButtonEx::clicked, this, [this] { Close(); });

    CButtonEx* open = button(kIdConvOpen, LoadString(kStrOpen), 11, 38, 100, 28);
    connect(open, &CButtonEx::clicked, this, [this] { OpenInput(); });
    CButtonEx* merge = button(kIdConvMerge, LoadString(kStrMerge), 121, 38, 100, 28);
    connect(merge, &CButtonEx::clicked, this, [this] { Merge(); });
    m_lockedWhileBusy = {open, merge};

    // Rotation: a button and a radio mark each, exactly one mark checked.
    label(LoadString(kStrSelectRotation), 11, 466, 220);
    auto* group = new QButtonGroup(this);
    group->setExclusive(true);
    int x = 240;
    for (const Rotation& r : kRotations) {
        CButtonEx* b = button(r.button, r.text, x + 20, 466, 60, 24);
        auto* mark = new QRadioButton(this);
        mark->setObjectName(QString::number(r.mark));
        mark->setGeometry(x, 468, 20, 20);
        group->addButton(mark, r.mark);
        const int id = r.button;
        connect(b, &CButtonEx::clicked, this, [this, id] { SetRotation(id); });
        connect(mark, &QRadioButton::clicked, this, [this, id] { SetRotation(id); });
        m_lockedWhileBusy.push_back(b);
        m_lockedWhileBusy.push_back(mark);
        x += 100;
    }

    label(LoadString(kStrVideoQuality), 11, 500, 220);
    m_pQuality = new QComboBox(this);
    m_pQuality->setObjectName("1097");
    m_pQuality->addItems(
        {LoadString(kStrQualityLow), LoadString(kStrQualityMedium), LoadString(kStrQualityHigh)});
    m_pQuality->setCurrentIndex(1);
    m_pQuality->setGeometry(240, 500, 150, 24);
    connect(m_pQuality, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            [this](int) { RefreshOutput(); });
    m_lockedWhileBusy.push_back(m_pQuality);

    label(LoadString(kStrOutputPath), 11, 532, 220);
    m_pFolder = new QLineEdit(this);
    m_pFolder->setObjectName("1046");
    m_pFolder->setReadOnly(true);
    m_pFolder->setGeometry(240, 532, 300, 24);
    CButtonEx* browse = button(kIdConvBrowse, LoadString(kStrBrowse), 550, 532, 100, 24);
    connect(browse, &CButtonEx::clicked, this, [this] { Browse(); });
    m_lockedWhileBusy.push_back(browse);

    label(LoadString(kStrOutputName), 11, 564, 220);
    m_pName = new QLineEdit(this);
    m_pName->setObjectName("1047");
    m_pName->setReadOnly(true);
    m_pName->setGeometry(240, 564, 300, 24);
    CButtonEx* openDir = button(kIdConvOpenDir, LoadString(kStrOpenDir), 550, 564, 100, 24);
    connect(openDir, &CButtonEx::clicked, this, [this] { OpenDir(); });

    m_pProgress = new QLabel(this);
    m_pProgress->setObjectName("1162");
    m_pProgress->setGeometry(11, 600, 180, 28);
    m_pTimeLeft = new QLabel(this);
    m_pTimeLeft->setObjectName("1163");
    m_pTimeLeft->setGeometry(190, 600, 180, 28);
    CButtonEx* upload = button(kIdConvUpload, LoadString(kStrUploadTo), 370, 600, 80, 28);
    connect(upload, &CButtonEx::clicked, this, [this] { ToggleUpload(); });
    CButtonEx* start = button(kIdConvStart, LoadString(kStrStart), 460, 600, 90, 28);
    connect(start, &CButtonEx::clicked, this, [this] { Start(); });
    CButtonEx* stop = button(kIdConvStop, LoadString(kStrStop), 560, 600, 90, 28);
    connect(stop, &CButtonEx::clicked, this, [this] { Stop(); });

    m_pUpload = new CUploadDlg(this);
    m_pUpload->hide();

    m_showMessage = [this](const QString& text, const QString& caption, MessageButtons buttons) {
        return ShowMessage(this, text, caption, buttons);
    };
    m_chooseInput = [this] {
        const QStringList files =
            QFileDialog::getOpenFileNames(this, QString(), QString(), "Files (*.mp4 *.mov *.jpg)",
                                          nullptr, QFileDialog::ReadOnly);
        return files.isEmpty() ? QString() : files.first();
    };
    m_chooseFolder = [this](const QString& from) {
        return QFileDialog::getExistingDirectory(this, "Select Output Directory", from);
    };
    m_openUrl = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
    m_runMerge = [this](const QString& folder) {
        CMultiCompositeDlg merger(this, folder);
        merger.exec();
    };

    const OutputFolder folder = ReadOutputFolder();
    m_outputFolder = folder.result == kOutputFolderReady ? folder.path : QString();
    m_pFolder->setText(QDir::toNativeSeparators(m_outputFolder));
    SetRotation(kIdRotateUp);
    RefreshOutput();
    m_worker = std::thread([this] { ExportWorker(); });
}

CCompositeDlg::~CCompositeDlg() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bQuit = true;
    }
    if (m_bBusy && m_convert.stopTranscoding != nullptr) m_convert.stopTranscoding();
    m_wake.notify_one();
    if (m_worker.joinable()) m_worker.join();
    // Nothing may call back into a dialog that is gone.
    if (m_convert.setPositionCallback != nullptr) m_convert.setPositionCallback(nullptr, nullptr);
}

void CCompositeDlg::SetInput(const QString& path, bool isPhoto) {
    if (m_bBusy || path.isEmpty()) return;
    m_inputPath = path;
    m_bIsPhoto = isPhoto;
    RefreshOutput();
    m_pPreview->Load(path, isPhoto);
}

CButtonEx* CCompositeDlg::Button(int id) const {
    for (CButtonEx* b : m_buttons)
        if (b->objectName() == QString::number(id)) return b;
    return nullptr;
}

bool CCompositeDlg::TimerActive(int id) const {
    return id == kTimerExport && m_progressTimer.isActive();
}

int CCompositeDlg::CheckedRotation() const {
    for (const Rotation& r : kRotations) {
        auto* mark = findChild<QRadioButton*>(QString::number(r.mark));
        if (mark != nullptr && mark->isChecked()) return r.degrees;
    }
    return -1;
}

// ------------------------------------------------------------------ events

bool CCompositeDlg::event(QEvent* e) {
    if (e->type() == MessageEvent::EventType()) {
        const auto* m = static_cast<MessageEvent*>(e);
        OnMessage(m->m_message, m->m_wParam, m->m_lParam);
        return true;
    }
    return QDialog::event(e);
}

void CCompositeDlg::timerEvent(QTimerEvent* e) {
    if (e->timerId() == m_progressTimer.timerId()) OnTimer(kTimerExport);
}

void CCompositeDlg::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), QColor(0x1e, 0x1e, 0x1e));
    painter.fillRect(0, 0, width(), 30, QColor(0x2b, 0x2b, 0x2b));
    painter.setPen(QColor(0xd8, 0xd8, 0xd8));
    painter.drawText(QRect(12, 0, width() - 100, 30), Qt::AlignVCenter | Qt::AlignLeft,
                     LoadString(kStrConverter));
    painter.setPen(QColor(0x44, 0x44, 0x44));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

void CCompositeDlg::mousePressEvent(QMouseEvent* e) {
    // The top 30 pixels move the window.
    if (e->button() != Qt::LeftButton || e->position().y() >= 30) return;
    if (windowHandle() != nullptr && windowHandle()->startSystemMove()) return;
    m_bDragging = true;
    m_dragStart = e->globalPosition().toPoint() - frameGeometry().topLeft();
}

void CCompositeDlg::mouseMoveEvent(QMouseEvent* e) {
    if (m_bDragging) move(e->globalPosition().toPoint() - m_dragStart);
}

void CCompositeDlg::mouseReleaseEvent(QMouseEvent*) {
    m_bDragging = false;
}

void CCompositeDlg::closeEvent(QCloseEvent* e) {
    // The window manager's close goes the way of the Close button.
    e->ignore();
    Close();
}

void CCompositeDlg::reject() {
    Close();  // Escape too
}

void CCompositeDlg::OnMessage(int message, intptr_t, intptr_t lParam) {
    switch (message) {
        case WM_MINIMIZE_APP:
            if (parentWidget() != nullptr) PostMessage(parentWidget(), WM_MINIMIZE_APP);
            break;
        case WM_EXPORT_PHOTO:
            ExportPhoto();
            break;
        case WM_EXPORT_VIDEO:
            QueueVideo();
            break;
        case WM_CLOSE_EXPORT:
            accept();
            break;
        case WM_REFRESH_OUTPUT:
            if (!m_bBusy) RefreshOutput();
            break;
        case WM_OPEN_MERGE:
            if (m_runMerge) m_runMerge(m_outputFolder);
            break;
        case WM_EXPORT_STARTED:
            m_startTick = NowMs();
            m_timeLeft = TimeLeft();
            m_progressTimer.start(1000, this);
            if (!m_bCancel) ShowProgress();
            break;
        case WM_EXPORT_FINISHED:
            Finished(static_cast<int>(lParam));
            break;
        default:
            break;
    }
}

void CCompositeDlg::OnTimer(int id) {
    if (id != kTimerExport) return;
    if (m_bCancel) {
        // A stop that reached the library before the job began there is
        // asked again until the job has ended.
        if (m_bBusy && m_convert.stopTranscoding != nullptr) m_convert.stopTranscoding();
        return;
    }
    m_timeLeft.Tick(m_progress.load(), (NowMs() - m_startTick) / 1000);
    ShowProgress();
}

void CCompositeDlg::OnPosition(float percent, void* user) {
    static_cast<CCompositeDlg*>(user)->m_progress = percent;
}

bool CCompositeDlg::Message(const QString& text, const QString& caption, MessageButtons buttons) {
    return m_showMessage ? m_showMessage(text, caption, buttons) : false;
}

// -------------------------------------------------------------- the output

void CCompositeDlg::RefreshOutput() {
    const std::string path =
        m_inputPath.isEmpty()
            ? std::string()
            : MakeOutputPath(Native(m_outputFolder), Native(m_inputPath), m_bIsPhoto);
    m_outputPath = QFile::decodeName(path.c_str());
    m_outputName = QFileInfo(m_outputPath).fileName();
    m_pName->setText(m_outputName);
    m_progress = 0;
    Button(kIdConvStart)->setEnabled(!path.empty() && m_inputPath.contains('/') && !m_bBusy);
    Button(kIdConvStop)->setEnabled(false);
    ShowProgress();
}

void CCompositeDlg::ShowProgress() {
    m_pProgress->setText(ProgressText(m_progress.load()));
    m_pTimeLeft->setText(TimeLeftText(m_timeLeft.seconds));
}

void CCompositeDlg::EnableControls(bool enable) {
    for (QWidget* w : m_lockedWhileBusy) w->setEnabled(enable);
}

void CCompositeDlg::SetRotation(int id) {
    for (const Rotation& r : kRotations) {
        if (r.button != id) continue;
        m_nRotation = r.degrees;
        if (auto* mark = findChild<QRadioButton*>(QString::number(r.mark))) mark->setChecked(true);
    }
}

void CCompositeDlg::OpenInput() {
    if (m_bBusy) return;
    if (m_pPreview->Engine().m_nGLMajor < 2) m_pPreview->StopPlayback();
    const QString path = m_chooseInput ? m_chooseInput() : QString();
    if (path.isEmpty()) return;
    SetInput(path, IsPhotoName(path));
}

// --------------------------------------------------------------- exporting

void CCompositeDlg::Start() {
    if (m_inputPath.isEmpty() || m_bBusy) return;
    const std::string input = Native(m_inputPath);
    CMediaInfo info;
    info.Load();
    CMediaProbe probe(&info);
    const int probed = probe.Probe(m_bIsPhoto, input.c_str());
    const bool camera = probed == 0 && (probe.m_nCameraType == 1 || probe.m_nCameraType == 2);
    if (!camera) {
        const bool stitched = !m_bIsPhoto && IsSphericalVideo(input.c_str()) == 1;
        Message(LoadString(stitched ? kStrAlreadyStitched : kStrNotFromQualifiedCamera));
        return;
    }
    // The span comes from the preview: without a known length there is none.
    if (!m_bIsPhoto && !m_pPreview->DurationKnown()) {
        Message(LoadString(kStrFileOpenFailed));
        return;
    }
    Button(kIdConvStart)->setEnabled(false);
    Button(kIdConvStop)->setEnabled(!m_bIsPhoto);
    m_bCancel = false;
    EnableControls(false);
    PostMessage(this, m_bIsPhoto ? WM_EXPORT_PHOTO : WM_EXPORT_VIDEO);
}

void CCompositeDlg::ExportPhoto() {
    const int quality = m_pQuality->currentIndex();
    const std::string output =
        MakeOutputPath(Native(m_outputFolder), Native(m_inputPath), m_bIsPhoto);
    const int result = output.empty() ? -1
                                      : StitchPhoto(Native(m_inputPath).c_str(), output.c_str(),
                                                    m_nRotation, 0, quality);
    Button(kIdConvStop)->setEnabled(false);
    EnableControls(true);
    if (result == 0) {
        m_outputPath = QFile::decodeName(output.c_str());
        m_pProgress->setText(LoadString(kStrStitchingDone));
        if (Message(LoadString(kStrAskOpenOutputFolder), LoadString(kStrFinish),
                    kMessageOkCancel) &&
            m_openUrl)
            m_openUrl(QUrl::fromLocalFile(m_outputFolder));
        return;
    }
    Button(kIdConvStart)->setEnabled(true);
    Message(LoadString(kStrStitchingFailed) + ".");
    m_pProgress->clear();
}

void CCompositeDlg::QueueVideo() {
    const int quality = m_pQuality->currentIndex();
    const std::string output =
        MakeOutputPath(Native(m_outputFolder), Native(m_inputPath), m_bIsPhoto);
    if (output.empty()) {
        Finished(kConvertCannotCreate);
        return;
    }
    m_outputPath = QFile::decodeName(output.c_str());
    m_outputName = QFileInfo(m_outputPath).fileName();
    m_pName->setText(m_outputName);
    int64_t startMs = 0, lengthMs = 0;
    Span(m_pPreview->StartMark(), m_pPreview->EndMark(), m_pPreview->DurationMs(), &startMs,
         &lengthMs);
    Job job;
    job.args = ExportArguments(quality, startMs, lengthMs, Native(m_inputPath), output);
    job.rotation = m_nRotation;
    job.high = HighFlagOf(quality);
    m_progress = 0;
    m_timeLeft = TimeLeft();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_job = std::move(job);
        m_bJobPending = true;
        m_bBusy = true;
    }
    m_wake.notify_one();
    Button(kIdConvStart)->setEnabled(false);
    Button(kIdConvStop)->setEnabled(true);
    EnableControls(false);
}

void CCompositeDlg::ExportWorker() {
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_bJobPending || m_bQuit; });
            if (!m_bJobPending) return;  // quit with nothing to do
            job = std::move(m_job);
            m_bJobPending = false;
        }
        int result = kConvertStopped;
        // A stop asked before the library is called is not lost.
        if (!m_bCancel) {
            if (m_convert.synthTrans == nullptr) {
                result = kConvertNotSupported;
            } else {
                PostMessage(this, WM_EXPORT_STARTED);
                std::vector<char*> argv;
                for (std::string& a : job.args) argv.push_back(a.data());
                result = m_convert.synthTrans(static_cast<int>(argv.size()), argv.data(),
                                              job.rotation, 0, job.high);
            }
        }
        m_bBusy = false;
        PostMessage(this, WM_EXPORT_FINISHED, 0, result);
    }
}

void CCompositeDlg::Finished(int result) {
    m_progressTimer.stop();
    if (m_bCancel || m_bClosing) {
        // A stopped job leaves nothing behind.
        if (!m_outputPath.isEmpty() && QFileInfo::exists(m_outputPath)) QFile::remove(m_outputPath);
        m_bCancel = false;
        if (m_bClosing) return;
        RefreshOutput();
        EnableControls(true);
        return;
    }
    m_progress = result == 0 ? 100.0f : 0.0f;
    m_timeLeft.Tick(m_progress.load(), 0);
    ShowProgress();
    EnableControls(true);
    Button(kIdConvStart)->setEnabled(result != 0);
    Button(kIdConvStop)->setEnabled(false);
    if (result == kConvertCannotCreate) {
        Message(LoadString(kStrCreateFileFailed));
    } else if (result != 0) {
        Message(QString("%1(errno=%2)").arg(LoadString(kStrOpenConverter)).arg(result));
    } else if (Message(LoadString(kStrAskOpenOutputFolder), LoadString(kStrFinish),
                       kMessageOkCancel) &&
               m_openUrl) {
        m_openUrl(QUrl::fromLocalFile(m_outputFolder));
    }
}

void CCompositeDlg::Stop() {
    if (m_bIsPhoto || !m_bBusy) return;
    m_bCancel = true;
    m_progressTimer.start(1000, this);  // repeats the stop until the job ends
    if (m_convert.stopTranscoding != nullptr) m_convert.stopTranscoding();
    m_progress = 0;
    m_timeLeft = TimeLeft();
    ShowProgress();
    // Start comes back when the worker has finished with the job.
    Button(kIdConvStop)->setEnabled(false);
}

void CCompositeDlg::Close() {
    if (!m_outputFolder.isEmpty()) WriteOutputFolder(m_outputFolder);
    if (m_bBusy) {
        if (!Message(LoadString(kStrAskCancelStitching), QString(), kMessageOkCancel)) return;
        m_bClosing = true;
        m_progressTimer.stop();
        m_bCancel = true;
        // Waits for the worker to be idle, asking the library to stop every
        // 50 ms, so that a stop given just before the job began is not lost.
        while (m_bBusy) {
            if (m_convert.stopTranscoding != nullptr) m_convert.stopTranscoding();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bQuit = true;
        }
        m_wake.notify_one();
        if (m_worker.joinable()) m_worker.join();
        if (!m_outputPath.isEmpty() && QFileInfo::exists(m_outputPath)) QFile::remove(m_outputPath);
    }
    m_pPreview->StopPlayback();
    PostMessage(this, WM_CLOSE_EXPORT);
}

void CCompositeDlg::Browse() {
    const QString chosen = m_chooseFolder ? m_chooseFolder(m_outputFolder) : QString();
    if (chosen.isEmpty()) return;
    m_outputFolder = chosen.endsWith('/') ? chosen : chosen + "/";
    m_pFolder->setText(QDir::toNativeSeparators(m_outputFolder));
    RefreshOutput();
}

void CCompositeDlg::OpenDir() {
    if (m_outputFolder.isEmpty() || !QDir(m_outputFolder).exists()) {
        Message(LoadString(kStrOutputPathMissing));
        return;
    }
    if (m_openUrl) m_openUrl(QUrl::fromLocalFile(m_outputFolder));
}

void CCompositeDlg::ToggleUpload() {
    if (m_pUpload->isVisible()) {
        m_pUpload->hide();
        return;
    }
    m_pUpload->move(mapToGlobal(rect().center()) -
                    QPoint(m_pUpload->width() / 2, m_pUpload->height() / 2));
    m_pUpload->show();
}

void CCompositeDlg::Merge() {
    if (m_bBusy) return;
    // The preview stops (without loading again) while the merger runs.
    m_pPreview->StopPlayback();
    PostMessage(this, WM_OPEN_MERGE);
}

}  // namespace app
