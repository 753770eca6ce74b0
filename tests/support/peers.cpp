#include "support/peers.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "support/command.h"

namespace testutil {

void ExpectPeersDecode(const std::string& file) {
    int status = 0;
    EXPECT_EQ(RunCommand("ffprobe -v error " + ShellQuote(file) + " 2>&1", &status), "") << file;
    EXPECT_EQ(status, 0) << file;
    EXPECT_EQ(
        RunCommand("ffmpeg -nostdin -v warning -xerror -i " + ShellQuote(file) + " -f null - 2>&1",
                   &status),
        "")
        << file;
    EXPECT_EQ(status, 0) << file;
}

void ExpectPeersAccept(const std::string& file, bool sound) {
    ExpectPeersDecode(file);
    const std::string tags = Exiftool("-s -XMP-GSpherical:all", file);
    EXPECT_NE(tags.find("Spherical                       : true"), std::string::npos)
        << file << "\n"
        << tags;
    EXPECT_NE(tags.find("ProjectionType                  : equirectangular"), std::string::npos)
        << file << "\n"
        << tags;
    const std::string info = Mediainfo(file);
    EXPECT_NE(info.find("\nVideo"), std::string::npos) << file << "\n" << info;
    if (sound) {
        EXPECT_NE(info.find("\nAudio"), std::string::npos) << file << "\n" << info;
    }
}

void ExpectDjpegAccepts(const std::string& file) {
    int status = -1;
    const std::string said =
        RunCommand("djpeg -outfile /dev/null " + ShellQuote(file) + " 2>&1", &status);
    EXPECT_EQ(status, 0) << file;
    EXPECT_EQ(said, "") << file;
}

std::string Ffprobe(const std::string& file, const std::string& options) {
    int status = 0;
    return RunCommand("ffprobe -v error " + options + " " + ShellQuote(file), &status);
}

std::string FfprobeValues(const std::string& file, const std::string& options) {
    return Ffprobe(file, options + " -of default=nw=1:nk=1");
}

std::string FfprobeStream(const std::string& file, const std::string& stream,
                          const std::string& entries) {
    std::string s = Ffprobe(file, "-count_frames -select_streams " + stream +
                                      " -show_entries stream=" + entries + " -of csv=p=0");
    while (!s.empty() && (s.back() == '\n' || s.back() == ',')) s.pop_back();
    return s;
}

int FfmpegWrite(const std::string& args, const std::string& out) {
    int status = 0;
    RunCommand("ffmpeg -nostdin -v error -y " + args + " " + ShellQuote(out), &status);
    return status;
}

namespace {

std::string Trim(const std::string& s) {
    const size_t a = s.find_first_not_of(' '), b = s.find_last_not_of(" \n");
    return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

// The comma-separated fields of a line, trimmed.
std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> f;
    size_t p = 0;
    for (;;) {
        const size_t c = line.find(',', p);
        f.push_back(Trim(line.substr(p, c == std::string::npos ? c : c - p)));
        if (c == std::string::npos) return f;
        p = c + 1;
    }
}

}  // namespace

PeerPackets FfmpegPackets(const std::string& file) {
    PeerPackets ref;
    int status = 0;
    const std::string out = RunCommand("ffmpeg -nostdin -v error -i " + ShellQuote(file) +
                                           " -map 0 -c copy -f framemd5 - 2>/dev/null",
                                       &status);
    size_t at = 0;
    while (at < out.size()) {
        size_t eol = out.find('\n', at);
        if (eol == std::string::npos) eol = out.size();
        const std::string line = out.substr(at, eol - at);
        at = eol + 1;
        const std::vector<std::string> f = Fields(line);
        if (line.rfind("#extradata ", 0) == 0 && f.size() >= 3) {
            ref.extradataMd5[std::atoi(f[0].c_str() + 11)] = f[2];
        } else if (!line.empty() && line[0] != '#' && f.size() >= 6) {
            ref.packets[std::atoi(f[0].c_str())].push_back(
                {static_cast<uint32_t>(std::strtoul(f[4].c_str(), nullptr, 10)), f[5]});
        }
    }
    return ref;
}

std::string PacketHashes(const std::string& file, int stream) {
    PeerPackets all = FfmpegPackets(file);
    std::string lines;
    for (const auto& p : all.packets[stream])
        lines += std::to_string(p.first) + " " + p.second + "\n";
    return lines;
}

std::string Exiftool(const std::string& options, const std::string& file, int* status) {
    int ignored = 0;
    return RunCommand("exiftool " + options + " " + ShellQuote(file), status ? status : &ignored);
}

std::string Mediainfo(const std::string& file) {
    int status = 0;
    return RunCommand("mediainfo " + ShellQuote(file), &status);
}

}  // namespace testutil
