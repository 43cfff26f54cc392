// A signal that ends blocking waits from another thread: an eventfd that stays readable from
// Raise() until Reset(). A blocking write polls its own descriptor together with Fd() and gives
// up as soon as Fd() is readable, without waking up at intervals to look at a flag.
#pragma once

#include <atomic>
#include <mutex>

#include "platform/Traffic.h"

namespace platform {

class AbortSignal {
public:
    AbortSignal() = default;
    ~AbortSignal();
    AbortSignal(const AbortSignal&) = delete;
    AbortSignal& operator=(const AbortSignal&) = delete;

    // Any thread. The descriptor to poll for POLLIN next to the blocking call: readable while
    // the signal is raised. Made on first use, so that objects that never wait hold no
    // descriptor; -1 when it cannot be made (the process has no descriptor left): the waiter
    // then looks at IsRaised() between short waits instead.
    int Fd() const;
    // Any thread. Raises the signal: every wait on Fd() ends, now and until Reset().
    void Raise();
    // Any thread. Lowers the signal again; a wait that has not ended yet goes on waiting.
    void Reset();
    // Any thread; no system call.
    bool IsRaised() const { return m_raised.load(); }

private:
    std::atomic<bool> m_raised{false};
    mutable std::mutex m_lock;  // guards the making of the descriptor and its counter
    mutable int m_fd = -1;
};

// Writes every byte of `buf` to the stream socket `fd`, waiting for room as needed, until done,
// an error, or `abort` is raised. Never raises SIGPIPE and never depends on the descriptor's
// O_NONBLOCK mode (each send is MSG_DONTWAIT), so it may use a duplicate of a descriptor whose
// owner switches modes. Returns the count sent (len when complete); on an error or the abort, what
// was sent before it (-1 when nothing was), with *err set to the errno (ECANCELED for the abort).
// Each send that moved bytes is told to `observer` (when given) as network traffic.
int SendAllOnSocket(int fd, const void* buf, int len, const AbortSignal& abort, int* err,
                    ITrafficObserver* observer = nullptr);

}  // namespace platform
