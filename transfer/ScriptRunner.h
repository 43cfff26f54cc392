// Runs a script on two links, on the thread's Qt event loop (never sleeping, never blocking the
// thread for longer than one send): sends, waits for expectations within their time-outs,
// repeats blocks on an absolute schedule (a repeat's k-th start is due at its first start plus
// k periods, so lateness never accumulates), and keeps its responders answering for the whole
// run. Every expectation's response time is measured on one clock: from the stamp of the latest
// send step before it (taken just before the write; the run's start when no step has sent yet)
// to the stamp of the read that delivered the last byte of the match. A responder's reply is not
// a send step: it does not restart that clock.
//
// Received bytes: an expectation looks at what arrived on its link since the previous
// expectation on that link met (or since the run started), and consumes it up to the end of its
// match; each responder keeps a buffer of its own over the same bytes. Each buffer keeps at most
// the last 1 MiB, and a regex searches its last 64 KiB (regex matching costs far more per byte
// than finding a literal).
#pragma once

#include <QObject>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Result.h"
#include "platform/Traffic.h"
#include "transfer/Script.h"

class TerminalEngine;

// Where a script's bytes go. Called on the runner's thread.
class IScriptLinks {
public:
    virtual ~IScriptLinks() = default;
    // Sends `bytes` on `link` now; *sentAt is the stamp taken just before the write. A link that
    // is not up, or does not take every byte, fails with the user's text and the OS's reason.
    virtual platform::Result Send(ScriptLink link, const std::string& bytes,
                                  platform::Stamp* sentAt) = 0;
    virtual bool IsUp(ScriptLink link) const = 0;
};

// The links of a terminal engine: its serial console's port and its network console's link in
// use (Telnet-framed on an RFC 2217 link). Received bytes reach the runner through the engine's
// traffic hub (see ScriptRunner::Traffic).
class EngineScriptLinks : public IScriptLinks {
public:
    explicit EngineScriptLinks(TerminalEngine& engine) : m_engine(engine) {}
    platform::Result Send(ScriptLink link, const std::string& bytes,
                          platform::Stamp* sentAt) override;
    bool IsUp(ScriptLink link) const override;

private:
    TerminalEngine& m_engine;
};

// Figures of one expectation line over every time it ran (a repeat runs it many times).
struct ExpectFigures {
    int line = 0;
    ScriptLink link = ScriptLink::Serial;
    std::string written;  // what it waits for, as the script wrote it
    int met = 0;
    int missed = 0;                   // 0 or 1: the script ends at the first miss
    std::vector<int64_t> responseNs;  // one per met time, in order (the first 10 000 000)
};

// Figures of one `repeat ... every` line: when each pass started against its schedule.
struct RepeatFigures {
    int line = 0;
    int64_t everyNs = 0;
    std::vector<int64_t> startNs;   // steady-clock start of each pass, in order (over every time
                                    // the repeat itself ran; the first 10 000 000)
    std::vector<size_t> runStarts;  // index in startNs of each time the repeat itself began
    // Mean of the periods between consecutive starts of one run of the repeat (the gap between
    // one run's last pass and the next run's first is no period); 0 without any period.
    int64_t MeanPeriodNs() const;
    // The 99th percentile of |period - everyNs| over those periods.
    int64_t P99JitterNs() const;
};

struct ScriptOutcome {
    enum class State {
        Passed,      // every step ran and every expectation was met
        Unmet,       // an expectation was not met in time (the script stopped there)
        LinkFailed,  // a send failed, or a link the script uses went down
        Stopped,     // Stop() ended it
    };
    State state = State::Passed;
    // When not passed: the line it stopped at, and what went wrong, one or more lines:
    //   "script.vsk:12: expected \"OK\\r\\n\" on network within 500ms"
    //   "last 3 bytes received on network: 41 54 0d (AT.)"  (at most the last 64 bytes of what
    //   the expectation looked at, or "nothing received on network since line 7" / "... since
    //   the script started")
    // A send that failed: "script.vsk:3: " and the failure's text, then its reason when it has
    // one. A link that went down: "script.vsk:9: the network link went down" ("the serial port
    // closed"; "the network link is not connected" / "the serial port is not open" when it was
    // not up when the run started). Stop(): "script.vsk:9: the script was stopped".
    int line = 0;
    ScriptLink link = ScriptLink::Serial;
    std::vector<std::string> why;
    std::vector<ExpectFigures> expects;  // in line order, every expectation line of the script
    std::vector<RepeatFigures> repeats;  // in line order, every repeat with `every`
    int64_t sends = 0;                   // bytes-carrying sends, steps and responders
    int64_t responses = 0;               // responder answers sent
    int64_t elapsedNs = 0;
};

// Percentiles of a list of nanosecond values (nearest rank: the value at ceil(p/100 * n) - 1
// when sorted); 0 for an empty list.
int64_t PercentileNs(std::vector<int64_t> values, double p);

class ScriptRunner : public QObject, public platform::ITrafficObserver {
    Q_OBJECT
public:
    // `links` must outlive the runner; the runner is made and used on one thread. Its owner
    // hooks it to the engine's traffic hub (TrafficHub::SetMeasure) and must unhook it, with no
    // Traffic call under way, before destroying it: a link thread must never reach a runner that
    // is gone. Destroying a running runner ends its run without telling finished().
    explicit ScriptRunner(IScriptLinks& links, QObject* parent = nullptr);
    ~ScriptRunner() override;

    // Starts `script` at once; finished() follows (never before Start returns). A run under way
    // is stopped first (its finished() is told, as Stopped, also after Start returns, before
    // anything of the new run). A link the script uses that is not up ends the run at once.
    void Start(const Script& script);
    // Ends the run under way: finished() with State::Stopped and the figures so far.
    void Stop();
    bool Running() const;

    // Any thread: a chunk that crossed a link. Received chunks (SerialRx, NetRx) are queued for
    // the runner's thread under a lock; sent chunks are ignored (the runner stamps its own).
    void Traffic(platform::TrafficKind kind, const platform::Stamp& at, const unsigned char* bytes,
                 size_t n) override;

signals:
    // The step at `line` is starting (for a progress line; told for every step of every pass).
    void stepStarted(int line);
    void finished(const ScriptOutcome& outcome);

private:
    struct Impl;
    std::unique_ptr<Impl> m;
};

Q_DECLARE_METATYPE(ScriptOutcome)
