#include "adapters/native_window.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <thread>

namespace adapters {

NativeWindow::~NativeWindow() {
    Close();
}

bool NativeWindow::Open(int width, int height, const char* title) {
    Close();
    // A server that is resetting after its last client left refuses for a moment.
    Display* d = nullptr;
    for (int attempt = 0; attempt < 20 && d == nullptr; ++attempt) {
        d = XOpenDisplay(nullptr);
        if (d == nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (d == nullptr) return false;
    m_display = d;
    const int screen = DefaultScreen(d);
    XSetWindowAttributes attr = {};
    attr.event_mask = StructureNotifyMask;
    attr.background_pixel = BlackPixel(d, screen);
    m_window = XCreateWindow(d, RootWindow(d, screen), 0, 0, static_cast<unsigned>(width),
                             static_cast<unsigned>(height), 0, CopyFromParent, InputOutput,
                             CopyFromParent, CWEventMask | CWBackPixel, &attr);
    if (m_window == 0) return false;
    // A fixed size: window managers must not resize what is drawn.
    XSizeHints hints = {};
    hints.flags = PMinSize | PMaxSize;
    hints.min_width = hints.max_width = width;
    hints.min_height = hints.max_height = height;
    XSetWMNormalHints(d, m_window, &hints);
    if (title) XStoreName(d, m_window, title);
    XMapWindow(d, m_window);
    XEvent e;
    do {
        XNextEvent(d, &e);
    } while (e.type != MapNotify);
    XSync(d, False);
    return true;
}

void NativeWindow::Close() {
    Display* d = static_cast<Display*>(m_display);
    if (d != nullptr) {
        if (m_window != 0) XDestroyWindow(d, m_window);
        XCloseDisplay(d);
    }
    m_display = nullptr;
    m_window = 0;
}

}  // namespace adapters
