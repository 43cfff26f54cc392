// SIGINT and SIGTERM as an event: the handler only writes a byte to a pipe, and the event loop
// of the thread that made this object hears it and tells stopRequested(). The previous handlers
// come back when the object goes.
#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <csignal>
#include <memory>

class StopSignals : public QObject {
    Q_OBJECT
public:
    explicit StopSignals(QObject* parent = nullptr);
    ~StopSignals() override;
    // True once either signal came.
    bool Requested() const { return m_requested; }
    // The signal that came first (SIGINT or SIGTERM), 0 before.
    int Which() const { return m_which; }

signals:
    void stopRequested(int signal);

private:
    void OnReadable();

    int m_pipe[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> m_notifier;
    struct sigaction m_oldInt {};
    struct sigaction m_oldTerm {};
    bool m_requested = false;
    int m_which = 0;
};

// Carries a stop request into the thread a session runs on: its local event loops quit on now().
class SessionStop : public QObject {
    Q_OBJECT
signals:
    void now();
};
