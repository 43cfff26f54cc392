// The traffic log: every chunk of both links in one file, in time order, written by a thread of
// its own so that no link ever waits for the disk: text lines, one a chunk, or a capture file
// for Wireshark when the name ends in ".pcapng" (see TrafficLogFormat.h). And the hub that hands
// each chunk of one engine's links to its log and to one measurement.
#pragma once

#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Result.h"
#include "platform/Retirer.h"
#include "platform/Traffic.h"
#include "transfer/Pcapng.h"
#include "transfer/TrafficLogFormat.h"

// What the log may hold in memory, waiting for the disk: beyond it, chunks are not logged and
// the log says so where they would have been ("[N bytes not logged]", in a capture file a packet
// comment). Each chunk counts its bytes, its record and an allowance for what its storage costs
// beside them.
constexpr size_t TRAFFIC_LOG_QUEUE_BYTES = 16 * 1024 * 1024;
constexpr size_t TRAFFIC_LOG_ALLOCATION_OVERHEAD = 32;

class TrafficLog : public QObject, public platform::ITrafficObserver {
    Q_OBJECT
public:
    // A stopped log's writer, which may still be writing out what was logged, is handed to
    // `retirer` (which must outlive the log): neither Stop nor the log's end waits for a disk.
    explicit TrafficLog(platform::Retirer& retirer, QObject* parent = nullptr);
    ~TrafficLog() override;

    // Creates (or empties) the file at `path` and logs from now on: a capture file when the name
    // ends in ".pcapng" (any case), else text lines. Fails with "Can't create the
    // traffic log" and the OS's reason, logging nothing. A log already running is stopped first.
    platform::Result Start(const std::string& path);
    // Stops logging: what was logged so far is written out by the writer, which then closes the
    // file and tells stopped() (unless the log is gone by then). Returns at once.
    void Stop();
    bool Active() const { return m_current.load(std::memory_order_acquire) != nullptr; }
    const std::string& Path() const { return m_path; }
    // Bytes not logged because the writer fell behind, since Start.
    uint64_t BytesNotLogged() const;

    // Any thread: the network link's addresses and protocol from now on, kept with each network
    // chunk queued after it (a capture file shows the chunks between them). Kept across Stop
    // and Start; 0.0.0.0 ports 0 until it is first told.
    void SetNetLink(const pcapng::NetLink& link);

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
    // What one log's writer shares with the producers and with the log (see TrafficLog.cpp).
    struct Shared;
    // The log as its writers reach it: cleared when the log goes, so that a writer still
    // flushing never tells a log that is gone.
    struct Owner {
        std::mutex lock;
        TrafficLog* log = nullptr;
    };
    static void Write(std::shared_ptr<Shared> shared, int fd, std::string path,
                      platform::Stamp start, std::shared_ptr<Owner> owner);

    platform::Retirer& m_retirer;
    std::shared_ptr<Owner> m_owner;
    // The running log's shared part, read by the producers without a lock. Every Shared a log
    // ever had stays alive as long as the log (m_started), so a producer that read the pointer
    // just before a Stop still finds it, and refuses its chunk by its stop flag.
    std::atomic<Shared*> m_current{nullptr};
    std::vector<std::shared_ptr<Shared>> m_started;  // UI thread
    std::thread m_writer;                            // the running log's writer
    std::string m_path;
    std::mutex m_linkLock;
    pcapng::NetLink m_netLink;  // guarded by m_linkLock
};

// Every chunk of one engine's links goes to its traffic log and to one measurement (a latency
// test). Both are set by the owner; each must outlive the engine's link threads.
class TrafficHub : public platform::ITrafficObserver {
public:
    explicit TrafficHub(TrafficLog& log) : m_log(log) {}
    void SetMeasure(platform::ITrafficObserver* measure) { m_measure.store(measure); }
    // Hooks `measure` unless another measurement is hooked (true when it is hooked now).
    bool HookMeasure(platform::ITrafficObserver* measure) {
        platform::ITrafficObserver* none = nullptr;
        return m_measure.compare_exchange_strong(none, measure) || none == measure;
    }
    // Unhooks `measure` when it is the one hooked. A link thread may still be in its Traffic()
    // when this returns: the measure must live until the engine's link threads have ended.
    void UnhookMeasure(platform::ITrafficObserver* measure) {
        m_measure.compare_exchange_strong(measure, nullptr);
    }
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
