#include "transfer/ScriptRunner.h"

#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <deque>
#include <map>
#include <optional>

#include "platform/PreciseTimer.h"
#include "transfer/TerminalEngine.h"

using platform::Stamp;

namespace {

constexpr size_t kBufferBytes = 1 << 20;      // what a match buffer keeps of what arrived
constexpr size_t kRegexWindow = 64 * 1024;    // what a regex searches of it
constexpr size_t kMaxFigures = 10000000;      // values kept per figures list
constexpr int kLinkCheckMs = 50;              // how often the links are checked while waiting
constexpr int kStepsPerTurn = 1000;           // steps run before the event loop gets a turn
constexpr int64_t kTurnNs = 5 * 1000 * 1000;  // ... or this long, whichever comes first
constexpr size_t kTailBytes = 64;             // received bytes shown for an unmet expectation

int64_t NowNs() {
    return Stamp::Now().steadyNs;
}

int Index(ScriptLink link) {
    return link == ScriptLink::Serial ? 0 : 1;
}

// Bytes received on one link, waiting to be matched, with the stamp of the read that delivered
// each chunk. Positions count bytes since the run started, so they survive consuming and
// trimming.
class MatchBuffer {
public:
    struct Hit {
        Stamp at;  // of the read that delivered the match's last byte
    };

    void Append(const std::string& bytes, const Stamp& at) {
        m_bytes += bytes;
        m_chunks.push_back({End(), at});
        if (End() - m_start > kBufferBytes)
            Consume(End() - kBufferBytes);  // the oldest go unmatched
    }

    // The first match of `match`, consumed up to its end (with what came before it).
    std::optional<Hit> Take(const ScriptMatch& match) {
        const std::string_view view = View();
        size_t from = 0;
        if (match.regex) {
            from = view.size() > kRegexWindow ? view.size() - kRegexWindow : 0;
        } else if (m_scannedFor == &match && m_scannedTo > m_start) {
            from = static_cast<size_t>(m_scannedTo - m_start);  // no match starts before it
        }
        const std::optional<size_t> end = match.FindEnd(view, from);
        if (!end) {
            if (!match.regex) {
                // A literal may still begin within its length less one byte of the end.
                m_scannedFor = &match;
                const size_t keep = std::min(view.size(), match.bytes.size() - 1);
                m_scannedTo = End() - keep;
            }
            return std::nullopt;
        }
        const uint64_t hitEnd = m_start + *end;
        Hit hit{m_chunks.back().at};
        for (const Chunk& c : m_chunks) {
            if (c.end >= hitEnd) {
                hit.at = c.at;
                break;
            }
        }
        Consume(hitEnd);
        return hit;
    }

    std::string_view View() const {
        return std::string_view(m_bytes).substr(static_cast<size_t>(m_start - m_base));
    }

private:
    struct Chunk {
        uint64_t end;  // position past the chunk's last byte
        Stamp at;
    };
    uint64_t End() const { return m_base + m_bytes.size(); }

    void Consume(uint64_t to) {
        m_start = to;
        m_scannedFor = nullptr;
        while (!m_chunks.empty() && m_chunks.front().end <= m_start)
            m_chunks.pop_front();
        // Consumed bytes leave in bulk, not one match at a time.
        if (m_start - m_base > m_bytes.size() / 2) {
            m_bytes.erase(0, static_cast<size_t>(m_start - m_base));
            m_base = m_start;
        }
    }

    std::string m_bytes;  // from position m_base
    uint64_t m_base = 0;
    uint64_t m_start = 0;  // the first byte not consumed
    std::deque<Chunk> m_chunks;
    const ScriptMatch* m_scannedFor = nullptr;  // the literal last searched for in vain ...
    uint64_t m_scannedTo = 0;                   // ... and where a match could still begin
};

std::string Describe(ScriptLink link, std::string_view bytes, int sinceLine) {
    const std::string name = ScriptLinkName(link);
    if (bytes.empty())
        return "nothing received on " + name +
               (sinceLine > 0 ? " since line " + std::to_string(sinceLine)
                              : std::string(" since the script started"));
    const std::string_view tail = bytes.substr(bytes.size() - std::min(bytes.size(), kTailBytes));
    static const char hex[] = "0123456789abcdef";
    std::string hexText, text;
    for (const char c : tail) {
        const auto b = static_cast<unsigned char>(c);
        if (!hexText.empty())
            hexText += ' ';
        hexText += hex[b >> 4];
        hexText += hex[b & 0x0F];
        text += b >= 0x20 && b <= 0x7E ? c : '.';
    }
    return "last " +
           (tail.size() == 1 ? std::string("byte") : std::to_string(tail.size()) + " bytes") +
           " received on " + name + ": " + hexText + " (" + text + ")";
}

template <class T>
void AddFigure(std::vector<T>& list, T value) {
    if (list.size() < kMaxFigures)
        list.push_back(value);
}

}  // namespace

