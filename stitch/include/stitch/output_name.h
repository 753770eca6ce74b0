// Naming converter outputs so that nothing is ever overwritten.
#pragma once

#include <string>

// How many numbers are tried before giving up.
constexpr int kMaxOutputNumber = 100000;

// The output path for an input in a folder (which ends in "/" or is empty):
// the input's file name cut at its last full stop, then "_orbivue360_N" and
// ".jpg" (photos) or ".mp4" (videos), N the first number whose path does not
// exist yet. "VID_0001.MOV" gives "VID_0001_orbivue360_0.mp4". Empty when
// every number below kMaxOutputNumber is taken.
std::string MakeOutputPath(const std::string& folder, const std::string& inputPath, bool isPhoto);
