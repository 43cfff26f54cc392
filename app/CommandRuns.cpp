#include "app/CommandRuns.h"

#include <QStringList>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "transfer/TerminalEngine.h"

namespace {

// The live jitter is taken over this many latest periods (the outcome has them all).
constexpr size_t kRecentStarts = 10001;
constexpr int kProgressMs = 250;

int64_t SteadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Why a link cannot take a repeat's sends: it went down while the repeat ran, or was not up.
QString LinkDownText(ScriptLink link, bool closed) {
    if (link == ScriptLink::Serial)
        return closed ? QStringLiteral("the serial port closed.")
                      : QStringLiteral("the serial port is not open.");
    return closed ? QStringLiteral("the network link closed.")
                  : QStringLiteral("the network link is not connected.");
}

QString Sends(int64_t n) {
    return QStringLiteral("%1 send%2").arg(n).arg(n == 1 ? "" : "s");
}

// ", mean period X, p99 jitter Y"; nothing with fewer than two starts (no period yet).
QString PeriodText(const RepeatFigures& figures) {
    if (figures.startNs.size() < 2)
        return {};
    return QStringLiteral(", mean period %1, p99 jitter %2")
        .arg(FormatMs(figures.MeanPeriodNs()), FormatMs(figures.P99JitterNs()));
}

QString ExpectText(const ExpectFigures& e) {
    QString text =
        QStringLiteral("line %1, expect on %2 %3: %4 met")
            .arg(e.line)
            .arg(QString::fromLatin1(ScriptLinkName(e.link)), QString::fromStdString(e.written))
            .arg(e.met);
    if (e.missed > 0)
        text += QStringLiteral(", %1 missed").arg(e.missed);
    if (!e.responseNs.empty()) {
        const int64_t max = *std::max_element(e.responseNs.begin(), e.responseNs.end());
        text += QStringLiteral(", p50 %1, p99 %2, max %3")
                    .arg(FormatMs(PercentileNs(e.responseNs, 50)),
                         FormatMs(PercentileNs(e.responseNs, 99)), FormatMs(max));
    }
    return text;
}

}  // namespace

// Hands the links' received chunks to a runner while it is attached. The engine's hub may still
// call it just after an unhook (a link thread that read the hub's pointer before), so it belongs
// to the engine: a child object, deleted after every part of the engine, the retirer that ends
// the link threads among them. Detach waits for a call under way, so the runner may go at once.
class CTrafficGate : public QObject, public platform::ITrafficObserver {
public:
    CTrafficGate(ScriptRunner* runner, QObject* engine) : QObject(engine), m_runner(runner) {}
    void Traffic(platform::TrafficKind kind, const platform::Stamp& at, const unsigned char* bytes,
                 size_t n) override {
        std::lock_guard g(m_lock);
        if (m_runner)
            m_runner->Traffic(kind, at, bytes, n);
    }
    void Detach() {
        std::lock_guard g(m_lock);
        m_runner = nullptr;
    }

private:
    std::mutex m_lock;
    ScriptRunner* m_runner;
};

QString FormatMs(int64_t ns) {
    int decimals = 3;
    for (int64_t limit = 1000; ns != 0 && std::llabs(ns) < limit && decimals < 6; limit /= 10)
        ++decimals;
    return QString::number(static_cast<double>(ns) / 1e6, 'f', decimals) + QStringLiteral(" ms");
}

QString RepeatFiguresText(int64_t sent, const RepeatFigures& figures) {
    return QStringLiteral("%1 sent").arg(sent) + PeriodText(figures);
}

CCommandRuns::CCommandRuns(TerminalEngine& engine, QObject* parent)
    : QObject(parent),
      m_engine(engine),
      m_links(engine),
      m_runner(std::make_unique<ScriptRunner>(m_links)),
      m_gate(new CTrafficGate(m_runner.get(), &engine)) {
    connect(m_runner.get(), &ScriptRunner::stepStarted, this, &CCommandRuns::OnStepStarted);
    connect(m_runner.get(), &ScriptRunner::finished, this, &CCommandRuns::OnFinished);
    m_progress.setInterval(kProgressMs);
    connect(&m_progress, &QTimer::timeout, this, &CCommandRuns::ShowProgress);
    // A link goes down in steps (told before it closes, or as it goes): look once they are done.
    auto check = [this] { QTimer::singleShot(0, this, &CCommandRuns::CheckRepeatLink); };
    connect(&engine.serial, &SerialConsole::aboutToClose, this, check);
    connect(&engine.serial, &SerialConsole::portLost, this, check);
    connect(&engine.net, &NetConsole::farEndClosed, this, check);
    connect(&engine.net, &NetConsole::peerGone, this, check);
    connect(&engine.net, &NetConsole::linkGoing, this, check);
}

CCommandRuns::~CCommandRuns() {
    // What the run comes to is no one's business any more; the engine must not keep the runner.
    disconnect(m_runner.get(), nullptr, this, nullptr);
    m_runner->Stop();
    if (m_hooked)
        m_engine.traffic.UnhookMeasure(m_gate);
    m_gate->Detach();
}

