// The one way to cut a blocking write short: an eventfd that a writer polls beside its
// descriptor. Raised, it stays raised (every wait on it ends at once) until Reset().
#pragma once

#include <atomic>

namespace platform {

class AbortSignal {
public:
    AbortSignal();
    ~AbortSignal();
    AbortSignal(const AbortSignal&) = delete;
    AbortSignal& operator=(const AbortSignal&) = delete;

    // False when the eventfd could not be made (no descriptor left): Raise() then still sets
    // the flag that every writer checks between its waits.
    bool Valid() const { return m_fd >= 0; }
    // The descriptor to poll for POLLIN beside the one being written; -1 when not Valid().
    int Fd() const { return m_fd; }
    // Any thread.
    void Raise();
    void Reset();
    bool IsRaised() const { return m_bRaised.load(); }

private:
    int m_fd = -1;
    std::atomic<bool> m_bRaised{false};
};

// Writes every byte of `buf` to the non-blocking-capable descriptor `fd` of a stream socket,
// waiting for room as needed, until done, an error, or `abort` is raised. Never raises SIGPIPE
// and never depends on the descriptor's O_NONBLOCK mode (each send is MSG_DONTWAIT). Returns the
// count sent (len when complete); on an error before anything was sent -1 with *err set to the
// errno (ECANCELED when aborted).
int SendAllOnSocket(int fd, const void* buf, int len, const AbortSignal& abort, int* err);

}  // namespace platform
