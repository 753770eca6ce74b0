// The command-line tool never loses or replaces a file by mistake: an output
// that is the input is refused, a remux that cannot carry every track fails,
// a signal mid-run leaves nothing behind, and each failure says in a sentence
// what went wrong.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "sample/samplegen.h"
#include "support/camera.h"
#include "support/command.h"
#include "support/files.h"
#include "support/peers.h"
#include "support/samples.h"

extern char** environ;

namespace {

using testutil::Bytes;
using testutil::ListFolder;
using testutil::ReadFile;

// `orbivue-cli ARGS...` with its standard error after its standard output.
std::string CliWithErrors(const std::vector<std::string>& args, int* status) {
    std::string cmd = std::string("LC_ALL=C.UTF-8 ") + ORBIVUE_CLI;
    for (const std::string& a : args) cmd += " " + testutil::ShellQuote(a);
    return testutil::RunCommand(cmd + " 2>&1", status);
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A dual-lens camera video with sound.
std::string CameraVideo(const testutil::TempDir& dir, const std::string& name, int width,
                        double seconds) {
    sample::Mp4Options o;
    o.width = width;
    o.height = width / 2;
    o.fps = 30;
    o.seconds = seconds;
    o.audio = true;
    const std::string path = dir.File(name);
    EXPECT_EQ(sample::WriteMp4(path, testutil::DefaultTrailer(2), o), 0);
    return path;
}

// The names in a folder that are neither given nor expected.
std::vector<std::string> Leftovers(const std::string& folder,
                                   const std::vector<std::string>& keep) {
    std::vector<std::string> out;
    for (const std::string& name : ListFolder(folder)) {
        bool kept = false;
        for (const std::string& k : keep) kept = kept || k == name;
        if (!kept) out.push_back(name);
    }
    return out;
}

// A running orbivue-cli, its output thrown away, with TMPDIR set.
pid_t SpawnCli(const std::vector<std::string>& args, const std::string& tmpdir) {
    std::vector<std::string> words = {ORBIVUE_CLI};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = {"TMPDIR=" + tmpdir, "LC_ALL=C.UTF-8"};
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string v = *e;
        if (v.rfind("TMPDIR=", 0) != 0 && v.rfind("LC_ALL=", 0) != 0) env.push_back(v);
    }
    std::vector<char*> envp;
    for (std::string& v : env) envp.push_back(v.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int WaitFor(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// Waits (up to 20 s) until a name starting with `prefix` appears in the folder.
std::string AwaitName(const std::string& folder, const std::string& prefix) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < end) {
        for (const std::string& name : ListFolder(folder)) {
            if (name.rfind(prefix, 0) == 0) return name;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return std::string();
}

}  // namespace

TEST(OutputIsInput, EveryCommandRefusesToReplaceItsInput) {
    testutil::TempDir dir;
    const std::string cam = CameraVideo(dir, "cam.mp4", 320, 1.0);
    const std::string other = CameraVideo(dir, "other.mp4", 320, 1.0);
    ASSERT_EQ(::symlink(cam.c_str(), dir.File("link.mp4").c_str()), 0);
    const Bytes original = ReadFile(cam);
    ASSERT_FALSE(original.empty());
    int status = 0;
    for (const std::string& out : {cam, dir.File("link.mp4")}) {
        std::string said = CliWithErrors({"convert", "ffmpeg", "-d", "-ss", "00:00:00", "-i", cam,
                                          "-t", "00:00:01", "-b:v", "4096k", out},
                                         &status);
        EXPECT_TRUE(Contains(said, "result: -1018\n")) << said;
        EXPECT_TRUE(Contains(said, "output is the input")) << said;
        EXPECT_EQ(status, 1);
        said = CliWithErrors({"remux", cam, out}, &status);
        EXPECT_TRUE(Contains(said, "result: -4\n")) << said;
        EXPECT_TRUE(Contains(said, "output is the input")) << said;
        said = CliWithErrors({"merge", out, other, cam}, &status);
        EXPECT_TRUE(Contains(said, "result: -1018\n")) << said;
        EXPECT_TRUE(Contains(said, "output is the input")) << said;
    }
    EXPECT_EQ(ReadFile(cam), original);
    const std::string photo = dir.File("a.jpg");
    ASSERT_TRUE(testutil::WriteBytes(photo, ReadFile(testutil::Samples().dualPhoto)));
    const std::string said = CliWithErrors({"stitch", photo, photo}, &status);
    EXPECT_TRUE(Contains(said, "result: 1014\n")) << said;
    EXPECT_TRUE(Contains(said, "output is the input")) << said;
    EXPECT_EQ(ReadFile(photo), ReadFile(testutil::Samples().dualPhoto));
    EXPECT_TRUE(Leftovers(dir.path(), {"cam.mp4", "other.mp4", "link.mp4", "a.jpg"}).empty());
}

TEST(Remux, ATrackThatCannotBeCarriedFailsTheWholeRemux) {
    testutil::TempDir dir;
    // MPEG-4 Part 2 video: a codec our writer cannot describe.
    const std::string in = dir.File("part2.mp4"), out = dir.File("out.mp4");
    ASSERT_EQ(testutil::FfmpegWrite("-f lavfi -i testsrc2=s=64x32:r=10:d=1 -f lavfi -i sine=d=1 "
                                    "-c:v mpeg4 -c:a aac -shortest",
                                    in),
              0);
    int status = 0;
    const std::string said = CliWithErrors({"remux", in, out}, &status);
    EXPECT_TRUE(Contains(said, "result: -5\n")) << said;
    EXPECT_TRUE(Contains(said, "not every track")) << said;
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(Leftovers(dir.path(), {"part2.mp4"}).empty());
}

TEST(Failures, EachSaysWhatWentWrongAndAboutWhichFile) {
    testutil::TempDir dir;
    const testutil::SampleFiles& s = testutil::Samples();
    int status = 0;
    std::string said = CliWithErrors({"stitch", s.dualPhoto, dir.File("no/such/out.jpg")}, &status);
    EXPECT_TRUE(Contains(said, "cannot write " + dir.File("no/such/out.jpg") + ": no such folder"))
        << said;
    said = CliWithErrors({"stitch", s.plainPhoto, dir.File("out.jpg")}, &status);
    EXPECT_TRUE(Contains(said, "no usable calibration in " + s.plainPhoto)) << said;
    said = CliWithErrors({"convert", "ffmpeg", "-d", "-ss", "00:00:00", "-i", s.sphericalVideo,
                          "-t", "00:00:01", dir.File("x.mp4")},
                         &status);
    EXPECT_TRUE(Contains(said, "no usable calibration in " + s.sphericalVideo)) << said;
    said = CliWithErrors({"remux", dir.File("missing.mp4"), dir.File("x.mp4")}, &status);
    EXPECT_TRUE(Contains(said, "cannot open " + dir.File("missing.mp4"))) << said;
    EXPECT_TRUE(ListFolder(dir.path()).empty());
}

TEST(Info, TheMeshIsWrittenOnlyWhenThereIsOne) {
    testutil::TempDir dir;
    const testutil::SampleFiles& s = testutil::Samples();
    const std::string out = dir.File("mesh.bin");
    ASSERT_TRUE(testutil::WriteBytes(out, {7}));
    int status = 0;
    const std::string said = CliWithErrors({"info", s.plainPano, "--mesh", out}, &status);
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(Contains(said, "no mesh to write")) << said;
    EXPECT_EQ(ReadFile(out), (Bytes{7}));
    CliWithErrors({"info", s.dualPhoto, "--mesh", out}, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ReadFile(out).size(), 2u * 18824 * sizeof(float));
    struct stat st {};
    ASSERT_EQ(::stat(out.c_str(), &st), 0);
    EXPECT_NE(st.st_mode & 0044, 0u) << "readable like any new file, not private";
}

TEST(Interrupt, ASignalMidConversionLeavesNothingBehind) {
    testutil::TempDir dir, tmp;
    const std::string cam = CameraVideo(dir, "cam.mp4", 960, 8.0);
    for (int sig : {SIGINT, SIGTERM}) {
        const pid_t pid = SpawnCli({"convert", "ffmpeg", "-d", "-ss", "00:00:00", "-i", cam, "-b:v",
                                    "4096k", dir.File("out.mp4")},
                                   tmp.path());
        ASSERT_GT(pid, 0);
        // The output's hidden temporary file shows that the job is under way.
        ASSERT_FALSE(AwaitName(dir.path(), ".orbivue-").empty());
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        kill(pid, sig);
        const int status = WaitFor(pid);
        ASSERT_TRUE(WIFEXITED(status)) << "ended by the signal itself, not by the program";
        EXPECT_EQ(WEXITSTATUS(status), 128 + sig);
        EXPECT_TRUE(Leftovers(dir.path(), {"cam.mp4"}).empty());
    }
}

TEST(Interrupt, ASignalMidMergeRemovesTheListAndTheOutput) {
    testutil::TempDir dir, tmp;
    const std::string part = CameraVideo(dir, "part.mp4", 320, 3.0);
    // Enough inputs that the join is still running when the signal comes.
    std::vector<std::string> args = {"merge", dir.File("joined.mp4")};
    for (int i = 0; i < 400; ++i) args.push_back(part);
    const pid_t pid = SpawnCli(args, tmp.path());
    ASSERT_GT(pid, 0);
    const std::string list = AwaitName(tmp.path(), "orbivue-list-");
    ASSERT_FALSE(list.empty());
    // The list is a private file of its own, not a predictable name.
    struct stat st {};
    if (::lstat(tmp.File(list).c_str(), &st) == 0) {
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 0077, 0u);
    }
    ASSERT_FALSE(AwaitName(dir.path(), ".orbivue-").empty());
    kill(pid, SIGINT);
    const int status = WaitFor(pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGINT);
    EXPECT_TRUE(ListFolder(tmp.path()).empty());
    EXPECT_TRUE(Leftovers(dir.path(), {"part.mp4"}).empty());
}

TEST(Info, NumbersThatAreEasilyMisreadComeWithWordsAndHelpIsAnAnswer) {
    const testutil::SampleFiles& s = testutil::Samples();
    int status = 0;
    std::string out = testutil::RunCli({"info", s.wideVideo}, &status);
    EXPECT_TRUE(Contains(out,
                         "note: calibration 1014: a dual-lens picture must be twice as wide "
                         "as high\n"))
        << out;
    EXPECT_TRUE(Contains(out, "note: probe -2: a video wider than 1920 pixels is not shown\n"))
        << out;
    out = testutil::RunCli({"info", s.plainPhoto}, &status);
    EXPECT_TRUE(Contains(out,
                         "note: probe 1: a photo without calibration is shown only when "
                         "twice as wide as high\n"))
        << out;
    out = testutil::RunCli({"info", s.dualPhoto}, &status);
    EXPECT_FALSE(Contains(out, "note:")) << out;  // nothing to explain
    out = testutil::RunCli({"info", "--help"}, &status);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(Contains(out, "usage: orbivue-cli info")) << out;
}
