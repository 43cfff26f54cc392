// What the Commands window runs on the engine: a command repeated on a schedule, or a script
// file. Both go through one ScriptRunner over the engine's links, so a repeat keeps the same
// absolute schedule and reports the same figures as a script's `repeat N every P`. One run at a
// time; the texts it tells are what the window shows.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "app/SavedCommands.h"
#include "transfer/ScriptRunner.h"

class CTrafficGate;
class TerminalEngine;

class CCommandRuns : public QObject {
    Q_OBJECT
public:
    // The longest and shortest period a repeat takes, and the count that stands for "until
    // stopped" (at the shortest period, more than three weeks).
    static constexpr int64_t kMinEveryNs = 1'000'000;
    static constexpr int64_t kMaxEveryNs = 3'600'000'000'000;
    static constexpr int kUntilStopped = 2'000'000'000;

    // The engine must outlive this object.
    explicit CCommandRuns(TerminalEngine& engine, QObject* parent = nullptr);
    ~CCommandRuns() override;

    // Sends `command` `count` times, a send due every `everyNs` from the first; kUntilStopped
    // repeats until Stop. False (and finished() with the reason) when its link is not up.
    bool StartRepeat(const SavedCommand& command, int64_t everyNs, int count);
    // Runs `script` on both links, watching what they receive. False (and finished() with the
    // reason) when another measurement watches the received traffic already.
    bool StartScript(const Script& script);
    // Ends the run under way; finished() tells what it came to.
    void Stop();
    bool Running() const { return m_kind != Kind::None; }

signals:
    // While a run goes on, a few times a second: what it has done so far.
    void progress(const QString& text);
    // The run ended: how, and its figures (one or more lines).
    void finished(const QString& text);

private:
    enum class Kind { None, Repeat, Script };
    void OnStepStarted(int line);
    void OnFinished(const ScriptOutcome& outcome);
    void ShowProgress();
    // A link a repeat sends on may have gone down: ends the repeat when it has.
    void CheckRepeatLink();
    QString RepeatOutcome(const ScriptOutcome& outcome) const;
    QString ScriptOutcomeText(const ScriptOutcome& outcome) const;

    TerminalEngine& m_engine;
    EngineScriptLinks m_links;
    std::unique_ptr<ScriptRunner> m_runner;
    CTrafficGate* m_gate = nullptr;  // what the engine's hub calls while a script runs
    QTimer m_progress;
    Kind m_kind = Kind::None;
    bool m_hooked = false;      // the runner watches the engine's received traffic
    bool m_linkClosed = false;  // the repeat's link went down while it ran
    std::string m_file;         // the script's file
    int m_line = 0;             // the step the script is at
    // The repeat: its command's name and link, sends started, and the latest starts for the
    // live jitter (the whole run's figures come with the outcome).
    std::string m_name;
    ScriptLink m_link = ScriptLink::Serial;
    int64_t m_everyNs = 0;
    int64_t m_started = 0;
    int64_t m_firstNs = 0;
    std::deque<int64_t> m_recent;
};

// A period or a time in milliseconds, with three decimals, more when it is below a microsecond
// and not zero (a figure is never shown rounded to zero): "1.000 ms", "0.043 ms", "0.0004 ms".
QString FormatMs(int64_t ns);
// "1000 sent, mean period 1.000 ms, p99 jitter 0.043 ms"; just "N sent" with fewer than two.
QString RepeatFiguresText(int64_t sent, const RepeatFigures& figures);
