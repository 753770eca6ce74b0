#include "app/video_player_app.h"

#include <QApplication>
#include <QFile>
#include <QTimer>

#include <clocale>
#include <cstdlib>

#include "app/messages.h"
#include "app/settings.h"
#include "app/strings.h"
#include "app/video_player_dlg.h"

namespace app {

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
    window.show();
    // A file from the command line (a file manager's "Open with") opens once
    // the window is shown, as if chosen in the file dialog.
    const QStringList args = QCoreApplication::arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i].startsWith('-')) continue;
        window.m_strCurrentPath = args[i];
        PostMessage(&window, WM_OPEN_PATH);
        break;
    }
    return application.exec();
}

}  // namespace app
