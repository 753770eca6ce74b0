#include "app/video_player_app.h"

int main(int argc, char** argv) {
    app::InitXThreads();
    app::CVideoPlayerApp application;
    return application.Run(argc, argv);
}