// ---------------------------------------------------------------------------------------------

platform::Result EngineScriptLinks::Send(ScriptLink link, const std::string& bytes,
                                         platform::Stamp* sentAt) {
    if (bytes.size() > static_cast<size_t>(INT32_MAX))
        return platform::Result::Fail("The data is too long to send at once");
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const int count = static_cast<int>(bytes.size());
    // Both consoles report what they wrote to the traffic hub themselves; the stamp here is taken
    // just before the call, so it never comes after the write's own.
    *sentAt = Stamp::Now();
    if (link == ScriptLink::Serial)
        return m_engine.serial.SendBytes(data, count);
    // A client link whose device server closed it stays the console's link in use until the
    // user disconnects; a script must not write into it as if it were up.
    if (m_engine.net.FarEndClosed())
        return platform::Result::Fail("Can't send on the network link",
                                      "the device server closed the connection");
    return m_engine.net.SendBytes(data, count);
}

bool EngineScriptLinks::IsUp(ScriptLink link) const {
    return link == ScriptLink::Serial
               ? m_engine.serial.IsOpen()
               : m_engine.net.LinkInUse() != nullptr && !m_engine.net.FarEndClosed();
}

int64_t PercentileNs(std::vector<int64_t> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const double rank = std::ceil(p / 100.0 * static_cast<double>(values.size()));
    const auto at = static_cast<size_t>(std::clamp(rank - 1, 0.0, double(values.size() - 1)));
    return values[at];
}

namespace {

// The periods between consecutive starts of one run, or their distance from `everyNs`.
std::vector<int64_t> Periods(const RepeatFigures& r, bool jitter) {
    std::vector<int64_t> out;
    size_t nextRun = 0;
    for (size_t i = 0; i < r.startNs.size(); ++i) {
        bool first = i == 0;
        while (nextRun < r.runStarts.size() && r.runStarts[nextRun] <= i) {
            first = first || r.runStarts[nextRun] == i;
            ++nextRun;
        }
        if (first)
            continue;
        const int64_t period = r.startNs[i] - r.startNs[i - 1];
        out.push_back(jitter ? std::llabs(period - r.everyNs) : period);
    }
    return out;
}

}  // namespace

int64_t RepeatFigures::MeanPeriodNs() const {
    const std::vector<int64_t> periods = Periods(*this, false);
    if (periods.empty())
        return 0;
    long double sum = 0;
    for (const int64_t p : periods)
        sum += p;
    return static_cast<int64_t>(std::llround(sum / periods.size()));
}

int64_t RepeatFigures::P99JitterNs() const {
    return PercentileNs(Periods(*this, true), 99);
}

// ---------------------------------------------------------------------------------------------

struct ScriptRunner::Impl {
    Impl(ScriptRunner& runner, IScriptLinks& l) : q(runner), links(l) {}

    struct Chunk {
        ScriptLink link;
        Stamp at;
        std::string bytes;
    };
    // One block being run: the script itself, or a pass of a repeat.
    struct Frame {
        const std::vector<ScriptStep>* steps = nullptr;
        size_t next = 0;
        const ScriptStep* repeat = nullptr;  // null for the script itself
        int pass = 0;
        int64_t firstNs = 0;  // the first pass's start
        RepeatFigures* figures = nullptr;
    };
    // What the run waits for between turns of the event loop.
    enum class Waiting { Nothing, Turn, Wait, PassStart, Expect };

    ScriptRunner& q;
    IScriptLinks& links;

