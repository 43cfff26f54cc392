// Ends other parts' worker threads so that the part that stops them never waits.
//
// Closing a port, stopping the modem-line watch or closing a traffic log tells the worker to stop
// and hands its std::thread here; the call returns at once and the retirer joins the thread on a
// thread of its own. A worker blocked in the kernel (a write to a stalled disk, a device that does
// not answer) therefore holds nobody but the retirer.
//
// Whatever a retired worker still touches must be owned by the worker itself (a shared_ptr it
// holds), never by the part that retired it: that part may be destroyed before the worker ends.
#pragma once

#include <chrono>
#include <memory>
#include <thread>

namespace platform {

class Retirer {
public:
    // Starts the joining thread. When the system refuses that thread, Retire joins on the
    // caller's thread instead.
    Retirer();
    // Waits at most `kExitWait` for the threads retired so far; a thread still running after it
    // (blocked on a stalled disk) is left to end with the process. It owns what it uses, so
    // leaving it is safe.
    ~Retirer();
    Retirer(const Retirer&) = delete;
    Retirer& operator=(const Retirer&) = delete;

    static constexpr std::chrono::milliseconds kExitWait{2000};

    // Takes a thread that has been told to stop; an empty (not joinable) thread is ignored.
    void Retire(std::thread worker);
    // Waits until every thread retired so far has ended, at most `max`; true when they all did.
    // For tests and for the end of the process, never for the window thread.
    bool WaitIdle(std::chrono::milliseconds max);
    // The retired threads not yet ended.
    size_t Pending() const;

private:
    struct State;
    static void JoinRetired(const std::shared_ptr<State>& state);
    std::shared_ptr<State> m_state;
    std::thread m_joiner;
};

}  // namespace platform
