#pragma once

#include <string>
#include <vector>

// The "convert" command: one job of the conversion library, given as the
// vector the export builds ("ffmpeg" ... OUTPUT). Returns the exit status.
int RunConvert(const std::vector<std::string>& args);

// The "merge" command: OUTPUT INPUT... joined by the conversion library
// through a list file in the temporary folder.
int RunMerge(const std::vector<std::string>& args);
