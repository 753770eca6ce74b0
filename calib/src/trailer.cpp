#include "calib/trailer.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>

#include "calib/cipher.h"
#include "calib/containers.h"
#include "lens/mesh.h"
#include "platform/bytes.h"

const char kTrailerMarker[17] = "QUARTZNEBULAFORM";
const uint8_t kTrailerKey[16] = {'5', '8', '3', '0', '1', '9', '4', '7',
                                 '2', '6', '0', '5', '8', '3', '7', '1'};

using namespace platform;

namespace {

constexpr size_t kMarkerSize = 16;
constexpr size_t kTextOffset = 20;  // base64 text starts 20 bytes after the marker
constexpr uint16_t kTypeCameraText = 3;
constexpr uint16_t kTypeCameraType = 5;
constexpr uint16_t kTypeLensRecord = 7;
constexpr uint16_t kSingleLensRecordBytes = 28;

// Process-wide single-lens circles, guarded by their mutex (readers may be
// called from the window thread and from a converter's worker).
std::mutex g_circleMutex;
LensCircle g_currentCircle{0, 0, 0.0f};
LensCircle g_reportedCircle{0, 0, 0.0f};

const uint8_t* FindMarker(const uint8_t* data, size_t size) {
    if (size < kMarkerSize) return nullptr;
    for (size_t i = 0; i + kMarkerSize <= size; ++i) {
        if (std::memcmp(data + i, kTrailerMarker, kMarkerSize) == 0) return data + i;
    }
    return nullptr;
}

int ReadContainer(platform::ByteSource& src, TrailerContainer container, ByteBuffer* data) {
    return container == kTrailerInJpeg ? ReadJpegExifPayload(src, data)
                                       : WalkMp4Boxes(src, kWalkUserData, data);
}

// Maps a trailer status to the code of the lens readers.
int LensReaderCode(int status, int noDataCode) {
    switch (status) {
        case kTrailerNoData:
            return noDataCode;
        case kTrailerNoMarker:
            return kCalibNoMarker;
        case kTrailerNoMemory:
            return kCalibNoMemory;
        case kTrailerNothingDecoded:
            return kCalibNothingDecoded;
        default:
            return kCalibDecipherFailed;
    }
}

}  // namespace

void ParseRecordTable(const uint8_t* joined, size_t length, CalibrationRecordTable* table) {
    std::memset(table, 0, sizeof(*table));
    if (length < kMarkerSize) return;
    std::memcpy(table->marker, joined, kMarkerSize);
    if (std::memcmp(joined, kTrailerMarker, kMarkerSize) != 0) return;
    if (length < 24) return;
    table->declaredLength = Le32(joined + 16);
    table->recordCount = Le32(joined + 20);
    if (table->declaredLength > length) return;
    size_t off = 28;
    while (table->parsedCount < table->recordCount &&
           table->parsedCount < static_cast<uint32_t>(kMaxCalibrationRecords)) {
        if (length < off || length - off < 4) break;
        const uint16_t type = Le16(joined + off);
        const uint16_t len = Le16(joined + off + 2);
        if (length - off - 4 < len) break;  // value runs past the data: not taken
        CalibrationRecord& e = table->entries[table->parsedCount++];
        e.type = type;
        e.length = len;
        e.value = joined + off + 4;
        off += 4 + size_t{len};
        if (off >= length) break;
    }
}

const CalibrationRecord* FindRecord(const CalibrationRecordTable& table, uint16_t type) {
    const uint32_t n =
        table.parsedCount < table.recordCount ? table.parsedCount : table.recordCount;
    for (uint32_t i = 0; i < n; ++i) {
        if (table.entries[i].type == type) return &table.entries[i];
    }
    return nullptr;
}

bool IsUsableSingleLensRecord(const CalibrationRecord& lens) {
    if (lens.length != kSingleLensRecordBytes) return false;
    const double cx = LeFloat(lens.value + 16);
    const double cy = LeFloat(lens.value + 20);
    const double r = LeFloat(lens.value + 24);
    if (!std::isfinite(cx) || !std::isfinite(cy) || !std::isfinite(r) || !(r > 0.0)) return false;
    // Distance from the centre to the nearest point of the reference frame.
    constexpr double kFrameW = 1920.0, kFrameH = 1080.0;
    const double dx = cx < 0.0 ? -cx : (cx > kFrameW ? cx - kFrameW : 0.0);
    const double dy = cy < 0.0 ? -cy : (cy > kFrameH ? cy - kFrameH : 0.0);
    return dx * dx + dy * dy < r * r;
}

