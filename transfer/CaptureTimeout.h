// The 2-second silence time-out of one armed link.
//
// A capture pushes the time-out back with every chunk, tens of thousands of times a second at full
// speed and on whichever thread reads the link. Restarting a timer each time would cost the UI
// thread more than the chunk itself, so a chunk only notes its time; the timer, started once (its
// start posted to the UI thread), looks at that time when it fires and waits the rest of the
// period if a chunk came meanwhile. Stop() wins over every start posted before it: a chunk of a
// capture that has just ended never revives the timer.
#pragma once

#include <QObject>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <functional>

#include "transfer/Capture.h"

class CaptureTimeout : public QObject {
    Q_OBJECT
public:
    // Milliseconds on a monotonic clock; injected where tests need to move time.
    using Clock = std::function<int64_t()>;

    CaptureTimeout(CaptureLink link, int periodMs, QObject* parent = nullptr);

    CaptureLink Link() const { return m_link; }
    void SetClock(Clock clock) { m_clock = std::move(clock); }

    // UI thread: the run whose chunks count from now on; chunks of any other run are ignored.
    void SetRun(uint64_t run) { m_nRun.store(run); }
    // Any thread: a chunk of `run` came (or its header left); the silence counts from now.
    void NoteChunk(uint64_t run);
    // UI thread: stops the timer; a start posted before this call is dropped when it arrives.
    void Stop();
    // UI thread.
    bool IsRunning() const { return m_timer.isActive(); }

signals:
    // The link stayed silent for the whole period (UI thread).
    void expired(CaptureLink link);

private:
    void Fire();
    int64_t Now() const;

    const CaptureLink m_link;
    const int m_nPeriodMs;
    Clock m_clock;
    QTimer m_timer;
    std::atomic<uint64_t> m_nRun{0};
    std::atomic<uint64_t> m_nGeneration{0};  // bumped by Stop()
    std::atomic<bool> m_bArmed{false};       // a start is posted or the timer runs
    std::atomic<int64_t> m_nLastChunkMs{0};
};
