// The calibration trailer: finding, deciphering and splitting it into records,
// and the readers that turn its lens records into stitch meshes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "calib/buffer.h"
#include "calib/calib_codes.h"
#include "platform/file.h"

// The marker in front of the base64 text, and the cipher key.
extern const char kTrailerMarker[17];  // "QUARTZNEBULAFORM"
extern const uint8_t kTrailerKey[16];  // "5830194726058371"

constexpr int kMaxCalibrationRecords = 32;

struct CalibrationRecord {
    uint16_t type;
    uint16_t length;
    const uint8_t* value;  // points into the joined buffer of the trailer
};

struct CalibrationRecordTable {
    uint8_t marker[16];
    uint32_t declaredLength;
    uint32_t recordCount;  // as declared in the trailer
    uint32_t parsedCount;  // entries actually filled (at most 32)
    CalibrationRecord entries[kMaxCalibrationRecords];
};

// Splits a joined buffer (marker + plaintext) into records. Records whose
// value runs past the buffer are not taken; records past the 32nd are ignored.
void ParseRecordTable(const uint8_t* joined, size_t length, CalibrationRecordTable* table);

// The first record of a type, or null.
const CalibrationRecord* FindRecord(const CalibrationRecordTable& table, uint16_t type);

// Whether a single-lens lens record (type 7) can be used: 28 bytes, its circle
// (centre x, y and radius at offsets 16, 20, 24, in the 1920 x 1080 reference
// frame) finite, with a radius above zero, and not entirely outside that frame.
// The single-lens readers answer kCalibBadLensRecord for any other record, and
// the stitch finds no calibration in it.
bool IsUsableSingleLensRecord(const CalibrationRecord& lens);

enum TrailerContainer { kTrailerInMp4 = 0, kTrailerInJpeg = 1 };

enum TrailerStatus {
    kTrailerOk = 0,
    kTrailerNoData,  // no container data
    kTrailerNoMarker,
    kTrailerNoMemory,
    kTrailerNothingDecoded,
    kTrailerDecipherFailed,
};

// A deciphered trailer: the joined buffer and the records that point into it.
struct CalibrationTrailer {
    ByteBuffer joined;
    CalibrationRecordTable table{};
};

// Finds the trailer in data already read from the container (marker search,
// base64, deciphering, records). Returns a TrailerStatus.
int DecodeCalibrationTrailer(const uint8_t* data, size_t size, CalibrationTrailer* out);

// Reads the container data of the given kind, then decodes it.
int ReadCalibrationTrailer(platform::ByteSource& src, TrailerContainer container,
                           CalibrationTrailer* out);

// --- Readers ---------------------------------------------------------------
// Paths are narrow (UTF-8). Mesh buffers are caller-owned StitchMesh buffers of
// 18824 floats; a failed read leaves them and the lens-circle state unchanged.

int ReadCameraType(const char* path);
int ReadSingleLensCalibrationFromVideo(const char* path, int width, int height, float* mesh);
int ReadSingleLensCalibrationFromPhoto(const char* path, int width, int height, float* mesh);
int ReadDualLensCalibrationFromVideo(const char* path, int width, int height, float* meshA,
                                     float* meshB);
int ReadDualLensCalibrationFromPhoto(const char* path, int width, int height, float* meshA,
                                     float* meshB);

// The same readers over any byte source (tests and fuzzers).
int ReadCameraTypeFrom(platform::ByteSource& src);
int ReadSingleLensCalibrationFrom(platform::ByteSource& src, TrailerContainer container, int width,
                                  int height, float* mesh);
int ReadDualLensCalibrationFrom(platform::ByteSource& src, TrailerContainer container, int width,
                                int height, float* meshA, float* meshB);

// The same steps on a trailer already read (status: its TrailerStatus), so
// that a caller reads and deciphers a file once for the camera type and the
// lens.
// Reads the trailer from the MP4 user data, else from the JPEG Exif segment
// (the camera-type reader's order); *found names the container tried last.
int ReadAnyCalibrationTrailer(platform::ByteSource& src, CalibrationTrailer* out,
                              TrailerContainer* found);
int CameraTypeOfTrailer(int status, const CalibrationTrailer& trailer);
int SingleLensCalibrationOfTrailer(int status, const CalibrationTrailer& trailer,
                                   TrailerContainer container, int width, int height, float* mesh);
int DualLensCalibrationOfTrailer(int status, const CalibrationTrailer& trailer, int width,
                                 int height, float* meshA, float* meshB);

// --- Process-wide single-lens circle ------------------------------------------

struct LensCircle {
    int32_t x;
    int32_t y;
    float r;
};

// The circle of the last successful single-lens read, and the last circle a
// read reported as changed (its radius truncated). Both start at zero.
LensCircle CurrentLensCircle();
LensCircle LastReportedLensCircle();
// Back to the start state; for tests.
void ResetLensCircleState();
