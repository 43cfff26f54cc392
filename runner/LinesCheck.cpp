#include "runner/LinesCheck.h"

#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>

#include "runner/Config.h"

namespace {

int64_t SteadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string Ms(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", ms);
    return text;
}

}  // namespace

double LineFollowReport::P50Ms() const {
    if (delaysMs.empty())
        return 0;
    std::vector<double> sorted = delaysMs;
    std::sort(sorted.begin(), sorted.end());
    const size_t n = sorted.size();
    return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
}

double LineFollowReport::MaxMs() const {
    return delaysMs.empty() ? 0 : *std::max_element(delaysMs.begin(), delaysMs.end());
}

std::string LineFollowReport::Mapping() const {
    std::string text = (remote ? "remote " : "") + driven + " ->";
    if (followers.empty())
        return text + " nothing";
    if (!remote)
        text += " remote";
    for (ModemLine line : followers)
        text += std::string(" ") + ModemLineName(line);
    return text;
}

std::string LineFollowReport::Summary() const {
    std::string text = Mapping() + ": " + std::to_string(seen) + " of " +
                       CountOf(toggles, "change", "changes") + " seen";
    if (!delaysMs.empty())
        text += ", delay p50 " + Ms(P50Ms()) + " ms, max " + Ms(MaxMs()) + " ms";
    if (!error.empty())
        text += " (" + error + ")";
    return text;
}

bool LinesReport::Ok() const {
    return !linkLost && !lines.empty() &&
           std::all_of(lines.begin(), lines.end(),
                       [](const LineFollowReport& l) { return l.Ok(); });
}

LinesCheck::LinesCheck(ModemLines& serial, NetConsole& net, int toggles, int waitMs)
    : m_serial(serial), m_net(net), m_nToggles(toggles), m_nWaitMs(waitMs) {
    const platform::ModemState& now = m_serial.Lines();
    for (ModemLine line : platform::kModemInputs)
        m_serialSide.level[static_cast<int>(line)] = now.Level(line);
    m_serialSide.known = true;
    m_serialDtr = now.dtr;
    m_serialRts = now.rts;
    if (const ComPortClient* client = m_net.ComPort()) {
        if (const auto last = client->LastModemState()) {
            for (ModemLine line : platform::kModemInputs)
                m_remoteSide.level[static_cast<int>(line)] = last->Level(line);
            m_remoteSide.known = true;
        }
    }
    // Connected before any wait's own handlers, so that a wait sees the levels already updated.
    connect(&m_net, &NetConsole::remoteModemState, this, &LinesCheck::OnRemoteModem);
    connect(&m_serial, &ModemLines::lineChanged, this, &LinesCheck::OnSerialChange);
    connect(&m_net, &NetConsole::farEndClosed, this, [this] { m_linkLost = true; });
    connect(&m_net, &NetConsole::peerGone, this, [this] { m_linkLost = true; });
}

void LinesCheck::OnRemoteModem(const platform::ModemState& state, qint64 steadyNs) {
    for (ModemLine line : platform::kModemInputs) {
        const int i = static_cast<int>(line);
        const bool level = state.Level(line);
        // A delta bit tells a change even where the level is the one known: the line went and
        // came back between two notifications (or one notification was lost). Before the first
        // notification the levels are unknown, and only a delta bit tells a change.
        const bool changed =
            state.Changed(line) || (m_remoteSide.known && level != m_remoteSide.level[i]);
        m_remoteSide.level[i] = level;
        if (changed)
            m_remoteSide.Note(i, steadyNs);
    }
    m_remoteSide.known = true;
}

void LinesCheck::OnSerialChange(const ModemLineChange& change) {
    const int i = static_cast<int>(change.line);
    m_serialSide.level[i] = change.on;
    m_serialSide.Note(i, change.steadyNs);
}

void LinesCheck::Stop() {
    m_stopped = true;
    if (m_loop)
        m_loop->quit();
}

template <class Done>
bool LinesCheck::WaitUntil(Done done, int ms) {
    if (done() || m_linkLost || m_stopped)
        return done();
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    const auto check = [&] {
        if (done() || m_linkLost)
            loop.quit();
    };
    connect(&m_net, &NetConsole::remoteModemState, &loop, check);
    connect(&m_serial, &ModemLines::lineChanged, &loop, check);
    connect(&m_net, &NetConsole::farEndClosed, &loop, &QEventLoop::quit);
    connect(&m_net, &NetConsole::peerGone, &loop, &QEventLoop::quit);
    deadline.start(ms);
    m_loop = &loop;
    loop.exec();
    m_loop = nullptr;
    return done();
}

