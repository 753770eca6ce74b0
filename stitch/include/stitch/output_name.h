// Naming converter outputs so that nothing is ever overwritten.
#pragma once

#include <string>

// The output path for an input in a folder (which ends in "/" or is empty):
// the input's file name with its extension replaced by "jpg" (photos) or
// "mp4" (videos) and "_orbivue360_N" before it, N the first number whose
// path does not exist yet. "VID_0001.MOV" gives "VID_0001_orbivue360_0.mp4".
std::string MakeOutputPath(const std::string& folder, const std::string& inputPath, bool isPhoto);
