#include "platform/AbortSignal.h"

#include <sys/eventfd.h>
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

int AbortSignal::Fd() {
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

}  // namespace platform
