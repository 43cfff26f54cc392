#include "transfer/TrafficLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

namespace {

// Writes the buffered text out once it reaches this size, or when the queue runs dry.
constexpr size_t WRITE_BATCH = 256 * 1024;
constexpr int64_t NS_PER_S = 1000000000;
// How long a chunk waits in the writer for one stamped earlier on another thread.
constexpr int64_t REORDER_NS = 20 * 1000000;
// While chunks wait for their window, the writer takes in new ones this often.
constexpr int64_t REORDER_PACE_NS = REORDER_NS / 4;

const char HEX[] = "0123456789ABCDEF";

// The local time of day of `wallNs` as "HH:MM:SS", with the day it falls on; the conversion is
// kept for the second it was made for, as chunks come many to a second.
struct LocalClock {
    int64_t second = INT64_MIN;
    char hms[9] = {};
    int yday = -1, year = -1;
    tm parts{};

    void At(int64_t wallNs) {
        const int64_t s = wallNs >= 0 ? wallNs / NS_PER_S : (wallNs - NS_PER_S + 1) / NS_PER_S;
        if (s == second)
            return;
        second = s;
        const time_t t = static_cast<time_t>(s);
        localtime_r(&t, &parts);
        std::snprintf(hms, sizeof hms, "%02d:%02d:%02d", parts.tm_hour, parts.tm_min, parts.tm_sec);
    }
};

void AppendLine(std::string& out, LocalClock& clock, platform::TrafficKind kind,
                const platform::Stamp& at, int64_t startNs, const unsigned char* bytes, size_t n) {
    clock.At(at.wallNs);
    char head[96];
    const int64_t micros = ((at.wallNs % NS_PER_S) + NS_PER_S) % NS_PER_S / 1000;
    const int64_t since = at.steadyNs - startNs;
    const int len = std::snprintf(
        head, sizeof head, "%s.%06lld %lld.%06lld %s %zu", clock.hms,
        static_cast<long long>(micros), static_cast<long long>(since / NS_PER_S),
        static_cast<long long>((since % NS_PER_S) / 1000), platform::TrafficKindName(kind), n);
    out.append(head, static_cast<size_t>(len));
    const size_t at0 = out.size();
    out.resize(at0 + n * 3 + 2 + n + 1);
    char* p = out.data() + at0;
    for (size_t i = 0; i < n; ++i) {
        *p++ = ' ';
        *p++ = HEX[bytes[i] >> 4];
        *p++ = HEX[bytes[i] & 15];
    }
    *p++ = ' ';
    *p++ = '|';
    for (size_t i = 0; i < n; ++i)
        *p++ = bytes[i] >= 0x20 && bytes[i] <= 0x7E ? static_cast<char>(bytes[i]) : '.';
    *p++ = '|';
}

std::string DateLine(const tm& parts) {
    char line[32];
    std::snprintf(line, sizeof line, "date %04d-%02d-%02d", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday);
    return line;
}

bool WriteAll(int fd, const std::string& text, int* err) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t k = ::write(fd, text.data() + done, text.size() - done);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0) {
            *err = k < 0 ? errno : ENOSPC;
            return false;
        }
        done += static_cast<size_t>(k);
    }
    return true;
}

}  // namespace

std::string TrafficLogLine(platform::TrafficKind kind, const platform::Stamp& at, int64_t startNs,
                           const unsigned char* bytes, size_t n) {
    std::string out;
    LocalClock clock;
    AppendLine(out, clock, kind, at, startNs, bytes, n);
    return out;
}

std::string TrafficLogDateLine(int64_t wallNs) {
    LocalClock clock;
    clock.At(wallNs);
    return DateLine(clock.parts);
}

TrafficLog::TrafficLog(QObject* parent) : QObject(parent) {}

TrafficLog::~TrafficLog() {
    Stop();
    for (std::thread& t : m_writers)
        t.join();
}

platform::Result TrafficLog::Start(const std::string& path) {
    Stop();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        const int err = errno;
        return platform::Result::Fail("Can't create the traffic log",
                                      path + ": " + std::strerror(err), err);
    }
    auto shared = std::make_shared<Shared>();
    {
        std::lock_guard lock(m_lock);
        m_shared = shared;
    }
    m_path = path;
    m_lastBehindNs = 0;
    m_writers.emplace_back(&TrafficLog::Write, shared, fd, path, platform::Stamp::Now(), this);
    return platform::Result::Ok();
}

void TrafficLog::Stop() {
    std::shared_ptr<Shared> shared;
    {
        std::lock_guard lock(m_lock);
        shared.swap(m_shared);
    }
    if (!shared)
        return;
    std::lock_guard lock(shared->lock);
    shared->stop = true;
    shared->wake.notify_one();
}

bool TrafficLog::Active() const {
    std::lock_guard lock(m_lock);
    return m_shared != nullptr;
}

uint64_t TrafficLog::BytesNotLogged() const {
    std::lock_guard lock(m_lock);
    if (!m_shared)
        return 0;
    std::lock_guard inner(m_shared->lock);
    return m_shared->dropped;
}

