#include "stitch.h"

#include <cstdio>
#include <cstdlib>

#include "interrupt.h"
#include "messages.h"
#include "stitch/output_name.h"
#include "stitch/stitch.h"

namespace {

const char kUsage[] =
    "usage: orbivue-cli stitch INPUT.jpg OUTPUT.jpg [--rotation 0|90|180|270] [--quality 0|1|2]\n"
    "       orbivue-cli stitch INPUT.jpg... --out-dir DIR [--rotation R] [--quality Q]\n";

bool ParseChoice(const std::string& text, std::initializer_list<int> allowed, int* out) {
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != '\0') return false;
    for (int a : allowed) {
        if (v == a) {
            *out = a;
            return true;
        }
    }
    return false;
}

}  // namespace

int RunStitch(const std::vector<std::string>& args) {
    int rotation = 0, quality = 1;
    std::string outDir;
    std::vector<std::string> paths;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == "--rotation" && hasValue) {
            if (!ParseChoice(args[++i], {0, 90, 180, 270}, &rotation)) {
                std::fprintf(stderr, "orbivue-cli stitch: --rotation takes 0, 90, 180 or 270\n");
                return 2;
            }
        } else if (a == "--quality" && hasValue) {
            if (!ParseChoice(args[++i], {0, 1, 2}, &quality)) {
                std::fprintf(stderr, "orbivue-cli stitch: --quality takes 0, 1 or 2\n");
                return 2;
            }
        } else if (a == "--out-dir" && hasValue) {
            outDir = args[++i];
        } else if (a.size() > 1 && a[0] == '-' && a[1] == '-') {
            std::fprintf(stderr, "orbivue-cli stitch: unknown or incomplete option '%s'\n%s",
                         a.c_str(), kUsage);
            return 2;
        } else {
            paths.push_back(a);
        }
    }
    if (outDir.empty() && paths.size() != 2) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (!outDir.empty() && paths.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (outDir.empty()) {
        const int r = StitchPhoto(paths[0].c_str(), paths[1].c_str(), rotation, 0, quality);
        if (r != 0) PrintFailure(StitchMessage(r, paths[0], paths[1]));
        std::printf("result: %d\n", r);
        return r == 0 ? 0 : 1;
    }
    if (outDir.back() != '/') outDir += '/';
    bool allDone = true;
    for (const std::string& in : paths) {
        // An interrupted batch stops between photos; each photo is whole or absent.
        if (InterruptFlag().load()) return 1;
        const std::string out = MakeOutputPath(outDir, in, true);
        const int r = StitchPhoto(in.c_str(), out.c_str(), rotation, 0, quality);
        if (r != 0) PrintFailure(StitchMessage(r, in, out));
        std::printf("file: %s\n", in.c_str());
        if (r == 0) std::printf("output: %s\n", out.c_str());
        std::printf("result: %d\n", r);
        std::fflush(stdout);
        if (r != 0) allDone = false;
    }
    return allDone ? 0 : 1;
}
