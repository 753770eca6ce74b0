// Image files through the platform's image codecs.
#pragma once

#include <cstdint>

namespace adapters {

// Loads a picture as 3-byte BGR pixels, rows 4-byte aligned, first row at the
// top. *rows is allocated with new[]; the caller frees it. 0 or -1.
int LoadBgrImage(const char* path, int* width, int* height, int* stride, uint8_t** rows);
// Saves a 32-bit BGRA picture whose first row is the bottom of the picture,
// in the format the path's extension names. 0 or -1.
int SaveBgraBottomUp(const char* path, const uint8_t* pixels, int width, int height);

}  // namespace adapters
