// Result codes of the calibration readers. One family, one header.
#pragma once

enum CalibResult {
    kCalibOk = 0,                   // read; single-lens circle as before
    kCalibCircleChanged = 1,        // single-lens read; circle new or changed
    kCalibNoPath = 1000,            // no path (camera type: also no data, no marker,
                                    // out of memory, nothing decoded)
    kCalibNoVideoData = 1003,       // no "udta"/"udat" box (or no APP1 "Exif" for the
                                    // dual-lens photo reader), unreadable file
    kCalibNoPhotoData = 1004,       // single-lens photo: no APP1 "Exif", unreadable file
    kCalibNoMarker = 1005,          // the trailer marker is not in the data
    kCalibNoMemory = 1006,          // out of memory for the work buffer
    kCalibNothingDecoded = 1007,    // the base64 text decodes to nothing
    kCalibDecipherFailed = 1008,    // bad ciphertext length, bad padding, out of memory
    kCalibBadLensRecord = 1009,     // no type-7 record, wrong length, or unusable values
    kCalibNoCameraType = 1010,      // no type-5 record
    kCalibNoCameraText = 1011,      // no type-3 record, or longer than 36 bytes
    kCalibFrameNotTwoToOne = 1014,  // dual lens: width is not twice the height
    kCalibUnknownCamera = 1015,     // no type-5 record, or neither 1 nor 2
    kCalibTypeDecipherFailed = -1,  // camera type: deciphering failed
};
