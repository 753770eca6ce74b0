#include "messages.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "calib/calib_codes.h"
#include "convert/convert_api.h"
#include "jpeg/jpeg.h"
#include "mp4/mp4_reader.h"
#include "mp4/mp4_writer.h"
#include "platform/file.h"
#include "remux.h"
#include "stitch/stitch.h"

namespace {

std::string Name(const std::string& path) {
    return path.empty() ? std::string("the file") : path;
}

// A write that failed although a file can be made there: the space ran out,
// or the memory did.
std::string CannotWrite(const std::string& output) {
    const std::string why = WhyCannotCreate(output);
    if (!why.empty()) return "cannot write " + Name(output) + ": " + why;
    return "cannot write " + Name(output) + " (is the disk full?)";
}

}  // namespace

std::string WhyCannotCreate(const std::string& path) {
    const std::string temp = platform::TempPathBeside(path.c_str());
    if (!temp.empty()) {
        platform::RemoveFile(temp.c_str());
        return std::string();
    }
    return errno == ENOENT ? std::string("no such folder") : std::string(std::strerror(errno));
}

void PrintFailure(const std::string& sentence) {
    std::fprintf(stderr, "orbivue-cli: %s\n", sentence.c_str());
}

std::string CalibMeaning(int code) {
    switch (code) {
        case kCalibOk:
            return "calibration read";
        case kCalibCircleChanged:
            return "calibration read; a new lens circle";
        case kCalibNoPath:
            return "no calibration found";
        case kCalibNoVideoData:
            return "no calibration data in the file";
        case kCalibNoPhotoData:
            return "no calibration data in the photo";
        case kCalibNoMarker:
            return "the calibration data has no trailer";
        case kCalibNoMemory:
            return "out of memory while reading the calibration";
        case kCalibNothingDecoded:
            return "the calibration trailer is empty";
        case kCalibDecipherFailed:
        case kCalibTypeDecipherFailed:
            return "the calibration trailer cannot be deciphered";
        case kCalibBadLensRecord:
            return "the lens record is missing or unusable";
        case kCalibNoCameraType:
        case kCalibUnknownCamera:
            return "not a known camera";
        case kCalibNoCameraText:
            return "the camera's name is missing";
        case kCalibFrameNotTwoToOne:
            return "a dual-lens picture must be twice as wide as high";
        default:
            return "unknown calibration result";
    }
}

std::string StitchMessage(int code, const std::string& input, const std::string& output) {
    switch (code) {
        case kStitchOk:
            return "stitched " + Name(input);
        case kStitchNoCalibration:
            return "no usable calibration in " + Name(input);
        case kStitchCannotOpenInput:
            return "cannot open " + Name(input);
        case kStitchNoMemory:
            return CannotWrite(output);
        case kStitchBadLayout:
            return Name(input) + " has a chroma layout that cannot be stitched";
        case kStitchBadArgument:
            return output.empty() ? "no free output name for " + Name(input)
                                  : "bad rotation, quality or output path";
        case kStitchNotTwoToOne:
            return "the dual-lens photo " + Name(input) + " is not twice as wide as high";
        case kStitchOutputIsInput:
            return "output is the input: " + Name(output);
        case kJpegNoMemory:
            return "out of memory while stitching " + Name(input);
        case kJpegCorruptData:
            return Name(input) + " is a damaged JPEG";
        case kJpegPrematureEnd:
            return Name(input) + " ends early";
        case kJpegUnsupported:
            return Name(input) +
                   " is a kind of JPEG that cannot be read (progressive, 12-bit, ...)";
        case kJpegWriteFailed:
            return CannotWrite(output);
        default:
            return "stitching " + Name(input) + " failed (" + std::to_string(code) + ")";
    }
}

std::string ConvertMessage(int code, const std::string& input, const std::string& output) {
    switch (code) {
        case kConvertOk:
            return "wrote " + Name(output);
        case kConvertBadArguments:
            return "the conversion's options are malformed";
        case kConvertCannotOpenInput:
            return "cannot open " + Name(input) + " as a video";
        case kConvertNoVideo:
            return Name(input) + " has no video";
        case kConvertNoCalibration:
            return "no usable calibration in " + Name(input);
        case kConvertCannotDecode:
            return "cannot decode the video of " + Name(input);
        case kConvertEncoderFailed:
            return "the video encoder failed";
        case kConvertWriteFailed:
            return CannotWrite(output);
        case kConvertStopped:
            return "stopped; no output was left";
        case kConvertNoMemory:
            return "out of memory";
        case kConvertBadList:
            return "the list of files to join cannot be read";
        case kConvertMergeMismatch:
            return Name(input) + " differs from the first file (tracks or codec settings)";
        case kConvertMergeBadInput:
            return "cannot read " + Name(input) + " as MP4";
        case kConvertCannotCreate: {
            const std::string why = WhyCannotCreate(output);
            return "cannot create " + Name(output) + (why.empty() ? "" : ": " + why);
        }
        case kConvertBusy:
            return "another conversion is running";
        case kConvertEmptySpan:
            return "the chosen span of " + Name(input) + " holds no frame";
        case kConvertOutputIsInput:
            return "output is the input: " + Name(output);
        default:
            return "the conversion failed (" + std::to_string(code) + ")";
    }
}

std::string RemuxMessage(int code, const std::string& input, const std::string& output) {
    switch (code) {
        case 0:
            return "wrote " + Name(output);
        case kRemuxCannotOpenInput:
            return "cannot open " + Name(input);
        case kRemuxCannotCreateOutput: {
            const std::string why = WhyCannotCreate(output);
            return why.empty() ? CannotWrite(output) : "cannot create " + Name(output) + ": " + why;
        }
        case kRemuxNoTracks:
            return Name(input) + " has no video or sound to carry";
        case kRemuxOutputIsInput:
            return "output is the input: " + Name(output);
        case kRemuxLostTrack:
            return "not every track of " + Name(input) +
                   " can be carried (unreadable tables, a codec the writer cannot describe, or "
                   "more than 64 tracks); nothing was written";
        case kRemuxInterrupted:
            return "interrupted; nothing was written";
        case kMp4ReadFragmented:
            return Name(input) + " is a fragmented movie, which cannot be read";
        case kMp4ReadProtected:
            return Name(input) + " is protected";
        case kMp4ReadNoMovie:
            return Name(input) + " holds no movie";
        case kMp4ReadMalformed:
        case kMp4ReadEndOfData:
            return Name(input) + " is damaged";
        case kMp4ReadNoMemory:  // the writer's code for it is the same number
            return "out of memory";
        case kMp4WriterErrShortWrite:
        case kMp4WriterErrSpillRead:
        case kMp4WriterErrSpillSeek:
        case kMp4WriterErrOutputSeek:
            return CannotWrite(output);
        default:
            return "the remux of " + Name(input) + " failed (" + std::to_string(code) + ")";
    }
}