    // Shared with Traffic() on the link threads.
    std::mutex lock;
    std::vector<Chunk> pending;
    bool wakePending = false;
    std::atomic<bool> accepting{false};

    // The run, on the runner's thread.
    bool running = false;
    uint64_t generation = 0;  // each run (and each end) has its own: late calls see it changed
    Script script;
    ScriptOutcome outcome;
    Stamp start;
    Stamp latestSend;
    std::vector<Frame> frames;
    Waiting waiting = Waiting::Nothing;
    int currentLine = 0;
    const ScriptStep* expecting = nullptr;
    int64_t expectDeadlineNs = 0;
    bool uses[2] = {false, false};
    bool upAtStart[2] = {false, false};
    MatchBuffer linkBuffer[2];
    int sinceLine[2] = {0, 0};  // the line of the expectation that last met on the link
    std::vector<MatchBuffer> responderBuffers;
    std::multimap<int64_t, const ScriptResponder*> replies;  // due time -> responder
    std::map<int, ExpectFigures*> expectFigures;             // by line
    std::map<const ScriptStep*, RepeatFigures*> repeatFigures;

    platform::PreciseTimer stepTimer;
    platform::PreciseTimer replyTimer;
    QTimer linkCheck;

    void Collect(const std::vector<ScriptStep>& steps) {
        for (const ScriptStep& step : steps) {
            if (step.op == ScriptStep::Op::Send)
                uses[Index(step.send.link)] = true;
            if (step.op == ScriptStep::Op::Expect) {
                uses[Index(step.link)] = true;
                outcome.expects.push_back({step.line, step.link, step.match.written, 0, 0, {}});
            }
            if (step.op == ScriptStep::Op::Repeat) {
                if (step.everyNs > 0)
                    outcome.repeats.push_back({step.line, step.everyNs, {}, {}});
                Collect(step.body);
            }
        }
    }

    void Begin(const Script& s) {
        ++generation;
        script = s;
        outcome = {};
        uses[0] = uses[1] = false;
        Collect(script.steps);
        for (const ScriptResponder& r : script.responders)
            uses[Index(r.on)] = uses[Index(r.reply.link)] = true;
        auto byLine = [](const auto& a, const auto& b) { return a.line < b.line; };
        std::sort(outcome.expects.begin(), outcome.expects.end(), byLine);
        std::sort(outcome.repeats.begin(), outcome.repeats.end(), byLine);
        expectFigures.clear();
        for (ExpectFigures& e : outcome.expects)
            expectFigures[e.line] = &e;
        repeatFigures.clear();
        MapRepeats(script.steps);

        for (int i = 0; i < 2; ++i) {
            linkBuffer[i] = MatchBuffer();
            sinceLine[i] = 0;
            upAtStart[i] = links.IsUp(i == 0 ? ScriptLink::Serial : ScriptLink::Network);
        }
        responderBuffers.assign(script.responders.size(), MatchBuffer());
        replies.clear();
        frames.clear();
        frames.push_back(Frame{&script.steps});
        waiting = Waiting::Nothing;
        expecting = nullptr;
        currentLine = script.steps.empty() ? 0 : script.steps.front().line;
        start = Stamp::Now();
        latestSend = start;
        {
            std::lock_guard<std::mutex> guard(lock);
            pending.clear();
        }
        running = true;
        accepting.store(true, std::memory_order_release);
        linkCheck.start(kLinkCheckMs);
    }

    void MapRepeats(const std::vector<ScriptStep>& steps) {
        for (const ScriptStep& step : steps) {
            if (step.op != ScriptStep::Op::Repeat)
                continue;
            if (step.everyNs > 0) {
                for (RepeatFigures& r : outcome.repeats)
                    if (r.line == step.line)
                        repeatFigures[&step] = &r;
            }
            MapRepeats(step.body);
        }
    }

    std::string At(int line) const { return script.file + ":" + std::to_string(line) + ": "; }

