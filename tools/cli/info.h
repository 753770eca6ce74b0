#pragma once

#include <string>
#include <vector>

// The "info" command: camera type, frame, calibration, spherical flag and
// probe result of each file. Returns the process exit status.
int RunInfo(const std::vector<std::string>& args);
