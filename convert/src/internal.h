// What the entry points share with the jobs.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "convert/convert_api.h"

class Mp4Output;

namespace convert {

// Set by stop_transcoding, cleared when a job starts.
extern std::atomic<bool> g_stop;
// Frames written by the running or the last job.
extern std::atomic<int64_t> g_framesDone;

// The waits of the running job, woken when a stop is requested: a job
// registers its mutex and condition while its threads may wait on them.
void SetStopWaker(std::mutex* mutex, std::condition_variable* changed);
// Raises g_stop and wakes the running job's waits.
void RequestStop();

// Hands the percent to the registered callback, if any.
void ReportProgress(float percent);

// An export job from the vector.
struct ExportJob {
    bool stitch = false;  // "-d"
    std::string input, output;
    int64_t startMs = 0;
    int64_t lengthMs = -1;  // -1: to the end
    int bitRateKbps = 10240;
    double frameRate = 0;  // 0: the source's
    std::string profile, preset;
    int refs = -1, bFrames = -1;
    int rotation = 0;
    bool high = false;
};

// Finishes a job's output given the job's result so far: renamed into place
// when that is kConvertOk and everything reached the file. The job's result.
int FinishOutput(Mp4Output* out, int result);

int RunExport(const ExportJob& job);
int RunMerge(const std::string& listPath, const std::string& output);

// The paths named by a list file ("file '...'" lines, '\'' undone).
bool ReadListFile(const std::string& path, std::vector<std::string>* files);

}  // namespace convert
