// Picture size of photos and videos from the media-information library,
// loaded at run time. An unusable library answers empty text, so sizes of 0.
#pragma once

#include <string>

#include "platform/library.h"

// Stream kinds of the media-information library.
enum MediaStreamKind { kMediaStreamVideo = 1, kMediaStreamImage = 5 };

// Where the probe learns a file's picture size.
class IFrameSizeSource {
  public:
    virtual ~IFrameSizeSource() = default;
    virtual void FrameSize(const char* path, bool isPhoto, int* width, int* height) const = 0;
};

// A size given by the caller for every file (the command line's --frame).
class CFixedFrameSize final : public IFrameSizeSource {
  public:
    CFixedFrameSize(int width, int height) : m_nWidth(width), m_nHeight(height) {}
    void FrameSize(const char*, bool, int* width, int* height) const override {
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
    // kind (videos); 0 for a value that cannot be read.
    void FrameSize(const char* path, bool isPhoto, int* width, int* height) const override;

  private:
    using NewFn = void* (*)();
    using DeleteFn = void (*)(void*);
    using OpenFn = size_t (*)(void*, const char*);
    using CloseFn = void (*)(void*);
    using GetFn = const char* (*)(void*, int, size_t, const char*, int, int);
    using OptionFn = const char* (*)(void*, const char*, const char*);

    platform::SharedLibrary m_lib;
    bool m_bUsable = false;
    NewFn m_pNew = nullptr;
    DeleteFn m_pDelete = nullptr;
    OpenFn m_pOpen = nullptr;
    CloseFn m_pClose = nullptr;
    GetFn m_pGet = nullptr;
    OptionFn m_pOption = nullptr;
};

// Reads a decimal integer the way the size texts are converted: leading
// digits only, 0 when there are none or the value does not fit.
int ParseMediaInteger(const std::string& text);
