#include "runner/Latency.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QTimer>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "net/LinkSocket.h"
#include "runner/Progress.h"
#include "transfer/PassVerdict.h"
#include "transfer/TerminalEngine.h"

namespace {

using platform::TrafficKind;

constexpr int64_t NS_PER_MS = 1000000;
// After the last frame the run waits for stragglers: at least this long, or ten times the
// largest latency seen, but never longer than the cap.
constexpr int64_t STRAGGLER_WAIT_MIN_MS = 1000;
constexpr int64_t STRAGGLER_WAIT_MAX_MS = 10000;
// With every frame in, a little longer for a late repeat: three times the largest latency seen,
// at least this long.
constexpr int64_t SETTLE_MIN_MS = 50;
// How long a frame may wait for room on the serial port (flow control holding it).
constexpr int SERIAL_FRAME_WRITE_MS = 1000;

uint64_t Mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Check byte `pos` (counted from the frame's start) of frame `seq` of run `key`.
unsigned char CheckByte(uint32_t key, uint32_t seq, size_t pos) {
    const uint64_t word = Mix((static_cast<uint64_t>(key) << 32 | seq) ^ Mix(pos / 8));
    return static_cast<unsigned char>(word >> (8 * (pos % 8)));
}

// "1 frame", "3 frames".
std::string Count(int64_t n, const char* noun) {
    return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

std::string Ms(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", ms);
    return text;
}

// "1", "2.5": the limit as the user wrote it, without trailing zeros.
std::string Limit(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", ms);
    return text;
}

QJsonObject PercentilesJson(const Percentiles& p) {
    return QJsonObject{{"p50", p.p50}, {"p90", p.p90}, {"p99", p.p99}, {"max", p.max}};
}

TrafficKind TxKind(PassDirection d) {
    return d == PassDirection::SerialToNet ? TrafficKind::SerialTx : TrafficKind::NetTx;
}
TrafficKind RxKind(PassDirection d) {
    return d == PassDirection::SerialToNet ? TrafficKind::NetRx : TrafficKind::SerialRx;
}

int64_t NowNs() {
    return platform::Stamp::Now().steadyNs;
}

}  // namespace

void MakeLatencyFrame(uint32_t runKey, uint32_t seq, unsigned char* out, size_t size) {
    out[0] = LATENCY_FRAME_MARKER;
    for (int i = 0; i < 4; ++i)
        out[1 + i] = static_cast<unsigned char>(seq >> (8 * i));
    for (size_t pos = 5; pos < size; ++pos)
        out[pos] = CheckByte(runKey, seq, pos);
}

bool ReadLatencyFrame(uint32_t runKey, const unsigned char* p, size_t size, uint32_t* seq) {
    if (size < LATENCY_MIN_FRAME_SIZE || p[0] != LATENCY_FRAME_MARKER)
        return false;
    uint32_t s = 0;
    for (int i = 0; i < 4; ++i)
        s |= static_cast<uint32_t>(p[1 + i]) << (8 * i);
    for (size_t pos = 5; pos < size; ++pos)
        if (p[pos] != CheckByte(runKey, s, pos))
            return false;
    *seq = s;
    return true;
}

Percentiles PercentilesOf(const std::vector<double>& sorted) {
    Percentiles p;
    if (sorted.empty())
        return p;
    auto rank = [&sorted](double q) {
        const size_t i = static_cast<size_t>(std::ceil(q * static_cast<double>(sorted.size())));
        return sorted[std::clamp<size_t>(i, 1, sorted.size()) - 1];
    };
    p.p50 = rank(0.50);
    p.p90 = rank(0.90);
    p.p99 = rank(0.99);
    p.max = sorted.back();
    return p;
}

int LatencyExitCode(const LatencyFigures& f) {
    if (f.received == 0 && f.bytesRead == 0)
        return EXIT_TIMEOUT;
    if (f.lost > 0 || f.corrupted > 0 || f.received < f.planned || f.strayBytes > 0 ||
        f.negative > 0)
        return EXIT_MISMATCH;
    if (f.maxLatencyMs >= 0 && f.latency.p99 > f.maxLatencyMs)
        return EXIT_MISMATCH;
    return EXIT_VERIFIED;
}

std::string LatencyResultWord(const LatencyFigures& f) {
    switch (LatencyExitCode(f)) {
        case EXIT_VERIFIED:
            return "verified";
        case EXIT_TIMEOUT:
            return "timeout";
        default:
            if (f.lost > 0 || f.corrupted > 0 || f.received < f.planned)
                return "lost";
            if (f.strayBytes > 0)
                return "stray";
            if (f.negative > 0)
                return "invalid";
            return "slow";
    }
}

std::string LatencyMessage(const LatencyFigures& f) {
    const std::string frames =
        std::to_string(f.received) + " of " + std::to_string(f.planned) + " frames";
    if (f.received == 0)
        return "Latency : no frame arrived, " + frames;
    return "Latency : p50 " + Ms(f.latency.p50) + " ms, p99 " + Ms(f.latency.p99) + " ms, max " +
           Ms(f.latency.max) + " ms, " + frames;
}

std::string LatencyProblems(const LatencyFigures& f) {
    std::vector<std::string> parts;
    if (LatencyExitCode(f) == EXIT_TIMEOUT) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.1f", f.waitedSeconds);
        parts.push_back(
            std::string("nothing arrived on the ") +
            (f.direction == PassDirection::SerialToNet ? "network link" : "serial port") +
            " within " + seconds + " s of the first frame");
    }
    if (f.lost > 0)
        parts.push_back(std::to_string(f.lost) + " of " + std::to_string(f.planned) +
                        " frames lost");
    if (f.corrupted > 0)
        parts.push_back(Count(f.corrupted, "frame") + " corrupted");
    if (f.strayBytes > 0)
        parts.push_back(Count(f.strayBytes, "stray byte") +
                        (f.strayBytes == 1 ? " that belongs" : " that belong") + " to no frame");
    if (f.negative > 0)
        parts.push_back(Count(f.negative, "frame") + " read before " +
                        (f.negative == 1 ? "it was" : "they were") + " written (min " +
                        Ms(f.minMs) +
                        " ms): the stamps are out of order and the figures cannot be trusted");
    if (f.duplicated > 0)
        parts.push_back(Count(f.duplicated, "frame") + " duplicated");
    if (f.reordered > 0)
        parts.push_back(Count(f.reordered, "frame") + " reordered");
    if (f.received > 0 && f.maxLatencyMs >= 0 && f.latency.p99 > f.maxLatencyMs)
        parts.push_back("p99 " + Ms(f.latency.p99) + " ms is above --max-latency " +
                        Limit(f.maxLatencyMs) + " ms");
    if (!f.linkLost.empty())
        parts.push_back(f.linkLost);
    std::string text;
    for (const std::string& p : parts)
        text += (text.empty() ? "" : "; ") + p;
    return text;
}

std::string LatencyWaitingText(const LatencyFigures& f) {
    std::string text;
    auto side = [&text](int64_t bytes, bool keptSending, const char* name) {
        if (bytes <= 0)
            return;
        text += (text.empty() ? "" : "; ") + Count(bytes, "byte") +
                (bytes == 1 ? " was" : " were") + " waiting on the " + name +
                " side before the test";
        if (keptSending)
            text += " and it did not go quiet within " +
                    std::to_string(LATENCY_DRAIN_MAX_MS / 1000) + " s";
    };
    side(f.waitingSerialBytes, f.serialKeptSending, "serial");
    side(f.waitingNetBytes, f.netKeptSending, "network");
    return text;
}

QJsonObject LatencyJson(const LatencyFigures& f) {
    QJsonArray sizes;
    for (const auto& [bytes, count] : f.readSizes)
        sizes.append(QJsonObject{{"bytes", static_cast<qint64>(bytes)},
                                 {"count", static_cast<qint64>(count)}});
    QJsonObject latency = PercentilesJson(f.latency);
    latency["min"] = f.minMs;
    latency["mean"] = f.meanMs;
    QJsonObject waiting{{"serial_bytes", static_cast<qint64>(f.waitingSerialBytes)},
                        {"net_bytes", static_cast<qint64>(f.waitingNetBytes)},
                        {"serial_quiet", !f.serialKeptSending},
                        {"net_quiet", !f.netKeptSending}};
    if (const std::string text = LatencyWaitingText(f); !text.empty())
        waiting["text"] = QString::fromStdString(text);
    QJsonObject j{
        {"direction", DirectionName(f.direction)},
        {"test", "latency"},
        {"result", QString::fromStdString(LatencyResultWord(f))},
        {"message", QString::fromStdString(LatencyMessage(f))},
        {"exit_code", LatencyExitCode(f)},
        {"frame_size", f.frameSize},
        {"frames", QJsonObject{{"planned", f.planned},
                               {"sent", f.sent},
                               {"received", f.received},
                               {"lost", f.lost},
                               {"duplicated", f.duplicated},
                               {"reordered", f.reordered},
                               {"corrupted", f.corrupted},
                               {"read_before_written", f.negative}}},
        {"stray_bytes", static_cast<qint64>(f.strayBytes)},
        {"waiting_before", waiting},
        {"latency_ms", f.received > 0 ? QJsonValue(latency) : QJsonValue()},
        {"max_latency_ms", f.maxLatencyMs >= 0 ? QJsonValue(f.maxLatencyMs) : QJsonValue()},
        {"reads",
         QJsonObject{{"count", static_cast<qint64>(f.reads)},
                     {"sizes", sizes},
                     {"gap_ms", f.reads > 1 ? QJsonValue(PercentilesJson(f.gap)) : QJsonValue()}}},
        {"bytes_read", static_cast<qint64>(f.bytesRead)},
        {"seconds", f.seconds},
        {"bytes_per_second", f.bytesPerSecond},
    };
    if (const std::string problems = LatencyProblems(f); !problems.empty())
        j["problems"] = QString::fromStdString(problems);
    return j;
}

void LatencyMeter::BeginDrain() {
    std::lock_guard lock(m_lock);
    m_armed = false;
    m_draining = true;
    m_drained = {};
}

LatencyMeter::Drained LatencyMeter::DrainedSoFar() const {
    std::lock_guard lock(m_lock);
    return m_drained;
}

void LatencyMeter::Arm(PassDirection direction, uint32_t runKey, int frameSize, int frames) {
    std::lock_guard lock(m_lock);
    if (!m_draining)
        m_drained = {};
    m_draining = false;
    m_plan = {TxKind(direction), RxKind(direction), runKey, static_cast<size_t>(frameSize), frames};
    const auto n = static_cast<size_t>(frames);
    m_sent = {};
    m_sent.lastByteNs.assign(n, -1);
    m_unparsed = {};
    m_tally = {};
    m_tally.arrivedNs.assign(n, -1);
    m_tally.corruptBytes.assign(n, 0);
    m_tally.repeated.assign(n, false);
    m_reads = {};
    m_armed = true;
}

int LatencyMeter::Received() const {
    std::lock_guard lock(m_lock);
    return m_tally.received;
}

int64_t LatencyMeter::MaxSeenNs() const {
    std::lock_guard lock(m_lock);
    return m_tally.maxSeenNs;
}

void LatencyMeter::Traffic(platform::TrafficKind kind, const platform::Stamp& at,
                           const unsigned char* bytes, size_t n) {
    std::lock_guard lock(m_lock);
    if (m_draining) {
        if (kind == TrafficKind::SerialRx) {
            m_drained.serialBytes += static_cast<int64_t>(n);
            m_drained.lastSerialNs = at.steadyNs;
        } else if (kind == TrafficKind::NetRx) {
            m_drained.netBytes += static_cast<int64_t>(n);
            m_drained.lastNetNs = at.steadyNs;
        }
        return;
    }
    if (!m_armed)
        return;
    if (kind == m_plan.txKind) {
        if (m_sent.firstNs < 0)
            m_sent.firstNs = at.steadyNs;
        const uint64_t before = m_sent.bytes;
        m_sent.bytes += n;
        // Every frame whose last byte went out in this write.
        for (uint64_t f = before / m_plan.size; (f + 1) * m_plan.size <= m_sent.bytes; ++f)
            if (f < m_sent.lastByteNs.size())
                m_sent.lastByteNs[f] = at.steadyNs;
        return;
    }
    if (kind != m_plan.rxKind)
        return;
    ++m_reads.sizes[n];
    m_reads.stamps.push_back(at.steadyNs);
    m_reads.bytes += static_cast<int64_t>(n);
    m_reads.lastNs = at.steadyNs;
    m_unparsed.bytes.insert(m_unparsed.bytes.end(), bytes, bytes + n);
    m_unparsed.reads.emplace_back(m_unparsed.base + m_unparsed.bytes.size(), at.steadyNs);
    Parse();
}

int64_t LatencyMeter::Unparsed::StampOf(uint64_t offset) const {
    for (const auto& [end, ns] : reads)
        if (offset < end)
            return ns;
    return reads.empty() ? 0 : reads.back().second;
}

// The gap of bytes that ends here (before frame `nextSeq`, or at the end of the run with the
// number of frames sent): the frames due in it, after the last good frame and before
// `nextSeq`, that have not arrived good nor been counted corrupted take its bytes, a frame's
// worth each (the last what is left of a cut one); whatever is beyond them is stray.
void LatencyMeter::Tally::CloseGap(int64_t nextSeq, size_t frameSize) {
    uint64_t left = gap;
    gap = 0;
    const int64_t end = std::min<int64_t>(nextSeq, static_cast<int64_t>(arrivedNs.size()));
    for (int64_t seq = gapAfter + 1; seq < end && left > 0; ++seq) {
        const auto i = static_cast<size_t>(seq);
        if (arrivedNs[i] >= 0 || corruptBytes[i] > 0)
            continue;
        const uint64_t taken = std::min<uint64_t>(left, frameSize);
        corruptBytes[i] = static_cast<uint32_t>(taken);
        left -= taken;
    }
    stray += static_cast<int64_t>(left);
}

// Walks the unparsed bytes: a good frame is taken whole; anything else is passed over a byte at
// a time until the next good frame, as a gap (see CloseGap). A good frame of another run (a
// straggler of the run before) or with a number this run never sends is stray, and leaves the
// gap open around it.
void LatencyMeter::Parse() {
    const size_t size = m_plan.size;
    std::vector<unsigned char>& buf = m_unparsed.bytes;
    size_t pos = 0;
    while (buf.size() - pos >= size) {
        uint32_t seq = 0;
        const bool own = ReadLatencyFrame(m_plan.key, buf.data() + pos, size, &seq);
        if (own && seq < m_tally.arrivedNs.size()) {
            m_tally.CloseGap(seq, size);
            m_tally.gapAfter = seq;
            m_tally.Accept(seq, m_unparsed.StampOf(m_unparsed.base + pos + size - 1),
                           m_sent.lastByteNs);
            pos += size;
        } else if (own || (m_plan.key > 0 &&
                           ReadLatencyFrame(m_plan.key - 1, buf.data() + pos, size, &seq))) {
            m_tally.stray += static_cast<int64_t>(size);
            pos += size;
        } else {
            ++pos;
            ++m_tally.gap;
        }
    }
    buf.erase(buf.begin(), buf.begin() + static_cast<ptrdiff_t>(pos));
    m_unparsed.base += pos;
    // Keep only the reads that brought bytes still unparsed.
    auto& reads = m_unparsed.reads;
    const uint64_t base = m_unparsed.base;
    reads.erase(reads.begin(), std::find_if(reads.begin(), reads.end(),
                                            [base](const auto& c) { return c.first > base; }));
}

void LatencyMeter::Tally::Accept(uint32_t seq, int64_t atNs, const std::vector<int64_t>& sentNs) {
    if (arrivedNs[seq] >= 0) {
        // A frame is duplicated once however many copies come, so that the counts of frames
        // never exceed the frames planned.
        if (!repeated[seq]) {
            repeated[seq] = true;
            ++duplicated;
        }
        return;
    }
    // A frame counted corrupted that arrives good after all: the stretch taken for it was
    // stray.
    stray += corruptBytes[seq];
    corruptBytes[seq] = 0;
    if (static_cast<int64_t>(seq) < highest)
        ++reordered;
    highest = std::max<int64_t>(highest, seq);
    arrivedNs[seq] = atNs;
    ++received;
    if (sentNs[seq] >= 0)
        maxSeenNs = std::max(maxSeenNs, atNs - sentNs[seq]);
}

LatencyFigures LatencyMeter::Disarm(int sent) {
    std::lock_guard lock(m_lock);
    m_armed = false;
    m_draining = false;
    LatencyFigures f;
    f.frameSize = static_cast<int>(m_plan.size);
    f.planned = m_plan.frames;
    f.sent = sent;
    // What is left unparsed ends the last gap: a cut frame (or more), due among the frames sent.
    m_tally.gap += m_unparsed.bytes.size();
    m_unparsed.bytes.clear();
    m_tally.CloseGap(sent, m_plan.size);
    const Tally& t = m_tally;
    f.received = t.received;
    f.duplicated = t.duplicated;
    f.reordered = t.reordered;
    f.strayBytes = t.stray;
    f.corrupted = static_cast<int>(
        std::count_if(t.corruptBytes.begin(), t.corruptBytes.end(), [](uint32_t b) { return b; }));
    // Every planned frame is received, corrupted or lost; frames never sent (the link went) are
    // lost.
    f.lost = m_plan.frames - t.received - f.corrupted;
    double sum = 0;
    for (size_t i = 0; i < t.arrivedNs.size(); ++i) {
        const int64_t rx = t.arrivedNs[i], tx = m_sent.lastByteNs[i];
        if (rx < 0 || tx < 0)
            continue;
        // Not clamped: a write is stamped before its call and a read after its own, so a frame
        // read before it was written means the stamps are wrong, and the run says so.
        const double ms = static_cast<double>(rx - tx) / 1e6;
        if (rx < tx)
            ++f.negative;
        f.latenciesMs.push_back(ms);
        sum += ms;
    }
    std::sort(f.latenciesMs.begin(), f.latenciesMs.end());
    f.latency = PercentilesOf(f.latenciesMs);
    if (!f.latenciesMs.empty()) {
        f.minMs = f.latenciesMs.front();
        f.meanMs = sum / static_cast<double>(f.latenciesMs.size());
    }
    f.readSizes = m_reads.sizes;
    f.reads = m_reads.stamps.size();
    std::vector<double> gaps;
    for (size_t i = 1; i < m_reads.stamps.size(); ++i)
        gaps.push_back(static_cast<double>(m_reads.stamps[i] - m_reads.stamps[i - 1]) / 1e6);
    std::sort(gaps.begin(), gaps.end());
    f.gap = PercentilesOf(gaps);
    f.bytesRead = m_reads.bytes;
    const int64_t firstTx = m_sent.firstNs, lastRx = m_reads.lastNs;
    if (firstTx >= 0 && lastRx > firstTx)
        f.seconds = static_cast<double>(lastRx - firstTx) / 1e9;
    f.bytesPerSecond = f.seconds > 0 ? static_cast<double>(m_reads.bytes) / f.seconds : 0;
    if (firstTx >= 0)
        f.waitedSeconds = static_cast<double>(NowNs() - firstTx) / 1e9;
    f.waitingSerialBytes = m_drained.serialBytes;
    f.waitingNetBytes = m_drained.netBytes;
    return f;
}

namespace {

// Writes frame number `seq` (the frames sent before it) on the sending link; true when it went
// out whole, else false with why the sending ends in *why.
using FrameWriter =
    std::function<bool(int seq, const unsigned char* frame, size_t size, std::string* why)>;

// The frame loop of a run, on this thread's event loop: the first frame at once, then one a tick
// every `intervalMs` (a write that does not go out whole ends the sending: the frames behind it
// would be out of step), then the wait for stragglers. The meter must be armed. Returns the
// frames sent; *linkLost says why the sending ended early.
int SendFrames(LatencyMeter& meter, uint32_t runKey, int frameSize, int frames, int intervalMs,
               const FrameWriter& write, const std::function<void(int sent)>& progress,
               const SessionStop* stop, std::string* linkLost) {
    const size_t size = static_cast<size_t>(frameSize);
    std::vector<unsigned char> frame(size);
    int sent = 0;
    int64_t lastWriteNs = 0;
    QEventLoop loop;
    QTimer sender, waiter;
    sender.setTimerType(Qt::PreciseTimer);
    waiter.setTimerType(Qt::PreciseTimer);

    auto sendOne = [&]() -> bool {
        MakeLatencyFrame(runKey, static_cast<uint32_t>(sent), frame.data(), size);
        if (!write(sent, frame.data(), size, linkLost))
            return false;
        ++sent;
        return true;
    };
    auto tick = [&] {
        const bool ok = sendOne();
        lastWriteNs = NowNs();
        if (progress)
            progress(sent);
        if (!ok || sent == frames) {
            sender.stop();
            waiter.start(5);
        }
    };
    QObject::connect(&sender, &QTimer::timeout, tick);
    QObject::connect(&waiter, &QTimer::timeout, [&] {
        const int64_t maxSeenMs = meter.MaxSeenNs() / NS_PER_MS;
        const int64_t waitMs =
            std::clamp(10 * maxSeenMs, STRAGGLER_WAIT_MIN_MS, STRAGGLER_WAIT_MAX_MS);
        const int64_t settleMs = std::min(waitMs, std::max(SETTLE_MIN_MS, 3 * maxSeenMs));
        const int64_t sinceMs = (NowNs() - lastWriteNs) / NS_PER_MS;
        if (sinceMs >= waitMs || (meter.Received() >= sent && sinceMs >= settleMs))
            loop.quit();
    });
    if (stop)
        QObject::connect(stop, &SessionStop::now, &loop, &QEventLoop::quit);
    sender.start(intervalMs);
    // The first frame goes at once, the others every interval.
    QTimer::singleShot(0, &sender, tick);
    loop.exec();
    return sent;
}

// Reads what both links hold until neither has delivered anything for LATENCY_QUIET_MS, or
// LATENCY_DRAIN_MAX_MS have gone by, on this thread's event loop (the reads themselves run
// where they always do and are counted by the meter). Returns which sides were still sending
// when the wait gave up; false, false when they went quiet. *stopped when `stop` ended it.
std::pair<bool, bool> DrainLinks(LatencyMeter& meter, const SessionStop* stop, bool* stopped) {
    constexpr int64_t quietNs = LATENCY_QUIET_MS * NS_PER_MS;
    const int64_t startNs = NowNs();
    meter.BeginDrain();
    std::pair<bool, bool> talking{false, false};
    QEventLoop loop;
    QTimer check;
    check.setTimerType(Qt::PreciseTimer);
    QObject::connect(&check, &QTimer::timeout, [&] {
        const LatencyMeter::Drained d = meter.DrainedSoFar();
        const int64_t now = NowNs();
        const int64_t last = std::max({startNs, d.lastSerialNs, d.lastNetNs});
        if (now - last >= quietNs) {
            loop.quit();
        } else if (now - startNs >= LATENCY_DRAIN_MAX_MS * NS_PER_MS) {
            talking = {d.lastSerialNs >= 0 && now - d.lastSerialNs < quietNs,
                       d.lastNetNs >= 0 && now - d.lastNetNs < quietNs};
            loop.quit();
        }
    });
    if (stop)
        QObject::connect(stop, &SessionStop::now, &loop, [&] {
            *stopped = true;
            loop.quit();
        });
    check.start(5);
    loop.exec();
    return talking;
}

}  // namespace

LatencyFigures RunLatency(TerminalEngine& engine, LatencyMeter& meter, PassDirection direction,
                          const RunnerOptions& opt, uint32_t runKey, ProgressLine& progress,
                          const SessionStop& stop) {
    bool stopped = false;
    const auto [serialTalking, netTalking] = DrainLinks(meter, &stop, &stopped);
    meter.Arm(direction, runKey, opt.latency.frameSize, opt.latency.frames);

    // Frames go out on the UI thread as the consoles write theirs.
    FrameWriter write = [&](int seq, const unsigned char* frame, size_t size,
                            std::string* why) -> bool {
        // Either link gone ends the sending: nothing more can arrive.
        CLinkSocket* link = engine.net.IsConnected() ? engine.net.LinkInUse() : nullptr;
        if (!engine.serial.IsOpen() || !link) {
            *why = !link ? "the network link went after " + std::to_string(seq) + " frames"
                         : "the serial port closed after " + std::to_string(seq) + " frames";
            return false;
        }
        if (direction == PassDirection::SerialToNet) {
            const uint32_t n = engine.serial.Port().Write(frame, static_cast<uint32_t>(size),
                                                          SERIAL_FRAME_WRITE_MS);
            if (n != size) {
                *why = "the serial port did not take frame " + std::to_string(seq) + " within " +
                       std::to_string(SERIAL_FRAME_WRITE_MS) + " ms";
                return false;
            }
            return true;
        }
        // Only what the socket takes now: a device that does not read never holds the loop.
        // Stamped just before the send, as every write is.
        const platform::Stamp before = platform::Stamp::Now();
        const int n = link->SendAvailable(frame, static_cast<int>(size));
        if (n > 0)
            engine.net.Traffic().Report(TrafficKind::NetTx, before, frame, static_cast<size_t>(n));
        if (n != static_cast<int>(size)) {
            *why = n < 0 ? "sending on the network link failed"
                         : "the device did not take frame " + std::to_string(seq);
            return false;
        }
        return true;
    };
    std::string linkLost;
    int sent = 0;
    if (!stopped)
        sent = SendFrames(
            meter, runKey, opt.latency.frameSize, opt.latency.frames, opt.latency.intervalMs, write,
            [&](int n) {
                progress.Update(
                    n * 100 / opt.latency.frames,
                    std::to_string(n) + " of " + std::to_string(opt.latency.frames) + " frames");
            },
            &stop, &linkLost);
    LatencyFigures f = meter.Disarm(sent);
    f.direction = direction;
    f.maxLatencyMs = opt.latency.maxLatencyMs;
    f.linkLost = linkLost;
    f.serialKeptSending = serialTalking;
    f.netKeptSending = netTalking;
    return f;
}

namespace {

// One side of the floor: `write` puts bytes on the writing end (stamped before its call and
// reported to the meter as the run's sending kind), the engine's read path delivers them.
LatencyFloorSide FloorRun(LatencyMeter& meter, PassDirection direction, int frameSize, int frames,
                          int intervalMs,
                          const std::function<ssize_t(const void*, size_t)>& write) {
    LatencyFloorSide side;
    side.frames = frames;
    meter.Arm(direction, 1, frameSize, frames);
    FrameWriter writer = [&](int, const unsigned char* frame, size_t size, std::string* why) {
        size_t done = 0;
        while (done < size) {
            const platform::Stamp before = platform::Stamp::Now();
            const ssize_t n = write(frame + done, size - done);
            if (n > 0) {
                meter.Traffic(TxKind(direction), before, frame + done, static_cast<size_t>(n));
                done += static_cast<size_t>(n);
            } else if (n < 0 && errno != EINTR) {
                *why = std::string("a write failed: ") + std::strerror(errno);
                return false;
            }
        }
        return true;
    };
    std::string failure;
    const int sent =
        SendFrames(meter, 1, frameSize, frames, intervalMs, writer, nullptr, nullptr, &failure);
    const LatencyFigures f = meter.Disarm(sent);
    side.received = f.received;
    side.latency = f.latency;
    side.minMs = f.minMs;
    side.measured = failure.empty() && f.received == frames;
    if (!failure.empty())
        side.failure = failure;
    else if (f.received != frames)
        side.failure =
            std::to_string(f.received) + " of " + std::to_string(frames) + " frames arrived";
    return side;
}

std::string Errno(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

LatencyFloorSide SerialFloor(LatencyMeter& meter, int frameSize, int frames, int intervalMs) {
    LatencyFloorSide side;
    side.frames = frames;
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        side.failure = Errno("can't open a pseudo-terminal");
        return side;
    }
    char name[128] = {};
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
        ::ptsname_r(master, name, sizeof name) != 0) {
        side.failure = Errno("can't set up a pseudo-terminal");
        ::close(master);
        return side;
    }
    {
        TerminalEngine engine;
        engine.traffic.SetMeasure(&meter);
        if (const platform::Result r = engine.serial.Open(name, LineSettings{}); !r) {
            side.failure = r.text + ": " + r.reason;
        } else {
            // The master writes what a device would send; the engine reads the slave.
            side = FloorRun(meter, PassDirection::NetToSerial, frameSize, frames, intervalMs,
                            [master](const void* p, size_t n) { return ::write(master, p, n); });
        }
        engine.Shutdown();
        engine.traffic.SetMeasure(nullptr);
    }
    ::close(master);
    return side;
}

LatencyFloorSide NetworkFloor(LatencyMeter& meter, int frameSize, int frames, int intervalMs) {
    LatencyFloorSide side;
    side.frames = frames;
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        side.failure = Errno("can't listen on 127.0.0.1");
        if (listener >= 0)
            ::close(listener);
        return side;
    }
    TerminalEngine engine;
    engine.traffic.SetMeasure(&meter);
    platform::Result outcome = engine.net.Connect("127.0.0.1", ntohs(addr.sin_port));
    if (outcome && engine.net.IsConnecting()) {
        QEventLoop loop;
        QObject::connect(&engine.net, &NetConsole::connected, &loop, &QEventLoop::quit);
        QObject::connect(&engine.net, &NetConsole::connectFailed, &loop,
                         [&](const platform::Result& failure) {
                             outcome = failure;
                             loop.quit();
                         });
        loop.exec();
    }
    // The kernel finished the handshake before the engine heard of it: the accept is at once.
    const int peer = outcome ? ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
    ::close(listener);
    if (!outcome) {
        side.failure = outcome.text + ": " + outcome.reason;
    } else if (peer < 0) {
        side.failure = Errno("can't accept on 127.0.0.1");
    } else {
        // Each frame leaves at once, as a device server sends a serial chunk.
        const int one = 1;
        ::setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        side =
            FloorRun(meter, PassDirection::SerialToNet, frameSize, frames, intervalMs,
                     [peer](const void* p, size_t n) { return ::send(peer, p, n, MSG_NOSIGNAL); });
    }
    engine.Shutdown();
    engine.traffic.SetMeasure(nullptr);
    if (peer >= 0)
        ::close(peer);
    return side;
}

