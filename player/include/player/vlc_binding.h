// The playback library, loaded at run time (never linked): one slot per entry
// point the player calls, typed after the library's own declarations, and
// small owners of its instance, media and player handles.
#pragma once

#include <vlc/vlc.h>

#include <string>

#include "platform/library.h"

// The library's file name on this system.
constexpr const char kVlcLibraryName[] = "libvlc.so.5";

class CVlcBinding {
  public:
    // Loads the library and binds every slot (see Load).
    explicit CVlcBinding(const char* libraryName = kVlcLibraryName);
    CVlcBinding(const CVlcBinding&) = delete;
    CVlcBinding& operator=(const CVlcBinding&) = delete;

    // Loads the library and looks up every entry point. When the library or
    // any entry point is missing, every slot is left null, one line on
    // standard error names what was missing, and the binding is unusable.
    // A usable library stays loaded for the life of the process. Returns
    // Usable().
    bool Load(const char* libraryName);
    // All slots are bound; callers test this before calling any slot.
    bool Usable() const { return m_bUsable; }
    // What made the last Load fail; empty when usable.
    const std::string& Missing() const { return m_missing; }

    // Slots named after the entry points; null unless Usable().
    decltype(&::libvlc_new) libvlc_new = nullptr;
    decltype(&::libvlc_release) libvlc_release = nullptr;
    decltype(&::libvlc_media_new_path) libvlc_media_new_path = nullptr;
    decltype(&::libvlc_media_release) libvlc_media_release = nullptr;
    decltype(&::libvlc_media_player_new_from_media) libvlc_media_player_new_from_media = nullptr;
    decltype(&::libvlc_media_player_release) libvlc_media_player_release = nullptr;
    decltype(&::libvlc_media_player_set_xwindow) libvlc_media_player_set_xwindow = nullptr;
    decltype(&::libvlc_video_set_format_callbacks) libvlc_video_set_format_callbacks = nullptr;
    decltype(&::libvlc_video_set_callbacks) libvlc_video_set_callbacks = nullptr;
    decltype(&::libvlc_video_get_size) libvlc_video_get_size = nullptr;
    decltype(&::libvlc_media_player_event_manager) libvlc_media_player_event_manager = nullptr;
    decltype(&::libvlc_event_attach) libvlc_event_attach = nullptr;
    decltype(&::libvlc_event_detach) libvlc_event_detach = nullptr;
    decltype(&::libvlc_media_player_play) libvlc_media_player_play = nullptr;
    decltype(&::libvlc_media_player_set_pause) libvlc_media_player_set_pause = nullptr;
    decltype(&::libvlc_media_player_stop) libvlc_media_player_stop = nullptr;
    decltype(&::libvlc_media_player_set_position) libvlc_media_player_set_position = nullptr;
    decltype(&::libvlc_media_player_get_time) libvlc_media_player_get_time = nullptr;
    decltype(&::libvlc_media_get_duration) libvlc_media_get_duration = nullptr;
    decltype(&::libvlc_media_player_get_length) libvlc_media_player_get_length = nullptr;
    decltype(&::libvlc_media_player_is_playing) libvlc_media_player_is_playing = nullptr;
    decltype(&::libvlc_media_player_next_frame) libvlc_media_player_next_frame = nullptr;
    decltype(&::libvlc_audio_set_volume) libvlc_audio_set_volume = nullptr;
    decltype(&::libvlc_audio_set_mute) libvlc_audio_set_mute = nullptr;

  private:
    void ClearSlots();

    platform::SharedLibrary m_lib;
    bool m_bUsable = false;
    std::string m_missing;
};

// Owns one handle of the library and releases it exactly once through the
// binding's release slot. Movable, not copyable. The binding must outlive it.
template <typename T, void (*CVlcBinding::*Release)(T*)>
class CVlcHandle {
  public:
    CVlcHandle() = default;
    // handle may be null (a failed creation): the owner is then empty.
    CVlcHandle(const CVlcBinding& binding, T* handle) : m_pBinding(&binding), m_pHandle(handle) {}
    ~CVlcHandle() { Reset(); }
    CVlcHandle(CVlcHandle&& other) noexcept
        : m_pBinding(other.m_pBinding), m_pHandle(other.m_pHandle) {
        other.m_pHandle = nullptr;
    }
    CVlcHandle& operator=(CVlcHandle&& other) noexcept {
        if (this != &other) {
            Reset();
            m_pBinding = other.m_pBinding;
            m_pHandle = other.m_pHandle;
            other.m_pHandle = nullptr;
        }
        return *this;
    }
    CVlcHandle(const CVlcHandle&) = delete;
    CVlcHandle& operator=(const CVlcHandle&) = delete;

    T* Get() const { return m_pHandle; }
    explicit operator bool() const { return m_pHandle != nullptr; }

    // Releases the handle now (nothing when empty).
    void Reset() {
        T* const handle = m_pHandle;
        m_pHandle = nullptr;
        if (handle != nullptr && m_pBinding != nullptr && m_pBinding->*Release != nullptr)
            (m_pBinding->*Release)(handle);
    }

  private:
    const CVlcBinding* m_pBinding = nullptr;
    T* m_pHandle = nullptr;
};

using CVlcInstance = CVlcHandle<libvlc_instance_t, &CVlcBinding::libvlc_release>;
using CVlcMedia = CVlcHandle<libvlc_media_t, &CVlcBinding::libvlc_media_release>;
using CVlcPlayer = CVlcHandle<libvlc_media_player_t, &CVlcBinding::libvlc_media_player_release>;
