#include "support/camera.h"

#include <utility>

#include "support/boxes.h"

namespace testutil {

Bytes TrailerOf(std::vector<sample::Record> records, sample::Corruption corruption,
                int64_t declaredTotal) {
    sample::TrailerSpec spec;
    spec.records = std::move(records);
    spec.corruption = corruption;
    spec.declaredTotal = declaredTotal;
    return sample::BuildTrailer(spec);
}

Bytes DefaultTrailer(int cameraType) {
    return TrailerOf(sample::DefaultRecords(cameraType));
}

Bytes DualTrailer(const sample::DualLensValues& v) {
    return TrailerOf({sample::CameraTextRecord("CAM"), sample::CameraTypeRecord(2),
                      sample::Record{7, sample::EncodeDualLensRecord(v)}});
}

Bytes SingleTrailer(const sample::SingleLensValues& v) {
    return TrailerOf({sample::CameraTextRecord("CAM"), sample::CameraTypeRecord(1),
                      sample::Record{7, sample::EncodeSingleLensRecord(v)}});
}

Bytes JpegWithExif(const Bytes& data, bool app0) {
    Bytes out = {0xFF, 0xD8};
    if (app0) {
        Append(out, {0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0});
    }
    Bytes app1 = {0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f'};
    platform::PutBe16(&app1[2], static_cast<uint32_t>(data.size() + 6));
    Append(out, app1);
    Append(out, data);
    Append(out, {0xFF, 0xD9});
    return out;
}

Bytes Mp4WithUdtaInMoov(const Bytes& data) {
    Bytes out = sample::Box("ftyp", {'i', 's', 'o', 'm', 0, 0, 2, 0});
    Append(out, sample::Box("mdat", Bytes(64, 0xAA)));
    Bytes moov = sample::Box("mvhd", Bytes(100, 0));
    Append(moov, sample::Box("trak", sample::Box("tkhd", Bytes(84, 0))));
    Append(moov, sample::Box("udta", data));
    Append(out, sample::Box("moov", moov));
    return out;
}

}  // namespace testutil
