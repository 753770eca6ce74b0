// Pieces of the JPEG writer shared with the panorama renderer.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "sample/samplegen.h"

namespace sample {

bool ReadFile(const std::filesystem::path& path, std::vector<uint8_t>& out);
bool WriteFile(const std::string& path, const std::vector<uint8_t>& data);

// Runs ffmpeg (or $ORBIVUE_FFMPEG) with the given arguments after the common ones.
bool RunFfmpeg(const std::vector<std::string>& args);

// Writes the camera photo: SOI, the APP0 / APP1 segments per layout with the trailer, then the
// segments of the baseline JPEG src (its own APPn and COM dropped, the frame size set to
// width x height; src must be that size rounded up to even). Returns 0 or a negative code.
int WrapPicture(const std::string& path, int width, int height, const std::vector<uint8_t>& src,
                const std::vector<uint8_t>& trailer, JpegLayout layout);

// The MP4 bytes of a camera video as our writer makes them (moov after mdat); userData, when
// not empty, is the payload of a "udta" box in "moov".
int EncodeCameraVideo(const Mp4Options& opt, const std::vector<uint8_t>& userData,
                      std::vector<uint8_t>* bytes);

}  // namespace sample
