#include "runner/Latency.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>

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
    if (f.lost > 0 || f.corrupted > 0 || f.received < f.planned)
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
            return f.lost > 0 || f.corrupted > 0 || f.received < f.planned ? "lost" : "slow";
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
    std::string text;
    if (f.lost > 0 || f.duplicated > 0 || f.reordered > 0 || f.corrupted > 0)
        text = "frames: " + std::to_string(f.lost) + " lost, " + std::to_string(f.duplicated) +
               " duplicated, " + std::to_string(f.reordered) + " reordered, " +
               std::to_string(f.corrupted) + " corrupted";
    if (f.received > 0 && f.maxLatencyMs >= 0 && f.latency.p99 > f.maxLatencyMs)
        text += (text.empty() ? "" : "; ") + std::string("p99 ") + Ms(f.latency.p99) +
                " ms is above --max-latency " + Limit(f.maxLatencyMs) + " ms";
    if (!f.linkLost.empty())
        text += (text.empty() ? "" : "; ") + f.linkLost;
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
                               {"corrupted", f.corrupted}}},
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

void LatencyMeter::Arm(PassDirection direction, uint32_t runKey, int frameSize, int frames) {
    std::lock_guard lock(m_lock);
    m_txKind = TxKind(direction);
    m_rxKind = RxKind(direction);
    m_key = runKey;
    m_size = static_cast<size_t>(frameSize);
    m_frames = frames;
    m_txBytes = 0;
    m_txNs.assign(static_cast<size_t>(frames), -1);
    m_rxNs.assign(static_cast<size_t>(frames), -1);
    m_buf.clear();
    m_base = 0;
    m_skipped = 0;
    m_chunks.clear();
    m_received = m_duplicated = m_reordered = m_corrupted = 0;
    m_highest = -1;
    m_maxSeenNs = 0;
    m_readSizes.clear();
    m_readNs.clear();
    m_bytesRead = 0;
    m_firstTxNs = m_lastRxNs = -1;
    m_armed = true;
}

int LatencyMeter::Received() const {
    std::lock_guard lock(m_lock);
    return m_received;
}

int64_t LatencyMeter::MaxSeenNs() const {
    std::lock_guard lock(m_lock);
    return m_maxSeenNs;
}

void LatencyMeter::Traffic(platform::TrafficKind kind, const platform::Stamp& at,
                           const unsigned char* bytes, size_t n) {
    std::lock_guard lock(m_lock);
    if (!m_armed)
        return;
    if (kind == m_txKind) {
        if (m_firstTxNs < 0)
            m_firstTxNs = at.steadyNs;
        const uint64_t before = m_txBytes;
        m_txBytes += n;
        // Every frame whose last byte went out in this write.
        for (uint64_t f = before / m_size; (f + 1) * m_size <= m_txBytes; ++f)
            if (f < m_txNs.size())
                m_txNs[f] = at.steadyNs;
        return;
    }
    if (kind != m_rxKind)
        return;
    ++m_readSizes[n];
    m_readNs.push_back(at.steadyNs);
    m_bytesRead += static_cast<int64_t>(n);
    m_lastRxNs = at.steadyNs;
    m_buf.insert(m_buf.end(), bytes, bytes + n);
    m_chunks.emplace_back(m_base + m_buf.size(), at.steadyNs);
    Parse();
}

int64_t LatencyMeter::StampOf(uint64_t offset) const {
    for (const auto& [end, ns] : m_chunks)
        if (offset < end)
            return ns;
    return m_chunks.empty() ? 0 : m_chunks.back().second;
}

