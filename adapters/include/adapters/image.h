// Image files through the platform's image codecs.
#pragma once

#include <cstdint>

namespace adapters {

// Loads a picture as 3-byte BGR pixels, rows 4-byte aligned, first row at the
// top. *rows is allocated with new[]; the caller frees it. 0 or -1.
int LoadBgrImage(const char* path, int* width, int* height, int* stride, uint8_t** rows);
// Saves a 32-bit BGRA picture whose first row is the bottom of the picture,
// in the format the path's extension names. The file is written under a
// temporary name beside the path and takes its place only when whole, so a
// failure (a full disk) leaves what was there. 0 or -1.
int SaveBgraBottomUp(const char* path, const uint8_t* pixels, int width, int height);
// The same picture in the named format ("png", "jpg", "bmp", ...), written to
// exactly this path whatever its name: for callers that write to a temporary
// name themselves, since a failed write may leave part of the file. The
// picture is encoded in memory first and the whole write is checked, so a
// full disk gives -1, never a short file reported as saved. 0 or -1.
int SaveBgraBottomUpAs(const char* path, const char* format, const uint8_t* pixels, int width,
                       int height);
// Whether pictures can be saved in the named format (any case).
bool CanSaveImageFormat(const char* format);

}  // namespace adapters
