#include "app/Window.h"

#include <QCoreApplication>
#include <QThread>

namespace platform {

bool IsUiThread() {
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

QEvent::Type CMessageEvent::Type() {
    // Registered once; the type number is a constant of the process from then on.
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

bool PostMessage(HWND wnd, int message, WPARAM wParam, LPARAM lParam) {
    if (!wnd)
        return false;
    QCoreApplication::postEvent(wnd, new CMessageEvent(message, wParam, lParam));
    return true;
}

}  // namespace platform
