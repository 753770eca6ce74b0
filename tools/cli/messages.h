// One sentence for a person reading the terminal, for each family of result
// codes; the `result: N` line stays for scripts. The family says what a
// number means (1011 is a missing camera text to the lens readers and a
// chroma layout to the stitch), and where one number covers two failures the
// sentence says which, from what can be checked about the files.
#pragma once

#include <string>

// The lens and camera-type readers (the `info` calibration line).
std::string CalibMeaning(int code);
// The photo stitch and the JPEG coder under it.
std::string StitchMessage(int code, const std::string& input, const std::string& output);
// The conversion library (convert and merge).
std::string ConvertMessage(int code, const std::string& input, const std::string& output);
// The remux: its own codes, the MP4 reader's and the writer's.
std::string RemuxMessage(int code, const std::string& input, const std::string& output);

// Why no new file can be made beside `path` ("no such folder", "permission
// denied", ...), or empty when one can.
std::string WhyCannotCreate(const std::string& path);

// "orbivue-cli: SENTENCE" on standard error.
void PrintFailure(const std::string& sentence);
