#include "platform/AbortSignal.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace platform {

AbortSignal::AbortSignal() : m_fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

AbortSignal::~AbortSignal() {
    if (m_fd >= 0)
        ::close(m_fd);
}

void AbortSignal::Raise() {
    m_bRaised.store(true);
    if (m_fd < 0)
        return;
    const uint64_t one = 1;
    while (::write(m_fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void AbortSignal::Reset() {
    if (m_fd >= 0) {
        uint64_t value;
        while (::read(m_fd, &value, sizeof value) > 0 || errno == EINTR) {
        }
    }
    m_bRaised.store(false);
}

int SendAllOnSocket(int fd, const void* buf, int len, const AbortSignal& abort, int* err) {
    const auto* bytes = static_cast<const unsigned char*>(buf);
    int done = 0;
    int error = 0;
    while (done < len) {
        if (abort.IsRaised()) {
            error = ECANCELED;
            break;
        }
        const ssize_t n =
            ::send(fd, bytes + done, static_cast<size_t>(len - done), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            error = errno;
            break;
        }
        // The send buffer is full: wait for room or the abort. Without an eventfd the wait is
        // bounded so that the flag is still seen.
        pollfd fds[2] = {{fd, POLLOUT, 0}, {abort.Fd(), POLLIN, 0}};
        const int rc = ::poll(fds, abort.Valid() ? 2 : 1, abort.Valid() ? -1 : 100);
        if (rc < 0 && errno != EINTR) {
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