int DecodeCalibrationTrailer(const uint8_t* data, size_t size, CalibrationTrailer* out) {
    out->joined.Reset();
    std::memset(&out->table, 0, sizeof(out->table));
    const uint8_t* marker = FindMarker(data, size);
    if (marker == nullptr) return kTrailerNoMarker;
    const size_t markerOff = static_cast<size_t>(marker - data);
    const size_t textOff = size - markerOff > kTextOffset ? markerOff + kTextOffset : size;
    const size_t textLen = Base64TextLength(data + textOff, size - textOff);

    ByteBuffer work;
    if (!work.Allocate(kMarkerSize + Base64DecodedBound(textLen))) return kTrailerNoMemory;
    const size_t cipherLen = Base64Decode(data + textOff, textLen, work.data() + kMarkerSize);
    std::memcpy(work.data(), marker, kMarkerSize);
    if (cipherLen == 0) return kTrailerNothingDecoded;

    ByteBuffer joined;
    if (!joined.Allocate(kMarkerSize + cipherLen + 2)) return kTrailerDecipherFailed;
    std::memcpy(joined.data(), work.data(), kMarkerSize);
    const long plain = Aes128EcbDecryptPkcs7(kTrailerKey, work.data() + kMarkerSize, cipherLen,
                                             joined.data() + kMarkerSize);
    if (plain < 0) return kTrailerDecipherFailed;
    joined.Shrink(kMarkerSize + static_cast<size_t>(plain));
    out->joined = std::move(joined);
    ParseRecordTable(out->joined.data(), out->joined.size(), &out->table);
    return kTrailerOk;
}

int ReadCalibrationTrailer(platform::ByteSource& src, TrailerContainer container,
                           CalibrationTrailer* out) {
    ByteBuffer data;
    const int r = ReadContainer(src, container, &data);
    if (r == kContainerNoMemory) return kTrailerNoMemory;
    if (r != kContainerFound) return kTrailerNoData;
    return DecodeCalibrationTrailer(data.data(), data.size(), out);
}

// --- Camera type -------------------------------------------------------------

int ReadCameraTypeFrom(platform::ByteSource& src) {
    CalibrationTrailer trailer;
    TrailerContainer found;
    const int status = ReadAnyCalibrationTrailer(src, &trailer, &found);
    return CameraTypeOfTrailer(status, trailer);
}

int ReadAnyCalibrationTrailer(platform::ByteSource& src, CalibrationTrailer* out,
                              TrailerContainer* found) {
    *found = kTrailerInMp4;
    const int status = ReadCalibrationTrailer(src, kTrailerInMp4, out);
    if (status != kTrailerNoData) return status;
    *found = kTrailerInJpeg;
    return ReadCalibrationTrailer(src, kTrailerInJpeg, out);
}

int CameraTypeOfTrailer(int status, const CalibrationTrailer& trailer) {
    if (status == kTrailerDecipherFailed) return kCalibTypeDecipherFailed;
    if (status != kTrailerOk) return kCalibNoPath;

    const CalibrationRecord* type = FindRecord(trailer.table, kTypeCameraType);
    if (type == nullptr) return kCalibUnknownCamera;
    int result = kCalibUnknownCamera;
    if (type->length >= 4) {
        const uint32_t v = Le32(type->value);
        if (v == 1 || v == 2) result = static_cast<int>(v);
    }
    const CalibrationRecord* text = FindRecord(trailer.table, kTypeCameraText);
    if (text == nullptr || text->length > 36) result = kCalibNoCameraText;
    return result;
}

int ReadCameraType(const char* path) {
    platform::FileReader file;
    if (path == nullptr || path[0] == '\0') return kCalibNoPath;
    if (file.Open(path) != 0) return kCalibNoPath;
    return ReadCameraTypeFrom(file);
}

// --- Single lens -----------------------------------------------------------------

int ReadSingleLensCalibrationFrom(platform::ByteSource& src, TrailerContainer container, int width,
                                  int height, float* mesh) {
    CalibrationTrailer trailer;
    const int status = ReadCalibrationTrailer(src, container, &trailer);
    return SingleLensCalibrationOfTrailer(status, trailer, container, width, height, mesh);
}

int SingleLensCalibrationOfTrailer(int status, const CalibrationTrailer& trailer,
                                   TrailerContainer container, int width, int height, float* mesh) {
    const int noData = container == kTrailerInJpeg ? kCalibNoPhotoData : kCalibNoVideoData;
    if (status != kTrailerOk) return LensReaderCode(status, noData);
    if (FindRecord(trailer.table, kTypeCameraType) == nullptr) {
        std::printf("could not find camera type\n");
        return kCalibNoCameraType;
    }
    const CalibrationRecord* lens = FindRecord(trailer.table, kTypeLensRecord);
    if (lens == nullptr || !IsUsableSingleLensRecord(*lens)) return kCalibBadLensRecord;

    int32_t x = TruncToInt(LeFloat(lens->value + 16));
    int32_t y = TruncToInt(LeFloat(lens->value + 20));
    float r = LeFloat(lens->value + 24) - 10.0f;

    // Scale from the 1920 x 1080 reference frame; 4:3, 9:5 and square frames
    // are crops of it.
    const int64_t w = width, h = height;
    const float s = static_cast<float>(height / 1080.0);
    if (w * 3 == h * 4) {
        x = TruncToInt((static_cast<float>(int64_t{x} - 240)) * s);
    } else if (w * 10 == h * 18) {
        const int64_t w169 = (h * 16) / 9;
        x = TruncToInt(static_cast<float>(x) * s + static_cast<float>((w - w169) / 2));
    } else if (w == h) {
        x = TruncToInt((static_cast<float>(int64_t{x} - 420)) * s);
    } else {
        x = TruncToInt(static_cast<float>(x) * s);
    }
    y = TruncToInt(static_cast<float>(y) * s);
    r = r * s;

    BuildSingleLensMesh(width, height, 180, 48, x, y, 192.0f, r, mesh);

    std::lock_guard<std::mutex> lock(g_circleMutex);
    g_currentCircle = LensCircle{x, y, r};
    const int32_t rInt = TruncToInt(r);
    if (g_reportedCircle.x == x && g_reportedCircle.y == y &&
        TruncToInt(g_reportedCircle.r) == rInt) {
        return kCalibOk;
    }
    g_reportedCircle = LensCircle{x, y, static_cast<float>(rInt)};
    return kCalibCircleChanged;
}

