// Finding the data blocks of camera files: the APP1 "Exif" payload of a JPEG
// and the user-data or spherical "uuid" payload of an ISO-BMFF (MP4/MOV) file.
#pragma once

#include "calib/buffer.h"
#include "platform/file.h"

enum ContainerResult {
    kContainerFound = 0,     // payload read into the buffer
    kContainerNoData = 1,    // layout mismatch, short read, no such block
    kContainerNoMemory = 2,  // the payload could not be allocated
};

// The JPEG layout the camera writes: SOI, an optional APP0, then APP1 whose
// payload starts with "Exif". The payload after those four letters is read.
int ReadJpegExifPayload(platform::ByteSource& src, ByteBuffer* payload);

enum BoxWalkMode {
    kWalkUserData = 0,   // the first "udta"/"udat" box's payload
    kWalkSpherical = 1,  // the first Spherical Video V1 "uuid" box's payload
};

// Walks the boxes from the start of the source: top level, children of
// "moov", and children of a "trak" inside "moov". A container's child walk
// stops after its first "udta"/"udat" child, in both modes.
int WalkMp4Boxes(platform::ByteSource& src, BoxWalkMode mode, ByteBuffer* payload);

// The 16-byte user type of Spherical Video V1 metadata boxes.
extern const uint8_t kSphericalUuid[16];
