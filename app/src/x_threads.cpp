// Xlib's thread support, kept apart from the Qt sources (Xlib's macros and
// Qt's headers do not mix).
#include <X11/Xlib.h>

namespace app {

bool InitXThreads() {
    return XInitThreads() != 0;
}

}  // namespace app
