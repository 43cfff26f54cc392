#include "runner/StopSignals.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {

// The write end of the pipe of the one StopSignals alive: a signal handler can reach nothing else.
// The runner makes one such object, in main(); a second one takes the signals over.
std::atomic<int> g_wakeFd{-1};

void OnSignal(int signal) {
    const int saved = errno;
    const int fd = g_wakeFd.load();
    if (fd >= 0) {
        const unsigned char b = static_cast<unsigned char>(signal);
        [[maybe_unused]] const ssize_t n = ::write(fd, &b, 1);
    }
    errno = saved;
}

}  // namespace

StopSignals::StopSignals(QObject* parent) : QObject(parent) {
    if (::pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    g_wakeFd.store(m_pipe[1]);
    m_notifier = std::make_unique<QSocketNotifier>(m_pipe[0], QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &StopSignals::OnReadable);
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, &m_oldInt);
    sigaction(SIGTERM, &sa, &m_oldTerm);
}

StopSignals::~StopSignals() {
    if (m_pipe[0] < 0)
        return;
    sigaction(SIGINT, &m_oldInt, nullptr);
    sigaction(SIGTERM, &m_oldTerm, nullptr);
    int expected = m_pipe[1];
    g_wakeFd.compare_exchange_strong(expected, -1);
    m_notifier.reset();
    ::close(m_pipe[0]);
    ::close(m_pipe[1]);
}

void StopSignals::OnReadable() {
    unsigned char b = 0;
    int first = 0;
    while (::read(m_pipe[0], &b, 1) == 1)
        if (first == 0)
            first = b;
    if (first == 0 || m_requested)
        return;
    m_requested = true;
    m_which = first;
    emit stopRequested(first);
}
