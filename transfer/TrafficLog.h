// The traffic log: every chunk of both links in one text file, in time order, one line a chunk,
// written by a thread of its own so that no link ever waits for the disk. And the hub that hands
// each chunk of one engine's links to its log and to one measurement.
#pragma once

#include <QObject>
#include <QString>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Result.h"
#include "platform/Traffic.h"

// What the log may hold in memory, waiting for the disk: beyond it, chunks are not logged and
// the log says so ("[N bytes not logged]") where they would have been. Each chunk counts its
// bytes, its record and what the allocator keeps beside its heap block.
constexpr size_t TRAFFIC_LOG_QUEUE_BYTES = 16 * 1024 * 1024;
constexpr size_t TRAFFIC_LOG_ALLOCATION_OVERHEAD = 32;

// One line of the log, without its line feed:
//   "HH:MM:SS.ffffff SECONDS KIND COUNT HEX |TEXT|"
// local time of day to the microsecond, seconds since the log started (six decimals), the link
// and direction ("serial-rx", ...), the byte count, each byte as two hex digits separated by
// spaces, and the bytes as text between bars, with every byte outside 0x20..0x7E shown as '.'.
std::string TrafficLogLine(platform::TrafficKind kind, const platform::Stamp& at, int64_t startNs,
                           const unsigned char* bytes, size_t n);
// The line that gives the date, first in the log (the day it started) and again before the
// first chunk after each local midnight: "date YYYY-MM-DD".
std::string TrafficLogDateLine(int64_t wallNs);

class TrafficLog : public QObject, public platform::ITrafficObserver {
    Q_OBJECT
public:
    explicit TrafficLog(QObject* parent = nullptr);
    ~TrafficLog() override;

    // Creates (or empties) the file at `path` and logs from now on. Fails with "Can't create the
    // traffic log" and the OS's reason, logging nothing. A log already running is stopped first.
    platform::Result Start(const std::string& path);
    // Stops logging: what was logged so far is written out by the writer, which then closes the
    // file and tells stopped(). Returns at once.
    void Stop();
    bool Active() const;
    const std::string& Path() const { return m_path; }
    // Bytes not logged because the writer fell behind, since Start.
    uint64_t BytesNotLogged() const;

    // Any thread: queues a copy of the chunk, or counts it as not logged when the queue is full.
    void Traffic(platform::TrafficKind kind, const platform::Stamp& at, const unsigned char* bytes,
                 size_t n) override;

signals:
    // The writer has closed the file after a Stop: `bytes` logged in `lines` chunk lines.
    void stopped(const QString& path, qint64 lines, qint64 bytes);
    // The first time chunks were not logged in this log, and then at most once a second while it
    // goes on: the count so far.
    void fellBehind(qint64 bytesNotLogged);
    // The file could not be written (a full disk, a removed folder): logging stopped, the links
    // go on. `text` "Can't write the traffic log"; `detail` names the file, the reason and what
    // was stored.
    void failed(const QString& text, const QString& detail);

private:
    struct Chunk {
        platform::TrafficKind kind;
        platform::Stamp at;
        std::vector<unsigned char> bytes;
        uint64_t notLoggedBefore = 0;  // bytes dropped just before this chunk
    };
    // What the writer thread shares with the producers; it holds it as long as it runs, so a
    // writer still flushing never touches a log that is gone.
    struct Shared {
        std::mutex lock;
        std::condition_variable wake;
        std::deque<Chunk> queue;
        size_t queuedBytes = 0;
        uint64_t pendingDrop = 0;  // dropped since the last queued chunk
        uint64_t dropped = 0;      // dropped in all
        bool stop = false;
        bool failed = false;
        // The writer sleeps until a chunk comes (only then do producers wake it), or holds
        // chunks for their reorder window and looks again at a fixed pace: a wake-up per chunk
        // would cost a system call and a sort per chunk under a flood.
        bool writerIdle = false;
    };
    static void Write(std::shared_ptr<Shared> shared, int fd, std::string path,
                      platform::Stamp start, QObject* owner);

    mutable std::mutex m_lock;  // guards m_shared (the producers read it)
    std::shared_ptr<Shared> m_shared;
    std::string m_path;
    std::vector<std::thread> m_writers;  // joined at destruction; each ends by itself after Stop
    int64_t m_lastBehindNs = 0;
};

// Every chunk of one engine's links goes to its traffic log and to one measurement (a latency
// test). Both are set by the owner; each must outlive the engine's link threads.
class TrafficHub : public platform::ITrafficObserver {
public:
    explicit TrafficHub(TrafficLog& log) : m_log(log) {}
    void SetMeasure(platform::ITrafficObserver* measure) { m_measure.store(measure); }
    void Traffic(platform::TrafficKind kind, const platform::Stamp& at, const unsigned char* bytes,
                 size_t n) override {
        if (m_log.Active())
            m_log.Traffic(kind, at, bytes, n);
        if (platform::ITrafficObserver* m = m_measure.load(std::memory_order_acquire))
            m->Traffic(kind, at, bytes, n);
    }

private:
    TrafficLog& m_log;
    std::atomic<platform::ITrafficObserver*> m_measure{nullptr};
};
