// Real camera files written once per test program by the sample maker.
#pragma once

#include <string>

#include "support/files.h"

namespace testutil {

struct SampleFiles {
    std::string dualPhoto;        // 1920 x 960, trailer in APP1 after APP0
    std::string singlePhoto;      // 1920 x 1080
    std::string plainPano;        // 2:1 photo without a trailer
    std::string plainPhoto;       // 3:2 photo without a trailer
    std::string dualVideo;        // 1920 x 960, trailer in moov/udta
    std::string dualVideoTrak;    // trailer in a trak's udta
    std::string singleVideoUdat;  // 1280 x 720, top-level udat
    std::string mdiaVideo;        // trailer too deep to be found
    std::string sphericalVideo;   // no trailer, Spherical Video V1 box
    std::string wideVideo;        // 1922 x 960 dual lens
    std::string unicodePhoto;     // dual photo under a non-ASCII name
};

// Writes the files on first use; they live until the program ends.
const SampleFiles& Samples();

}  // namespace testutil
