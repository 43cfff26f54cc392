#include "serial/ModemLines.h"

#include <cerrno>
#include <chrono>
#include <mutex>

using platform::ModemState;
using platform::Result;

// Shared by the owner and its watch thread; the thread's share keeps it alive after Stop.
struct ModemLines::Watcher {
    std::shared_ptr<platform::ModemIo> io;
    platform::AbortSignal abort;
    std::mutex lock;              // guards owner
    ModemLines* owner = nullptr;  // null from Stop on: nothing more is posted to it

    // Watch thread. Posts call(owner) to the owner's thread unless the owner stopped the watch;
    // false then. The lock is held only for the post, which never blocks.
    template <class Call>
    bool Post(Call call) {
        std::lock_guard guard(lock);
        if (!owner)
            return false;
        ModemLines* self = owner;
        QMetaObject::invokeMethod(
            self, [self, call = std::move(call)] { call(self); }, Qt::QueuedConnection);
        return true;
    }
};

ModemLines::ModemLines(QObject* parent) : QObject(parent) {
    m_breakTimer.setSingleShot(true);
    // A coarse timer may fire up to 5 % early; a break is never shorter than asked.
    m_breakTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_breakTimer, &QTimer::timeout, this, [this] {
        if (m_io && m_bSupported)
            m_io->SetBreak(false);
        emit breakEnded();
    });
}

ModemLines::~ModemLines() {
    Stop();
}

Result ModemLines::Start(std::unique_ptr<platform::ModemIo> io) {
    Stop();
    m_io = std::move(io);
    m_lines = {};
    for (int& c : m_counts)
        c = 0;
    const Result read = m_io->GetLines(m_lines);
    m_bSupported = read.ok;
    m_startFailure = read;
    if (!read) {
        if (platform::IsNotSupported(read.error))
            emit notSupported(QString::fromUtf8(platform::kNotSupportedText));
        else
            emit watchFailed(QString::fromStdString(read.reason));
        return read;
    }
    auto watcher = std::make_shared<Watcher>();
    watcher->io = m_io;
    watcher->owner = this;
    const uint64_t generation = m_generation.fetch_add(1) + 1;
    try {
        m_watch = std::thread(&ModemLines::Watch, watcher, m_lines, generation);
        m_watcher = std::move(watcher);
    } catch (const std::system_error& e) {
        emit watchFailed(QString::fromUtf8(e.what()));
        return Result::Fail("modem line watch", e.what(), e.code().value());
    }
    return Result::Ok();
}

void ModemLines::Stop() {
    // Posted changes of this start that have not been delivered yet are dropped.
    m_generation.fetch_add(1);
    if (m_watcher) {
        {
            std::lock_guard guard(m_watcher->lock);
            m_watcher->owner = nullptr;
        }
        m_watcher->abort.Raise();
        m_watcher->io->Interrupt();
        if (m_retirer)
            m_retirer->Retire(std::move(m_watch));
        else
            m_watch.join();
        m_watch = {};
        m_watcher.reset();
    }
    if (m_breakTimer.isActive()) {
        m_breakTimer.stop();
        if (m_io && m_bSupported)
            m_io->SetBreak(false);
    }
    m_io.reset();
    m_bSupported = false;
}

Result ModemLines::Unavailable() const {
    if (!m_io)
        return Result::Fail("The port is not open", {}, EBADF);
    return m_startFailure;  // "not supported by this device", or why the lines could not be read
}

Result ModemLines::SetDtr(bool on) {
    if (!Supported())
        return Unavailable();
    Result r = m_io->SetDtr(on);
    if (r)
        m_lines.dtr = on;
    return r;
}

Result ModemLines::SetRts(bool on) {
    if (!Supported())
        return Unavailable();
    Result r = m_io->SetRts(on);
    if (r)
        m_lines.rts = on;
    return r;
}

Result ModemLines::SendBreak(int ms) {
    if (!Supported())
        return Unavailable();
    if (ms <= 0)
        return Result::Fail("The break needs a length", {}, EINVAL);
    if (m_breakTimer.isActive())
        return Result::Fail("A break is already on", {}, EBUSY);
    if (Result r = m_io->SetBreak(true); !r)
        return r;
    m_breakTimer.start(ms);
    return Result::Ok();
}

Result ModemLines::Counters(platform::UartCounters& counters) {
    if (!Supported())
        return Unavailable();
    return m_io->GetCounters(counters);
}

void ModemLines::Watch(std::shared_ptr<Watcher> w, ModemState last, uint64_t generation) {
    platform::ModemIo& io = *w->io;
    for (;;) {
        // Read again before waiting: the driver's wait counts only the changes after it began,
        // so one that came while the last change was being posted would wait for the next.
        if (w->abort.IsRaised())
            return;
        ModemState now;
        Result r = io.GetLines(now);
        if (r && now.SameInputs(last)) {
            r = io.WaitForChange(w->abort);
            if (w->abort.IsRaised())
                return;
            if (r)
                r = io.GetLines(now);
        }
        if (!r) {
            w->Post([generation, reason = QString::fromStdString(r.reason)](ModemLines* self) {
                if (generation == self->m_generation.load())
                    emit self->watchFailed(reason);
            });
            return;
        }
        // Timed as seen here, before the post, so the owner's delay does not count.
        const int64_t steadyNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count();
        const QDateTime wall = QDateTime::currentDateTimeUtc();
        for (ModemLine line : platform::kModemInputs) {
            if (now.Level(line) == last.Level(line))
                continue;
            const ModemLineChange change{line, now.Level(line), steadyNs, wall};
            if (!w->Post(
                    [generation, change](ModemLines* self) { self->Deliver(generation, change); }))
                return;
        }
        last = now;
    }
}

void ModemLines::Deliver(uint64_t generation, ModemLineChange change) {
    if (generation != m_generation.load())
        return;  // from a start that has ended
    m_lines.SetLevel(change.line, change.on);
    ++m_counts[static_cast<int>(change.line)];
    emit lineChanged(change);
}
