// The exported entry points: the vector is read here and handed to a job.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "convert/convert_api.h"
#include "internal.h"
#include "platform/file.h"
#include "mp4/mp4_output.h"

#define CONVERT_EXPORT __attribute__((visibility("default")))

namespace convert {

// Set by stop_transcoding from any thread, read by every thread of a job.
std::atomic<bool> g_stop{false};
// Written by the converting thread, read by any caller of the frame count.
std::atomic<int64_t> g_framesDone{0};

namespace {

// The registered progress callback: set from any thread, called from the
// converting thread; both under g_callbackMutex.
std::mutex g_callbackMutex;
ConvertPositionCallback g_callback = nullptr;
void* g_callbackUser = nullptr;
std::mutex g_jobMutex;  // one job at a time

// "hh:mm:ss" (also "ss" and fractional seconds) in milliseconds, or -1.
int64_t ParseTime(const std::string& s) {
    if (s.empty()) return -1;
    double total = 0;
    size_t at = 0;
    int parts = 0;
    while (at <= s.size()) {
        const size_t colon = s.find(':', at);
        const std::string part =
            s.substr(at, colon == std::string::npos ? std::string::npos : colon - at);
        if (part.empty()) return -1;
        char* end = nullptr;
        const double v = std::strtod(part.c_str(), &end);
        if (end == nullptr || *end != '\0' || v < 0) return -1;
        total = total * 60 + v;
        if (++parts > 3) return -1;
        if (colon == std::string::npos) break;
        at = colon + 1;
    }
    return static_cast<int64_t>(total * 1000 + 0.5);
}

// "10000k", "10M" or plain bits per second, in kbit/s; -1 when malformed.
int ParseBitRate(const std::string& s) {
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (end == s.c_str() || v <= 0) return -1;
    double kbps = v / 1000;
    if (*end == 'k' || *end == 'K') {
        kbps = v;
        ++end;
    } else if (*end == 'm' || *end == 'M') {
        kbps = v * 1000;
        ++end;
    }
    if (*end != '\0' || kbps < 1 || kbps > 2e6) return -1;
    return static_cast<int>(kbps + 0.5);
}

bool ParseInt(const std::string& s, int lo, int hi, int* out) {
    char* end = nullptr;
    const long v = std::strtol(s.c_str(), &end, 10);
    if (s.empty() || *end != '\0' || v < lo || v > hi) return false;
    *out = static_cast<int>(v);
    return true;
}

int Dispatch(int count, char** argv, int rotation, int high) {
    if (count < 3 || argv == nullptr) return kConvertBadArguments;
    std::vector<std::string> a;
    for (int i = 0; i < count; ++i) {
        if (argv[i] == nullptr) return kConvertBadArguments;
        a.emplace_back(argv[i]);
    }
    if (rotation != 0 && rotation != 90 && rotation != 180 && rotation != 270)
        return kConvertBadArguments;
    ExportJob job;
    job.output = a.back();
    job.rotation = rotation;
    job.high = high == 1;
    bool concat = false, copy = false;
    const size_t last = a.size() - 1;
    for (size_t i = 1; i < last; ++i) {
        const std::string& o = a[i];
        if (o == "-d") {
            job.stitch = true;
            continue;
        }
        if (i + 1 >= last) return kConvertBadArguments;  // every other option takes a value
        const std::string& v = a[++i];
        if (o == "-i") {
            job.input = v;
        } else if (o == "-ss") {
            if ((job.startMs = ParseTime(v)) < 0) return kConvertBadArguments;
        } else if (o == "-t") {
            if ((job.lengthMs = ParseTime(v)) < 0) return kConvertBadArguments;
        } else if (o == "-b:v") {
            if ((job.bitRateKbps = ParseBitRate(v)) < 0) return kConvertBadArguments;
        } else if (o == "-r") {
            char* end = nullptr;
            job.frameRate = std::strtod(v.c_str(), &end);
            if (*end != '\0' || !(job.frameRate > 0 && job.frameRate <= 240))
                return kConvertBadArguments;
        } else if (o == "-profile:v") {
            job.profile = v;
        } else if (o == "-preset") {
            job.preset = v;
        } else if (o == "-refs") {
            if (!ParseInt(v, 1, 16, &job.refs)) return kConvertBadArguments;
        } else if (o == "-bf") {
            if (!ParseInt(v, 0, 16, &job.bFrames)) return kConvertBadArguments;
        } else if (o == "-f") {
            if (v != "concat") return kConvertBadArguments;
            concat = true;
        } else if (o == "-c") {
            if (v != "copy") return kConvertBadArguments;
            copy = true;
        } else {
            return kConvertBadArguments;
        }
    }
    if (job.input.empty() || job.output.empty()) return kConvertBadArguments;
    if (concat || copy) {
        if (!(concat && copy)) return kConvertBadArguments;
        return RunMerge(job.input, job.output);
    }
    // Writing over the camera original would lose it.
    if (platform::IsSameFile(job.input.c_str(), job.output.c_str())) return kConvertOutputIsInput;
    return RunExport(job);
}

}  // namespace

void ReportProgress(float percent) {
    std::lock_guard<std::mutex> lock(g_callbackMutex);
    if (g_callback != nullptr) g_callback(percent, g_callbackUser);
}

namespace {

// The running job's waits; both pointers guarded by g_wakerMutex.
std::mutex g_wakerMutex;
std::mutex* g_waitMutex = nullptr;
std::condition_variable* g_waitChanged = nullptr;

}  // namespace

void SetStopWaker(std::mutex* mutex, std::condition_variable* changed) {
    std::lock_guard<std::mutex> lock(g_wakerMutex);
    g_waitMutex = mutex;
    g_waitChanged = changed;
}

void RequestStop() {
    g_stop.store(true);
    std::lock_guard<std::mutex> lock(g_wakerMutex);
    if (g_waitMutex == nullptr) return;
    // Taking the job's mutex orders the flag before any waiter's next check,
    // so no wait can miss it.
    std::lock_guard<std::mutex> jobLock(*g_waitMutex);
    g_waitChanged->notify_all();
}

int FinishOutput(Mp4Output* out, int result) {
    const int finished = out->Finish(result == kConvertOk);
    if (result != kConvertOk || finished == kMp4OutputOk) return result;
    return finished == kMp4OutputRenameFailed ? kConvertCannotCreate : kConvertWriteFailed;
}

}  // namespace convert

using namespace convert;

extern "C" {

CONVERT_EXPORT int synth_trans(int count, char** argv, int rotation, int reserved, int high) {
    (void)reserved;
    std::unique_lock<std::mutex> lock(g_jobMutex, std::try_to_lock);
    if (!lock.owns_lock()) return kConvertBusy;
    g_stop.store(false);
    g_framesDone.store(0);
    return Dispatch(count, argv, rotation, high);
}

CONVERT_EXPORT void stop_transcoding(void) {
    convert::RequestStop();
}

CONVERT_EXPORT void setposition_callback(ConvertPositionCallback callback, void* user) {
    std::lock_guard<std::mutex> lock(g_callbackMutex);
    g_callback = callback;
    g_callbackUser = user;
}

CONVERT_EXPORT int synth_image(int count, char** argv, int rotation, int reserved, int high) {
    (void)count;
    (void)argv;
    (void)rotation;
    (void)reserved;
    (void)high;
    return kConvertNotSupported;
}

CONVERT_EXPORT int64_t orbivue_convert_frames(void) {
    return g_framesDone.load();
}

}  // extern "C"