void TrafficLog::Traffic(platform::TrafficKind kind, const platform::Stamp& at,
                         const unsigned char* bytes, size_t n) {
    uint64_t tell = 0;  // told after both locks are let go: a direct slot may call back in
    {
        std::lock_guard lock(m_lock);
        if (!m_shared)
            return;
        Shared& s = *m_shared;
        std::lock_guard inner(s.lock);
        if (s.stop || s.failed)
            return;
        // A chunk costs its record and its heap block besides its bytes: a peer that sends one
        // byte a segment would otherwise fill memory many times over the bound.
        const size_t cost = n + sizeof(Chunk) + TRAFFIC_LOG_ALLOCATION_OVERHEAD;
        if (s.queuedBytes + cost > TRAFFIC_LOG_QUEUE_BYTES) {
            s.pendingDrop += n;
            s.dropped += n;
            // Told once a second at most, from whichever thread saw it.
            if (at.steadyNs - m_lastBehindNs >= NS_PER_S) {
                m_lastBehindNs = at.steadyNs;
                tell = s.dropped;
            }
        } else {
            s.queue.push_back(
                {kind, at, std::vector<unsigned char>(bytes, bytes + n), s.pendingDrop});
            s.pendingDrop = 0;
            s.queuedBytes += cost;
            if (s.writerIdle)
                s.wake.notify_one();
        }
    }
    if (tell > 0)
        emit fellBehind(static_cast<qint64>(tell));
}

void TrafficLog::Write(std::shared_ptr<Shared> shared, int fd, std::string path,
                       platform::Stamp start, QObject* owner) {
    auto* log = static_cast<TrafficLog*>(owner);
    Shared& s = *shared;
    std::string text;
    LocalClock clock;
    clock.At(start.wallNs);
    int lastYday = clock.parts.tm_yday, lastYear = clock.parts.tm_year;
    text += DateLine(clock.parts);
    text += '\n';
    int64_t lines = 0, bytes = 0;          // chunk lines (and their bytes) written to the file
    int64_t textLines = 0, textBytes = 0;  // the same, in `text`, waiting to be written
    auto flush = [&](int* error) {
        if (!WriteAll(fd, text, error))
            return false;
        text.clear();
        lines += textLines;
        bytes += textBytes;
        textLines = textBytes = 0;
        return true;
    };
    int err = 0;
    bool ok = true;
    // Chunks come from several threads, each stamped a moment before it is queued: they wait
    // here for REORDER_NS and go out in the order of their stamps.
    std::vector<Chunk> pending;
    std::deque<Chunk> batch;
    for (;;) {
        bool stopping;
        {
            std::unique_lock lock(s.lock);
            const auto ready = [&] { return s.stop || !s.queue.empty(); };
            if (pending.empty()) {
                s.writerIdle = true;
                s.wake.wait(lock, ready);
                s.writerIdle = false;
            } else {
                s.wake.wait_for(lock, std::chrono::nanoseconds(REORDER_PACE_NS),
                                [&] { return s.stop; });
            }
            batch.swap(s.queue);
            s.queuedBytes = 0;
            stopping = s.stop;
            if (stopping && s.pendingDrop > 0) {
                // Dropped at the very end: said on a line of its own.
                Chunk marker{
                    platform::TrafficKind::SerialRx, platform::Stamp::Now(), {}, s.pendingDrop};
                batch.push_back(std::move(marker));
                s.pendingDrop = 0;
            }
        }
        for (Chunk& c : batch)
            pending.push_back(std::move(c));
        batch.clear();
        std::stable_sort(pending.begin(), pending.end(), [](const Chunk& a, const Chunk& b) {
            return a.at.steadyNs < b.at.steadyNs;
        });
        const int64_t due = platform::Stamp::Now().steadyNs - REORDER_NS;
        size_t written = 0;
        for (; written < pending.size(); ++written) {
            const Chunk& c = pending[written];
            if (!stopping && c.at.steadyNs > due)
                break;
            if (c.notLoggedBefore > 0)
                text += "[" + std::to_string(c.notLoggedBefore) + " bytes not logged]\n";
            if (c.bytes.empty())
                continue;
            clock.At(c.at.wallNs);
            if (clock.parts.tm_yday != lastYday || clock.parts.tm_year != lastYear) {
                lastYday = clock.parts.tm_yday;
                lastYear = clock.parts.tm_year;
                text += DateLine(clock.parts);
                text += '\n';
            }
            AppendLine(text, clock, c.kind, c.at, start.steadyNs, c.bytes.data(), c.bytes.size());
            text += '\n';
            ++textLines;
            textBytes += static_cast<int64_t>(c.bytes.size());
            if (text.size() >= WRITE_BATCH && !(ok = flush(&err)))
                break;
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<long>(written));
        if (ok && !text.empty())
            ok = flush(&err);
        if (!ok) {
            {
                std::lock_guard lock(s.lock);
                s.failed = true;
                s.queue.clear();
                s.queuedBytes = 0;
            }
            // The writes are unbuffered, and only whole batches written count: what is told
            // stored is at most what the file holds (a failed batch may have left a part).
            ::close(fd);
            emit log->failed(
                QStringLiteral("Can't write the traffic log"),
                QString::fromStdString(path + ": " + std::strerror(err) + ". " +
                                       std::to_string(lines) + " chunks (" + std::to_string(bytes) +
                                       " bytes of traffic) were stored."));
            // The owner stops the log when it hears of the failure; until then chunks are
            // refused by the failed flag.
            return;
        }
        if (stopping)
            break;
    }
    ::close(fd);
    emit log->stopped(QString::fromStdString(path), lines, bytes);
}
