#include "platform/ModemIo.h"

#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstring>
#include <mutex>
#include <string>

namespace platform {
namespace {

constexpr int kInputBits = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RI;
constexpr int kPollMs = 10;

Result Failed(const char* what, int err) {
    return Result::Fail(IsNotSupported(err) ? kNotSupportedText : what,
                        std::string(what) + ": " + std::strerror(err), err);
}

template <class Arg>
int IoctlRetry(int fd, unsigned long request, Arg arg) {
    int rc;
    do {
        rc = ioctl(fd, request, arg);
    } while (rc < 0 && errno == EINTR);
    return rc < 0 ? errno : 0;
}

// ENOIOCTLCMD (515) leaks to user space from a few drivers as their "no such request".
constexpr int ENOIOCTLCMD_ERRNO = 515;

// The signal that ends a wait in the driver: a real-time one no other part of the program uses,
// without SA_RESTART, so the ioctl returns EINTR.
int WakeSignal() {
    return SIGRTMIN + 3;
}

// Where the wake signal's handler jumps to: set by a waiting thread from just before its last look
// at the abort until the driver's wait has returned, null everywhere else. With it, a signal that
// comes after that look but before the ioctl has started still ends the wait (a handler that only
// returned would leave the ioctl to block), so one signal always suffices. Initial-exec TLS: the
// handler reads it without a call into the dynamic loader. (ThreadSanitizer runs handlers only at
// its own points, after the ioctl for a signal that came before it: under it the window stays.)
__attribute__((tls_model("initial-exec"))) thread_local std::atomic<sigjmp_buf*> t_wakeJump{
    nullptr};
static_assert(std::atomic<sigjmp_buf*>::is_always_lock_free);

void WakeHandler(int) {
    // Between the set and the clear the waiting thread runs only its look at the abort and the
    // ioctl, so leaving that code from here skips nothing that needs to finish.
    if (sigjmp_buf* jump = t_wakeJump.exchange(nullptr))
        siglongjmp(*jump, 1);
}

// Once for the process, before any thread can be sent the signal: the default action of a
// real-time signal ends the process.
void InstallWakeHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa {};
        sa.sa_handler = WakeHandler;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;
        sigaction(WakeSignal(), &sa, nullptr);
    });
}

Result Aborted() {
    return Result::Fail("aborted", {}, ECANCELED);
}

}  // namespace

bool IsNotSupported(int err) {
    return err == ENOTTY || err == EINVAL;
}

TtyModemIo::TtyModemIo(int fd) {
    InstallWakeHandler();
    m_fd = fd >= 0 ? ::fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
    if (m_fd < 0)
        m_dupErrno = fd >= 0 ? errno : EBADF;
}

TtyModemIo::~TtyModemIo() {
    if (m_fd >= 0)
        ::close(m_fd);
}

Result TtyModemIo::GetLines(ModemState& state) {
    if (m_fd < 0)
        return Failed("modem lines", m_dupErrno);
    int bits = 0;
    if (int err = IoctlRetry(m_fd, TIOCMGET, &bits))
        return Failed("modem lines", err);
    state.cts = bits & TIOCM_CTS;
    state.dsr = bits & TIOCM_DSR;
    state.dcd = bits & TIOCM_CD;
    state.ri = bits & TIOCM_RI;
    state.dtr = bits & TIOCM_DTR;
    state.rts = bits & TIOCM_RTS;
    return Result::Ok();
}

Result TtyModemIo::SetBits(int bits, bool on) {
    if (m_fd < 0)
        return Failed(bits == TIOCM_DTR ? "DTR" : "RTS", m_dupErrno);
    if (int err = IoctlRetry(m_fd, on ? TIOCMBIS : TIOCMBIC, &bits))
        return Failed(bits == TIOCM_DTR ? "DTR" : "RTS", err);
    return Result::Ok();
}

Result TtyModemIo::SetDtr(bool on) {
    return SetBits(TIOCM_DTR, on);
}

