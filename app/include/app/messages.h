// The private messages of the main window and the one event type that carries
// them. Post from any thread (queued); send only on the window thread (the
// receiver's OnMessage runs at once). Each window dispatches them in one
// OnMessage switch.
#pragma once

#include <QEvent>

#include <cstdint>

namespace app {

enum Message : int {
    WM_LIST_NOTIFY = 1130,  // the file list's notices to its parent
    WM_TAKE_SCREENSHOT = 1134,
    WM_RECORD_START = 1135,
    WM_RECORD_STOP = 1136,
    WM_RANGE_CHANGED = 1174,  // a mark of the preview's range slider moved (0, 1, 2)
    WM_PLAY_PAUSE = 1229,
    WM_PLAYER_POSITION = 1234,
    WM_SET_VOLUME = 1235,
    WM_SEEK = 1236,
    WM_CLOSE_APP = 1241,
    WM_MINIMIZE_APP = 1243,
    WM_SHOW_LANGUAGE = 1245,
    WM_OPEN_FILE = 1248,
    WM_NEXT_FRAME = 1255,
    WM_SET_MUTE = 1256,
    WM_TOGGLE_FULLSCREEN = 1257,
    WM_PLAYER_EVENT = 1262,
    WM_CAPTION_HOVER = 1264,
    WM_CAPTION_LEAVE = 1265,
    WM_BOTTOMBAR_HOVER = 1267,
    WM_TOGGLE_FLOATBAR = 1269,
    WM_OPEN_EXPORT = 1272,
    WM_SHOW_FLOATBAR = 1273,
    WM_FLOATBAR_TIMER = 1274,
    WM_REDRAW_VIEW_MSG = 1280,  // the renderer's WM_REDRAW_VIEW
    WM_VIEW_DRAG = 1281,
    WM_VIEW_FLING = 1282,
    WM_VIEW_ZOOM = 1283,
    WM_VIEW_MODE = 1284,
    WM_EXPORT_PHOTO = 1285,
    WM_EXPORT_VIDEO = 1286,
    WM_DROP_FILE = 1287,
    WM_HIDE_FLOATBAR = 1288,
    WM_CANCEL_EXPORT = 1289,
    WM_CLOSE_EXPORT = 1290,
    WM_REFRESH_OUTPUT = 1291,
    WM_RECORD_SAVED_MSG = 1292,      // the renderer's WM_RECORD_SAVED
    WM_SCREENSHOT_SAVED_MSG = 1293,  // the renderer's WM_SCREENSHOT_SAVED
    WM_OPEN_MERGE = 1294,
    WM_CLOSE_MERGE = 1295,
    WM_START_MERGE = 1296,
    // This program's own: open the path held by the window (start-up argument).
    WM_OPEN_PATH = 1300,
    // This program's own: the popup menu at the pointer (wParam x, lParam y,
    // global coordinates); an export or a merge began or ended on its worker
    // (lParam: the result).
    WM_SHOW_MENU = 1301,
    WM_EXPORT_STARTED = 1302,
    WM_EXPORT_FINISHED = 1303,
    WM_MERGE_FINISHED = 1304,
};

// WM_PLAYER_EVENT codes and the stop reasons of code 1258.
enum : int {
    kEventStop = 1258,
    kEventPaused = 1259,
    kEventPlaying = 1260,
    kStopAsked = 1275,
    kStopEnded = 1276,
};

// Timer ids of the main window.
enum : int { kTimerProgress = 2, kTimerBarsHide = 3, kTimerFloatBar = 4, kTimerPhoto = 5 };

// Control ids the bars post with.
enum : int { kIdVolumeSlider = 1021, kIdProgressSlider = 1020 };

class MessageEvent : public QEvent {
  public:
    static QEvent::Type EventType();
    // tag: the player an engine event came from (0 for everything else).
    MessageEvent(int message, intptr_t wParam, intptr_t lParam, uint32_t tag = 0)
        : QEvent(EventType()), m_message(message), m_wParam(wParam), m_lParam(lParam), m_tag(tag) {}
    int m_message;
    intptr_t m_wParam;
    intptr_t m_lParam;
    uint32_t m_tag;
};

// Queued; safe from any thread.
void PostMessage(QObject* receiver, int message, intptr_t wParam = 0, intptr_t lParam = 0,
                 uint32_t tag = 0);
// Handled before it returns; window thread only.
void SendMessage(QObject* receiver, int message, intptr_t wParam = 0, intptr_t lParam = 0);
// Posts a player engine's notification (its code and values) as the window's
// WM_PLAYER_EVENT or WM_PLAYER_POSITION, tagged with the player it came from.
// Any thread.
void PostEngineEvent(QObject* receiver, int code, int value1, int value2, uint32_t tag);

}  // namespace app
