// The control lines end to end through a device server that speaks RFC 2217: the serial side's
// DTR and RTS are changed and each change is expected in the device server's modem-state
// notifications; then the device server's DTR and RTS are set over the network and each change
// is expected on the serial side's inputs. Null-modem wiring varies, so which line follows which
// is found out from the first change, not assumed. Needs a QCoreApplication; waits in local event
// loops.
#pragma once

#include <QEventLoop>
#include <QObject>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "net/NetConsole.h"
#include "serial/ModemLines.h"

// How long one change may take to show on the other side, in milliseconds. A device server may
// look at its lines only now and then; a second is a generous bound for the ones known.
constexpr int LINE_CHANGE_WAIT_MS = 2000;
// After the first change of a line shows, how long other lines that follow it may take to show
// too, in milliseconds (DSR and DCD wired to one DTR may come in two notifications).
constexpr int LINE_FOLLOWER_GRACE_MS = 100;

// One output line, changed `toggles` times, and what followed it on the other side.
struct LineFollowReport {
    bool remote = false;  // the device server's line, set over the network; else the serial side's
    std::string driven;   // "DTR", "RTS"
    // The input lines that followed it: each changed after at least half of its changes.
    std::vector<ModemLine> followers;
    int toggles = 0;
    int seen = 0;                  // changes that every follower showed in time
    std::vector<double> delaysMs;  // one per change seen: from the set to the last follower
    std::string error;             // the line could not be set (the device's reason)

    bool Ok() const { return error.empty() && seen == toggles; }
    // The median and the longest delay; 0 when nothing was seen.
    double P50Ms() const;
    double MaxMs() const;
    // "DTR -> remote DSR DCD", "remote RTS -> CTS", "remote DTR -> nothing".
    std::string Mapping() const;
    // "DTR -> remote DSR DCD: 20 of 20 changes seen, delay p50 1.234 ms, max 2.345 ms"
    std::string Summary() const;
};

struct LinesReport {
    std::vector<LineFollowReport> lines;  // DTR, RTS, remote DTR, remote RTS
    bool linkLost = false;                // the network link went during the test
    bool Ok() const;
};

class LinesCheck : public QObject {
    Q_OBJECT
public:
    // `serial`: the running modem lines of the open serial port; `net`: a link in use that
    // speaks RFC 2217 and asked for notifications. Both must outlive the check.
    LinesCheck(ModemLines& serial, NetConsole& net, int toggles, int waitMs = LINE_CHANGE_WAIT_MS);
    // Runs both halves; returns once every change was seen or its time was over.
    LinesReport Run();
    // Ends the check at once (from the check's thread, e.g. by a queued signal): Run returns what
    // it has.
    void Stop();

private:
    // The inputs of one side: their levels as last seen and when each changed, as stamped by the
    // read that saw it (steady-clock nanoseconds). A change is told to this thread some time after
    // that read; its stamp, not its arrival, says which of our changes it followed.
    struct Side {
        std::array<bool, 4> level{};
        std::array<std::vector<int64_t>, 4> changes;
        bool known = false;  // a level was ever seen (the device server's, once it notified)
        // Line k changed at `ns`. A device server that notifies without end cannot grow the list
        // past kMaxChanges (far more than --toggles allows): the last entry then keeps the newest
        // stamp.
        static constexpr size_t kMaxChanges = 65536;
        void Note(int k, int64_t ns) {
            if (changes[k].size() < kMaxChanges)
                changes[k].push_back(ns);
            else
                changes[k].back() = ns;
        }
        // Line k changed at or after `ns`.
        bool ChangedSince(int k, int64_t ns) const {
            return !changes[k].empty() && changes[k].back() >= ns;
        }
    };
    LineFollowReport Drive(bool remote, bool dtr);
    // Sets one output line; the device's failure text, or empty.
    std::string Set(bool remote, bool dtr, bool on);
    // Runs the event loop until `done` holds, `ms` pass or the link goes; returns done().
    template <class Done>
    bool WaitUntil(Done done, int ms);
    void OnRemoteModem(const platform::ModemState& state, qint64 steadyNs);
    void OnSerialChange(const ModemLineChange& change);

    ModemLines& m_serial;
    NetConsole& m_net;
    int m_nToggles;
    int m_nWaitMs;
    Side m_remoteSide;  // what the device server notified
    Side m_serialSide;  // the serial port's inputs
    // The levels this check left the outputs at (the device server's start unknown).
    bool m_serialDtr = false, m_serialRts = false;
    bool m_linkLost = false;
    bool m_stopped = false;
    QEventLoop* m_loop = nullptr;  // the wait in progress
};