    // Ends the run: nothing of it runs any more. Its outcome, figures so far included.
    ScriptOutcome Halt(ScriptOutcome::State state, int line, ScriptLink link,
                       std::vector<std::string> why) {
        running = false;
        accepting.store(false, std::memory_order_release);
        ++generation;
        stepTimer.Cancel();
        replyTimer.Cancel();
        linkCheck.stop();
        frames.clear();
        replies.clear();
        waiting = Waiting::Nothing;
        expecting = nullptr;
        ScriptOutcome out = std::move(outcome);
        outcome = {};
        out.state = state;
        out.line = line;
        out.link = link;
        out.why = std::move(why);
        out.elapsedNs = NowNs() - start.steadyNs;
        return out;
    }

    // Ends the run and tells it.
    void Finish(ScriptOutcome::State state, int line, ScriptLink link,
                std::vector<std::string> why) {
        const ScriptOutcome out = Halt(state, line, link, std::move(why));
        emit q.finished(out);
    }

    ScriptOutcome HaltStopped() {
        return Halt(ScriptOutcome::State::Stopped, currentLine, ScriptLink::Serial,
                    {At(currentLine) + "the script was stopped"});
    }

    // Sends one step's or responder's bytes; false when the send failed (and ended the run).
    bool Send(int line, const ScriptSend& send, bool step) {
        const std::string bytes = send.Wire();
        Stamp at = Stamp::Now();
        const platform::Result sent = links.Send(send.link, bytes, &at);
        if (!sent.ok) {
            std::vector<std::string> why{At(line) + sent.text};
            if (!sent.reason.empty())
                why.push_back(sent.reason);
            Finish(ScriptOutcome::State::LinkFailed, line, send.link, std::move(why));
            return false;
        }
        if (!bytes.empty())
            ++outcome.sends;
        if (step)
            latestSend = at;
        return true;
    }

    // False when a link the script uses is down (and the run ended).
    bool CheckLinks() {
        for (int i = 0; i < 2; ++i) {
            const ScriptLink link = i == 0 ? ScriptLink::Serial : ScriptLink::Network;
            if (!uses[i] || links.IsUp(link))
                continue;
            const char* what =
                link == ScriptLink::Serial
                    ? (upAtStart[i] ? "the serial port closed" : "the serial port is not open")
                    : (upAtStart[i] ? "the network link went down"
                                    : "the network link is not connected");
            Finish(ScriptOutcome::State::LinkFailed, currentLine, link, {At(currentLine) + what});
            return false;
        }
        return true;
    }

    void RecordPassStart(Frame& f, bool firstOfRun) {
        const int64_t now = NowNs();
        if (firstOfRun)
            f.firstNs = now;
        if (!f.figures)
            return;
        if (firstOfRun && f.figures->startNs.size() < kMaxFigures)
            f.figures->runStarts.push_back(f.figures->startNs.size());
        AddFigure(f.figures->startNs, now);
    }

    // The expectation under way met in what has arrived (and the run went on), or not yet.
    // False when the run ended.
    bool TryExpect() {
        const ScriptStep& step = *expecting;
        const int i = Index(step.link);
        const std::optional<MatchBuffer::Hit> hit = linkBuffer[i].Take(step.match);
        if (!hit)
            return true;
        if (hit->at.steadyNs > expectDeadlineNs) {
            Unmet();  // it came, but after the time-out
            return false;
        }
        ExpectFigures& figures = *expectFigures[step.line];
        ++figures.met;
        // Bytes that arrived before the latest send (an answer already waiting in the buffer)
        // took no time after it: they count as 0, never as a negative time.
        AddFigure(figures.responseNs, std::max<int64_t>(0, hit->at.steadyNs - latestSend.steadyNs));
        sinceLine[i] = step.line;
        expecting = nullptr;
        waiting = Waiting::Nothing;
        stepTimer.Cancel();
        frames.back().next++;
        return true;
    }

    void Unmet() {
        const ScriptStep& step = *expecting;
        const int i = Index(step.link);
        ++expectFigures[step.line]->missed;
        Finish(ScriptOutcome::State::Unmet, step.line, step.link,
               {At(step.line) + "expected " + step.match.written + " on " +
                    ScriptLinkName(step.link) + " within " + FormatDuration(step.timeoutNs),
                Describe(step.link, linkBuffer[i].View(), sinceLine[i])});
    }

    void PostTurn() {
        waiting = Waiting::Turn;
        const uint64_t gen = generation;
        QMetaObject::invokeMethod(
            &q,
            [this, gen] {
                if (gen == generation && running && waiting == Waiting::Turn) {
                    waiting = Waiting::Nothing;
                    Advance();
                }
            },
            Qt::QueuedConnection);
    }

