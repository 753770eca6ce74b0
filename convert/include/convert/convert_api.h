// The conversion library, loaded at run time: stitched video export, lossless
// merge of MP4 files and the colour conversion of recorded frames. Callers
// look the entry points up by name and use the pointer types below.
#pragma once

#include <cstdint>

// Results of "synth_trans", "rescale_csconvert" and "synth_image".
enum ConvertResult {
    kConvertOk = 0,                   // the output file is complete
    kConvertBadArguments = -1001,     // the vector is malformed: missing input or output, an
                                      // unknown option, a bad time, bit rate or rotation
    kConvertCannotOpenInput = -1002,  // the input cannot be opened or read as a media file
    kConvertNoVideo = -1003,          // the input has no video stream
    kConvertNoCalibration = -1004,    // "-d": the camera file has no usable calibration, or its
                                      // frame size does not suit the lens layout
    kConvertCannotDecode = -1005,     // no decoder for the video codec, or decoding failed
    kConvertEncoderFailed = -1006,    // the encoder refused its settings or failed on a frame
    kConvertWriteFailed = -1007,      // the MP4 writer or the file system failed while writing
    kConvertStopped = -1008,          // "stop_transcoding" ended the job; no output is left
    kConvertNoMemory = -1009,         // an allocation failed
    kConvertBadList = -1010,          // merge: the list file cannot be read or names no file
    kConvertMergeMismatch = -1011,    // merge: an input's tracks or codec configuration differ
                                      // from the first input's
    kConvertMergeBadInput = -1012,    // merge: an input cannot be opened or read as MP4
    kConvertCannotCreate = -1013,     // the output file cannot be created
    kConvertNotSupported = -1014,     // "synth_image": not provided by this library
    kConvertBusy = -1015,             // another job of this process is running
    kConvertEmptySpan = -1016,        // the trimmed span holds no frame
    kConvertBadFrame = -1017,         // "rescale_csconvert": null buffer, bad size or format
    kConvertOutputIsInput = -1018,    // the output names an input file (also through a link);
                                      // nothing is written
};

// Source format code of "rescale_csconvert": 32-bit BGRA, rows from the top.
constexpr int kConvertFormatBgra = 2;

extern "C" {
// Runs one job given as an ffmpeg-style vector (element 0 "ffmpeg", the output
// path last); blocks until it ends. rotation: 0, 90, 180, 270; reserved: 0;
// high: 1 keeps the encoder's defaults besides the bit rate.
typedef int (*SynthTransFn)(int count, char** argv, int rotation, int reserved, int high);
// Makes a running "synth_trans" return soon with kConvertStopped.
typedef void (*StopTranscodingFn)(void);
// Percent done, 0 to 100, called from the converting thread.
typedef void (*ConvertPositionCallback)(float percent, void* user);
typedef void (*SetPositionCallbackFn)(ConvertPositionCallback callback, void* user);
// Present for callers that resolve it; always returns kConvertNotSupported.
typedef int (*SynthImageFn)(int count, char** argv, int rotation, int reserved, int high);
// BGRA (format 2) of srcWidth x srcHeight into planar 4:2:0 of dstWidth x
// dstHeight: Y, then U and V of a quarter of its size each. reserved: 0.
typedef int (*RescaleCsconvertFn)(const uint8_t* src, uint8_t* dst, int srcWidth, int srcHeight,
                                  int srcFormat, int dstWidth, int dstHeight, int reserved);
// Our own addition, for progress displays: frames written by the running or
// the last job.
typedef int64_t (*ConvertFramesDoneFn)(void);
}
