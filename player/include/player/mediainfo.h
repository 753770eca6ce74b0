// Picture size of photos and videos: MP4 and MOV files from our own MP4
// reader, every other kind from the media-information library, loaded at run
// time. An unusable library answers empty text, so sizes of 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/file.h"
#include "platform/library.h"

// Stream kinds of the media-information library.
enum MediaStreamKind { kMediaStreamVideo = 1, kMediaStreamImage = 5 };

// Where the probe learns a file's picture size.
class IFrameSizeSource {
  public:
    virtual ~IFrameSizeSource() = default;
    // file: the file at path, already opened by the caller (read from any
    // position, left anywhere), so that it is not opened again; or null.
    virtual void FrameSize(const char* path, bool isPhoto, platform::ByteSource* file, int* width,
                           int* height) const = 0;
    void FrameSize(const char* path, bool isPhoto, int* width, int* height) const {
        FrameSize(path, isPhoto, nullptr, width, height);
    }
};

// A size given by the caller for every file (the command line's --frame).
class CFixedFrameSize final : public IFrameSizeSource {
  public:
    CFixedFrameSize(int width, int height) : m_nWidth(width), m_nHeight(height) {}
    using IFrameSizeSource::FrameSize;
    void FrameSize(const char*, bool, platform::ByteSource*, int* width,
                   int* height) const override {
        *width = m_nWidth;
        *height = m_nHeight;
    }

  private:
    int m_nWidth;
    int m_nHeight;
};

class CMediaInfo final : public IFrameSizeSource {
  public:
    CMediaInfo();
    ~CMediaInfo() override = default;
    CMediaInfo(const CMediaInfo&) = delete;
    CMediaInfo& operator=(const CMediaInfo&) = delete;

    // Loads the library (by default "libmediainfo.so.0") and sets the
    // library-wide options "CharSet" (empty) and "LineSeparator" ("\n").
    // Returns true when every entry point was found.
    bool Load(const char* libraryName = "libmediainfo.so.0");
    bool IsUsable() const { return m_bUsable; }

    // "Width" and "Height" of stream 0 of the image kind (photos) or the video
    // kind (videos); 0 for a value that cannot be read. Files laid out as MP4
    // boxes are never handed to the library (a damaged sample table makes it
    // spin for minutes): their first video track's size comes from our MP4
    // reader, loaded library or not, and they have no photo size. The library
    // reads the other files through the caller's open file, or through one
    // opened here.
    using IFrameSizeSource::FrameSize;
    void FrameSize(const char* path, bool isPhoto, platform::ByteSource* file, int* width,
                   int* height) const override;

  private:
    using NewFn = void* (*)();
    using DeleteFn = void (*)(void*);
    using CloseFn = void (*)(void*);
    using GetFn = const char* (*)(void*, int, size_t, const char*, int, int);
    using OptionFn = const char* (*)(void*, const char*, const char*);
    using BufferInitFn = size_t (*)(void*, uint64_t, uint64_t);
    using BufferContinueFn = size_t (*)(void*, const uint8_t*, size_t);
    using BufferGoToFn = uint64_t (*)(void*);
    using BufferFinalizeFn = size_t (*)(void*);

    // Hands the source to the library's buffer interface from its start,
    // going where the library asks, until it has what it needs or the data
    // ends.
    void Feed(void* handle, platform::ByteSource& file) const;

    platform::SharedLibrary m_lib;
    bool m_bUsable = false;
    NewFn m_pNew = nullptr;
    DeleteFn m_pDelete = nullptr;
    CloseFn m_pClose = nullptr;
    GetFn m_pGet = nullptr;
    OptionFn m_pOption = nullptr;
    BufferInitFn m_pBufferInit = nullptr;
    BufferContinueFn m_pBufferContinue = nullptr;
    BufferGoToFn m_pBufferGoTo = nullptr;
    BufferFinalizeFn m_pBufferFinalize = nullptr;
};

// Reads a decimal integer the way the size texts are converted: leading
// digits only, 0 when there are none or the value does not fit.
int ParseMediaInteger(const std::string& text);
