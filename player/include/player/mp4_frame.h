// The picture size of MP4 and MOV files from our own MP4 reader, which checks
// every table against its box before using it, so damaged files are refused
// at once instead of being parsed for minutes.
#pragma once

#include "platform/file.h"

// True when the data is laid out as top-level MP4/MOV boxes: the first box,
// or one reached by walking whole boxes from the start, is a known top-level
// box ("ftyp", "moov", "mdat", "free", "wide", ...). Reads a few headers only.
bool IsMp4Structure(platform::ByteSource& file);

// Width and height of the first video track, read with our MP4 reader (video
// tracks only); 0 and 0 when the reader refuses the file or it has no video
// track. Switches the reader's diagnostic lines off for the process: they
// would be mixed into reports on standard output.
void Mp4FrameSize(platform::ByteSource& file, int* width, int* height);
