#include "mp4/mp4_output.h"

Mp4Output::~Mp4Output() {
    Finish(false);
}

int Mp4Output::Open(const char* path) {
    Finish(false);
    m_spillPath = platform::TempPathBeside(path);
    if (m_spillPath.empty() || !m_target.Begin(path) ||
        m_out.OpenWrite(m_target.TempPath().c_str()) != 0 ||
        m_spill.OpenWrite(m_spillPath.c_str()) != 0) {
        Finish(false);
        return kMp4OutputCannotCreate;
    }
    const Mp4Io outIo = m_out.Io(), spillIo = m_spill.Io();
    m_writerCode = MP4WriterCreate(outIo, &spillIo, &m_pWriter);
    if (m_writerCode != 0) {
        m_pWriter = nullptr;
        Finish(false);
        return kMp4OutputWriterFailed;
    }
    return kMp4OutputOk;
}

int Mp4Output::Finish(bool keep) {
    int status = kMp4OutputOk;
    if (m_pWriter != nullptr) {
        const int closed = MP4WriterClose(m_pWriter);
        m_pWriter = nullptr;
        if (closed != 0) {
            m_writerCode = closed;
            status = kMp4OutputWriterFailed;
        }
    }
    const bool flushed = m_out.Close();
    m_spill.Close();
    if (!m_spillPath.empty()) platform::RemoveFile(m_spillPath.c_str());
    m_spillPath.clear();
    if (status == kMp4OutputOk && !flushed) status = kMp4OutputFlushFailed;
    if (keep && status == kMp4OutputOk) {
        if (!m_target.Commit()) status = kMp4OutputRenameFailed;
    } else {
        m_target.Discard();
    }
    return status;
}
