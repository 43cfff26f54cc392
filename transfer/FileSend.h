// Outbound file send: the worker that puts a file behind its 18-byte header on a link.
#pragma once

#include <QObject>

#include <atomic>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/AbortSignal.h"

constexpr int SERIAL_SEND_CHUNK = 255;
constexpr int NETWORK_SEND_CHUNK = 512;
// Over UDP each chunk is one datagram: small enough for any device server's buffer.
constexpr int UDP_SEND_CHUNK = 1024;
constexpr int SEND_START_DELAY_MS = 1000;
// The header announces the length in 32 bits and the receiver takes at most 2^31 - 1 bytes.
constexpr int64_t MAX_SEND_FILE_SIZE = 0x7FFFFFFF;

// How one send ended.
struct SendResult {
    enum class End {
        Sent,        // the header and every byte of the file were sent
        Stopped,     // cut short: the run ended, was superseded, or the link failed
        OpenFailed,  // the file could not be opened
        ReadFailed,  // reading the file failed part-way; nothing after it was sent
    };
    End end = End::Stopped;
    std::string why;  // OpenFailed, ReadFailed: "<path>: <strerror>"
};

struct SendFileJob {
    std::string path;
    int chunk = SERIAL_SEND_CHUNK;
    bool yieldAfterChunk = false;
    int startDelayMs = SEND_START_DELAY_MS;
    // Called right before the header is sent (the moment the transfer's time is taken from).
    std::function<void()> headerLeaving;
    // Sends one chunk; false when the link failed (or the abort cut it short), and nothing more
    // is sent then. Must honour the abort it is given.
    std::function<bool(const unsigned char*, int, const platform::AbortSignal&)> send;
    // Called once the last byte of the file has been sent (not when the sending was stopped).
    std::function<void()> sentAll;
};

// One send: opens the file, waits the start delay (ended early by the abort), sends the header and
// then the file in chunks until the end of the file, a failed send, a failed read, `stop` (no
// further chunk: the header still goes out after the delay) or the abort (nothing more at all,
// and a send waiting for room returns at once).
SendResult SendFile(const SendFileJob& job, const std::atomic<bool>& stop,
                    const platform::AbortSignal& abort);

// The file-send workers of one pass-through: at most one runs for the current run; a worker of an
// ended or superseded run is cut short through its abort and ends on its own. A worker owns what
// it uses (its job, its abort, its descriptors) and only posts values: it never waits for the UI
// thread, and the UI thread never waits for it. Threads are joined when this object is destroyed;
// one that has told everything is reaped, past its last statement, when the next starts.
class SendWorkers : public QObject {
    Q_OBJECT
public:
    // Starts a thread running fn; false when the system has none to give. Injected by tests.
    using Launcher = std::function<bool(std::function<void()> fn, std::thread* out)>;

    explicit SendWorkers(QObject* parent = nullptr);
    ~SendWorkers() override;

    void SetLauncher(Launcher launcher) { m_launcher = std::move(launcher); }
    // Starts the worker of `run` (the one before it is cut short first). False when its thread
    // could not be started.
    bool Start(uint64_t run, SendFileJob job);
    // The worker of `run` sends no further chunk (its header still goes out after the start
    // delay); any thread.
    void Stop(uint64_t run);
    // Cuts the worker of `run` short: it sends nothing more, and a send waiting for room returns
    // at once (any thread); 0: every worker.
    void Abort(uint64_t run = 0);
    // The worker of the current run has not yet told that it ended (UI thread).
    bool Running() const { return m_nCurrent != 0; }

signals:
    // The worker of `run` has ended (queued to the owner's thread, after everything else it
    // told).
    void ended(quint64 run, const SendResult& result);

private:
    struct Worker;
    struct Thread {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;  // the thread has told everything it will
    };
    // Joins the threads that have told everything (UI thread).
    void Reap();
    // The worker of `run` has ended: nothing is left to stop or abort (UI thread).
    void Forget(uint64_t run);

    Launcher m_launcher;
    std::vector<Thread> m_threads;  // UI thread only
    std::mutex m_lock;              // guards m_workers: Stop() comes from a capture's thread too
    std::vector<std::shared_ptr<Worker>> m_workers;
    uint64_t m_nCurrent = 0;  // the run of the worker that runs; 0: none
};

Q_DECLARE_METATYPE(SendResult)
