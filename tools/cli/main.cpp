// orbivue-cli: the command-line front of Orbivue's camera-file handling.
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "convert.h"
#include "info.h"
#include "interrupt.h"
#include "remux.h"
#include "render.h"
#include "stitch.h"

namespace {

void PrintUsage(FILE* out) {
    std::fprintf(
        out,
        "usage: orbivue-cli info FILE... [--photo|--video] [--frame WxH] [--mesh OUT]\n"
        "       orbivue-cli stitch INPUT.jpg OUTPUT.jpg [--rotation R] [--quality Q]\n"
        "       orbivue-cli stitch INPUT.jpg... --out-dir DIR [--rotation R] [--quality Q]\n"
        "       orbivue-cli remux INPUT OUTPUT\n"
        "       orbivue-cli convert [--rotation R] [--high] ffmpeg ARG... OUTPUT\n"
        "       orbivue-cli merge OUTPUT INPUT...\n"
        "       orbivue-cli render FILE OUT.png [--view N] [--yaw D] [--pitch D] [--fov D] "
        "[--size WxH] [--flip]\n");
}

}  // namespace

int main(int argc, char** argv) {
    InstallInterruptHandling();
    std::setlocale(LC_ALL, "");
    if (argc < 2) {
        PrintUsage(stderr);
        return 2;
    }
    const std::string verb = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    // Nothing of these two needs undoing: a signal ends them at once.
    const InterruptAction endAtOnce([] { std::_Exit(128 + InterruptSignal()); });
    if (verb == "info") return RunInfo(args);
    if (verb == "render") return RunRender(args);
    const InterruptAction unwind(nullptr);
    if (verb == "stitch") return ExitStatusAfter(RunStitch(args));
    if (verb == "remux") return ExitStatusAfter(RunRemux(args));
    if (verb == "convert") return ExitStatusAfter(RunConvert(args));
    if (verb == "merge") return ExitStatusAfter(RunMerge(args));
    if (verb == "--help" || verb == "-h" || verb == "help") {
        PrintUsage(stdout);
        return 0;
    }
    std::fprintf(stderr, "orbivue-cli: unknown command '%s'\n", verb.c_str());
    PrintUsage(stderr);
    return 2;
}
