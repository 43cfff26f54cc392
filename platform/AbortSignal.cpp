#include "platform/AbortSignal.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace platform {
namespace {

void Signal(int fd) {
    const uint64_t one = 1;
    while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

// Non-blocking: reading an eventfd whose counter is 0 fails with EAGAIN instead of waiting.
void Drain(int fd) {
    uint64_t value;
    while (::read(fd, &value, sizeof value) < 0 && errno == EINTR) {
    }
}

}  // namespace

AbortSignal::~AbortSignal() {
    if (m_fd >= 0)
        ::close(m_fd);
}

int AbortSignal::Fd() const {
    std::lock_guard lock(m_lock);
    if (m_fd < 0) {
        m_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (m_fd >= 0 && m_raised.load())
            Signal(m_fd);  // raised before the descriptor existed
    }
    return m_fd;
}

void AbortSignal::Raise() {
    std::lock_guard lock(m_lock);
    if (m_raised.exchange(true))
        return;
    if (m_fd >= 0)
        Signal(m_fd);
}

void AbortSignal::Reset() {
    std::lock_guard lock(m_lock);
    if (!m_raised.exchange(false))
        return;
    if (m_fd >= 0)
        Drain(m_fd);
}

int SendAllOnSocket(int fd, const void* buf, int len, const AbortSignal& abort, int* err,
                    ITrafficObserver* observer) {
    const auto* bytes = static_cast<const unsigned char*>(buf);
    int done = 0;
    int error = 0;
    while (done < len) {
        if (abort.IsRaised()) {
            error = ECANCELED;
            break;
        }
        const Stamp before = Stamp::Now();  // a send is stamped as it starts
        const ssize_t n =
            ::send(fd, bytes + done, static_cast<size_t>(len - done), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            if (observer)
                observer->Traffic(TrafficKind::NetTx, before, bytes + done, static_cast<size_t>(n));
            done += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            error = errno;
            break;
        }
        // The send buffer is full: wait for room or the abort. Without an abort descriptor the
        // wait is cut into steps so that the flag is still seen.
        const int abortFd = abort.Fd();
        pollfd fds[2] = {{fd, POLLOUT, 0}, {abortFd, POLLIN, 0}};
        if (::poll(fds, 2, abortFd >= 0 ? -1 : 50) < 0 && errno != EINTR) {
            error = errno;
            break;
        }
    }
    if (done == len)
        return len;
    if (err)
        *err = error;
    return done > 0 ? done : -1;
}

}  // namespace platform
