// libjpeg-turbo, the peer our JPEG coder is checked against: pictures encoded with its
// options, and decodes to raw planes or to interleaved pixels. Its errors are trapped:
// every call answers instead of ending the program.
#pragma once

#include <cstdint>
#include <vector>

#include "support/files.h"

namespace testutil {

struct TurboOptions {
    int width = 33, height = 17;
    int components = 3;
    int h = 2, v = 2;  // luma sampling; chroma is 1x1
    int quality = 90;
    int restart = 0;  // MCUs per interval
    bool progressive = false;
    bool arithmetic = false;
    bool separateScans = false;
    std::vector<Bytes> app1;  // APP1 payloads, in order; JFIF when there is none
};

// A picture with edges, gradients and noise (so that every coefficient gets used), varied
// by the seed. Empty when libjpeg refuses the options.
Bytes EncodeTurbo(const TurboOptions& o, uint32_t seed = 1);

// Up to three planes, each `widths[c]` samples a row.
struct RawPlanes {
    int widths[3] = {0, 0, 0};
    int rows[3] = {0, 0, 0};
    Bytes p[3];
};

// The raw planar decode in the file's own colour space, padded to whole blocks.
// False on an error or a warning.
bool DecodeTurboRaw(const Bytes& jpeg, RawPlanes* out);

// Three samples a pixel, rows top first.
struct Interleaved {
    int w = 0, h = 0;
    Bytes px;
};

// Decodes to RGB or to YCbCr; false on an error or a warning.
bool DecodeTurboRgb(const Bytes& jpeg, Interleaved* out);
bool DecodeTurboYcc(const Bytes& jpeg, Interleaved* out);

}  // namespace testutil