QJsonObject FloorSideJson(const LatencyFloorSide& s) {
    if (!s.measured)
        return QJsonObject{{"error", QString::fromStdString(s.failure)}};
    QJsonObject j = PercentilesJson(s.latency);
    j["min"] = s.minMs;
    j["frames"] = s.frames;
    j["received"] = s.received;
    return j;
}

std::string FloorSideText(const char* name, const LatencyFloorSide& s) {
    if (!s.measured)
        return std::string(name) + " not measured (" + s.failure + ")";
    return std::string(name) + " p50 " + Ms(s.latency.p50) + " ms, p99 " + Ms(s.latency.p99) +
           " ms";
}

}  // namespace

LatencyFloor MeasureLatencyFloor(int frameSize, int frames, int intervalMs) {
    LatencyFloor floor;
    floor.frameSize = frameSize;
    floor.intervalMs = intervalMs;
    LatencyMeter meter;
    floor.serial = SerialFloor(meter, frameSize, frames, intervalMs);
    floor.network = NetworkFloor(meter, frameSize, frames, intervalMs);
    return floor;
}

std::string LatencyFloorText(const LatencyFloor& floor) {
    return "runner floor: " + FloorSideText("serial", floor.serial) + "; " +
           FloorSideText("network", floor.network);
}

QJsonObject LatencyFloorJson(const LatencyFloor& floor) {
    return QJsonObject{{"frame_size", floor.frameSize},
                       {"interval_ms", floor.intervalMs},
                       {"serial", FloorSideJson(floor.serial)},
                       {"network", FloorSideJson(floor.network)}};
}
