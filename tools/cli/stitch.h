#pragma once

#include <string>
#include <vector>

// The "stitch" command: camera photos to equirectangular JPEGs. Returns the
// process exit status.
int RunStitch(const std::vector<std::string>& args);