// Walks the unparsed bytes: a good frame is taken whole; anything else is passed over a byte at
// a time until the next good frame, and what was passed over counts as corrupted frames (a
// frame's worth, or what is left of a cut one). A frame of the run before (a straggler that came
// after its wait) is passed over without counting.
void LatencyMeter::Parse() {
    size_t pos = 0;
    auto endSkip = [this] {
        if (m_skipped > 0)
            m_corrupted += static_cast<int>((m_skipped + m_size - 1) / m_size);
        m_skipped = 0;
    };
    while (m_buf.size() - pos >= m_size) {
        uint32_t seq = 0;
        if (ReadLatencyFrame(m_key, m_buf.data() + pos, m_size, &seq)) {
            endSkip();
            Accept(seq, StampOf(m_base + pos + m_size - 1));
            pos += m_size;
        } else if (m_key > 0 && ReadLatencyFrame(m_key - 1, m_buf.data() + pos, m_size, &seq)) {
            endSkip();
            pos += m_size;
        } else {
            ++pos;
            ++m_skipped;
        }
    }
    m_buf.erase(m_buf.begin(), m_buf.begin() + static_cast<ptrdiff_t>(pos));
    m_base += pos;
    // Keep only the reads that brought bytes still unparsed.
    const auto firstNeeded = std::find_if(m_chunks.begin(), m_chunks.end(),
                                          [this](const auto& c) { return c.first > m_base; });
    m_chunks.erase(m_chunks.begin(), firstNeeded);
}

void LatencyMeter::Accept(uint32_t seq, int64_t atNs) {
    if (seq >= m_rxNs.size()) {  // a good frame the run never sent: not its own
        ++m_corrupted;
        return;
    }
    if (m_rxNs[seq] >= 0) {
        ++m_duplicated;
        return;
    }
    if (static_cast<int64_t>(seq) < m_highest)
        ++m_reordered;
    m_highest = std::max<int64_t>(m_highest, seq);
    m_rxNs[seq] = atNs;
    ++m_received;
    if (m_txNs[seq] >= 0)
        m_maxSeenNs = std::max(m_maxSeenNs, atNs - m_txNs[seq]);
}

LatencyFigures LatencyMeter::Disarm(int sent) {
    std::lock_guard lock(m_lock);
    m_armed = false;
    LatencyFigures f;
    f.frameSize = static_cast<int>(m_size);
    f.planned = m_frames;
    f.sent = sent;
    f.received = m_received;
    f.duplicated = m_duplicated;
    f.reordered = m_reordered;
    // What is left unparsed is a cut frame (or more).
    m_skipped += m_buf.size();
    f.corrupted = m_corrupted + static_cast<int>((m_skipped + m_size - 1) / m_size);
    // A frame that never arrived whole is lost, unless it arrived corrupted; frames that were
    // never sent (the link went) are lost too.
    f.lost = std::max(0, m_frames - m_received - f.corrupted);
    double sum = 0;
    for (size_t i = 0; i < m_rxNs.size(); ++i) {
        if (m_rxNs[i] < 0 || m_txNs[i] < 0)
            continue;
        // The reader's stamp can precede the writer's by a hair when the writer is preempted
        // between its write() and its clock read: the frame took no measurable time.
        const double ms = static_cast<double>(std::max<int64_t>(0, m_rxNs[i] - m_txNs[i])) / 1e6;
        f.latenciesMs.push_back(ms);
        sum += ms;
    }
    std::sort(f.latenciesMs.begin(), f.latenciesMs.end());
    f.latency = PercentilesOf(f.latenciesMs);
    if (!f.latenciesMs.empty()) {
        f.minMs = f.latenciesMs.front();
        f.meanMs = sum / static_cast<double>(f.latenciesMs.size());
    }
    f.readSizes = m_readSizes;
    f.reads = m_readNs.size();
    std::vector<double> gaps;
    for (size_t i = 1; i < m_readNs.size(); ++i)
        gaps.push_back(static_cast<double>(m_readNs[i] - m_readNs[i - 1]) / 1e6);
    std::sort(gaps.begin(), gaps.end());
    f.gap = PercentilesOf(gaps);
    f.bytesRead = m_bytesRead;
    if (m_firstTxNs >= 0 && m_lastRxNs > m_firstTxNs)
        f.seconds = static_cast<double>(m_lastRxNs - m_firstTxNs) / 1e9;
    f.bytesPerSecond = f.seconds > 0 ? static_cast<double>(m_bytesRead) / f.seconds : 0;
    return f;
}

