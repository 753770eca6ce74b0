#pragma once

#include <string>
#include <vector>

// The "remux" command: every video and sound sample of an MP4 written again,
// unchanged, by our writer. Returns the process exit status.
int RunRemux(const std::vector<std::string>& args);

// The remux itself; 0 or a reader, writer or file error code.
int RemuxFile(const char* input, const char* output);
