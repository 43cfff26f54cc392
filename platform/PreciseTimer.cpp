#include "platform/PreciseTimer.h"

#include <QSocketNotifier>
#include <QTimer>

#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Traffic.h"

namespace platform {

PreciseTimer::PreciseTimer(QObject* parent) : QObject(parent) {
    m_fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (m_fd >= 0) {
        m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &PreciseTimer::OnReadable);
    } else {
        m_fallback = new QTimer(this);
        m_fallback->setSingleShot(true);
        m_fallback->setTimerType(Qt::PreciseTimer);
        connect(m_fallback, &QTimer::timeout, this, &PreciseTimer::OnDeadline);
    }
}

PreciseTimer::~PreciseTimer() {
    delete m_notifier;  // before its descriptor goes
    m_notifier = nullptr;
    if (m_fd >= 0)
        ::close(m_fd);
}

void PreciseTimer::ArmAt(int64_t steadyNs) {
    m_armed = true;
    m_deadlineNs = steadyNs;
    if (m_fd >= 0) {
        // A zero it_value disarms: a deadline at or before the clock's start is moved to 1 ns,
        // which is past and so fires at once.
        const int64_t at = steadyNs > 0 ? steadyNs : 1;
        itimerspec spec{};
        spec.it_value.tv_sec = static_cast<time_t>(at / 1000000000);
        spec.it_value.tv_nsec = static_cast<long>(at % 1000000000);
        if (::timerfd_settime(m_fd, TFD_TIMER_ABSTIME, &spec, nullptr) == 0)
            return;
        // Cannot fail with valid arguments; should it, the deadline is still kept below.
    }
    if (!m_fallback) {
        m_fallback = new QTimer(this);
        m_fallback->setSingleShot(true);
        m_fallback->setTimerType(Qt::PreciseTimer);
        connect(m_fallback, &QTimer::timeout, this, &PreciseTimer::OnDeadline);
    }
    const int64_t left = steadyNs - Stamp::Now().steadyNs;
    // Rounded up to the millisecond, so that it never fires early.
    m_fallback->start(
        left <= 0 ? 0 : static_cast<int>(std::min<int64_t>((left + 999999) / 1000000, INT32_MAX)));
}

void PreciseTimer::Cancel() {
    m_armed = false;
    if (m_fd >= 0) {
        const itimerspec off{};
        ::timerfd_settime(m_fd, 0, &off, nullptr);
        uint64_t expirations = 0;  // an expiry not read yet would wake the notifier once more
        [[maybe_unused]] const ssize_t n = ::read(m_fd, &expirations, sizeof expirations);
    }
    if (m_fallback)
        m_fallback->stop();
}

void PreciseTimer::OnReadable() {
    uint64_t expirations = 0;
    const ssize_t n = ::read(m_fd, &expirations, sizeof expirations);
    if (n != static_cast<ssize_t>(sizeof expirations))
        return;  // EAGAIN: cancelled or re-armed after the descriptor turned readable
    OnDeadline();
}

void PreciseTimer::OnDeadline() {
    if (!m_armed)
        return;
    // The event loop may deliver a readiness that was seen before a re-arm: fire only once the
    // deadline armed last has come.
    if (Stamp::Now().steadyNs < m_deadlineNs) {
        ArmAt(m_deadlineNs);
        return;
    }
    m_armed = false;
    emit fired();
}

}  // namespace platform
