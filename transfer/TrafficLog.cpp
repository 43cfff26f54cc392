#include "transfer/TrafficLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <system_error>

#include "transfer/TrafficLogFormat.h"

namespace {

// Writes the text out once it reaches this size, or when no chunk is due.
constexpr size_t WRITE_BATCH = 1024 * 1024;
constexpr int64_t NS_PER_S = 1000000000;
// How long a chunk waits in the writer for one stamped earlier on another thread.
constexpr int64_t REORDER_NS = 20 * 1000000;
// While chunks wait for their window, the writer takes in new ones this often.
constexpr int64_t REORDER_PACE_NS = REORDER_NS / 4;

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

using trafficlog::TextBuffer;

// One queued chunk; its bytes are in its batch's byte store, from `offset`.
struct Record {
    platform::Stamp at;
    uint64_t notLoggedBefore = 0;  // bytes dropped just before this chunk
    size_t offset = 0;
    size_t n = 0;
    pcapng::NetLink link;  // network chunks: the link they crossed
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

void TrafficLog::SetNetLink(const pcapng::NetLink& link) {
    std::lock_guard lock(m_linkLock);
    m_netLink = link;
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
    pcapng::NetLink link;
    if (kind == platform::TrafficKind::NetRx || kind == platform::TrafficKind::NetTx) {
        std::lock_guard lock(m_linkLock);
        link = m_netLink;
    }
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
            q.records.push_back({at, s.pendingDrop, q.bytes.size(), n, link, kind});
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
    const std::unique_ptr<trafficlog::Format> format = trafficlog::MakeFormat(path);
    format->Begin(text, start);
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
                // Dropped at the very end: told after the last chunk.
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
            format->Add(text, {c.kind, c.at, order[written].bytes, c.n, c.link}, c.notLoggedBefore);
            ++textLines;
            textBytes += static_cast<int64_t>(c.n);
            if (text.Size() >= WRITE_BATCH && !(ok = flush()))
                break;
        }
        held.Written(written);
        if (ok && droppedAtEnd > 0)
            format->NotLoggedAtEnd(text, droppedAtEnd, platform::Stamp::Now());
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
