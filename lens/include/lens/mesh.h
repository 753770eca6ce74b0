// Stitch meshes: for a grid of viewing directions, the pixel of the camera
// frame that saw each direction.
//
// A StitchMesh is a caller-owned buffer of 9412 (x, y) float pairs, 181 pairs a
// row, in pixels of the whole frame. The builders are pure and never fail.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lens/lens_model.h"
#include "lens/seam.h"

constexpr int kMeshColumns = 181;
constexpr int kMeshRows = 52;
constexpr int kStitchMeshPairs = kMeshColumns * kMeshRows;              // 9412
constexpr int kStitchMeshFloats = kStitchMeshPairs * 2;                 // 18824
constexpr size_t kStitchMeshBytes = sizeof(float) * kStitchMeshFloats;  // 75296

// The per-column radius factors V[0..180] of both lenses (V[180] = V[0]).
void BuildSeamProfile(float radialBase, float profile[kMeshColumns]);

// Writes (rings + 1) x (columns + 1) pairs; the rest of the buffer is kept.
// fov does not change the result. Does nothing if the grid would not fit.
void BuildSingleLensMesh(int width, int height, int columns, int rings, int cx, int cy, float fov,
                         float radius, float* mesh);

// Writes rows x columns pairs into each buffer (first lens, second lens).
// The frame must be 2:1 (the reader checks). Does nothing for a lens model
// other than 0..2, more than 50 lines or a grid that would not fit.
void BuildDualLensMesh(const DualLensRecord& record, int width, int height, int columns, int rows,
                       float* meshA, float* meshB);

// Rotates every row by s columns (column count - 1 is a copy of column 0).
// src and dst may be the same buffer.
void ShiftMeshColumns(const float* src, float* dst, int columns, int rows, int shift);

// Half a turn: dst row i, column j = src row rows-1-i, column columns-1-j.
// src and dst may be the same buffer.
void MirrorMesh(const float* src, int columns, int rows, float* dst);
