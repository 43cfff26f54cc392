#include "platform/Window.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>

#include <map>
#include <mutex>
#include <set>
#include <utility>

#include <QThread>

namespace platform {

bool IsUiThread() {
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

QEvent::Type CMessageEvent::Type() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

bool PostMessage(HWND wnd, int message, WPARAM wParam, LPARAM lParam) {
    if (!wnd)
        return false;
    QCoreApplication::postEvent(wnd, new CMessageEvent(message, wParam, lParam));
    return true;
}

namespace {

// Timers by (window, id); touched on the UI thread only.
std::map<std::pair<QObject*, int>, QTimer*>& Timers() {
    static std::map<std::pair<QObject*, int>, QTimer*> timers;
    return timers;
}

void RunOnUi(std::function<void()> fn) {
    if (IsUiThread())
        fn();
    else if (auto* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, std::move(fn), Qt::QueuedConnection);
}

void SetTimerOnUi(QPointer<QObject> wnd, int id, int periodMs) {
    if (!wnd)
        return;
    auto key = std::make_pair(wnd.data(), id);
    auto& timers = Timers();
    auto it = timers.find(key);
    if (it == timers.end()) {
        auto* timer = new QTimer(wnd.data());
        QObject::connect(timer, &QTimer::timeout, wnd.data(), [w = wnd.data(), id] {
            CMessageEvent ev(WM_TIMER, static_cast<WPARAM>(id));
            QCoreApplication::sendEvent(w, &ev);
        });
        // The timer dies with its window; forget it then.
        QObject::connect(timer, &QObject::destroyed, [key] { Timers().erase(key); });
        it = timers.emplace(key, timer).first;
    }
    it->second->start(periodMs);  // restarts the period of a running timer
}

void KillTimerOnUi(QPointer<QObject> wnd, int id) {
    if (!wnd)
        return;
    auto it = Timers().find({wnd.data(), id});
    if (it != Timers().end())
        it->second->stop();
}

// Restarts asked for from other threads and not yet carried out on the UI thread. A thread that
// restarts a timer for every chunk it receives queues one restart, not thousands: the queued
// one restarts the period when it runs, which is after the latest request.
std::mutex g_pendingLock;
std::set<std::pair<QObject*, int>> g_pendingRestarts;

}  // namespace

void SetTimer(HWND wnd, int id, int periodMs) {
    QPointer<QObject> w(wnd);
    if (IsUiThread()) {
        SetTimerOnUi(w, id, periodMs);
        return;
    }
    const auto key = std::make_pair(wnd, id);
    {
        std::lock_guard lock(g_pendingLock);
        if (!g_pendingRestarts.insert(key).second)
            return;
    }
    RunOnUi([w, id, periodMs, key] {
        {
            std::lock_guard lock(g_pendingLock);
            g_pendingRestarts.erase(key);
        }
        SetTimerOnUi(w, id, periodMs);
    });
}

void KillTimer(HWND wnd, int id) {
    QPointer<QObject> w(wnd);
    if (!IsUiThread()) {
        // A restart asked for after this stop must be queued again behind it.
        std::lock_guard lock(g_pendingLock);
        g_pendingRestarts.erase({wnd, id});
    }
    RunOnUi([w, id] { KillTimerOnUi(w, id); });
}

bool IsTimerRunning(HWND wnd, int id) {
    auto it = Timers().find({wnd, id});
    return it != Timers().end() && it->second->isActive();
}

struct CUiSyncChannel::State {
    std::mutex mutex;
    std::condition_variable cv;
    bool shutdown = false;
    unsigned long long generation = 0;  // bumped by Shutdown, so stale calls never run
};

CUiSyncChannel::CUiSyncChannel() : m_state(std::make_shared<State>()) {}
CUiSyncChannel::~CUiSyncChannel() {
    Shutdown();
}

bool CUiSyncChannel::Send(std::function<void()> fn) {
    if (IsUiThread()) {
        fn();
        return true;
    }
    auto* app = QCoreApplication::instance();
    std::unique_lock lock(m_state->mutex);
    if (m_state->shutdown || !app)
        return false;
    auto done = std::make_shared<bool>(false);
    const auto generation = m_state->generation;
    // The queued call holds the state, not the channel: the channel may be gone when it runs.
    QMetaObject::invokeMethod(
        app,
        [state = m_state, fn = std::move(fn), done, generation] {
            {
                std::lock_guard guard(state->mutex);
                if (state->shutdown || state->generation != generation)
                    return;
            }
            fn();
            std::lock_guard guard(state->mutex);
            *done = true;
            state->cv.notify_all();
        },
        Qt::QueuedConnection);
    m_state->cv.wait(lock, [&] { return *done || m_state->generation != generation; });
    return *done;
}

void CUiSyncChannel::Shutdown() {
    std::lock_guard lock(m_state->mutex);
    m_state->shutdown = true;
    ++m_state->generation;
    m_state->cv.notify_all();
}

void CUiSyncChannel::Reopen() {
    std::lock_guard lock(m_state->mutex);
    m_state->shutdown = false;
}

}  // namespace platform