    // Runs steps until one has to wait (or the run ends).
    void Advance() {
        const uint64_t gen = generation;
        const int64_t turnEnd = NowNs() + kTurnNs;
        for (int steps = 0; running && gen == generation; ++steps) {
            if (steps >= kStepsPerTurn || (steps % 64 == 63 && NowNs() > turnEnd)) {
                PostTurn();  // received bytes and Stop() get their turn
                return;
            }
            if (frames.empty()) {
                Finish(ScriptOutcome::State::Passed, 0, ScriptLink::Serial, {});
                return;
            }
            Frame& f = frames.back();
            if (f.next >= f.steps->size()) {
                if (!f.repeat) {
                    frames.pop_back();
                    continue;
                }
                if (++f.pass >= f.repeat->count) {
                    frames.pop_back();
                    frames.back().next++;
                    continue;
                }
                f.next = 0;
                if (f.repeat->everyNs > 0) {
                    // Pass k is due at the first start plus k periods: a late pass never moves
                    // the ones after it; one that overran its period starts at once.
                    const int64_t due = f.firstNs + f.pass * f.repeat->everyNs;
                    if (NowNs() < due) {
                        waiting = Waiting::PassStart;
                        currentLine = f.repeat->line;
                        stepTimer.ArmAt(due);
                        return;
                    }
                    RecordPassStart(f, false);
                }
                continue;
            }
            const ScriptStep& step = (*f.steps)[f.next];
            currentLine = step.line;
            emit q.stepStarted(step.line);
            if (!running || gen != generation)
                return;  // stopped (or restarted) by whoever was told
            switch (step.op) {
                case ScriptStep::Op::Send:
                    if (!Send(step.line, step.send, true))
                        return;
                    frames.back().next++;
                    break;
                case ScriptStep::Op::Wait:
                    if (step.durationNs <= 0) {
                        frames.back().next++;
                        break;
                    }
                    waiting = Waiting::Wait;
                    stepTimer.ArmAt(NowNs() + step.durationNs);
                    return;
                case ScriptStep::Op::Expect:
                    expecting = &step;
                    expectDeadlineNs = NowNs() + step.timeoutNs;
                    waiting = Waiting::Expect;
                    if (!TryExpect())
                        return;
                    if (waiting == Waiting::Expect) {
                        stepTimer.ArmAt(expectDeadlineNs);
                        return;
                    }
                    break;
                case ScriptStep::Op::Repeat: {
                    Frame inner{&step.body, 0, &step, 0, 0, nullptr};
                    if (auto it = repeatFigures.find(&step); it != repeatFigures.end())
                        inner.figures = it->second;
                    RecordPassStart(inner, true);
                    frames.push_back(inner);
                    break;
                }
            }
        }
    }

    void OnStepTimer() {
        if (!running)
            return;
        switch (waiting) {
            case Waiting::Wait:
                waiting = Waiting::Nothing;
                frames.back().next++;
                Advance();
                break;
            case Waiting::PassStart:
                waiting = Waiting::Nothing;
                RecordPassStart(frames.back(), false);
                Advance();
                break;
            case Waiting::Expect: {
                // What arrived up to now counts when it arrived in time.
                const uint64_t gen = generation;
                Drain(false);
                if (!running || gen != generation)
                    break;
                if (waiting == Waiting::Expect)
                    Unmet();
                else
                    Advance();
                break;
            }
            case Waiting::Nothing:
            case Waiting::Turn:
                break;
        }
    }

    void ArmReplies() {
        if (replies.empty())
            replyTimer.Cancel();
        else
            replyTimer.ArmAt(replies.begin()->first);
    }

    // False when the run ended.
    bool Reply(const ScriptResponder& r) {
        if (!Send(r.line, r.reply, false))
            return false;
        ++outcome.responses;
        return true;
    }

    void OnReplyTimer() {
        const uint64_t gen = generation;
        while (running && gen == generation && !replies.empty() &&
               replies.begin()->first <= NowNs()) {
            const ScriptResponder* r = replies.begin()->second;
            replies.erase(replies.begin());
            if (!Reply(*r))
                return;
        }
        if (running && gen == generation)
            ArmReplies();
    }

