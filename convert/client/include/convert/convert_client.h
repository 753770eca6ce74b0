// The conversion library as its callers see it: found beside the program (or
// where the build put it), loaded at run time and its entry points bound.
#pragma once

#include <string>

#include "convert/convert_api.h"
#include "platform/library.h"

class ConvertClient {
  public:
    // Loads the library and binds the entry points. Candidates in order:
    // ../lib and the folder of the running program, then the build's path.
    // False with a message for the user when it cannot be loaded or lacks an
    // entry point.
    bool Load(std::string* error);
    // Loads the library at exactly this path (another build of it, or a
    // stand-in with the same entry points for tests).
    bool LoadFrom(const std::string& path, std::string* error);
    bool IsLoaded() const { return synthTrans != nullptr; }

    // Bound by Load; null before.
    SynthTransFn synthTrans = nullptr;
    StopTranscodingFn stopTranscoding = nullptr;
    SetPositionCallbackFn setPositionCallback = nullptr;
    SynthImageFn synthImage = nullptr;
    RescaleCsconvertFn rescaleCsconvert = nullptr;
    ConvertFramesDoneFn framesDone = nullptr;  // optional: frames written by the running job

  private:
    bool Bind(std::string* error);

    platform::SharedLibrary m_library;
};
