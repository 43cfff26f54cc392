// Window messages over Qt: a "window" is a QObject living on the UI thread, and a posted message
// arrives in its event() as a CMessageEvent.
#pragma once

#include <QEvent>
#include <QObject>

#include <cstdint>

using HWND = QObject*;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;

constexpr int WM_CLOSE = 0x0010;
constexpr int WM_TIMER = 0x0113;

namespace platform {

// True on the thread that runs the Qt event loop.
bool IsUiThread();

class CMessageEvent : public QEvent {
public:
    CMessageEvent(int message, WPARAM wParam = 0, LPARAM lParam = 0)
        : QEvent(Type()), m_message(message), m_wParam(wParam), m_lParam(lParam) {}
    static QEvent::Type Type();

    int m_message;
    WPARAM m_wParam;
    LPARAM m_lParam;
};

// Queues a message for the window; safe from any thread. Returns false without a window.
bool PostMessage(HWND wnd, int message, WPARAM wParam = 0, LPARAM lParam = 0);

}  // namespace platform