std::string LinesCheck::Set(bool remote, bool dtr, bool on) {
    platform::Result r;
    if (remote) {
        r = dtr ? m_net.SetRemoteDtr(on) : m_net.SetRemoteRts(on);
    } else {
        r = dtr ? m_serial.SetDtr(on) : m_serial.SetRts(on);
        if (r)
            (dtr ? m_serialDtr : m_serialRts) = on;
    }
    if (r)
        return {};
    return r.reason.empty() ? r.text : r.text + ": " + r.reason;
}

LineFollowReport LinesCheck::Drive(bool remote, bool dtr) {
    LineFollowReport report;
    report.remote = remote;
    report.driven = dtr ? "DTR" : "RTS";
    report.toggles = m_nToggles;
    // A change of the serial side's line shows in the device server's notifications, and the
    // other way round.
    Side& side = remote ? m_serialSide : m_remoteSide;
    bool level = dtr ? m_serialDtr : m_serialRts;
    if (remote) {
        // The device server's level is not known: set it low first, untimed, and let whatever
        // that moves settle before the first timed change.
        if (std::string error = Set(remote, dtr, false); !error.empty()) {
            report.error = error;
            return report;
        }
        const std::array<bool, 4> before = side.level;
        WaitUntil([&] { return side.level != before; }, m_nWaitMs / 4);
        level = false;
    }
    const bool start = level;
    // When each change was made; change w's window runs from its start to the next one's (the
    // last one stays open). A change of an input goes to the window its stamp falls in, however
    // late it was told.
    std::vector<int64_t> starts;
    const auto firstIn = [&](size_t w, int k) -> int64_t {
        const int64_t end = w + 1 < starts.size() ? starts[w + 1] : INT64_MAX;
        for (int64_t ns : side.changes[k])
            if (ns >= starts[w] && ns < end)
                return ns;
        return -1;
    };
    // The lines that follow, judged on the first `windows` changes: each moved with at least
    // half of them (one that moved once by chance does not count).
    const auto followers = [&](size_t windows) {
        std::vector<int> lines;
        for (int k = 0; k < 4; ++k) {
            size_t moved = 0;
            for (size_t w = 0; w < windows; ++w)
                moved += firstIn(w, k) >= 0;
            if (moved > 0 && 2 * moved >= windows)
                lines.push_back(k);
        }
        return lines;
    };
    const auto allMovedSince = [&](const std::vector<int>& lines, int64_t t0) {
        return [&side, lines, t0] {
            return std::all_of(lines.begin(), lines.end(),
                               [&](int k) { return side.ChangedSince(k, t0); });
        };
    };
    for (int i = 0; i < m_nToggles && !m_linkLost && !m_stopped; ++i) {
        level = !level;
        const int64_t t0 = SteadyNs();
        if (std::string error = Set(remote, dtr, level); !error.empty()) {
            report.error = error;
            level = !level;
            break;
        }
        starts.push_back(t0);
        if (i == 0) {
            // When nothing follows the first change, the others are not made: they would only
            // take their time to show nothing.
            const auto any = [&] {
                for (int k = 0; k < 4; ++k)
                    if (side.ChangedSince(k, t0))
                        return true;
                return false;
            };
            if (!WaitUntil(any, m_nWaitMs))
                break;
            WaitUntil([] { return false; }, LINE_FOLLOWER_GRACE_MS);
        } else {
            // Time until every line that followed so far has moved again.
            WaitUntil(allMovedSince(followers(starts.size() - 1), t0), m_nWaitMs);
        }
    }
    // The last change's stragglers.
    if (!starts.empty() && !m_linkLost && !m_stopped)
        WaitUntil(allMovedSince(followers(starts.size()), starts.back()), m_nWaitMs);
    for (int k : followers(starts.size()))
        report.followers.push_back(platform::kModemInputs[k]);
    for (size_t w = 0; w < starts.size() && !report.followers.empty(); ++w) {
        int64_t last = starts[w];
        bool all = true;
        for (ModemLine line : report.followers) {
            const int64_t ns = firstIn(w, static_cast<int>(line));
            all = all && ns >= 0;
            last = std::max(last, ns);
        }
        if (!all)
            continue;
        report.delaysMs.push_back(static_cast<double>(last - starts[w]) / 1e6);
        ++report.seen;
    }
    // The line goes back to where the test found it (the serial side) or left it low.
    if (level != start && !m_linkLost)
        Set(remote, dtr, start);
    return report;
}

LinesReport LinesCheck::Run() {
    LinesReport report;
    // The device server tells its lines' levels when the notifications are asked; without that
    // first look, only the delta bits of later notifications tell what changed.
    WaitUntil([this] { return m_remoteSide.known; }, m_nWaitMs / 4);
    for (bool remote : {false, true}) {
        for (bool dtr : {true, false}) {
            if (m_linkLost || m_stopped)
                break;
            report.lines.push_back(Drive(remote, dtr));
        }
    }
    report.linkLost = m_linkLost;
    return report;
}
