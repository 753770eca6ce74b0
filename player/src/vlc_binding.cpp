#include "player/vlc_binding.h"

#include <dlfcn.h>

#include <array>
#include <cstdio>
#include <mutex>

namespace {

constexpr size_t kSlotCount = 24;
using SlotTable = std::array<platform::SymbolSlot, kSlotCount>;

template <typename F>
platform::SymbolSlot Slot(const char* name, F*& fn) {
    return platform::SymbolSlot{name, reinterpret_cast<void**>(&fn)};
}

// Every slot of the binding with the name it is looked up by.
SlotTable SlotsOf(CVlcBinding& b) {
#define VLC_SLOT(fn) Slot(#fn, b.fn)
    return SlotTable{{
        VLC_SLOT(libvlc_new),
        VLC_SLOT(libvlc_release),
        VLC_SLOT(libvlc_media_new_path),
        VLC_SLOT(libvlc_media_release),
        VLC_SLOT(libvlc_media_player_new_from_media),
        VLC_SLOT(libvlc_media_player_release),
        VLC_SLOT(libvlc_media_player_set_xwindow),
        VLC_SLOT(libvlc_video_set_format_callbacks),
        VLC_SLOT(libvlc_video_set_callbacks),
        VLC_SLOT(libvlc_video_get_size),
        VLC_SLOT(libvlc_media_player_event_manager),
        VLC_SLOT(libvlc_event_attach),
        VLC_SLOT(libvlc_event_detach),
        VLC_SLOT(libvlc_media_player_play),
        VLC_SLOT(libvlc_media_player_set_pause),
        VLC_SLOT(libvlc_media_player_stop),
        VLC_SLOT(libvlc_media_player_set_position),
        VLC_SLOT(libvlc_media_player_get_time),
        VLC_SLOT(libvlc_media_get_duration),
        VLC_SLOT(libvlc_media_player_get_length),
        VLC_SLOT(libvlc_media_player_is_playing),
        VLC_SLOT(libvlc_media_player_next_frame),
        VLC_SLOT(libvlc_audio_set_volume),
        VLC_SLOT(libvlc_audio_set_mute),
    }};
#undef VLC_SLOT
}

// Keeps one more reference to a usable library for the life of the process:
// its threads and plugins must never see it unloaded under them, whichever
// binding goes first.
void PinForProcess(const char* libraryName) {
    static std::mutex mutex;
    static platform::SharedLibrary* pinned = nullptr;  // reachable, never freed
    std::lock_guard<std::mutex> lock(mutex);
    if (pinned != nullptr) return;
    pinned = new platform::SharedLibrary();
    if (pinned->Load(libraryName) != 0) {
        delete pinned;
        pinned = nullptr;
    }
}

}  // namespace

CVlcBinding::CVlcBinding(const char* libraryName) {
    Load(libraryName);
}

bool CVlcBinding::Load(const char* libraryName) {
    m_bUsable = false;
    m_missing.clear();
    ClearSlots();
    const char* const name = libraryName != nullptr ? libraryName : "";
    if (m_lib.Load(name) != 0) {
        m_missing = "library " + std::string(name);
        const char* const why = ::dlerror();
        std::fprintf(stderr, "playback library unusable: %s cannot be loaded (%s)\n", name,
                     why != nullptr ? why : "not found");
        return false;
    }
    const SlotTable table = SlotsOf(*this);
    if (m_lib.Bind(table.data(), table.size()) != 0) {
        for (const platform::SymbolSlot& s : table) {
            if (*s.slot != nullptr) continue;
            m_missing += m_missing.empty() ? "" : " ";
            m_missing += s.name;
        }
        std::fprintf(stderr, "playback library unusable: %s lacks %s\n", name, m_missing.c_str());
        ClearSlots();
        m_lib.Unload();
        return false;
    }
    PinForProcess(name);
    m_bUsable = true;
    return true;
}

void CVlcBinding::ClearSlots() {
    for (const platform::SymbolSlot& s : SlotsOf(*this)) *s.slot = nullptr;
}
