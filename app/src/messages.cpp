#include "app/messages.h"

#include <QCoreApplication>

#include "player/player_engine.h"

namespace app {

QEvent::Type MessageEvent::EventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

void PostMessage(QObject* receiver, int message, intptr_t wParam, intptr_t lParam, uint32_t tag) {
    if (receiver != nullptr)
        QCoreApplication::postEvent(receiver, new MessageEvent(message, wParam, lParam, tag));
}

void SendMessage(QObject* receiver, int message, intptr_t wParam, intptr_t lParam) {
    if (receiver == nullptr) return;
    MessageEvent event(message, wParam, lParam);
    QCoreApplication::sendEvent(receiver, &event);
}

void PostEngineEvent(QObject* receiver, int code, int value1, int value2, uint32_t tag) {
    switch (code) {
        case ENGINE_END:
            PostMessage(receiver, WM_PLAYER_EVENT, kEventStop, kStopEnded, tag);
            break;
        case ENGINE_PAUSED:
            PostMessage(receiver, WM_PLAYER_EVENT, kEventPaused, 0, tag);
            break;
        case ENGINE_PLAYING:
            PostMessage(receiver, WM_PLAYER_EVENT, kEventPlaying, static_cast<uint32_t>(value2),
                        tag);
            break;
        case ENGINE_POSITION:
            PostMessage(receiver, WM_PLAYER_POSITION, 0, value1, tag);
            break;
        default:
            break;
    }
}

}  // namespace app
