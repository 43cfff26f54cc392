#include "platform/Retirer.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>

namespace platform {

// Shared with the joiner thread, which may outlive the Retirer when a retired thread never ends.
struct Retirer::State {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::thread> queue;
    size_t pending = 0;  // queued plus the one being joined
    bool stopping = false;
};

void Retirer::JoinRetired(const std::shared_ptr<State>& state) {
    std::unique_lock lock(state->lock);
    for (;;) {
        state->changed.wait(lock, [&] { return !state->queue.empty() || state->stopping; });
        if (state->queue.empty())
            return;  // stopping and nothing left
        std::thread worker = std::move(state->queue.front());
        state->queue.pop_front();
        lock.unlock();
        worker.join();
        lock.lock();
        --state->pending;
        state->changed.notify_all();
    }
}

Retirer::Retirer() : m_state(std::make_shared<State>()) {
    try {
        m_joiner = std::thread([state = m_state] { JoinRetired(state); });
    } catch (const std::system_error&) {
        // No thread to spare (a limit on threads): Retire then joins on the caller's thread, as
        // a part without a retirer does, rather than the program ending here.
    }
}

Retirer::~Retirer() {
    if (!m_joiner.joinable())
        return;  // nothing was ever queued
    const bool idle = WaitIdle(kExitWait);
    {
        std::lock_guard guard(m_state->lock);
        m_state->stopping = true;
    }
    m_state->changed.notify_all();
    if (idle) {
        m_joiner.join();
    } else {
        // A retired thread is stuck in the kernel; the joiner keeps the state alive and the
        // process's end takes both.
        m_joiner.detach();
    }
}

void Retirer::Retire(std::thread worker) {
    if (!worker.joinable())
        return;
    if (!m_joiner.joinable()) {
        worker.join();
        return;
    }
    {
        std::lock_guard guard(m_state->lock);
        m_state->queue.push_back(std::move(worker));
        ++m_state->pending;
    }
    m_state->changed.notify_all();
}

bool Retirer::WaitIdle(std::chrono::milliseconds max) {
    std::unique_lock lock(m_state->lock);
    return m_state->changed.wait_for(lock, max, [&] { return m_state->pending == 0; });
}

size_t Retirer::Pending() const {
    std::lock_guard guard(m_state->lock);
    return m_state->pending;
}

}  // namespace platform
