// The playback library binding: complete on the real library, unusable and
// silent about nothing when the library or its names are missing, and a real
// file played to its end through memory video callbacks.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "player/vlc_binding.h"
#include "support/files.h"
#include "support/peers.h"

namespace {

int BoundSlots(const CVlcBinding& b) {
    const bool bound[] = {
        b.libvlc_new != nullptr,
        b.libvlc_release != nullptr,
        b.libvlc_media_new_path != nullptr,
        b.libvlc_media_release != nullptr,
        b.libvlc_media_player_new_from_media != nullptr,
        b.libvlc_media_player_release != nullptr,
        b.libvlc_media_player_set_xwindow != nullptr,
        b.libvlc_video_set_format_callbacks != nullptr,
        b.libvlc_video_set_callbacks != nullptr,
        b.libvlc_video_get_size != nullptr,
        b.libvlc_media_player_event_manager != nullptr,
        b.libvlc_event_attach != nullptr,
        b.libvlc_event_detach != nullptr,
        b.libvlc_media_player_play != nullptr,
        b.libvlc_media_player_set_pause != nullptr,
        b.libvlc_media_player_stop != nullptr,
        b.libvlc_media_player_set_position != nullptr,
        b.libvlc_media_player_get_time != nullptr,
        b.libvlc_media_get_duration != nullptr,
        b.libvlc_media_player_get_length != nullptr,
        b.libvlc_media_player_is_playing != nullptr,
        b.libvlc_media_player_next_frame != nullptr,
        b.libvlc_audio_set_volume != nullptr,
        b.libvlc_audio_set_mute != nullptr,
    };
    return static_cast<int>(std::count(std::begin(bound), std::end(bound), true));
}

// Loads `name` into the binding and returns what it wrote to standard error.
std::string LoadTrace(CVlcBinding& b, const char* name) {
    testing::internal::CaptureStderr();
    b.Load(name);
    return testing::internal::GetCapturedStderr();
}

void ExpectUnusable(const CVlcBinding& b, const std::string& trace, const std::string& what) {
    EXPECT_FALSE(b.Usable());
    EXPECT_EQ(BoundSlots(b), 0);
    EXPECT_EQ(std::count(trace.begin(), trace.end(), '\n'), 1) << trace;
    EXPECT_NE(trace.find(what), std::string::npos) << trace;
    EXPECT_FALSE(b.Missing().empty());
    // An owner over an unusable binding never calls its null release slot.
    int dummy = 0;
    CVlcInstance instance(b, reinterpret_cast<libvlc_instance_t*>(&dummy));
    instance.Reset();
    EXPECT_FALSE(instance);
}

// The library unloads its plugins with its last instance, and with them the
// globals that still hold their allocations, which the leak checker then
// reports from unknown modules. Every library mapped now stays mapped.
void KeepLoadedLibrariesMapped() {
    std::vector<std::string> names;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* out) {
            if (info->dlpi_name != nullptr && info->dlpi_name[0] != '\0')
                static_cast<std::vector<std::string>*>(out)->push_back(info->dlpi_name);
            return 0;
        },
        &names);
    for (const std::string& name : names)
        dlopen(name.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
}

// What the video and event callbacks of one playback see.
struct Playback {
    const CVlcBinding* vlc = nullptr;
    libvlc_media_player_t* player = nullptr;
    std::vector<uint8_t> pixels;
    unsigned width = 0, height = 0;
    std::mutex mutex;
    std::condition_variable changed;
    int frames = 0;
    bool ended = false;
};

unsigned OnFormat(void** opaque, char* chroma, unsigned* width, unsigned* height, unsigned* pitches,
                  unsigned* lines) {
    Playback* p = static_cast<Playback*>(*opaque);
    unsigned w = 0, h = 0;
    if (p->vlc->libvlc_video_get_size(p->player, 0, &w, &h) == 0 && w > 0 && h > 0) {
        *width = w;
        *height = h;
    }
    std::memcpy(chroma, "RV32", 4);
    p->width = *width;
    p->height = *height;
    p->pixels.assign(size_t{*width} * *height * 4, 0);
    pitches[0] = *width * 4;
    lines[0] = *height;
    return 1;
}

void OnCleanup(void*) {}

void* OnLock(void* opaque, void** planes) {
    planes[0] = static_cast<Playback*>(opaque)->pixels.data();
    return nullptr;
}

void OnUnlock(void*, void*, void* const*) {}

void OnDisplay(void* opaque, void*) {
    Playback* p = static_cast<Playback*>(opaque);
    std::lock_guard<std::mutex> lock(p->mutex);
    ++p->frames;
    p->changed.notify_all();
}

