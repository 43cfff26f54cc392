// Keeps the refreshes of one console to the display's pace: a request renders at once when the
// last render is at least the interval ago, otherwise once when the interval has passed. However
// fast requests come, at most one render is scheduled, and the last request is always served, so
// the final state after a burst is always shown.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <functional>

// About two frames of a 60 Hz display: faster refreshes show nothing more to a reader.
constexpr int CONSOLE_REFRESH_INTERVAL_MS = 30;

class CRefreshPacer : public QObject {
    Q_OBJECT
public:
    explicit CRefreshPacer(std::function<void()> render,
                           int intervalMs = CONSOLE_REFRESH_INTERVAL_MS, QObject* parent = nullptr)
        : QObject(parent), m_render(std::move(render)), m_nInterval(intervalMs) {
        m_timer.setSingleShot(true);
        connect(&m_timer, &QTimer::timeout, this, &CRefreshPacer::Run);
    }

    void Request() {
        if (m_timer.isActive())
            return;  // a render is already on its way; it shows the latest state
        const qint64 since = m_last.isValid() ? m_last.elapsed() : m_nInterval;
        if (since >= m_nInterval)
            Run();
        else
            m_timer.start(static_cast<int>(m_nInterval - since));
    }
    bool Scheduled() const { return m_timer.isActive(); }

private:
    void Run() {
        m_last.restart();
        m_render();
    }

    std::function<void()> m_render;
    int m_nInterval;
    QTimer m_timer;
    QElapsedTimer m_last;
};
