// Camera files built in memory: calibration trailers, and the smallest JPEG and MP4 layouts
// that carry one.
#pragma once

#include <cstdint>
#include <vector>

#include "sample/samplegen.h"
#include "support/files.h"

namespace testutil {

// The trailer of these records, damaged as asked; a declared total of -1 is the true one.
Bytes TrailerOf(std::vector<sample::Record> records,
                sample::Corruption corruption = sample::Corruption::None,
                int64_t declaredTotal = -1);
// The trailer of the default records of a camera type.
Bytes DefaultTrailer(int cameraType);
// Camera text "CAM", the camera type, and the lens record of the values.
Bytes DualTrailer(const sample::DualLensValues& v);
Bytes SingleTrailer(const sample::SingleLensValues& v);

// SOI, optional APP0, then an APP1 "Exif" segment holding the data. No picture follows:
// the trailer readers do not need one.
Bytes JpegWithExif(const Bytes& data, bool app0 = false);

// A minimal box layout: ftyp, mdat, then moov holding one trak and a udta with the data.
Bytes Mp4WithUdtaInMoov(const Bytes& data);

}  // namespace testutil
