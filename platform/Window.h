// Window messages, window timers and synchronous hand-overs to the UI thread, over Qt.
//
// A "window" is a QObject living on the UI thread. Posted messages arrive in its event() as
// CMessageEvent; timers arrive the same way with the message WM_TIMER and the timer id in wParam.
#pragma once

#include <QEvent>
#include <QObject>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

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

// Starts (or restarts, when it runs) timer `id` of the window with the given period, and stops it.
// Safe from any thread: calls from other threads are carried out on the UI thread, in order.
void SetTimer(HWND wnd, int id, int periodMs);
void KillTimer(HWND wnd, int id);
// True while the timer runs; UI thread only (for tests and diagnostics).
bool IsTimerRunning(HWND wnd, int id);

// Synchronous hand-over from a worker thread to the UI thread: Send() queues a function for the
// UI thread and waits until it has run. Shutdown() (called on the UI thread before it waits for
// the worker, for instance when a port closes) releases every waiting Send() and makes later ones
// return at once without running, so the two threads can never wait for each other.
class CUiSyncChannel {
public:
    CUiSyncChannel();
    ~CUiSyncChannel();
    CUiSyncChannel(const CUiSyncChannel&) = delete;
    CUiSyncChannel& operator=(const CUiSyncChannel&) = delete;

    // Runs fn on the UI thread (directly when called there). Returns false when the channel is
    // shut down and fn was not (and will not be) run.
    bool Send(std::function<void()> fn);
    void Shutdown();
    void Reopen();

private:
    struct State;
    std::shared_ptr<State> m_state;
};

}  // namespace platform
