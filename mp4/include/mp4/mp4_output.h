// An MP4 file being written in place of a path: the writer, its output under a
// temporary name and the spill file of its sample tables, both beside the
// path. The output replaces the path only when everything succeeded; the
// temporary files never outlive this object.
#pragma once

#include "mp4/mp4_common.h"
#include "mp4/mp4_writer.h"
#include "platform/file.h"

// What went wrong, for the caller to turn into its own result codes.
enum Mp4OutputStatus {
    kMp4OutputOk = 0,
    kMp4OutputCannotCreate = 1,  // no temporary file could be made or opened
    kMp4OutputWriterFailed = 2,  // the writer refused to start or to close (see WriterCode)
    kMp4OutputFlushFailed = 3,   // written data was lost on the way to the file
    kMp4OutputRenameFailed = 4,  // the complete file could not take the path's place
};

class Mp4Output {
  public:
    Mp4Output() = default;
    ~Mp4Output();
    Mp4Output(const Mp4Output&) = delete;
    Mp4Output& operator=(const Mp4Output&) = delete;

    // Makes both temporary files and the writer. An Mp4OutputStatus.
    int Open(const char* path);
    // The writer between a successful Open and Finish.
    MP4Writer* Writer() const { return m_pWriter; }
    // The writer's own code of a kMp4OutputWriterFailed.
    int WriterCode() const { return m_writerCode; }
    // Closes the writer and both files, removes the spill file, and renames
    // the output into place when `keep` and every step succeeded; otherwise
    // removes it. kMp4OutputOk also when !keep and nothing else failed.
    int Finish(bool keep);

  private:
    platform::PendingFile m_target;
    std::string m_spillPath;
    Mp4File m_out, m_spill;
    MP4Writer* m_pWriter = nullptr;
    int m_writerCode = 0;
};
