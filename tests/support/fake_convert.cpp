// A stand-in for the conversion library with the same five entry points, for
// the converter's dialog tests. The test loads it too (the same handle) and
// steers it through the fake_convert_* functions: what a job returns, whether
// it waits to be released, and the progress it reports.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "convert/convert_api.h"

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

struct State {
    std::mutex mutex;  // guards everything below
    std::condition_variable changed;
    int result = kConvertOk;
    bool block = false;  // a job waits for fake_convert_release or a stop
    bool released = false;
    bool stopped = false;
    bool running = false;
    int calls = 0;
    std::vector<std::string> args;
    int rotation = -1, high = -1;
    std::vector<float> progress;  // reported one after the other when a job starts
    ConvertPositionCallback callback = nullptr;
    void* user = nullptr;
};

State& S() {
    static State s;
    return s;
}

}  // namespace

FAKE_EXPORT int synth_trans(int count, char** argv, int rotation, int reserved, int high) {
    (void)reserved;
    State& s = S();
    std::unique_lock<std::mutex> lock(s.mutex);
    ++s.calls;
    s.args.assign(argv, argv + count);
    s.rotation = rotation;
    s.high = high;
    s.running = true;
    s.stopped = false;
    s.released = false;
    // A partial output, as a real job leaves while it runs.
    if (count > 0) {
        if (FILE* f = std::fopen(argv[count - 1], "wb")) {
            std::fputs("partial", f);
            std::fclose(f);
        }
    }
    const std::vector<float> steps = s.progress;
    ConvertPositionCallback cb = s.callback;
    void* user = s.user;
    lock.unlock();
    for (float p : steps)
        if (cb) cb(p, user);
    lock.lock();
    if (s.block) s.changed.wait(lock, [&] { return s.released || s.stopped; });
    s.running = false;
    s.changed.notify_all();
    return s.stopped ? kConvertStopped : s.result;
}

FAKE_EXPORT void stop_transcoding(void) {
    State& s = S();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.stopped = true;
    s.changed.notify_all();
}

FAKE_EXPORT void setposition_callback(ConvertPositionCallback callback, void* user) {
    State& s = S();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.callback = callback;
    s.user = user;
}

FAKE_EXPORT int synth_image(int, char**, int, int, int) {
    return kConvertNotSupported;
}

FAKE_EXPORT int rescale_csconvert(const uint8_t*, uint8_t*, int, int, int, int, int, int) {
    return kConvertBadFrame;
}

// ---------------------------------------------------------------- steering

FAKE_EXPORT void fake_convert_reset(int result, int block) {
    State& s = S();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.result = result;
    s.block = block != 0;
    s.released = s.stopped = false;
    s.calls = 0;
    s.args.clear();
    s.rotation = s.high = -1;
    s.progress.clear();
}

FAKE_EXPORT void fake_convert_add_progress(float percent) {
    State& s = S();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.progress.push_back(percent);
}

// Calls the registered callback now, as the library would from its thread.
FAKE_EXPORT int fake_convert_report(float percent) {
    State& s = S();
    ConvertPositionCallback cb;
    void* user;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        cb = s.callback;
        user = s.user;
    }
    if (cb == nullptr) return 0;
    cb(percent, user);
    return 1;
}

FAKE_EXPORT void fake_convert_release(void) {
    State& s = S();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.released = true;
    s.changed.notify_all();
}

// Waits up to ms for a job to be running (running 1) or not (0); 1 when it is so.
FAKE_EXPORT int fake_convert_wait_running(int running, int ms) {
    State& s = S();
    std::unique_lock<std::mutex> lock(s.mutex);
    return s.changed.wait_for(lock, std::chrono::milliseconds(ms),
                              [&] { return s.running == (running != 0); })
               ? 1
               : 0;
}

FAKE_EXPORT int fake_convert_calls(void) {
    State& s = S();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.calls;
}

// The last job's arguments joined by "|", its rotation and its last argument.
FAKE_EXPORT int fake_convert_last(char* out, int size, int* rotation, int* high) {
    State& s = S();
    std::lock_guard<std::mutex> lock(s.mutex);
    std::string joined;
    for (size_t i = 0; i < s.args.size(); ++i) joined += (i ? "|" : "") + s.args[i];
    if (rotation) *rotation = s.rotation;
    if (high) *high = s.high;
    if (out && size > 0) std::snprintf(out, static_cast<size_t>(size), "%s", joined.c_str());
    return static_cast<int>(joined.size());
}

FAKE_EXPORT int fake_convert_has_callback(void) {
    State& s = S();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.callback != nullptr ? 1 : 0;
}
