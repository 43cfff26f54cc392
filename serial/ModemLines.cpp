#include "serial/ModemLines.h"

#include <cerrno>
#include <chrono>

using platform::ModemState;
using platform::Result;

bool LineLevel(const ModemState& s, ModemLine line) {
    switch (line) {
        case ModemLine::Cts:
            return s.cts;
        case ModemLine::Dsr:
            return s.dsr;
        case ModemLine::Dcd:
            return s.dcd;
        case ModemLine::Ri:
            return s.ri;
    }
    return false;
}

const char* ModemLineName(ModemLine line) {
    switch (line) {
        case ModemLine::Cts:
            return "CTS";
        case ModemLine::Dsr:
            return "DSR";
        case ModemLine::Dcd:
            return "DCD";
        case ModemLine::Ri:
            return "RI";
    }
    return "";
}

namespace {

void SetLevel(ModemState& s, ModemLine line, bool on) {
    switch (line) {
        case ModemLine::Cts:
            s.cts = on;
            break;
        case ModemLine::Dsr:
            s.dsr = on;
            break;
        case ModemLine::Dcd:
            s.dcd = on;
            break;
        case ModemLine::Ri:
            s.ri = on;
            break;
    }
}

constexpr ModemLine kInputs[] = {ModemLine::Cts, ModemLine::Dsr, ModemLine::Dcd, ModemLine::Ri};

}  // namespace

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
    m_abort.Reset();
    const uint64_t generation = m_generation.fetch_add(1) + 1;
    try {
        m_watch = std::thread(&ModemLines::Watch, this, m_io.get(), m_lines, generation);
    } catch (const std::system_error& e) {
        emit watchFailed(QString::fromUtf8(e.what()));
        return Result::Fail("modem line watch", e.what(), e.code().value());
    }
    return Result::Ok();
}

void ModemLines::Stop() {
    // Posted changes of this start that have not been delivered yet are dropped.
    m_generation.fetch_add(1);
    if (m_watch.joinable()) {
        m_abort.Raise();
        m_io->Interrupt();
        m_watch.join();
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

namespace {

bool SameInputs(const ModemState& a, const ModemState& b) {
    for (ModemLine line : kInputs)
        if (LineLevel(a, line) != LineLevel(b, line))
            return false;
    return true;
}

}  // namespace

void ModemLines::Watch(ModemLines* self, platform::ModemIo* io, ModemState last,
                       uint64_t generation) {
    for (;;) {
        // Read again before waiting: the driver's wait counts only the changes after it began,
        // so one that came while the last change was being posted would wait for the next.
        if (self->m_abort.IsRaised())
            return;
        ModemState now;
        Result r = io->GetLines(now);
        if (r && SameInputs(now, last)) {
            r = io->WaitForChange(self->m_abort);
            if (self->m_abort.IsRaised())
                return;
            if (r)
                r = io->GetLines(now);
        }
        if (!r) {
            QMetaObject::invokeMethod(
                self,
                [self, generation, reason = QString::fromStdString(r.reason)] {
                    if (generation == self->m_generation.load())
                        emit self->watchFailed(reason);
                },
                Qt::QueuedConnection);
            return;
        }
        // Timed as seen here, before the post, so the owner's delay does not count.
        const int64_t steadyNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count();
        const QDateTime wall = QDateTime::currentDateTimeUtc();
        for (ModemLine line : kInputs) {
            if (LineLevel(now, line) == LineLevel(last, line))
                continue;
            ModemLineChange change{line, LineLevel(now, line), steadyNs, wall};
            QMetaObject::invokeMethod(
                self, [self, generation, change] { self->Deliver(generation, change); },
                Qt::QueuedConnection);
        }
        last = now;
    }
}

void ModemLines::Deliver(uint64_t generation, ModemLineChange change) {
    if (generation != m_generation.load())
        return;  // from a start that has ended
    SetLevel(m_lines, change.line, change.on);
    ++m_counts[static_cast<int>(change.line)];
    emit lineChanged(change);
}
