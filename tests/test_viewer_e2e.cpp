// The viewer as a person uses it, under Xvfb: `orbivue FILE` is started, the
// video area is driven with xdotool (press, move, release, wheel), the screen
// is grabbed, and the video area is compared with `orbivue-cli render` of the
// view the input should have made. Skipped without a display.
//
// ORBIVUE_E2E_SHOTS=DIR keeps the screenshots there for a person to look at.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QImage>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/file.h"
#include "player/probe.h"
#include "render/models.h"
#include "support/command.h"
#include "support/files.h"
#include "support/peers.h"
#include "support/qt_app.h"
#include "support/samples.h"

#ifndef ORBIVUE_VIEWER
#error "ORBIVUE_VIEWER names the viewer under test"
#endif

namespace {

using namespace std::chrono_literals;

constexpr int kAreaWidth = 1024, kAreaHeight = 512;  // the video area of a new window
constexpr int kAreaTop = 30;

bool HaveDisplay() {
    return std::getenv("DISPLAY") != nullptr;
}

// The viewer in its own process, with a private home, settings and sound.
class Viewer {
  public:
    Viewer(const testutil::TempDir& dir, const std::vector<std::string>& args,
           uint16_t language = 1033) {
        const std::string config = dir.File("config");
        const std::string folder = config + "/Orbivue";
        {
            int ignored = 0;
            testutil::RunCommand("mkdir -p " + testutil::ShellQuote(folder), &ignored);
        }
        const testutil::Bytes lang = {static_cast<uint8_t>(language & 0xFF),
                                      static_cast<uint8_t>(language >> 8), 0, 0};
        testutil::WriteBytes(folder + "/Language.ini", lang);
        const std::string alsa = testutil::WriteNullSoundConfig(dir);
        const std::string home = dir.File("home");
        {
            int ignored = 0;
            testutil::RunCommand("mkdir -p " + testutil::ShellQuote(home), &ignored);
        }
        const std::string log = dir.File("viewer.log");
        m_log = log;
        m_pid = fork();
        if (m_pid == 0) {
            setenv("HOME", home.c_str(), 1);
            setenv("XDG_CONFIG_HOME", config.c_str(), 1);
            setenv("ALSA_CONFIG_PATH", alsa.c_str(), 1);
            unsetenv("QT_QPA_PLATFORM");
            if (freopen(log.c_str(), "w", stdout) == nullptr) _exit(126);
            if (freopen(log.c_str(), "a", stderr) == nullptr) _exit(126);
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(ORBIVUE_VIEWER));
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(ORBIVUE_VIEWER, argv.data());
            _exit(127);
        }
    }
    ~Viewer() { Close(); }
    // Waits for the window; false when it never came.
    bool WaitForWindow() {
        for (int i = 0; i < 150; ++i) {
            int status = 0;
            const std::string id =
                testutil::RunCommand("xdotool search --name '^VideoPlayer$' 2>/dev/null", &status);
            if (status == 0 && !id.empty()) {
                m_window = id.substr(0, id.find('\n'));
                return true;
            }
            if (!Running()) return false;
            std::this_thread::sleep_for(100ms);
        }
        return false;
    }
    bool Running() {
        int status = 0;
        return m_pid > 0 && waitpid(m_pid, &status, WNOHANG) == 0;
    }
    // Ends the viewer through its close button's message path (SIGTERM as a
    // fallback); returns its exit status, or -1 when it had to be killed.
    int Close() {
        if (m_pid <= 0) return 0;
        kill(m_pid, SIGTERM);
        int status = 0;
        for (int i = 0; i < 50 && waitpid(m_pid, &status, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(100ms);
        if (waitpid(m_pid, &status, WNOHANG) == 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
            status = -1;
        }
        m_pid = -1;
        return status;
    }

    // Everything the viewer printed.
    std::string FullLog() const {
        const testutil::Bytes bytes = testutil::ReadFile(m_log);
        return std::string(bytes.begin(), bytes.end());
    }
    // The viewer's output, for a failure's message.
    std::string Log() const {
        const testutil::Bytes bytes = testutil::ReadFile(m_log);
        std::string text(bytes.begin(), bytes.end());
        return text.size() > 3000 ? text.substr(text.size() - 3000) : text;
    }

  private:
    pid_t m_pid = -1;
    std::string m_window;
    std::string m_log;
};

void Xdotool(const std::string& args) {
    int status = 0;
    testutil::RunCommand("xdotool " + args, &status);
    EXPECT_EQ(status, 0) << args;
}

// The screen's video area (the window sits at the origin without a window manager).
QImage GrabArea(const std::string& png) {
    int status = 0;
    const char* display = std::getenv("DISPLAY");
    testutil::RunCommand("ffmpeg -loglevel error -y -f x11grab -video_size 1280x1024 -i " +
                             testutil::ShellQuote(display) + " -frames:v 1 " +
                             testutil::ShellQuote(png),
                         &status);
    EXPECT_EQ(status, 0);
    QImage screen(QString::fromStdString(png));
    return screen.copy(0, kAreaTop, kAreaWidth, kAreaHeight).convertToFormat(QImage::Format_RGB32);
}

QImage GrabScreen(const std::string& png) {
    int status = 0;
    testutil::RunCommand("ffmpeg -loglevel error -y -f x11grab -video_size 1280x1024 -i " +
                             testutil::ShellQuote(std::getenv("DISPLAY")) + " -frames:v 1 " +
                             testutil::ShellQuote(png),
                         &status);
    EXPECT_EQ(status, 0);
    return QImage(QString::fromStdString(png)).convertToFormat(QImage::Format_RGB32);
}

// The size of the window named VideoPlayer, as xdotool sees it.
QSize WindowSize() {
    int status = 0;
    const std::string text = testutil::RunCommand(
        "xdotool search --name '^VideoPlayer$' getwindowgeometry --shell 2>/dev/null", &status);
    int w = 0, h = 0;
    const size_t wa = text.find("WIDTH="), ha = text.find("HEIGHT=");
    if (wa != std::string::npos) w = std::atoi(text.c_str() + wa + 6);
    if (ha != std::string::npos) h = std::atoi(text.c_str() + ha + 7);
    return QSize(w, h);
}

void Click(int x, int y) {
    Xdotool("mousemove " + std::to_string(x) + " " + std::to_string(y) + " click 1");
}

// Mean absolute difference per channel, 0 to 255.
double Difference(const QImage& a, const QImage& b) {
    if (a.size() != b.size()) return 255;
    double sum = 0;
    for (int y = 0; y < a.height(); ++y) {
        const auto* p = reinterpret_cast<const QRgb*>(a.constScanLine(y));
        const auto* q = reinterpret_cast<const QRgb*>(b.constScanLine(y));
        for (int x = 0; x < a.width(); ++x)
            sum += std::abs(qRed(p[x]) - qRed(q[x])) + std::abs(qGreen(p[x]) - qGreen(q[x])) +
                   std::abs(qBlue(p[x]) - qBlue(q[x]));
    }
    return sum / (3.0 * a.width() * a.height());
}

double Brightness(const QImage& a) {
    double sum = 0;
    for (int y = 0; y < a.height(); ++y) {
        const auto* p = reinterpret_cast<const QRgb*>(a.constScanLine(y));
        for (int x = 0; x < a.width(); ++x) sum += qGray(p[x]);
    }
    return sum / (a.width() * a.height());
}

// `orbivue-cli render` of the same file and view at the video area's size.
QImage Render(const testutil::TempDir& dir, const std::string& file, const std::string& name,
              const std::vector<std::string>& view) {
    std::vector<std::string> args = {"render", file, dir.File(name + ".png"), "--size", "1024x512"};
    args.insert(args.end(), view.begin(), view.end());
    int status = 0;
    testutil::RunCli(args, &status);
    EXPECT_EQ(status, 0) << name;
    return QImage(QString::fromStdString(dir.File(name + ".png")))
        .convertToFormat(QImage::Format_RGB32);
}

// Waits until the video area shows a picture.
QImage WaitForPicture(const std::string& png) {
    QImage area;
    for (int i = 0; i < 60; ++i) {
        area = GrabArea(png);
        if (Brightness(area) > 10) break;
        std::this_thread::sleep_for(250ms);
    }
    return area;
}

void Keep(const std::string& png, const std::string& name) {
    int ignored = 0;
    if (const char* shots = std::getenv("ORBIVUE_E2E_SHOTS"))
        testutil::RunCommand("mkdir -p " + testutil::ShellQuote(shots) + " && cp " +
                                 testutil::ShellQuote(png) + " " +
                                 testutil::ShellQuote(std::string(shots) + "/" + name + ".png"),
                             &ignored);
}

// Turns by a slow drag of `pixels` to the right: 5-pixel steps 100 ms apart, so
// each step is drawn before the next and the release throws nothing.
void SlowDrag(int x, int y, int pixels) {
    Xdotool("mousemove " + std::to_string(x) + " " + std::to_string(y) + " mousedown 1");
    std::this_thread::sleep_for(150ms);
    for (int moved = 5; moved <= pixels; moved += 5) {
        Xdotool("mousemove " + std::to_string(x + moved) + " " + std::to_string(y));
        std::this_thread::sleep_for(100ms);
    }
    Xdotool("mouseup 1");
    std::this_thread::sleep_for(500ms);
}

// A rendered dual-lens camera video made by the sample maker in dir.
std::string SampleVideo(const testutil::TempDir& dir, const std::string& name,
                        const std::string& options) {
    const std::string video = dir.File(name);
    int status = 0;
    testutil::RunCommand(std::string(ORBIVUE_SAMPLE) + " " + testutil::ShellQuote(video) +
                             " --camera 2 --video --render --size 960x480 " + options,
                         &status);
    EXPECT_EQ(status, 0) << options;
    return status == 0 ? video : std::string();
}

// Brings the floating bar up: the pointer into the video, then to its top band.
void ShowFloatingBar() {
    Xdotool("mousemove 500 300");
    std::this_thread::sleep_for(300ms);
    Xdotool("mousemove 500 45");
    std::this_thread::sleep_for(600ms);
}

class ViewerE2E : public testing::Test {
  protected:
    void SetUp() override {
        if (!HaveDisplay()) GTEST_SKIP() << "no X display";
        ASSERT_NE(testutil::QtApplication::Get(), nullptr);  // for QImage's codecs
    }
    testutil::TempDir dir;
};

TEST_F(ViewerE2E, DragAndWheelTurnAndZoomTheLittlePlanet) {
    const std::string photo = testutil::Samples().dualPhoto;
    Viewer viewer(dir, {photo});
    ASSERT_TRUE(viewer.WaitForWindow());
    const std::string shot = dir.File("shot.png");
    const QImage first = WaitForPicture(shot);
    Keep(shot, "photo-opened");
    const QImage expectedFirst = Render(dir, photo, "first", {});
    EXPECT_LT(Difference(first, expectedFirst), 4.0) << "the photo opens on its first view";

    // The little planet's starting angles, as a fresh model has them.
    CMediaInfo sizes;
    sizes.Load();
    CMediaProbe probe(&sizes);
    ASSERT_EQ(probe.Probe(true, photo.c_str()), 0);
    CShapeModel* models[kModelSlots];
    CreateModels(models, 0);
    BuildModelsForSource(models, probe.m_nCameraType, probe.m_nWidth, probe.m_nHeight,
                         probe.m_pMeshA, probe.m_pMeshB);
    const float yaw0 = models[ViewLittlePlanet]->m_fYaw;
    const float fov0 = models[ViewLittlePlanet]->m_fFov;
    const float minFov = models[ViewLittlePlanet]->m_fMinFov;
    DeleteModels(models);
    ASSERT_GE(fov0 - 10, minFov) << "a wheel step toward a narrower view must be possible";

    SlowDrag(400, 300, 100);
    const QImage dragged = GrabArea(shot);
    Keep(shot, "photo-dragged");
    const double d = std::sqrt(double(kAreaWidth) * kAreaWidth + double(kAreaHeight) * kAreaHeight);
    const double yaw = yaw0 - 600.0 * 100 / d;
    const QImage expectedDrag =
        Render(dir, photo, "dragged", {"--view", "2", "--yaw", std::to_string(yaw)});
    EXPECT_LT(Difference(dragged, expectedDrag), 4.0) << "yaw " << yaw;
    EXPECT_GT(Difference(dragged, expectedFirst), 8.0) << "the drag turned the view";

    Xdotool("mousemove 500 300 click 4");  // one notch forward
    std::this_thread::sleep_for(500ms);
    const QImage zoomed = GrabArea(shot);
    Keep(shot, "photo-zoomed");
    const QImage expectedZoom =
        Render(dir, photo, "zoomed",
               {"--view", "2", "--yaw", std::to_string(yaw), "--fov", std::to_string(fov0 - 10)});
    EXPECT_LT(Difference(zoomed, expectedZoom), 4.0) << "fov " << fov0 - 10;
    EXPECT_GT(Difference(zoomed, dragged), 4.0) << "the wheel narrowed the view";
    EXPECT_TRUE(viewer.Running());
}

TEST_F(ViewerE2E, TheFlatViewIgnoresDragAndWheelInChinese) {
    const std::string photo = testutil::Samples().dualPhoto;
    Viewer viewer(dir, {"--view", "6", photo}, 2052);
    ASSERT_TRUE(viewer.WaitForWindow());
    const std::string shot = dir.File("shot.png");
    WaitForPicture(shot);
    std::this_thread::sleep_for(300ms);
    const QImage flat = GrabArea(shot);
    Keep(shot, "flat-zh");
    const QImage expected = Render(dir, photo, "flat", {"--view", "6"});
    EXPECT_LT(Difference(flat, expected), 4.0);
    SlowDrag(300, 300, 50);
    Xdotool("click 4 click 5 click 5");
    std::this_thread::sleep_for(500ms);
    const QImage after = GrabArea(shot);
    Keep(shot, "flat-zh-after");
    EXPECT_LT(Difference(after, flat), 1.0) << "drag and wheel change nothing in view 6";
}

TEST_F(ViewerE2E, AVideoPlaysAndARefusedFileLeavesTheWindowUsable) {
    const auto& s = testutil::Samples();
    const std::string video = SampleVideo(dir, "turning.mp4", "--seconds 3 --fps 25");
    ASSERT_FALSE(video.empty());
    Viewer viewer(dir, {video});
    ASSERT_TRUE(viewer.WaitForWindow());
    const std::string shot = dir.File("shot.png");
    const QImage playing = WaitForPicture(shot);
    Keep(shot, "video-playing");
    EXPECT_GT(Brightness(playing), 40) << "frames reach the window\n" << viewer.Log();
    // The sample ends; the window stays.
    std::this_thread::sleep_for(3500ms);
    EXPECT_TRUE(viewer.Running());
    const QImage ended = GrabArea(shot);
    Keep(shot, "video-ended");
    EXPECT_EQ(viewer.Close(), 0) << "the viewer ends cleanly";

    testutil::TempDir other;
    Viewer refused(other, {s.plainPhoto}, 2052);
    ASSERT_TRUE(refused.WaitForWindow());
    std::this_thread::sleep_for(1500ms);
    // The refusal's message box is up; the window is still there and answers.
    EXPECT_TRUE(refused.Running());
    GrabArea(shot);
    Keep(shot, "refused-message-zh");
    Xdotool("key Return");
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(refused.Running());
    GrabArea(shot);
    Keep(shot, "refused");
}

// The skinned bars driven with the mouse on a playing video: pause and play,
// a seek, the view buttons, mute, full screen and back, the floating bar, the
// language dialog restarting in Chinese, and the close button.
TEST_F(ViewerE2E, TheBarsDriveThePlayer) {
    const std::string video = SampleVideo(dir, "turning.mp4", "--seconds 8 --fps 25");
    ASSERT_FALSE(video.empty());
    int status = 0;
    Viewer viewer(dir, {video});
    ASSERT_TRUE(viewer.WaitForWindow());
    const std::string shot = dir.File("shot.png");
    WaitForPicture(shot);
    // Bottom bar at (1, 541) of a 1024x597 window; caption bar at (1, 1).
    const int barTop = 541, right = 1 + 1022;
    const int playX = 1 + (1022 - 35) / 2 + 15, playY = barTop + 20 + 15;
    Click(playX, playY);  // pause
    std::this_thread::sleep_for(700ms);
    const QImage paused1 = GrabArea(shot);
    std::this_thread::sleep_for(700ms);
    const QImage paused2 = GrabArea(shot);
    Keep(shot, "bars-paused");
    EXPECT_LT(Difference(paused1, paused2), 0.5) << "paused: the picture stands";
    Click(playX, playY);  // play
    std::this_thread::sleep_for(1000ms);
    EXPECT_GT(Difference(GrabArea(shot), paused2), 1.0) << "playing again: the view turns";

    // A click at the middle of the progress bar seeks there.
    const int progressLeft = 1 + 50, progressWidth = 1022 - 132;
    Click(progressLeft + progressWidth / 2, barTop + 7);
    std::this_thread::sleep_for(1200ms);
    QImage screen = GrabScreen(shot);
    Keep(shot, "bars-seeked");
    const QColor played = screen.pixelColor(progressLeft + progressWidth * 45 / 100, barTop + 8);
    EXPECT_GT(played.blue(), 150) << "the played part reaches past the middle";
    EXPECT_LT(played.red(), 60);

    // The view buttons of a dual-lens file: sphere, flat.
    const QImage planet = GrabArea(shot);
    Click(right - 160 + 15, 16);  // sphere
    std::this_thread::sleep_for(600ms);
    const QImage sphere = GrabArea(shot);
    Keep(shot, "bars-sphere");
    EXPECT_GT(Difference(sphere, planet), 8.0);
    Click(right - 190 + 15, 16);  // flat
    std::this_thread::sleep_for(600ms);
    const QImage flat = GrabArea(shot);
    Keep(shot, "bars-flat");
    EXPECT_GT(Difference(flat, sphere), 8.0);

    // Mute changes its button's look.
    const QRect mute(1 + 1022 - 105 - 150, barTop + 21, 30, 30);
    const QImage before = GrabScreen(shot).copy(mute);
    Click(mute.center().x(), mute.center().y());
    std::this_thread::sleep_for(400ms);
    EXPECT_GT(Difference(GrabScreen(shot).copy(mute), before), 2.0);

    // Full screen and back.
    Click(right - 70 + 15, 16);
    std::this_thread::sleep_for(800ms);
    EXPECT_EQ(WindowSize(), QSize(1280, 1024));
    GrabScreen(shot);
    Keep(shot, "bars-fullscreen");
    Xdotool("mousemove 640 5");  // the caption comes back under the pointer
    std::this_thread::sleep_for(500ms);
    Click(1 + 1278 - 70 + 15, 16);
    std::this_thread::sleep_for(800ms);
    EXPECT_EQ(WindowSize(), QSize(1024, 597));

    // The floating bar shows while the pointer is in the top band of the video.
    Xdotool("mousemove 500 300");
    std::this_thread::sleep_for(300ms);
    Xdotool("mousemove 500 45");
    std::this_thread::sleep_for(600ms);
    const QImage band = GrabScreen(shot).copy(0, 30, 1024, 28);
    Keep(shot, "bars-floating");
    Xdotool("mousemove 500 300");
    std::this_thread::sleep_for(3800ms);
    const QImage gone = GrabScreen(shot).copy(0, 30, 1024, 28);
    EXPECT_GT(Difference(band, gone), 4.0) << "shown, then hidden 3 s after the pointer left";

    // The language dialog: Chinese, then the program starts again in it.
    Click(right - 130 + 15, 16);
    std::this_thread::sleep_for(600ms);
    GrabScreen(shot);
    Keep(shot, "bars-language");
    Xdotool("key Down");  // the list has the focus: the second language
    std::this_thread::sleep_for(300ms);
    GrabScreen(shot);
    Keep(shot, "bars-language-chosen");
    Xdotool("key Return");  // OK
    for (int i = 0; i < 50 && viewer.Running(); ++i) std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(viewer.Running()) << "the first instance ends after the restart";
    std::this_thread::sleep_for(2000ms);
    const std::string pid = testutil::RunCommand(
        "xdotool search --name '^VideoPlayer$' getwindowpid 2>/dev/null", &status);
    ASSERT_FALSE(pid.empty()) << "a new instance runs";
    GrabScreen(shot);
    Keep(shot, "bars-restarted-zh");
    const testutil::Bytes language =
        testutil::ReadFile(dir.File("config") + "/Orbivue/Language.ini");
    EXPECT_EQ(language, (testutil::Bytes{0x04, 0x08, 0, 0})) << "2052 stored";
    // The close button ends the new instance.
    Click(right - 40 + 15, 16);
    std::this_thread::sleep_for(1500ms);
    const std::string after =
        testutil::RunCommand("xdotool search --name '^VideoPlayer$' 2>/dev/null", &status);
    EXPECT_TRUE(after.empty()) << "closed";
    if (!after.empty()) testutil::RunCommand("kill " + pid, &status);
}

// Where the sound of `part` best matches within `whole` (both mono 8 kHz), in
// seconds: normalised cross-correlation over every offset.
double SoundOffset(const std::vector<int16_t>& whole, const std::vector<int16_t>& part) {
    double best = -2, bestAt = -1;
    double partEnergy = 0;
    for (int16_t v : part) partEnergy += double(v) * v;
    for (size_t at = 0; at + part.size() <= whole.size(); ++at) {
        double dot = 0, energy = 0;
        for (size_t i = 0; i < part.size(); ++i) {
            dot += double(whole[at + i]) * part[i];
            energy += double(whole[at + i]) * whole[at + i];
        }
        const double c = dot / std::sqrt(energy * partEnergy + 1e-9);
        if (c > best) {
            best = c;
            bestAt = double(at);
        }
    }
    return best > 0.8 ? bestAt / 8000.0 : -1;
}

std::vector<int16_t> MonoSound(const std::string& file, const std::string& raw) {
    int status = 0;
    testutil::RunCommand("ffmpeg -nostdin -v error -y -i " + testutil::ShellQuote(file) +
                             " -vn -ac 1 -ar 8000 -f s16le " + testutil::ShellQuote(raw),
                         &status);
    EXPECT_EQ(status, 0) << file;
    const testutil::Bytes bytes = testutil::ReadFile(raw);
    std::vector<int16_t> samples(bytes.size() / 2);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return samples;
}

// The number after `key` on the viewer's log line that starts with `line`.
std::string LogLine(const std::string& log, const std::string& start) {
    const size_t at = log.find(start);
    if (at == std::string::npos) return {};
    return log.substr(at, log.find('\n', at) - at);
}

// The floating bar's snapshot and record buttons: a 5 s recording of a
// playing video with sound and two screen shots during it. The source has
// 12 frames a second, so that every drawn frame is recorded and the screen
// shot's picture is one of the recording's.
TEST_F(ViewerE2E, TheFloatingBarRecordsTheViewWithItsSoundAndTakesScreenShots) {
    const std::string video = SampleVideo(dir, "sound.mp4", "--audio --seconds 10 --fps 12");
    ASSERT_FALSE(video.empty());
    int status = 0;
    Viewer viewer(dir, {video});
    ASSERT_TRUE(viewer.WaitForWindow());
    const std::string shot = dir.File("shot.png");
    WaitForPicture(shot);
    std::this_thread::sleep_for(800ms);
    // The floating bar under the caption: record at W - 80, snapshot at W - 40.
    const int barY = 29 + 15, recordX = 1024 - 80 + 15, snapshotX = 1024 - 40 + 15;
    ShowFloatingBar();
    Click(recordX, barY);
    const auto started = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(1500ms);
    GrabScreen(shot);
    Keep(shot, "record-running");
    // Two screen shots, one right after the other: two files.
    Click(snapshotX, barY);
    std::this_thread::sleep_for(900ms);
    GrabScreen(shot);
    Keep(shot, "record-shot-notice");
    Xdotool("key Return");
    std::this_thread::sleep_for(150ms);
    Click(snapshotX, barY);
    std::this_thread::sleep_for(900ms);
    Xdotool("key Return");
    std::this_thread::sleep_until(started + 4100ms);
    ShowFloatingBar();
    Click(recordX, barY);
    const double clicked =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::this_thread::sleep_for(1500ms);
    GrabScreen(shot);
    Keep(shot, "record-saved-notice");
    Xdotool("key Return");
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(viewer.Running());
    const std::string log = viewer.FullLog();
    EXPECT_EQ(viewer.Close(), 0);

    // The files in the output folder, under local-time names, each announced.
    const std::string folder = dir.File("home") + "/Orbivue";
    std::vector<std::string> shots, records;
    for (const std::string& name : testutil::ListFolder(folder)) {
        if (name.rfind("ScreenShot_", 0) == 0 && name.size() > 4 &&
            name.substr(name.size() - 4) == ".jpg")
            shots.push_back(folder + "/" + name);
        else if (name.rfind("ScreenRecord_", 0) == 0 && name.substr(name.size() - 4) == ".mp4")
            records.push_back(folder + "/" + name);
        else
            ADD_FAILURE() << "unexpected file " << name;
    }
    ASSERT_EQ(records.size(), 1u) << log;
    ASSERT_EQ(shots.size(), 2u) << log;
    for (const std::string& f : {records[0], shots[0], shots[1]})
        EXPECT_NE(log.find("saved " + f), std::string::npos) << f << "\n" << log;
    const std::string rec = records[0];
    const std::string started_line = LogLine(log, "recording " + rec + " from ");
    ASSERT_FALSE(started_line.empty()) << log;
    const double startSeconds =
        std::atof(started_line.c_str() + ("recording " + rec + " from ").size()) / 1000.0;

    // An ordinary 15 fps video of the view with the source's sound.
    testutil::ExpectPeersDecode(rec);
    EXPECT_EQ(testutil::FfprobeValues(
                  rec, "-select_streams v -show_entries stream=width,height,r_frame_rate"),
              "1024\n512\n12/1\n");
    const double videoSeconds = std::atof(
        testutil::FfprobeValues(rec, "-select_streams v -show_entries stream=duration").c_str());
    const double soundSeconds = std::atof(
        testutil::FfprobeValues(rec, "-select_streams a -show_entries stream=duration").c_str());
    const int frames = std::atoi(
        testutil::FfprobeValues(rec, "-select_streams v -show_entries stream=nb_frames").c_str());
    // As long as the recording ran between the two clicks (the clicks and
    // boxes take longer on a busy machine).
    EXPECT_NEAR(videoSeconds, clicked, 1.0);
    EXPECT_NEAR(soundSeconds, videoSeconds, 0.1);
    EXPECT_GE(frames, static_cast<int>(videoSeconds * 12 * 0.8)) << "frames kept up";
    EXPECT_EQ(testutil::Exiftool("-s -XMP-GSpherical:all", rec), "");

    // A frame of the recording is the view the screen shot caught.
    testutil::RunCommand("ffmpeg -nostdin -v error -i " + testutil::ShellQuote(rec) +
                             " -fps_mode passthrough " +
                             testutil::ShellQuote(dir.File("f%03d.png")),
                         &status);
    ASSERT_EQ(status, 0);
    std::vector<QImage> drawn;
    for (int i = 1; i <= frames; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "f%03d.png", i);
        drawn.push_back(
            QImage(QString::fromStdString(dir.File(name))).convertToFormat(QImage::Format_RGB32));
    }
    double best = 255;
    int bestFrame = 0;
    for (const std::string& s : shots) {
        const QImage taken =
            QImage(QString::fromStdString(s)).convertToFormat(QImage::Format_RGB32);
        EXPECT_EQ(taken.size(), QSize(kAreaWidth, kAreaHeight));
        for (int i = 0; i < frames; ++i) {
            const double d = Difference(drawn[i], taken);
            if (d < best) best = d, bestFrame = i + 1;
        }
    }
    // The same drawn frame differs by the two codecs' losses alone (under 2);
    // on a busy machine the shot's frame may fall next to a recorded one,
    // which is still far closer than a frame half a recording away.
    ASSERT_GT(frames, 2);
    const double far =
        Difference(drawn[bestFrame - 1], drawn[(bestFrame - 1 + frames / 2) % frames]);
    EXPECT_LT(best, 9.0) << "frame " << bestFrame;
    EXPECT_GT(far, 2 * best) << "frame " << bestFrame;
    std::printf(
        "recording %.2f s, %d frames, sound %.2f s; closest frame to the screen shot "
        "%d (difference %.2f)\n",
        videoSeconds, frames, soundSeconds, bestFrame, best);
    if (const char* keep = std::getenv("ORBIVUE_E2E_SHOTS")) {
        char name[32];
        std::snprintf(name, sizeof name, "f%03d.png", bestFrame);
        testutil::RunCommand(
            "cp " + testutil::ShellQuote(shots[0]) + " " +
                testutil::ShellQuote(std::string(keep) + "/record-screenshot.jpg") + " && cp " +
                testutil::ShellQuote(dir.File(name)) + " " +
                testutil::ShellQuote(std::string(keep) + "/record-frame.png"),
            &status);
    }

    // Its sound is the source's from where playback was at the first frame:
    // the time the recording was started at, plus the time its start took.
    const std::string placed = LogLine(log, "recording: sound from ");
    ASSERT_FALSE(placed.empty()) << log;
    const double soundStart = std::atof(placed.c_str() + 22) / 1000.0;
    EXPECT_GE(soundStart, startSeconds);
    EXPECT_LT(soundStart, startSeconds + 0.7);
    const auto whole = MonoSound(video, dir.File("source.raw"));
    const auto recorded = MonoSound(rec, dir.File("recorded.raw"));
    ASSERT_GT(recorded.size(), 8000u);
    const std::vector<int16_t> part(recorded.begin() + 1600, recorded.begin() + 5600);
    const double offset = SoundOffset(whole, part);
    EXPECT_NEAR(offset, soundStart + 0.2, 0.03) << "start " << startSeconds;
    std::printf(
        "started at %.3f s, sound from %.3f s; 0.2 s into the recording the sound is "
        "the source's at %.3f s\n",
        startSeconds, soundStart, offset);
}

// A screen shot of a photo from the floating bar, in Chinese: the file is
// the view the window shows.
TEST_F(ViewerE2E, AScreenShotOfAPhotoInChinese) {
    const std::string photo = testutil::Samples().dualPhoto;
    Viewer viewer(dir, {photo}, 2052);
    ASSERT_TRUE(viewer.WaitForWindow());
    const std::string shot = dir.File("shot.png");
    const QImage shown = WaitForPicture(shot);
    ShowFloatingBar();
    Click(1024 - 40 + 15, 29 + 15);
    std::this_thread::sleep_for(1200ms);
    GrabScreen(shot);
    Keep(shot, "photo-shot-notice-zh");
    Xdotool("key Return");
    std::this_thread::sleep_for(300ms);
    const std::string log = viewer.FullLog();
    EXPECT_EQ(viewer.Close(), 0);
    const std::string folder = dir.File("home") + "/Orbivue";
    const auto names = testutil::ListFolder(folder);
    ASSERT_EQ(names.size(), 1u) << log;
    const std::string file = folder + "/" + names[0];
    EXPECT_EQ(names[0].rfind("ScreenShot_", 0), 0u);
    EXPECT_NE(log.find("saved " + file), std::string::npos) << log;
    const QImage taken = QImage(QString::fromStdString(file)).convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(taken.size(), QSize(kAreaWidth, kAreaHeight));
    EXPECT_LT(Difference(taken, shown), 3.0);
}

// Where the window named `name` is on the screen (its top-left corner).
QPoint WindowAt(const std::string& name) {
    int status = 0;
    const std::string text = testutil::RunCommand(
        "xdotool search --name '^" + name + "$' getwindowgeometry --shell 2>/dev/null", &status);
    const size_t xa = text.find("X="), ya = text.find("Y=");
    if (xa == std::string::npos || ya == std::string::npos) return QPoint(-1, -1);
    return QPoint(std::atoi(text.c_str() + xa + 2), std::atoi(text.c_str() + ya + 2));
}

// The converter opened from the floating bar on the playing video: its
// preview, a job stopped half-way that leaves nothing, a job that finishes and
// offers the folder; then the converter in Chinese.
TEST_F(ViewerE2E, TheConverterStitchesTheOpenVideoAndCanBeStopped) {
    const std::string video = SampleVideo(dir, "convert.mp4", "--seconds 20 --fps 25");
    ASSERT_FALSE(video.empty());
    Viewer viewer(dir, {video});
    ASSERT_TRUE(viewer.WaitForWindow());
    const std::string shot = dir.File("shot.png");
    WaitForPicture(shot);
    // The video area's menu, then the converter from the floating bar.
    Xdotool("mousemove 500 300 click 3");
    std::this_thread::sleep_for(600ms);
    GrabScreen(shot);
    Keep(shot, "menu-en");
    Xdotool("key Escape");
    std::this_thread::sleep_for(300ms);
    ShowFloatingBar();
    Click(10 + 15, 29 + 15);  // the floating bar's converter button
    QPoint at(-1, -1);
    for (int i = 0; i < 50 && at.x() < 0; ++i) {
        std::this_thread::sleep_for(100ms);
        at = WindowAt("Converter");
    }
    ASSERT_GE(at.x(), 0) << viewer.Log();
    std::this_thread::sleep_for(2500ms);  // the preview loads and stops on its first frame
    const QImage dialog = GrabScreen(shot).copy(at.x(), at.y(), 660, 640);
    Keep(shot, "converter-en");
    EXPECT_GT(Brightness(dialog.copy(11, 75, 640, 300)), 20) << "the preview shows a frame";

    const std::string folder = dir.File("home") + "/Orbivue";
    const std::string output = folder + "/convert_orbivue360_0.mp4";
    const QPoint start(at.x() + 460 + 45, at.y() + 600 + 14);
    const QPoint stop(at.x() + 560 + 45, at.y() + 600 + 14);
    const QRect progress(at.x() + 11, at.y() + 600, 180, 28);
    // The end mark dragged to the middle: half of the 20 s is exported.
    Xdotool("mousemove " + std::to_string(at.x() + 11 + 636) + " " + std::to_string(at.y() + 422) +
            " mousedown 1");
    std::this_thread::sleep_for(200ms);
    for (int x = 636; x >= 320; x -= 20) {
        Xdotool("mousemove " + std::to_string(at.x() + 11 + x) + " " +
                std::to_string(at.y() + 422));
        std::this_thread::sleep_for(30ms);
    }
    Xdotool("mousemove " + std::to_string(at.x() + 11 + 320) + " " + std::to_string(at.y() + 422) +
            " mouseup 1");
    std::this_thread::sleep_for(500ms);
    GrabScreen(shot);
    Keep(shot, "converter-marked-en");
    // Start, see the progress move, stop: nothing is left.
    Click(start.x(), start.y());
    QImage first, later;
    bool moved = false;
    for (int i = 0; i < 40 && !moved; ++i) {
        std::this_thread::sleep_for(250ms);
        later = GrabScreen(shot).copy(progress);
        if (first.isNull()) first = later;
        moved = Difference(first, later) > 0.5;
    }
    EXPECT_TRUE(moved) << "the progress text changes";
    Keep(shot, "converter-running-en");
    Click(stop.x(), stop.y());
    std::this_thread::sleep_for(1500ms);
    EXPECT_FALSE(platform::FileExists(output.c_str())) << "a stopped job leaves nothing";
    // Start again and let it finish: the box offers the output folder.
    Click(start.x(), start.y());
    for (int i = 0; i < 240 && !platform::FileExists(output.c_str()); ++i)
        std::this_thread::sleep_for(250ms);
    ASSERT_TRUE(platform::FileExists(output.c_str())) << viewer.Log();
    std::this_thread::sleep_for(1000ms);
    GrabScreen(shot);
    Keep(shot, "converter-done-en");
    Xdotool("key Escape");  // Cancel: the folder is not opened
    std::this_thread::sleep_for(300ms);
    testutil::ExpectPeersAccept(output);
    EXPECT_NEAR(
        std::atof(testutil::FfprobeValues(output, "-select_streams v -show_entries stream=duration")
                      .c_str()),
        9.5, 1.0)
        << "about half of the 20 s (the span goes in whole seconds)";
    Click(at.x() + 660 - 40 + 15, at.y() + 15);  // close
    std::this_thread::sleep_for(800ms);
    EXPECT_LT(WindowAt("Converter").x(), 0) << "the converter closed";
    EXPECT_TRUE(viewer.Running());
    EXPECT_EQ(viewer.Close(), 0);

    // The converter in Chinese, opened with nothing playing.
    testutil::TempDir other;
    Viewer chinese(other, {}, 2052);
    ASSERT_TRUE(chinese.WaitForWindow());
    std::this_thread::sleep_for(1000ms);
    Click(1 + 60 + 15, 541 + 21 + 15);  // the bottom bar's converter button
    QPoint zh(-1, -1);
    for (int i = 0; i < 50 && zh.x() < 0; ++i) {
        std::this_thread::sleep_for(100ms);
        zh = WindowAt("\xe8\xbd\xac\xe7\xa0\x81\xe5\x99\xa8");  // "Converter" in Chinese
    }
    ASSERT_GE(zh.x(), 0) << chinese.Log();
    std::this_thread::sleep_for(500ms);
    GrabScreen(shot);
    Keep(shot, "converter-zh");
    // Placed like the first one (its own geometry is not reliable by this name).
    Click(at.x() + 121 + 50, at.y() + 38 + 14);  // Merge
    std::this_thread::sleep_for(1200ms);
    GrabScreen(shot);
    Keep(shot, "merger-zh");
    Xdotool("key Escape");  // the merger
    std::this_thread::sleep_for(500ms);
    Xdotool("key Escape");  // the converter
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(chinese.Running());
}

TEST_F(ViewerE2E, NothingOpenInBothLanguages) {
    for (uint16_t language : {uint16_t(1033), uint16_t(2052)}) {
        testutil::TempDir home;
        Viewer viewer(home, {}, language);
        ASSERT_TRUE(viewer.WaitForWindow());
        std::this_thread::sleep_for(1500ms);
        const std::string shot = home.File("shot.png");
        const QImage screen = GrabScreen(shot);
        Keep(shot, language == 1033 ? "empty-en" : "empty-zh");
        // The caption's title is drawn; the video area is the window's own background.
        EXPECT_GT(Brightness(screen.copy(40, 5, 200, 20)), 3.0);
        EXPECT_TRUE(viewer.Running());
        EXPECT_EQ(viewer.Close(), 0);
    }
}

}  // namespace
