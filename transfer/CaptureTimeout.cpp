#include "transfer/CaptureTimeout.h"

#include <chrono>

CaptureTimeout::CaptureTimeout(CaptureLink link, int periodMs, QObject* parent)
    : QObject(parent), m_link(link), m_nPeriodMs(periodMs) {
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &CaptureTimeout::Fire);
}

int64_t CaptureTimeout::Now() const {
    if (m_clock)
        return m_clock();
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void CaptureTimeout::NoteChunk(uint64_t run) {
    // The generation is read before the run is checked: a Stop() (which a new run's start makes
    // after setting its run) in between either changes the generation the start carries, so the
    // start is dropped, or the run, so nothing is posted.
    const uint64_t generation = m_nGeneration.load();
    if (run != m_nRun.load())
        return;
    m_nLastChunkMs.store(Now());
    if (m_bArmed.exchange(true))
        return;
    QMetaObject::invokeMethod(
        this,
        [this, generation] {
            if (generation == m_nGeneration.load())
                m_timer.start(m_nPeriodMs);
        },
        Qt::QueuedConnection);
}

void CaptureTimeout::Stop() {
    ++m_nGeneration;
    m_bArmed.store(false);
    m_timer.stop();
}

void CaptureTimeout::Fire() {
    const int64_t quiet = Now() - m_nLastChunkMs.load();
    if (m_bArmed.load() && quiet < m_nPeriodMs) {
        m_timer.start(static_cast<int>(m_nPeriodMs - quiet));  // a chunk came: wait the rest
        return;
    }
    m_bArmed.store(false);
    emit expired(m_link);
}