LatencyFigures RunLatency(TerminalEngine& engine, LatencyMeter& meter, PassDirection direction,
                          const RunnerOptions& opt, uint32_t runKey, ProgressLine& progress,
                          const SessionStop& stop) {
    const size_t size = static_cast<size_t>(opt.frameSize);
    std::vector<unsigned char> frame(size);
    meter.Arm(direction, runKey, opt.frameSize, opt.frames);

    int sent = 0;
    std::string linkLost;
    int64_t lastWriteNs = 0;
    QEventLoop loop;
    QTimer sender, waiter;
    sender.setTimerType(Qt::PreciseTimer);
    waiter.setTimerType(Qt::PreciseTimer);

    // One frame a tick, on the UI thread as the consoles write; a write that does not go out
    // whole ends the sending (the frames behind it would be out of step).
    auto sendOne = [&]() -> bool {
        MakeLatencyFrame(runKey, static_cast<uint32_t>(sent), frame.data(), size);
        // Either link gone ends the sending: nothing more can arrive.
        CLinkSocket* link = engine.net.IsConnected() ? engine.net.LinkInUse() : nullptr;
        if (!engine.serial.IsOpen() || !link) {
            linkLost = !link ? "the network link went after " + std::to_string(sent) + " frames"
                             : "the serial port closed after " + std::to_string(sent) + " frames";
            return false;
        }
        if (direction == PassDirection::SerialToNet) {
            const uint32_t n = engine.serial.Port().Write(frame.data(), static_cast<uint32_t>(size),
                                                          SERIAL_FRAME_WRITE_MS);
            if (n != size) {
                linkLost = "the serial port did not take frame " + std::to_string(sent) +
                           " within " + std::to_string(SERIAL_FRAME_WRITE_MS) + " ms";
                return false;
            }
        } else {
            // Only what the socket takes now: a device that does not read never holds the loop.
            const int n = link->SendAvailable(frame.data(), static_cast<int>(size));
            if (n > 0)
                engine.net.Traffic().Report(TrafficKind::NetTx, platform::Stamp::Now(),
                                            frame.data(), static_cast<size_t>(n));
            if (n != static_cast<int>(size)) {
                linkLost = n < 0 ? "sending on the network link failed"
                                 : "the device did not take frame " + std::to_string(sent);
                return false;
            }
        }
        ++sent;
        return true;
    };

    QObject::connect(&sender, &QTimer::timeout, [&] {
        const bool ok = sendOne();
        lastWriteNs = NowNs();
        progress.Update(sent * 100 / opt.frames,
                        std::to_string(sent) + " of " + std::to_string(opt.frames) + " frames");
        if (!ok || sent == opt.frames) {
            sender.stop();
            waiter.start(5);
        }
    });
    QObject::connect(&waiter, &QTimer::timeout, [&] {
        const int64_t maxSeenMs = meter.MaxSeenNs() / NS_PER_MS;
        const int64_t waitMs =
            std::clamp(10 * maxSeenMs, STRAGGLER_WAIT_MIN_MS, STRAGGLER_WAIT_MAX_MS);
        const int64_t settleMs = std::min(waitMs, std::max(SETTLE_MIN_MS, 3 * maxSeenMs));
        const int64_t sinceMs = (NowNs() - lastWriteNs) / NS_PER_MS;
        if (sinceMs >= waitMs || (meter.Received() >= sent && sinceMs >= settleMs))
            loop.quit();
    });
    QObject::connect(&stop, &SessionStop::now, &loop, &QEventLoop::quit);
    sender.start(opt.intervalMs);
    // The first frame goes at once, the others every interval.
    QTimer::singleShot(0, &sender, [&] {
        if (!sendOne() || sent == opt.frames) {
            lastWriteNs = NowNs();
            sender.stop();
            waiter.start(5);
        }
    });
    loop.exec();

    LatencyFigures f = meter.Disarm(sent);
    f.direction = direction;
    f.maxLatencyMs = opt.maxLatencyMs;
    f.linkLost = linkLost;
    return f;
}
