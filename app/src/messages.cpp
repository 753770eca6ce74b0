#include "app/messages.h"

#include <QCoreApplication>

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

}  // namespace app