namespace {

int ReadSingleLensFile(const char* path, TrailerContainer container, int width, int height,
                       float* mesh) {
    if (path == nullptr || path[0] == '\0') return kCalibNoPath;
    platform::FileReader file;
    if (file.Open(path) != 0) {
        return container == kTrailerInJpeg ? kCalibNoPhotoData : kCalibNoVideoData;
    }
    return ReadSingleLensCalibrationFrom(file, container, width, height, mesh);
}

}  // namespace

int ReadSingleLensCalibrationFromVideo(const char* path, int width, int height, float* mesh) {
    return ReadSingleLensFile(path, kTrailerInMp4, width, height, mesh);
}

int ReadSingleLensCalibrationFromPhoto(const char* path, int width, int height, float* mesh) {
    return ReadSingleLensFile(path, kTrailerInJpeg, width, height, mesh);
}

// --- Dual lens ---------------------------------------------------------------------

int ReadDualLensCalibrationFrom(platform::ByteSource& src, TrailerContainer container, int width,
                                int height, float* meshA, float* meshB) {
    if (int64_t{width} != 2 * int64_t{height}) return kCalibFrameNotTwoToOne;
    CalibrationTrailer trailer;
    const int status = ReadCalibrationTrailer(src, container, &trailer);
    return DualLensCalibrationOfTrailer(status, trailer, width, height, meshA, meshB);
}

int DualLensCalibrationOfTrailer(int status, const CalibrationTrailer& trailer, int width,
                                 int height, float* meshA, float* meshB) {
    if (int64_t{width} != 2 * int64_t{height}) return kCalibFrameNotTwoToOne;
    if (status != kTrailerOk) return LensReaderCode(status, kCalibNoVideoData);
    if (FindRecord(trailer.table, kTypeCameraType) == nullptr) return kCalibNoCameraType;
    const CalibrationRecord* lens = FindRecord(trailer.table, kTypeLensRecord);
    if (lens == nullptr || (lens->length != 1652 && lens->length != 1656)) {
        return kCalibBadLensRecord;
    }
    DualLensRecord record;
    DecodeDualLensRecord(lens->value, &record);
    // Only the three known lens models exist, and the record has 50 line slots.
    if (DualLensModel(record.model) == nullptr || record.n < 0 || record.n > kMaxSeamLines) {
        return kCalibBadLensRecord;
    }
    BuildDualLensMesh(record, width, height, kMeshColumns, kMeshRows, meshA, meshB);
    return kCalibOk;
}

namespace {

int ReadDualLensFile(const char* path, TrailerContainer container, int width, int height,
                     float* meshA, float* meshB) {
    if (int64_t{width} != 2 * int64_t{height}) return kCalibFrameNotTwoToOne;
    if (path == nullptr || path[0] == '\0') return kCalibNoPath;
    platform::FileReader file;
    if (file.Open(path) != 0) return kCalibNoVideoData;
    return ReadDualLensCalibrationFrom(file, container, width, height, meshA, meshB);
}

}  // namespace

int ReadDualLensCalibrationFromVideo(const char* path, int width, int height, float* meshA,
                                     float* meshB) {
    return ReadDualLensFile(path, kTrailerInMp4, width, height, meshA, meshB);
}

int ReadDualLensCalibrationFromPhoto(const char* path, int width, int height, float* meshA,
                                     float* meshB) {
    return ReadDualLensFile(path, kTrailerInJpeg, width, height, meshA, meshB);
}

LensCircle CurrentLensCircle() {
    std::lock_guard<std::mutex> lock(g_circleMutex);
    return g_currentCircle;
}

LensCircle LastReportedLensCircle() {
    std::lock_guard<std::mutex> lock(g_circleMutex);
    return g_reportedCircle;
}

void ResetLensCircleState() {
    std::lock_guard<std::mutex> lock(g_circleMutex);
    g_currentCircle = LensCircle{0, 0, 0.0f};
    g_reportedCircle = LensCircle{0, 0, 0.0f};
}
