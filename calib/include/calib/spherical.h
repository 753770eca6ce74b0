// Does a video declare itself spherical (Spherical Video V1 metadata)?
#pragma once

#include "platform/file.h"

// 1 when the file holds a Spherical Video V1 "uuid" box whose XML root has a
// "GSpherical:Spherical" child with the text "true" (any letter case); 0 in
// every other case.
int IsSphericalVideo(const char* path);
int IsSphericalVideoFrom(platform::ByteSource& src);

// The XML test alone, bounded by the payload length (no terminator needed).
int IsSphericalXml(const unsigned char* xml, size_t length);
