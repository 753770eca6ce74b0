#pragma once

#include <string>
#include <vector>

// The "remux" command: every video and sound sample of an MP4 written again,
// unchanged, by our writer. Returns the process exit status.
int RunRemux(const std::vector<std::string>& args);

// Results of the remux besides the reader's and the writer's codes.
constexpr int kRemuxCannotOpenInput = -1;
constexpr int kRemuxCannotCreateOutput = -2;
constexpr int kRemuxNoTracks = -3;
constexpr int kRemuxOutputIsInput = -4;  // the output names the input; nothing is written
constexpr int kRemuxLostTrack = -5;      // a track could not be carried; nothing is kept
constexpr int kRemuxInterrupted = -6;    // SIGINT or SIGTERM; nothing is kept

// The remux itself; 0 or a reader, writer or file error code. Succeeds only
// when every video, sound and text track of the input was carried.
int RemuxFile(const char* input, const char* output);
