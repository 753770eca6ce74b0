// The independent tools our files are checked with: ffprobe, ffmpeg, exiftool, mediainfo
// and djpeg. Every path is quoted for the shell.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace testutil {

// ffprobe reads the file and ffmpeg decodes all of it with -xerror, both without a word
// and with exit status 0.
void ExpectPeersDecode(const std::string& file);

// A spherical MP4 file: ExpectPeersDecode, exiftool's Spherical and equirectangular
// ProjectionType tags, and mediainfo's video track (and sound track when `sound`).
void ExpectPeersAccept(const std::string& file, bool sound = false);

// djpeg decodes the JPEG file without a warning and with exit status 0.
void ExpectDjpegAccepts(const std::string& file);

// ffprobe -v error OPTIONS FILE: its standard output.
std::string Ffprobe(const std::string& file, const std::string& options);
// The bare values the options ask for, each on its own line (-of default=nw=1:nk=1).
std::string FfprobeValues(const std::string& file, const std::string& options);
// Entries of the first stream of a kind ("v", "a") with frames counted by decoding, as
// comma-separated values without the trailing newline or commas: "640,320".
std::string FfprobeStream(const std::string& file, const std::string& stream,
                          const std::string& entries);

// ffmpeg -v error -y ARGS OUT (args: inputs and options, quoted by the caller); its exit status.
int FfmpegWrite(const std::string& args, const std::string& out);

// ffmpeg's own packets of every stream in order, copied without decoding: size and md5 per
// packet, and the md5 of each stream's codec configuration.
struct PeerPackets {
    std::map<int, std::vector<std::pair<uint32_t, std::string>>> packets;
    std::map<int, std::string> extradataMd5;
};
PeerPackets FfmpegPackets(const std::string& file);
// One stream's packets as "size md5" lines: equal for files holding the same packets.
std::string PacketHashes(const std::string& file, int stream);

// exiftool OPTIONS FILE: its standard output.
std::string Exiftool(const std::string& options, const std::string& file, int* status = nullptr);
// mediainfo's report of the file.
std::string Mediainfo(const std::string& file);

}  // namespace testutil
