#include "app/video_player_app.h"

#include <QApplication>
#include <QFile>
#include <QTimer>

#include <QSocketNotifier>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <memory>

#include "app/messages.h"
#include "app/settings.h"
#include "app/strings.h"
#include "app/video_player_dlg.h"

namespace app {

namespace {

// SIGTERM and SIGINT close the window like its close button, so a recording
// is finished and the playback library is shut down in order.
int g_signalPipe[2] = {-1, -1};

void OnTerminate(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(g_signalPipe[1], &byte, 1);
}

}  // namespace

int CVideoPlayerApp::Run(int argc, char** argv) {
    // The video area needs an X11 window: on a Wayland session use XWayland.
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "xcb", 1);
    // Window geometry in device pixels.
    setenv("QT_ENABLE_HIGHDPI_SCALING", "0", 1);
    QApplication application(argc, argv);
    SetApplicationIdentity();
    // UTF-8 paths for the media-information library, but "%.2f" with a point.
    std::setlocale(LC_ALL, "");
    std::setlocale(LC_NUMERIC, "C");
    ApplyLanguage(ReadLanguage());

    CVideoPlayerDlg window;
    std::unique_ptr<QSocketNotifier> terminate;
    if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        terminate = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
        QObject::connect(terminate.get(), &QSocketNotifier::activated, &window, [&window] {
            char byte = 0;
            while (read(g_signalPipe[0], &byte, 1) == 1) {
            }
            PostMessage(&window, WM_CLOSE_APP);
        });
        struct sigaction action {};
        action.sa_handler = OnTerminate;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(SIGTERM, &action, nullptr);
        sigaction(SIGINT, &action, nullptr);
    }
    window.show();
    // A file from the command line (a file manager's "Open with") opens once
    // the window is shown, as if chosen in the file dialog.
    // "--view N" (0 to 6) shows the file on that view instead of its first one.
    const QStringList args = QCoreApplication::arguments();
    int view = -1;
    bool opened = false;
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == "--view" && i + 1 < args.size()) {
            bool ok = false;
            const int v = args[++i].toInt(&ok);
            if (ok && v >= 0 && v <= 6) view = v;
            continue;
        }
        if (args[i].startsWith('-') || opened) continue;
        window.m_strCurrentPath = args[i];
        PostMessage(&window, WM_OPEN_PATH);
        opened = true;
    }
    if (opened && view >= 0) PostMessage(&window, WM_VIEW_MODE, 0, view);
    return application.exec();
}

}  // namespace app
