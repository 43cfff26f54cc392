// The modem control lines of an open serial port: the inputs' changes as timed events, the
// outputs DTR and RTS, a break of a chosen length and the UART's error counters.
//
// Lives on its owner's thread (the serial console's). A watch thread waits for line changes
// through the ModemIo and only posts what it saw to the owner's thread; it never waits for it.
// Stop() tells the watch thread to end and, given a Retirer, hands it over without waiting: the
// thread owns what it still uses (the ModemIo and its abort, through a shared_ptr).
// A device without modem lines is told once per Start (notSupported, and a failed Result from
// Start); every call then fails with "not supported by this device" and nothing else changes.
#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "platform/AbortSignal.h"
#include "platform/ModemIo.h"
#include "platform/Result.h"
#include "platform/Retirer.h"

// The input lines, as the events name them, and their names ("CTS", "DSR", "DCD", "RI").
using platform::ModemLine;
using platform::ModemLineName;

// One change of an input line.
struct ModemLineChange {
    ModemLine line = ModemLine::Cts;
    bool on = false;       // the level after the change
    int64_t steadyNs = 0;  // std::chrono::steady_clock, for delays between events
    QDateTime wall;        // UTC, for the user
};

// The break length when none is chosen, in milliseconds.
constexpr int MODEM_BREAK_MS = 250;

class ModemLines : public QObject {
    Q_OBJECT
public:
    explicit ModemLines(QObject* parent = nullptr);
    ~ModemLines() override;

    // Owner thread. Reads the lines of a just opened port and starts watching them. Fails (and
    // emits notSupported once) for a device without modem lines. `io` is used until Stop().
    platform::Result Start(std::unique_ptr<platform::ModemIo> io);
    // Owner thread. Ends the watch thread and a break still on. With a Retirer the thread is
    // handed to it and Stop returns at once; without one Stop waits for the thread (the runner
    // and tests). Call it before the descriptor behind the ModemIo closes.
    void Stop();
    // Owner thread. The retirer Stop hands the watch thread to; null: Stop joins it. The retirer
    // must outlive this object.
    void SetRetirer(platform::Retirer* retirer) { m_retirer = retirer; }

    bool Running() const { return m_io != nullptr; }
    bool Supported() const { return m_io != nullptr && m_bSupported; }
    // The lines as last read or reported (owner thread).
    const platform::ModemState& Lines() const { return m_lines; }
    // How often an input line changed since Start (owner thread).
    int ChangeCount(ModemLine line) const { return m_counts[static_cast<int>(line)]; }

    platform::Result SetDtr(bool on);
    platform::Result SetRts(bool on);
    // Break on now, off after `ms` milliseconds by a timer of the owner's thread (breakEnded).
    // Fails while a break is on.
    platform::Result SendBreak(int ms = MODEM_BREAK_MS);
    bool BreakOn() const { return m_breakTimer.isActive(); }
    platform::Result Counters(platform::UartCounters& counters);

signals:
    // An input line changed (owner thread).
    void lineChanged(const ModemLineChange& change);
    // The device has no modem lines ("not supported by this device"); once per Start.
    void notSupported(const QString& text);
    // The wait for line changes failed for another reason; no more changes are reported.
    void watchFailed(const QString& reason);
    void breakEnded();

private:
    struct Watcher;
    platform::Result Unavailable() const;
    static void Watch(std::shared_ptr<Watcher> watcher, platform::ModemState start,
                      uint64_t generation);
    // Owner thread: one change seen by the watch thread of start number `generation`.
    void Deliver(uint64_t generation, ModemLineChange change);

    std::shared_ptr<platform::ModemIo> m_io;
    bool m_bSupported = false;
    platform::Result m_startFailure;  // why Start could not read the lines
    platform::ModemState m_lines;
    int m_counts[4] = {0, 0, 0, 0};
    QTimer m_breakTimer;
    std::atomic<uint64_t> m_generation{0};
    std::shared_ptr<Watcher> m_watcher;  // what the running watch thread shares with this object
    std::thread m_watch;
    platform::Retirer* m_retirer = nullptr;
};
