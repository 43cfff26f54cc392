#include "transfer/TrafficLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>
#include <system_error>

namespace {

// Writes the text out once it reaches this size, or when no chunk is due.
constexpr size_t WRITE_BATCH = 1024 * 1024;
constexpr int64_t NS_PER_S = 1000000000;
// How long a chunk waits in the writer for one stamped earlier on another thread.
constexpr int64_t REORDER_NS = 20 * 1000000;
// While chunks wait for their window, the writer takes in new ones this often.
constexpr int64_t REORDER_PACE_NS = REORDER_NS / 4;

// Each byte's " XY" (the fourth character is a spare, overwritten by the next byte), and how it
// shows between the bars: made once, so that a line costs a few table reads per byte.
struct ByteTables {
    char hex[256][4];
    char text[256];
    ByteTables() {
        const char* digits = "0123456789ABCDEF";
        for (int b = 0; b < 256; ++b) {
            hex[b][0] = ' ';
            hex[b][1] = digits[b >> 4];
            hex[b][2] = digits[b & 15];
            hex[b][3] = ' ';
            text[b] = b >= 0x20 && b <= 0x7E ? static_cast<char>(b) : '.';
        }
    }
};
const ByteTables g_tables;

// The local time of day of `wallNs` as "HH:MM:SS", with the day it falls on; the conversion is
// kept for the second it was made for, as chunks come many to a second.
struct LocalClock {
    int64_t second = INT64_MIN;
    char hms[9] = {};
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

// Text built in place, without clearing what is about to be written over.
class TextBuffer {
public:
    // Room for `n` more characters (and a spare one past them); returns where they go.
    char* Room(size_t n) {
        if (m_size + n + 1 > m_cap) {
            const size_t cap = std::max(m_cap * 2, m_size + n + 1);
            auto grown = std::make_unique<char[]>(cap);
            if (m_size > 0)  // an empty buffer has no storage yet
                std::memcpy(grown.get(), m_data.get(), m_size);
            m_data = std::move(grown);
            m_cap = cap;
        }
        return m_data.get() + m_size;
    }
    void Commit(char* end) { m_size = static_cast<size_t>(end - m_data.get()); }
    void Append(const char* s, size_t n) {
        char* p = Room(n);
        std::memcpy(p, s, n);
        Commit(p + n);
    }
    void Append(const std::string& s) { Append(s.data(), s.size()); }
    const char* Data() const { return m_data.get(); }
    size_t Size() const { return m_size; }
    void Clear() { m_size = 0; }

private:
    std::unique_ptr<char[]> m_data;
    size_t m_size = 0;
    size_t m_cap = 0;
};

// Writes `v` in decimal at p, returns the end.
char* Decimal(char* p, uint64_t v) {
    char digits[20];
    int k = 0;
    do {
        digits[k++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (k > 0)
        *p++ = digits[--k];
    return p;
}

// Writes `v` (< 10^6) as six digits at p, returns the end.
char* SixDigits(char* p, int64_t v) {
    for (int k = 5; k >= 0; --k) {
        p[k] = static_cast<char>('0' + v % 10);
        v /= 10;
    }
    return p + 6;
}

void AppendLine(TextBuffer& out, LocalClock& clock, platform::TrafficKind kind,
                const platform::Stamp& at, int64_t startNs, const unsigned char* bytes, size_t n) {
    clock.At(at.wallNs);
    const int64_t micros = ((at.wallNs % NS_PER_S) + NS_PER_S) % NS_PER_S / 1000;
    const int64_t since = at.steadyNs - startNs;
    const char* kindName = platform::TrafficKindName(kind);
    const size_t kindLen = std::strlen(kindName);
    char* p = out.Room(64 + kindLen + n * 4 + 3);
    std::memcpy(p, clock.hms, 8);
    p[8] = '.';
    p = SixDigits(p + 9, micros);
    *p++ = ' ';
    // A chunk stamped a moment before the log started (queued just after) comes out negative.
    if (since < 0)
        *p++ = '-';
    const uint64_t sinceAbs =
        since < 0 ? 0 - static_cast<uint64_t>(since) : static_cast<uint64_t>(since);
    p = Decimal(p, sinceAbs / NS_PER_S);
    *p++ = '.';
    p = SixDigits(p, static_cast<int64_t>(sinceAbs % NS_PER_S / 1000));
    *p++ = ' ';
    std::memcpy(p, kindName, kindLen);
    p += kindLen;
    *p++ = ' ';
    p = Decimal(p, n);
    for (size_t i = 0; i < n; ++i) {
        std::memcpy(p, g_tables.hex[bytes[i]], 4);  // the spare fourth is overwritten next
        p += 3;
    }
    *p++ = ' ';
    *p++ = '|';
    for (size_t i = 0; i < n; ++i)
        p[i] = g_tables.text[bytes[i]];
    p += n;
    *p++ = '|';
    out.Commit(p);
}

std::string DateLine(const tm& parts) {
    char line[32];
    std::snprintf(line, sizeof line, "date %04d-%02d-%02d", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday);
    return line;
}

bool WriteAll(int fd, const char* text, size_t size, int* err) {
    size_t done = 0;
    while (done < size) {
        const ssize_t k = ::write(fd, text + done, size - done);
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

// One queued chunk; its bytes are in its batch's byte store, from `offset`.
struct Record {
    platform::Stamp at;
    uint64_t notLoggedBefore = 0;  // bytes dropped just before this chunk
    size_t offset = 0;
    size_t n = 0;
    platform::TrafficKind kind = platform::TrafficKind::SerialRx;
};

// Chunks as the producers queue them: their records, and all their bytes in one store, so that
// queuing a chunk allocates nothing once the writer hands emptied batches back.
struct Batch {
    std::vector<Record> records;
    std::vector<unsigned char> bytes;
    void Clear() {
        records.clear();
        bytes.clear();
    }
};

}  // namespace

struct TrafficLog::Shared {
    std::mutex lock;
    std::condition_variable wake;
    Batch queued;
    size_t queuedBytes = 0;
    uint64_t pendingDrop = 0;  // dropped since the last queued chunk
    uint64_t dropped = 0;      // dropped in all
    int64_t lastBehindNs = 0;  // when fellBehind was last told
    bool stop = false;
    bool failed = false;
    // The writer sleeps until a chunk comes (only then do producers wake it), or holds
    // chunks for their reorder window and looks again at a fixed pace: a wake-up per chunk
    // would cost a system call and a sort per chunk under a flood.
    bool writerIdle = false;
};

namespace {

// The writer's side of the reorder window: the batches it took, each kept until every chunk of
// it is written, and their chunks in the order of their stamps.
class Reorder {
public:
    struct Entry {
        const Record* record;
        const unsigned char* bytes;
        uint64_t batch;  // serial number of its batch
    };

    // Takes a batch in (its records are sorted by stamp, stably, and merged with those held).
    void Add(Batch&& batch) {
        if (batch.records.empty()) {
            m_free.push_back(std::move(batch));
            return;
        }
        const uint64_t serial = m_firstSerial + m_live.size();
        m_live.push_back({std::move(batch), 0});
        Live& live = m_live.back();
        live.unwritten = live.batch.records.size();
        const size_t from = m_order.size();
        for (const Record& r : live.batch.records)
            m_order.push_back({&r, live.batch.bytes.data() + r.offset, serial});
        const auto earlier = [](const Entry& a, const Entry& b) {
            return a.record->at.steadyNs < b.record->at.steadyNs;
        };
        const auto mid = m_order.begin() + static_cast<long>(from);
        if (!std::is_sorted(mid, m_order.end(), earlier))
            std::stable_sort(mid, m_order.end(), earlier);
        if (from > 0 && earlier(*mid, *(mid - 1)))
            std::inplace_merge(m_order.begin(), mid, m_order.end(), earlier);
    }
    // The chunks held, oldest first.
    const std::vector<Entry>& Order() const { return m_order; }
    // The first `count` chunks are written: batches with nothing left unwritten are emptied
    // and kept for reuse.
    void Written(size_t count) {
        for (size_t i = 0; i < count; ++i)
            --m_live[m_order[i].batch - m_firstSerial].unwritten;
        m_order.erase(m_order.begin(), m_order.begin() + static_cast<long>(count));
        while (!m_live.empty() && m_live.front().unwritten == 0) {
            m_live.front().batch.Clear();
            m_free.push_back(std::move(m_live.front().batch));
            m_live.pop_front();
            ++m_firstSerial;
        }
    }
    // An emptied batch to give the producers, when one is free.
    std::vector<Batch>& Free() { return m_free; }

private:
    struct Live {
        Batch batch;
        size_t unwritten;
    };
    std::deque<Live> m_live;
    uint64_t m_firstSerial = 0;
    std::vector<Entry> m_order;
    std::vector<Batch> m_free;
};

}  // namespace

std::string TrafficLogLine(platform::TrafficKind kind, const platform::Stamp& at, int64_t startNs,
                           const unsigned char* bytes, size_t n) {
    TextBuffer out;
    LocalClock clock;
    AppendLine(out, clock, kind, at, startNs, bytes, n);
    return std::string(out.Data(), out.Size());
}

std::string TrafficLogDateLine(int64_t wallNs) {
    LocalClock clock;
    clock.At(wallNs);
    return DateLine(clock.parts);
}

TrafficLog::TrafficLog(platform::Retirer& retirer, QObject* parent)
    : QObject(parent), m_retirer(retirer), m_owner(std::make_shared<Owner>()) {
    m_owner->log = this;
}

TrafficLog::~TrafficLog() {
    Stop();
    // A writer still writing out (on a slow or stalled disk) tells nobody from now on.
    std::lock_guard lock(m_owner->lock);
    m_owner->log = nullptr;
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
    try {
        m_writer =
            std::thread(&TrafficLog::Write, shared, fd, path, platform::Stamp::Now(), m_owner);
    } catch (const std::system_error& e) {
        ::close(fd);
        return platform::Result::Fail(
            "Can't create the traffic log",
            path + ": the system could not start a thread to write it (" + e.what() + ").",
            e.code().value());
    }
    m_started.push_back(shared);
    m_current.store(shared.get(), std::memory_order_release);
    m_path = path;
    return platform::Result::Ok();
}

void TrafficLog::Stop() {
    Shared* s = m_current.exchange(nullptr);
    if (!s)
        return;
    {
        std::lock_guard lock(s->lock);
        s->stop = true;
    }
    s->wake.notify_one();
    // The writer writes out what was logged and ends by itself; it owns what it uses.
    m_retirer.Retire(std::move(m_writer));
}

uint64_t TrafficLog::BytesNotLogged() const {
    Shared* s = m_current.load(std::memory_order_acquire);
    if (!s)
        return 0;
    std::lock_guard lock(s->lock);
    return s->dropped;
}

void TrafficLog::Traffic(platform::TrafficKind kind, const platform::Stamp& at,
                         const unsigned char* bytes, size_t n) {
    Shared* shared = m_current.load(std::memory_order_acquire);
    if (!shared)
        return;
    uint64_t tell = 0;  // told after the lock is let go: a direct slot may call back in
    {
        Shared& s = *shared;
        std::lock_guard lock(s.lock);
        if (s.stop || s.failed)
            return;
        // A chunk costs its record and an allowance besides its bytes: a peer that sends one
        // byte a segment would otherwise fill memory many times over the bound.
        const size_t cost = n + sizeof(Record) + TRAFFIC_LOG_ALLOCATION_OVERHEAD;
        if (s.queuedBytes + cost > TRAFFIC_LOG_QUEUE_BYTES) {
            s.pendingDrop += n;
            s.dropped += n;
            // Told once a second at most, from whichever thread saw it.
            if (at.steadyNs - s.lastBehindNs >= NS_PER_S) {
                s.lastBehindNs = at.steadyNs;
                tell = s.dropped;
            }
        } else {
            Batch& q = s.queued;
            q.records.push_back({at, s.pendingDrop, q.bytes.size(), n, kind});
            q.bytes.insert(q.bytes.end(), bytes, bytes + n);
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
                       platform::Stamp start, std::shared_ptr<Owner> owner) {
    Shared& s = *shared;
    TextBuffer text;
    LocalClock clock;
    clock.At(start.wallNs);
    int lastYday = clock.parts.tm_yday, lastYear = clock.parts.tm_year;
    text.Append(DateLine(clock.parts));
    text.Append("\n", 1);
    int64_t lines = 0, bytes = 0;          // chunk lines (and their bytes) written to the file
    int64_t textLines = 0, textBytes = 0;  // the same, in `text`, waiting to be written
    int err = 0;
    auto flush = [&] {
        if (!WriteAll(fd, text.Data(), text.Size(), &err))
            return false;
        text.Clear();
        lines += textLines;
        bytes += textBytes;
        textLines = textBytes = 0;
        return true;
    };
    bool ok = true;
    // Chunks come from several threads, each stamped a moment before it is queued: they wait
    // here for REORDER_NS and go out in the order of their stamps.
    Reorder held;
    Batch taken;
    for (;;) {
        bool stopping;
        uint64_t droppedAtEnd = 0;
        {
            std::unique_lock lock(s.lock);
            const auto ready = [&] { return s.stop || !s.queued.records.empty(); };
            if (held.Order().empty()) {
                s.writerIdle = true;
                s.wake.wait(lock, ready);
                s.writerIdle = false;
            } else {
                s.wake.wait_for(lock, std::chrono::nanoseconds(REORDER_PACE_NS),
                                [&] { return s.stop; });
            }
            std::swap(taken, s.queued);
            s.queuedBytes = 0;
            // The producers fill an emptied batch next, which keeps its capacity.
            if (!held.Free().empty()) {
                std::swap(s.queued, held.Free().back());
                held.Free().pop_back();
            }
            stopping = s.stop;
            if (stopping) {
                // Dropped at the very end: said on a line of its own.
                droppedAtEnd = s.pendingDrop;
                s.pendingDrop = 0;
            }
        }
        held.Add(std::move(taken));
        taken = Batch{};  // emptied (held keeps what it was given)
        const int64_t due = platform::Stamp::Now().steadyNs - REORDER_NS;
        const auto& order = held.Order();
        size_t written = 0;
        for (; written < order.size(); ++written) {
            const Record& c = *order[written].record;
            if (!stopping && c.at.steadyNs > due)
                break;
            if (c.notLoggedBefore > 0)
                text.Append("[" + std::to_string(c.notLoggedBefore) + " bytes not logged]\n");
            clock.At(c.at.wallNs);
            if (clock.parts.tm_yday != lastYday || clock.parts.tm_year != lastYear) {
                lastYday = clock.parts.tm_yday;
                lastYear = clock.parts.tm_year;
                text.Append(DateLine(clock.parts));
                text.Append("\n", 1);
            }
            AppendLine(text, clock, c.kind, c.at, start.steadyNs, order[written].bytes, c.n);
            text.Append("\n", 1);
            ++textLines;
            textBytes += static_cast<int64_t>(c.n);
            if (text.Size() >= WRITE_BATCH && !(ok = flush()))
                break;
        }
        held.Written(written);
        if (ok && droppedAtEnd > 0)
            text.Append("[" + std::to_string(droppedAtEnd) + " bytes not logged]\n");
        if (ok && text.Size() > 0)
            ok = flush();
        if (!ok) {
            {
                std::lock_guard lock(s.lock);
                s.failed = true;
                s.queued.Clear();
                s.queuedBytes = 0;
            }
            // The writes are unbuffered, and only whole batches written count: what is told
            // stored is at most what the file holds (a failed batch may have left a part).
            ::close(fd);
            std::lock_guard tell(owner->lock);
            if (owner->log)
                emit owner->log->failed(QStringLiteral("Can't write the traffic log"),
                                        QString::fromStdString(path + ": " + std::strerror(err) +
                                                               ". " + std::to_string(lines) +
                                                               " chunks (" + std::to_string(bytes) +
                                                               " bytes of traffic) were stored."));
            // The owner stops the log when it hears of the failure; until then chunks are
            // refused by the failed flag.
            return;
        }
        if (stopping)
            break;
    }
    ::close(fd);
    {
        // What is left queued is only what nobody will write: let go of the memory now.
        std::lock_guard lock(s.lock);
        s.queued = Batch{};
    }
    std::lock_guard tell(owner->lock);
    if (owner->log)
        emit owner->log->stopped(QString::fromStdString(path), lines, bytes);
}
