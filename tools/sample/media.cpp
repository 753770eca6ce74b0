// JPEG and MP4 writers. The pictures and videos come from ffmpeg; the trailer is spliced into
// their structure here.
#include "sample/samplegen.h"

#include "media_internal.h"
#include "platform/bytes.h"
#include "platform/file.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

extern char** environ;

namespace sample {

namespace fs = std::filesystem;

bool ReadFile(const fs::path& path, std::vector<uint8_t>& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// Written under a temporary name and renamed, so that parallel test processes
// never see a partial file.
bool WriteFile(const std::string& path, const std::vector<uint8_t>& data) {
    platform::PendingFile target;
    if (!target.Begin(path.c_str())) return false;
    platform::FileWriter out;
    if (out.Open(target.TempPath().c_str()) != 0) return false;
    const bool written = out.Write(data.data(), data.size());
    return out.Close() && written && target.Commit();
}

// Runs ffmpeg with the given arguments (no shell involved, so paths need no quoting).
bool RunFfmpeg(const std::vector<std::string>& args) {
    const char* exe = std::getenv("ORBIVUE_FFMPEG");
    std::string program = exe && *exe ? exe : "ffmpeg";
    std::vector<std::string> all = {program, "-nostdin", "-hide_banner", "-v", "error", "-y"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return false;
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

namespace {

// ffmpeg output is cached in the temp dir under a name that encodes its parameters.
template <typename Produce>
int CachedBytes(const std::string& key, std::vector<uint8_t>& out, const Produce& produce) {
    std::error_code ec;
    fs::path dir = fs::temp_directory_path(ec);
    if (ec) dir = "/tmp";
    dir /= "orbivue-sample-cache-v3";
    fs::create_directories(dir, ec);
    const fs::path final = dir / key;
    if (ReadFile(final, out) && !out.empty()) return 0;
    if (int rc = produce(out); rc != 0) return rc;
    WriteFile(final.string(), out);
    return 0;
}

int CachedFfmpeg(const std::string& key, const std::vector<std::string>& args,
                 std::vector<uint8_t>& out) {
    return CachedBytes(key, out, [&](std::vector<uint8_t>& bytes) {
        static std::atomic<unsigned> counter{0};
        std::error_code ec;
        const fs::path tmp =
            fs::temp_directory_path(ec) /
            ("orbivue-ffmpeg-" + std::to_string(getpid()) + "-" +
             std::to_string(counter.fetch_add(1)) + "." + key.substr(key.find_last_of('.') + 1));
        std::vector<std::string> full(args);
        full.push_back(tmp.string());
        const bool ran = RunFfmpeg(full) && ReadFile(tmp, bytes) && !bytes.empty();
        fs::remove(tmp, ec);
        return ran ? 0 : kErrFfmpeg;
    });
}

// FNV-1a, to name cache entries after their inputs.
uint64_t Fnv1a(const std::vector<uint8_t>& bytes, uint64_t h = 14695981039346656037ull) {
    for (uint8_t b : bytes) h = (h ^ b) * 1099511628211ull;
    return h;
}

using platform::Be16;
using platform::Be32;

void PutSegment(std::vector<uint8_t>& out, uint8_t marker, const std::vector<uint8_t>& payload) {
    out.push_back(0xFF);
    out.push_back(marker);
    platform::AppendBe16(out, static_cast<uint32_t>(payload.size() + 2));
    out.insert(out.end(), payload.begin(), payload.end());
}

// The picture's own segments after SOI, less its APPn and COM segments. The frame size in SOF0 is
// set to width x height (the picture may be one pixel larger each way, see WriteJpegImpl).
bool PictureSegments(const std::vector<uint8_t>& jpg, int width, int height,
                     std::vector<uint8_t>& out) {
    if (jpg.size() < 4 || jpg[0] != 0xFF || jpg[1] != 0xD8) return false;
    bool sawSof0 = false;
    size_t pos = 2;
    while (pos + 4 <= jpg.size()) {
        if (jpg[pos] != 0xFF) return false;
        const uint8_t m = jpg[pos + 1];
        if (m == 0xDA) {
            out.insert(out.end(), jpg.begin() + static_cast<std::ptrdiff_t>(pos), jpg.end());
            const size_t n = jpg.size();
            return sawSof0 && jpg[n - 2] == 0xFF && jpg[n - 1] == 0xD9;
        }
        const size_t len = Be16(&jpg[pos + 2]);
        if (len < 2 || pos + 2 + len > jpg.size()) return false;
        // Only baseline pictures are wanted.
        if (m > 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC) return false;
        const bool drop = (m >= 0xE0 && m <= 0xEF) || m == 0xFE;
        if (!drop) {
            out.insert(out.end(), jpg.begin() + static_cast<std::ptrdiff_t>(pos),
                       jpg.begin() + static_cast<std::ptrdiff_t>(pos + 2 + len));
        }
        if (m == 0xC0) {
            if (len < 8) return false;
            sawSof0 = true;
            uint8_t* sof = &out[out.size() - len - 2];
            if (Be16(sof + 5) != static_cast<uint32_t>(height + height % 2) ||
                Be16(sof + 7) != static_cast<uint32_t>(width + width % 2)) {
                return false;
            }
            sof[5] = static_cast<uint8_t>(height >> 8);
            sof[6] = static_cast<uint8_t>(height & 0xff);
            sof[7] = static_cast<uint8_t>(width >> 8);
            sof[8] = static_cast<uint8_t>(width & 0xff);
        }
        pos += 2 + len;
    }
    return false;
}

// A box tree for the parts of the MP4 that are edited. Only the containers on the way to the
// boxes of interest are opened; everything else is kept as raw payload.
struct Node {
    char type[4] = {};
    std::vector<uint8_t> body;  // payload of a leaf
    std::vector<Node> kids;     // children of a container
    bool container = false;

    bool Is(const char* t) const { return std::memcmp(type, t, 4) == 0; }
};

bool IsContainer(const char* t) {
    static const char* const kTypes[] = {"moov", "trak", "mdia", "minf", "stbl", "edts", "dinf"};
    for (const char* k : kTypes) {
        if (std::memcmp(t, k, 4) == 0) return true;
    }
    return false;
}

struct RawBox {
    size_t start = 0, header = 0, size = 0;
    char type[4] = {};
};

bool SplitBoxes(const uint8_t* p, size_t n, std::vector<RawBox>& out) {
    size_t pos = 0;
    while (pos < n) {
        if (n - pos < 8) return false;
        RawBox b;
        b.start = pos;
        uint64_t size = Be32(p + pos);
        std::memcpy(b.type, p + pos + 4, 4);
        b.header = 8;
        if (size == 1) {
            if (n - pos < 16) return false;
            size = (uint64_t{Be32(p + pos + 8)} << 32) | Be32(p + pos + 12);
            b.header = 16;
        } else if (size == 0) {
            size = n - pos;
        }
        if (size < b.header || size > n - pos) return false;
        b.size = static_cast<size_t>(size);
        out.push_back(b);
        pos += b.size;
    }
    return true;
}

bool ParseNode(const uint8_t* p, const RawBox& b, Node& node) {
    std::memcpy(node.type, b.type, 4);
    const uint8_t* body = p + b.start + b.header;
    const size_t bodySize = b.size - b.header;
    if (!IsContainer(b.type)) {
        node.body.assign(body, body + bodySize);
        return true;
    }
    node.container = true;
    std::vector<RawBox> kids;
    if (!SplitBoxes(body, bodySize, kids)) return false;
    for (const RawBox& k : kids) {
        node.kids.emplace_back();
        if (!ParseNode(body, k, node.kids.back())) return false;
    }
    return true;
}

std::vector<uint8_t> Serialize(const Node& node) {
    if (!node.container) return Box(node.type, node.body);
    std::vector<uint8_t> payload;
    for (const Node& k : node.kids) {
        std::vector<uint8_t> bytes = Serialize(k);
        payload.insert(payload.end(), bytes.begin(), bytes.end());
    }
    return Box(node.type, payload);
}

Node* FindChild(Node& node, const char* type) {
    for (Node& k : node.kids) {
        if (k.Is(type)) return &k;
    }
    return nullptr;
}

bool IsVideoTrak(Node& trak) {
    Node* mdia = FindChild(trak, "mdia");
    if (!mdia) return false;
    Node* hdlr = FindChild(*mdia, "hdlr");
    return hdlr && hdlr->body.size() >= 12 && std::memcmp(&hdlr->body[8], "vide", 4) == 0;
}

Node LeafNode(const char* type, const std::vector<uint8_t>& body) {
    Node n;
    std::memcpy(n.type, type, 4);
    n.body = body;
    return n;
}

int WriteMp4Impl(const std::string& path, const std::vector<uint8_t>& trailer,
                 const Mp4Options& opt) {
    if (opt.width <= 0 || opt.height <= 0 || opt.width % 2 || opt.height % 2 || opt.fps <= 0 ||
        !(opt.seconds > 0) || opt.seconds > 600) {
        return kErrArgs;
    }
    // The trailer goes in through the writer's user data when it belongs in "moov".
    const bool viaWriter = opt.placement == Mp4Placement::MoovUdta;
    const std::vector<uint8_t> userData = viaWriter ? trailer : std::vector<uint8_t>();
    std::vector<uint8_t> lens = opt.cameraType == 2   ? EncodeDualLensRecord(opt.dual)
                                : opt.cameraType == 1 ? EncodeSingleLensRecord(opt.single)
                                                      : std::vector<uint8_t>();
    lens.insert(lens.end(), opt.panorama.begin(), opt.panorama.end());
    // A panorama replaced under the same name must not bring back the old video.
    std::error_code ec;
    const fs::path pano = opt.panorama.empty() ? fs::path(kEarthPanorama) : fs::path(opt.panorama);
    const std::string stamp =
        std::to_string(fs::file_size(pano, ec)) + "@" +
        std::to_string(fs::last_write_time(pano, ec).time_since_epoch().count());
    lens.insert(lens.end(), stamp.begin(), stamp.end());
    char key[160];
    std::snprintf(key, sizeof key, "video-c%d-%dx%d-%gs-%d%s-%016llx-%016llx.mp4", opt.cameraType,
                  opt.width, opt.height, opt.seconds, opt.fps, opt.audio ? "-sweep" : "",
                  static_cast<unsigned long long>(Fnv1a(lens)),
                  static_cast<unsigned long long>(Fnv1a(userData)));
    std::vector<uint8_t> src;
    if (int rc = CachedBytes(
            key, src,
            [&](std::vector<uint8_t>& bytes) { return EncodeCameraVideo(opt, userData, &bytes); });
        rc != 0) {
        return rc;
    }

    std::vector<RawBox> top;
    if (!SplitBoxes(src.data(), src.size(), top)) return kErrFormat;
    size_t moovIndex = top.size(), mdatIndex = top.size();
    for (size_t i = 0; i < top.size(); ++i) {
        if (std::memcmp(top[i].type, "moov", 4) == 0 && moovIndex == top.size()) moovIndex = i;
        if (std::memcmp(top[i].type, "mdat", 4) == 0 && mdatIndex == top.size()) mdatIndex = i;
    }
    // Growing moov is only safe when nothing it points at comes after it.
    if (moovIndex == top.size() || mdatIndex > moovIndex) return kErrFormat;

    Node moov;
    if (!ParseNode(src.data(), top[moovIndex], moov)) return kErrFormat;
    Node* firstTrak = FindChild(moov, "trak");
    Node* videoTrak = nullptr;
    for (Node& k : moov.kids) {
        if (k.Is("trak") && IsVideoTrak(k)) {
            videoTrak = &k;
            break;
        }
    }
    if (!firstTrak || !videoTrak) return kErrFormat;

    switch (opt.placement) {
        case Mp4Placement::MoovUdta:  // already written by the writer
            break;
        case Mp4Placement::TrakUdta:
            firstTrak->kids.push_back(LeafNode("udta", trailer));
            break;
        case Mp4Placement::MdiaUdta: {
            Node* mdia = FindChild(*firstTrak, "mdia");
            if (!mdia) return kErrFormat;
            mdia->kids.push_back(LeafNode("udta", trailer));
            break;
        }
        case Mp4Placement::TopLevelUdat:
        case Mp4Placement::None:
            break;
    }
    // The writer marks every video track spherical; camera files are not.
    for (Node& k : videoTrak->kids) {
        if (!k.Is("uuid")) continue;
        if (!opt.sphericalBox) {
            std::memcpy(k.type, "free", 4);
        } else if (!opt.sphericalXml.empty()) {
            const std::vector<uint8_t> uuid = SphericalUuidBox(opt.sphericalXml);
            if (uuid.size() < 8) return kErrFormat;
            k.body.assign(uuid.begin() + 8, uuid.end());
        }
    }

    std::vector<uint8_t> out;
    out.reserve(src.size() + trailer.size() + 4096);
    for (size_t i = 0; i < top.size(); ++i) {
        if (i == moovIndex) {
            std::vector<uint8_t> bytes = Serialize(moov);
            out.insert(out.end(), bytes.begin(), bytes.end());
            continue;
        }
        const size_t at = out.size();
        out.insert(out.end(), src.begin() + static_cast<std::ptrdiff_t>(top[i].start),
                   src.begin() + static_cast<std::ptrdiff_t>(top[i].start + top[i].size));
        if (std::memcmp(top[i].type, "udta", 4) == 0 || std::memcmp(top[i].type, "udat", 4) == 0)
            std::memcpy(&out[at + 4], "free", 4);
    }
    if (opt.placement == Mp4Placement::TopLevelUdat) {
        std::vector<uint8_t> bytes = Box("udat", trailer);
        out.insert(out.end(), bytes.begin(), bytes.end());
    }
    return WriteFile(path, out) ? 0 : kErrIo;
}

int WriteJpegImpl(const std::string& path, int width, int height,
                  const std::vector<uint8_t>& trailer, JpegLayout layout) {
    if (width <= 0 || height <= 0 || width > 16384 || height > 16384) return kErrArgs;
    // ffmpeg rounds odd 4:2:0 sizes down, so an odd size is made one pixel larger and the frame
    // header then declares the size asked for; the MCU grid is the same either way.
    const std::string size =
        std::to_string(width + width % 2) + "x" + std::to_string(height + height % 2);
    const std::vector<std::string> args = {"-f",
                                           "lavfi",
                                           "-i",
                                           "testsrc2=size=" + size + ":rate=1",
                                           "-frames:v",
                                           "1",
                                           "-c:v",
                                           "mjpeg",
                                           "-pix_fmt",
                                           "yuvj420p",
                                           "-q:v",
                                           "4",
                                           "-map_metadata",
                                           "-1",
                                           "-fflags",
                                           "+bitexact",
                                           "-flags",
                                           "+bitexact",
                                           "-f",
                                           "mjpeg"};
    std::vector<uint8_t> src;
    if (int rc = CachedFfmpeg("picture-" + size + ".jpg", args, src); rc != 0) return rc;
    return WrapPicture(path, width, height, src, trailer, layout);
}

}  // namespace

int WrapPicture(const std::string& path, int width, int height, const std::vector<uint8_t>& src,
                const std::vector<uint8_t>& trailer, JpegLayout layout) {
    std::vector<uint8_t> picture;
    if (!PictureSegments(src, width, height, picture)) return kErrFormat;

    static const uint8_t kJfif[] = {'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0};
    static const uint8_t kComment[] = {'o', 'r', 'b', 'i', 'v', 'u', 'e',
                                       ' ', 's', 'a', 'm', 'p', 'l', 'e'};
    // "Exif\0\0", then a little-endian TIFF header whose first IFD (at 8) has no entries.
    std::vector<uint8_t> app1 = {
        'E', 'x', 'i', layout == JpegLayout::App1WithoutExif ? uint8_t{'x'} : uint8_t{'f'},
        0,   0,   'I', 'I',
        42,  0,   8,   0,
        0,   0,   0,   0,
        0,   0,   0,   0};
    app1.insert(app1.end(), trailer.begin(), trailer.end());
    if (app1.size() + 2 > 0xFFFF) return kErrTooLarge;

    std::vector<uint8_t> out = {0xFF, 0xD8};
    out.reserve(picture.size() + app1.size() + 64);
    if (layout == JpegLayout::App0ThenApp1 || layout == JpegLayout::NoApp1)
        PutSegment(out, 0xE0, std::vector<uint8_t>(std::begin(kJfif), std::end(kJfif)));
    if (layout == JpegLayout::App1AfterOtherSegment)
        PutSegment(out, 0xFE, std::vector<uint8_t>(std::begin(kComment), std::end(kComment)));
    if (layout != JpegLayout::NoApp1) PutSegment(out, 0xE1, app1);
    out.insert(out.end(), picture.begin(), picture.end());
    return WriteFile(path, out) ? 0 : kErrIo;
}

int WriteJpeg(const std::string& path, int width, int height, const std::vector<uint8_t>& trailer,
              JpegLayout layout) {
    try {
        return WriteJpegImpl(path, width, height, trailer, layout);
    } catch (...) {
        return kErrIo;
    }
}

int WriteMp4(const std::string& path, const std::vector<uint8_t>& trailer, const Mp4Options& opt) {
    try {
        return WriteMp4Impl(path, trailer, opt);
    } catch (...) {
        return kErrIo;
    }
}

}  // namespace sample
