// Start-up of the viewer: process-wide services, the interface language, the
// main window, and the file given on the command line.
#pragma once

namespace app {

// Must run first in main: the playback library's threads and every GLX
// drawing thread use Xlib.
bool InitXThreads();

class CVideoPlayerApp {
  public:
    // Runs the program; returns the exit status.
    int Run(int argc, char** argv);
};

}  // namespace app
