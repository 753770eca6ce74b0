#include "convert.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "convert/convert_api.h"
#include "convert/convert_client.h"
#include "interrupt.h"
#include "messages.h"
#include "platform/file.h"

namespace {

// Loads the conversion library; says why not on standard error.
bool LoadLibrary(ConvertClient* lib) {
    std::string error;
    if (lib->Load(&error)) return true;
    PrintFailure(error);
    return false;
}

struct ProgressLine {
    ConvertFramesDoneFn framesDone = nullptr;
    bool tty = false;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point lastDraw{};
    int lastWhole = -1;
    bool drawn = false;
};

void OnProgress(float percent, void* user) {
    ProgressLine* p = static_cast<ProgressLine*>(user);
    const auto now = std::chrono::steady_clock::now();
    const int whole = static_cast<int>(percent);
    // A terminal line is redrawn at most ten times a second; plain output
    // gets a line per whole percent.
    if (p->tty ? (now - p->lastDraw < std::chrono::milliseconds(100) && percent < 100)
               : whole == p->lastWhole) {
        return;
    }
    p->lastDraw = now;
    p->lastWhole = whole;
    const double elapsed = std::chrono::duration<double>(now - p->start).count();
    const long long frames = p->framesDone ? static_cast<long long>(p->framesDone()) : -1;
    const double fps = frames >= 0 && elapsed > 0 ? static_cast<double>(frames) / elapsed : 0;
    long left = 0;
    if (percent > 0 && percent < 100)
        left = static_cast<long>(elapsed * (100.0 - percent) / percent + 0.5);
    char line[160];
    std::snprintf(line, sizeof line, "%6.2f%%  %6.1f fps  left %02ld:%02ld:%02ld",
                  static_cast<double>(percent), fps, left / 3600, left / 60 % 60, left % 60);
    if (p->tty) {
        std::fprintf(stderr, "\r%s", line);
        p->drawn = true;
    } else {
        std::fprintf(stderr, "%s\n", line);
    }
    std::fflush(stderr);
}

int Call(ConvertClient* lib, std::vector<std::string> vec, int rotation, int high) {
    // A signal stops the job through the library, which closes the encoder
    // and removes its temporary files before it returns.
    const InterruptAction stopOnSignal([lib] { lib->stopTranscoding(); });
    ProgressLine progress;
    progress.framesDone = lib->framesDone;
    progress.tty = isatty(STDERR_FILENO) != 0;
    lib->setPositionCallback(OnProgress, &progress);
    std::vector<char*> argv;
    for (std::string& s : vec) argv.push_back(s.data());
    const int r = lib->synthTrans(static_cast<int>(argv.size()), argv.data(), rotation, 0, high);
    lib->setPositionCallback(nullptr, nullptr);
    if (progress.drawn) std::fputc('\n', stderr);
    return r;
}

// The input named by an export vector ("-i PATH").
std::string InputOf(const std::vector<std::string>& vec) {
    for (size_t i = 0; i + 1 < vec.size(); ++i) {
        if (vec[i] == "-i") return vec[i + 1];
    }
    return std::string();
}

// The merge input a failure is about: the one that is the output, the first
// that cannot be read, or (for a mismatch) the first that differs in shape —
// found the same way the library checks them.
std::string FailedMergeInput(int code, const std::vector<std::string>& args) {
    for (size_t i = 1; i < args.size(); ++i) {
        if (code == kConvertOutputIsInput &&
            platform::IsSameFile(args[i].c_str(), args[0].c_str())) {
            return args[i];
        }
        if (code == kConvertMergeBadInput && !platform::FileExists(args[i].c_str())) return args[i];
    }
    return args.size() > 2 && code == kConvertMergeMismatch ? std::string("an input")
                                                            : std::string();
}

// A path for the list file's quotes: ' becomes '\''.
std::string QuoteForList(const std::string& path) {
    std::string out;
    for (char c : path) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out.push_back(c);
        }
    }
    return out;
}

}  // namespace

int RunConvert(const std::vector<std::string>& args) {
    int rotation = 0, high = 0;
    size_t i = 0;
    for (; i < args.size(); ++i) {
        if (args[i] == "--high") {
            high = 1;
        } else if (args[i] == "--rotation" && i + 1 < args.size()) {
            char* end = nullptr;
            rotation = static_cast<int>(std::strtol(args[++i].c_str(), &end, 10));
            if (*end != '\0') rotation = -1;
        } else {
            break;
        }
    }
    std::vector<std::string> vec(args.begin() + static_cast<ptrdiff_t>(i), args.end());
    if (vec.size() < 3 || vec[0] != "ffmpeg" ||
        (rotation != 0 && rotation != 90 && rotation != 180 && rotation != 270)) {
        std::fputs("usage: orbivue-cli convert [--rotation R] [--high] ffmpeg ARG... OUTPUT\n",
                   stderr);
        return 2;
    }
    ConvertClient lib;
    if (!LoadLibrary(&lib)) return 1;
    const int r = Call(&lib, vec, rotation, high);
    if (r != 0) PrintFailure(ConvertMessage(r, InputOf(vec), vec.back()));
    std::printf("result: %d\n", r);
    return r == 0 ? 0 : 1;
}

int RunMerge(const std::vector<std::string>& args) {
    if (args.size() < 2) {
        std::fputs("usage: orbivue-cli merge OUTPUT INPUT...\n", stderr);
        return 2;
    }
    ConvertClient lib;
    if (!LoadLibrary(&lib)) return 1;
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    if (dir.back() != '/') dir.push_back('/');
    // A new file made exclusively under an unpredictable name, so that merges
    // may run side by side and a planted link cannot redirect the list.
    std::string list = dir + "orbivue-list-XXXXXX";
    const int fd = mkstemp(list.data());
    FILE* f = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (f == nullptr) {
        if (fd >= 0) close(fd);
        PrintFailure("cannot write the list of files to join in " + dir);
        return 1;
    }
    for (size_t i = 1; i < args.size(); ++i)
        std::fprintf(f, "file '%s'\n", QuoteForList(args[i]).c_str());
    const bool written = std::fclose(f) == 0;
    int r = kConvertBadList;
    if (written)
        r = Call(&lib, {"ffmpeg", "-f", "concat", "-i", list, "-c", "copy", args[0]}, 0, 0);
    platform::RemoveFile(list.c_str());
    if (r != 0) PrintFailure(ConvertMessage(r, FailedMergeInput(r, args), args[0]));
    std::printf("result: %d\n", r);
    return r == 0 ? 0 : 1;
}