bool CCommandRuns::StartRepeat(const SavedCommand& command, int64_t everyNs, int count) {
    Stop();
    if (!m_links.IsUp(command.link)) {
        emit finished(QStringLiteral("Repeat not started: ") + LinkDownText(command.link, false));
        return false;
    }
    ScriptStep repeat;
    repeat.op = ScriptStep::Op::Repeat;
    repeat.line = 1;
    repeat.count = count;
    repeat.everyNs = everyNs;
    ScriptStep send;
    send.op = ScriptStep::Op::Send;
    send.line = 2;
    // The wire bytes as they are: the checksum goes before the ending, which a script's send
    // step (its checksum after all its data) cannot say.
    send.send = {command.link, command.Wire(), std::nullopt};
    repeat.body.push_back(std::move(send));
    Script script;
    script.file = command.name;
    script.steps.push_back(std::move(repeat));

    m_kind = Kind::Repeat;
    m_name = command.name;
    m_link = command.link;
    m_everyNs = everyNs;
    m_started = 0;
    m_firstNs = 0;
    m_recent.clear();
    m_linkClosed = false;
    m_runner->Start(script);
    m_progress.start();
    ShowProgress();
    return true;
}

bool CCommandRuns::StartScript(const Script& script) {
    Stop();
    if (!m_engine.traffic.HookMeasure(m_gate)) {
        emit finished(QStringLiteral(
            "The script was not run: another measurement is watching the received traffic. "
            "End it, then run the script again."));
        return false;
    }
    m_hooked = true;
    m_kind = Kind::Script;
    m_file = script.file;
    m_line = 0;
    m_runner->Start(script);
    m_progress.start();
    ShowProgress();
    return true;
}

void CCommandRuns::Stop() {
    if (m_runner->Running())
        m_runner->Stop();
}

void CCommandRuns::OnStepStarted(int line) {
    m_line = line;
    if (m_kind != Kind::Repeat || line != 2)
        return;
    const int64_t now = SteadyNowNs();
    if (m_started++ == 0)
        m_firstNs = now;
    m_recent.push_back(now);
    if (m_recent.size() > kRecentStarts)
        m_recent.pop_front();
}

void CCommandRuns::ShowProgress() {
    if (m_kind == Kind::Script) {
        emit progress(
            QStringLiteral("Running %1: line %2").arg(QString::fromStdString(m_file)).arg(m_line));
        return;
    }
    if (m_kind != Kind::Repeat)
        return;
    RepeatFigures recent;
    recent.everyNs = m_everyNs;
    recent.startNs.assign(m_recent.begin(), m_recent.end());
    QString text =
        QStringLiteral("Repeating \"%1\" on %2: %3 sent")
            .arg(QString::fromStdString(m_name), QString::fromLatin1(ScriptLinkName(m_link)))
            .arg(m_started);
    if (m_started >= 2)
        text += QStringLiteral(", mean period %1, p99 jitter %2")
                    .arg(FormatMs((m_recent.back() - m_firstNs) / (m_started - 1)),
                         FormatMs(recent.P99JitterNs()));
    emit progress(text);
}

void CCommandRuns::CheckRepeatLink() {
    if (m_kind == Kind::Repeat && !m_links.IsUp(m_link)) {
        m_linkClosed = true;
        m_runner->Stop();
    }
}

void CCommandRuns::OnFinished(const ScriptOutcome& outcome) {
    m_progress.stop();
    if (m_hooked) {
        m_engine.traffic.UnhookMeasure(m_gate);
        m_hooked = false;
    }
    const Kind kind = m_kind;
    m_kind = Kind::None;
    if (kind == Kind::Repeat)
        emit finished(RepeatOutcome(outcome));
    else if (kind == Kind::Script)
        emit finished(ScriptOutcomeText(outcome));
}

QString CCommandRuns::RepeatOutcome(const ScriptOutcome& outcome) const {
    const RepeatFigures figures = outcome.repeats.empty() ? RepeatFigures{} : outcome.repeats[0];
    const QString text = RepeatFiguresText(outcome.sends, figures);
    const bool linkDown = m_linkClosed || !m_links.IsUp(m_link);
    if (outcome.state == ScriptOutcome::State::Passed ||
        outcome.state == ScriptOutcome::State::Unmet)
        return text;
    if (outcome.state == ScriptOutcome::State::Stopped && !m_linkClosed)
        return QStringLiteral("Stopped: ") + text;
    QString why = linkDown || outcome.why.empty() ? LinkDownText(m_link, true)
                                                  : QString::fromStdString(outcome.why.front());
    return QStringLiteral("Repeat stopped after %1: %2\n%3").arg(Sends(outcome.sends), why, text);
}

QString CCommandRuns::ScriptOutcomeText(const ScriptOutcome& outcome) const {
    QStringList lines;
    const QString file = QString::fromStdString(m_file);
    switch (outcome.state) {
        case ScriptOutcome::State::Passed:
            lines << QStringLiteral("%1 passed: %2 in %3")
                             .arg(file, Sends(outcome.sends), FormatMs(outcome.elapsedNs)) +
                         (outcome.responses > 0
                              ? QStringLiteral(" (%1 of them by responders)").arg(outcome.responses)
                              : QString());
            break;
        case ScriptOutcome::State::Unmet:
            lines << QStringLiteral("%1 failed: an expectation was not met").arg(file);
            break;
        case ScriptOutcome::State::LinkFailed:
            lines << QStringLiteral("%1 failed: a link failed").arg(file);
            break;
        case ScriptOutcome::State::Stopped:
            lines << QStringLiteral("%1 stopped at line %2").arg(file).arg(outcome.line);
            break;
    }
    for (const std::string& why : outcome.why)
        lines << QString::fromStdString(why);
    for (const ExpectFigures& e : outcome.expects)
        lines << ExpectText(e);
    for (const RepeatFigures& r : outcome.repeats)
        lines << QStringLiteral("line %1, repeat every %2: %3 pass%4")
                         .arg(r.line)
                         .arg(QString::fromStdString(FormatDuration(r.everyNs)))
                         .arg(r.startNs.size())
                         .arg(r.startNs.size() == 1 ? "" : "es") +
                     PeriodText(r);
    return lines.join(QLatin1Char('\n'));
}