    // Takes in what the link threads queued: every responder answers what it matches, then the
    // expectation under way is checked (and the run goes on when it met, if `advance`).
    void Drain(bool advance = true) {
        std::vector<Chunk> chunks;
        {
            std::lock_guard<std::mutex> guard(lock);
            chunks.swap(pending);
            wakePending = false;
        }
        if (!running || chunks.empty())
            return;
        const uint64_t gen = generation;
        bool got[2] = {false, false};
        for (const Chunk& c : chunks) {
            if (c.at.steadyNs < start.steadyNs)
                continue;  // read before this run started
            const int i = Index(c.link);
            got[i] = true;
            linkBuffer[i].Append(c.bytes, c.at);
            for (size_t r = 0; r < script.responders.size(); ++r)
                if (script.responders[r].on == c.link)
                    responderBuffers[r].Append(c.bytes, c.at);
        }
        for (size_t r = 0; r < script.responders.size(); ++r) {
            const ScriptResponder& responder = script.responders[r];
            if (!got[Index(responder.on)])
                continue;
            while (auto hit = responderBuffers[r].Take(responder.match)) {
                if (responder.afterNs <= 0) {
                    if (!Reply(responder))
                        return;
                } else {
                    replies.emplace(hit->at.steadyNs + responder.afterNs, &responder);
                }
            }
        }
        if (!running || gen != generation)
            return;
        ArmReplies();
        if (!CheckLinks())
            return;
        if (waiting == Waiting::Expect && got[Index(expecting->link)]) {
            if (!TryExpect())
                return;
            if (waiting != Waiting::Expect && advance)
                Advance();
        }
    }
};

// ---------------------------------------------------------------------------------------------

ScriptRunner::ScriptRunner(IScriptLinks& links, QObject* parent)
    : QObject(parent), m(std::make_unique<Impl>(*this, links)) {
    connect(&m->stepTimer, &platform::PreciseTimer::fired, this, [this] { m->OnStepTimer(); });
    connect(&m->replyTimer, &platform::PreciseTimer::fired, this, [this] { m->OnReplyTimer(); });
    connect(&m->linkCheck, &QTimer::timeout, this, [this] {
        if (m->running)
            m->CheckLinks();
    });
}

ScriptRunner::~ScriptRunner() {
    m->accepting.store(false, std::memory_order_release);
    m->running = false;
    ++m->generation;
}

void ScriptRunner::Start(const Script& script) {
    if (m->running) {
        // The run under way ends as stopped; it is told after Start returns, like everything.
        const ScriptOutcome old = m->HaltStopped();
        QMetaObject::invokeMethod(
            this, [this, old] { emit finished(old); }, Qt::QueuedConnection);
    }
    m->Begin(script);
    const uint64_t gen = m->generation;
    QMetaObject::invokeMethod(
        this,
        [this, gen] {
            if (gen == m->generation && m->running && m->CheckLinks())
                m->Advance();
        },
        Qt::QueuedConnection);
}

void ScriptRunner::Stop() {
    if (!m->running)
        return;
    const ScriptOutcome out = m->HaltStopped();
    emit finished(out);
}

bool ScriptRunner::Running() const {
    return m->running;
}

void ScriptRunner::Traffic(platform::TrafficKind kind, const platform::Stamp& at,
                           const unsigned char* bytes, size_t n) {
    ScriptLink link;
    if (kind == platform::TrafficKind::SerialRx)
        link = ScriptLink::Serial;
    else if (kind == platform::TrafficKind::NetRx)
        link = ScriptLink::Network;
    else
        return;  // the runner stamps its own sends
    if (n == 0 || !m->accepting.load(std::memory_order_acquire))
        return;
    bool wake = false;
    {
        std::lock_guard<std::mutex> guard(m->lock);
        m->pending.push_back({link, at, std::string(reinterpret_cast<const char*>(bytes), n)});
        wake = !m->wakePending;
        m->wakePending = true;
    }
    // One wake-up for however many chunks queue before the runner's thread takes them.
    if (wake)
        QMetaObject::invokeMethod(
            this, [this] { m->Drain(); }, Qt::QueuedConnection);
}
