// A one-shot timer to the nanosecond on the steady clock (CLOCK_MONOTONIC, the clock of
// platform::Stamp), for schedules finer than Qt's timers, which round to the millisecond: a Linux
// timerfd armed at an absolute deadline, read through a QSocketNotifier on the thread's event
// loop. An absolute deadline never drifts: a schedule arms start + k * period, however late the
// previous wake-up came.
#pragma once

#include <QObject>

#include <cstdint>

class QSocketNotifier;
class QTimer;

namespace platform {

class PreciseTimer : public QObject {
    Q_OBJECT
public:
    explicit PreciseTimer(QObject* parent = nullptr);
    ~PreciseTimer() override;
    PreciseTimer(const PreciseTimer&) = delete;
    PreciseTimer& operator=(const PreciseTimer&) = delete;

    // Fires once at `steadyNs` (CLOCK_MONOTONIC nanoseconds); a deadline already past fires on
    // the next turn of the event loop. Re-arming replaces the previous deadline.
    void ArmAt(int64_t steadyNs);
    void Cancel();
    bool Armed() const { return m_armed; }
    int64_t Deadline() const { return m_deadlineNs; }

signals:
    void fired();

private:
    void OnReadable();
    void OnDeadline();

    int m_fd = -1;  // the timerfd; -1 when the kernel gave none (then a millisecond QTimer)
    QSocketNotifier* m_notifier = nullptr;
    QTimer* m_fallback = nullptr;
    bool m_armed = false;
    int64_t m_deadlineNs = 0;
};

}  // namespace platform
