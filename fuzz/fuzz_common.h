// Shared body of the trailer fuzzers: every reader over the same bytes.
#pragma once

#include <cstdint>
#include <vector>

#include "calib/trailer.h"
#include "lens/mesh.h"
#include "platform/file.h"

inline void RunAllReaders(const uint8_t* data, size_t size, TrailerContainer container) {
    static std::vector<float> a(kStitchMeshFloats), b(kStitchMeshFloats);
    platform::MemorySource src(data, size);
    ReadCameraTypeFrom(src);
    ReadSingleLensCalibrationFrom(src, container, 1920, 1080, a.data());
    ReadSingleLensCalibrationFrom(src, container, 1440, 1080, a.data());
    ReadDualLensCalibrationFrom(src, container, 1920, 960, a.data(), b.data());
}