void OnEvent(const libvlc_event_t* event, void* user) {
    Playback* p = static_cast<Playback*>(user);
    if (event->type != libvlc_MediaPlayerEndReached) return;
    std::lock_guard<std::mutex> lock(p->mutex);
    p->ended = true;
    p->changed.notify_all();
}

}  // namespace

TEST(VlcBinding, RealLibraryBindsEverySlot) {
    CVlcBinding b;
    EXPECT_TRUE(b.Usable()) << b.Missing();
    EXPECT_TRUE(b.Missing().empty());
    EXPECT_EQ(BoundSlots(b), 24);
}

TEST(VlcBinding, MissingLibraryOrNamesLeaveItUnusable) {
    CVlcBinding b("libvlc.so.5");
    ASSERT_TRUE(b.Usable());
    // A failed load after a good one keeps none of the earlier slots.
    ExpectUnusable(b, LoadTrace(b, "liborbivue-no-such-player.so.9"),
                   "liborbivue-no-such-player.so.9");
    // A real library without the names: every missing one is named.
    const std::string trace = LoadTrace(b, "libm.so.6");
    ExpectUnusable(b, trace, "libm.so.6");
    EXPECT_NE(trace.find("libvlc_new"), std::string::npos) << trace;
    EXPECT_NE(trace.find("libvlc_audio_set_mute"), std::string::npos) << trace;
    EXPECT_TRUE(b.Load(kVlcLibraryName));
    EXPECT_EQ(BoundSlots(b), 24);
}

TEST(VlcBinding, PlaysAFileToItsEndThroughMemoryFrames) {
    testutil::TempDir dir;
    const std::string movie = dir.File("clip.mp4");
    ASSERT_EQ(testutil::FfmpegWrite(
                  "-f lavfi -i testsrc2=s=64x32:r=10:d=1 -c:v libx264 -pix_fmt yuv420p", movie),
              0);
    const std::string alsa = testutil::WriteNullSoundConfig(dir);
    ASSERT_FALSE(alsa.empty());
    ASSERT_EQ(setenv("ALSA_CONFIG_PATH", alsa.c_str(), 1), 0);

    CVlcBinding vlc;
    ASSERT_TRUE(vlc.Usable()) << vlc.Missing();
    CVlcInstance instance(vlc, vlc.libvlc_new(0, nullptr));
    ASSERT_TRUE(instance);
    CVlcMedia media(vlc, vlc.libvlc_media_new_path(instance.Get(), movie.c_str()));
    ASSERT_TRUE(media);
    CVlcPlayer player(vlc, vlc.libvlc_media_player_new_from_media(media.Get()));
    ASSERT_TRUE(player);

    Playback p;
    p.vlc = &vlc;
    p.player = player.Get();
    vlc.libvlc_video_set_format_callbacks(player.Get(), OnFormat, OnCleanup);
    vlc.libvlc_video_set_callbacks(player.Get(), OnLock, OnUnlock, OnDisplay, &p);
    libvlc_event_manager_t* events = vlc.libvlc_media_player_event_manager(player.Get());
    ASSERT_NE(events, nullptr);
    ASSERT_EQ(vlc.libvlc_event_attach(events, libvlc_MediaPlayerEndReached, OnEvent, &p), 0);
    ASSERT_EQ(vlc.libvlc_media_player_play(player.Get()), 0);
    {
        std::unique_lock<std::mutex> lock(p.mutex);
        EXPECT_TRUE(p.changed.wait_for(lock, std::chrono::seconds(10),
                                       [&] { return p.ended && p.frames > 0; }))
            << "ended " << p.ended << ", frames " << p.frames;
    }
    const int64_t duration = vlc.libvlc_media_get_duration(media.Get());
    EXPECT_GE(duration, 900);
    EXPECT_LE(duration, 1100);
    vlc.libvlc_media_player_stop(player.Get());
    vlc.libvlc_event_detach(events, libvlc_MediaPlayerEndReached, OnEvent, &p);
    // The visible size, not a padded one, and real pictures in the buffer.
    EXPECT_EQ(p.width, 64u);
    EXPECT_EQ(p.height, 32u);
    EXPECT_TRUE(std::any_of(p.pixels.begin(), p.pixels.end(), [](uint8_t v) { return v != 0; }));
    player.Reset();
    media.Reset();
    KeepLoadedLibrariesMapped();
    instance.Reset();
    unsetenv("ALSA_CONFIG_PATH");
}