Result TtyModemIo::SetRts(bool on) {
    return SetBits(TIOCM_RTS, on);
}

Result TtyModemIo::SetBreak(bool on) {
    if (m_fd < 0)
        return Failed("break", m_dupErrno);
    if (int err = IoctlRetry(m_fd, on ? TIOCSBRK : TIOCCBRK, 0))
        return Failed("break", err);
    return Result::Ok();
}

Result TtyModemIo::WaitForChange(const AbortSignal& abort) {
    if (m_fd < 0)
        return Failed("modem line wait", m_dupErrno);
    while (!m_driverLacksWait.load()) {
        sigjmp_buf jump;
        m_waiter.store(pthread_self());
        if (sigsetjmp(jump, 1) != 0) {
            // The wake signal, before or during the ioctl (the mask is restored by the jump). The
            // ioctl may have returned for a change just before: told as one, the caller reads
            // the lines again.
            m_inDriverWait.store(false);
            return abort.IsRaised() ? Aborted() : Result::Ok();
        }
        t_wakeJump.store(&jump);
        // Published before the look at the abort, and Interrupt() looks at it after the abort
        // was raised: either this thread sees the abort, or Interrupt() sees it here and sends
        // the signal, which the jump turns into the end of the wait wherever it lands.
        m_inDriverWait.store(true);
        int err = 0;
        if (!abort.IsRaised() && ioctl(m_fd, TIOCMIWAIT, kInputBits) < 0)
            err = errno;
        t_wakeJump.store(nullptr);
        m_inDriverWait.store(false);
        if (err == 0)
            return abort.IsRaised() ? Aborted() : Result::Ok();
        if (err == EINTR)
            continue;  // a signal of someone else's; the abort is looked at above
        if (!IsNotSupported(err) && err != ENOIOCTLCMD_ERRNO)
            return Failed("modem line wait", err);
        // A driver without the wait (some USB adapters): poll the lines instead.
        m_driverLacksWait.store(true);
    }
    return PollForChange(abort);
}

void TtyModemIo::Interrupt() {
    // Once: the waiting thread jumps out of its wait wherever the signal finds it.
    if (m_inDriverWait.load())
        pthread_kill(m_waiter.load(), WakeSignal());
}

// For drivers without TIOCMIWAIT only: the lines are read every kPollMs, and between two reads
// the thread waits on the abort's descriptor, so the abort ends the wait at once. Without a
// descriptor (none left to make one) the poll only times out and the flag is seen at the next
// step.
Result TtyModemIo::PollForChange(const AbortSignal& abort) {
    // Compared with the lines the previous poll saw, so a change between two calls counts too.
    if (!m_bPolled) {
        if (Result r = GetLines(m_polled); !r)
            return r;
        m_bPolled = true;
    }
    const ModemState before = m_polled;
    const int abortFd = abort.Fd();
    for (;;) {
        if (abort.IsRaised())
            return Aborted();
        pollfd p{abortFd, POLLIN, 0};  // a negative descriptor is ignored: a plain time-out
        poll(&p, 1, kPollMs);
        if (abort.IsRaised())
            return Aborted();
        ModemState now;
        if (Result r = GetLines(now); !r)
            return r;
        m_polled = now;
        if (!now.SameInputs(before))
            return Result::Ok();
    }
}

Result TtyModemIo::GetCounters(UartCounters& counters) {
    if (m_fd < 0)
        return Failed("UART counters", m_dupErrno);
    serial_icounter_struct ic{};
    if (int err = IoctlRetry(m_fd, TIOCGICOUNT, &ic))
        return Failed("UART counters", err);
    counters.frame = static_cast<uint32_t>(ic.frame);
    counters.parity = static_cast<uint32_t>(ic.parity);
    counters.overrun = static_cast<uint32_t>(ic.overrun);
    counters.brk = static_cast<uint32_t>(ic.brk);
    counters.bufferOverrun = static_cast<uint32_t>(ic.buf_overrun);
    return Result::Ok();
}

}  // namespace platform
