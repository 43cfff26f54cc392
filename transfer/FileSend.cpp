#include "transfer/FileSend.h"

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <system_error>
#include <vector>

#include "platform/File.h"
#include "transfer/Capture.h"

namespace {

// How much of the file one read takes.
constexpr size_t READ_BLOCK = 64 * 1024;

// Waits `ms` or until the abort is raised; true when the whole wait passed.
bool WaitUnlessAborted(int ms, const platform::AbortSignal& abort) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!abort.IsRaised()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return true;
        const int abortFd = abort.Fd();
        pollfd fd{abortFd, POLLIN, 0};
        // Without an abort descriptor the wait is cut into steps so that the flag is still seen.
        const int step = abortFd >= 0 ? static_cast<int>(left) : std::min<int>(50, left);
        ::poll(&fd, abortFd >= 0 ? 1 : 0, step);
    }
    return false;
}

}  // namespace

SendResult SendFile(const SendFileJob& job, const std::atomic<bool>& stop,
                    const platform::AbortSignal& abort) {
    SendResult result;
    platform::CFile file;
    if (!file.OpenRead(job.path)) {
        result.end = SendResult::End::OpenFailed;
        result.why = job.path + ": " + file.LastError();
        return result;
    }
    if (!WaitUnlessAborted(job.startDelayMs, abort))
        return result;

    // The header goes out even when the run was stopped during the wait (a cancel); a file of
    // 2^31 bytes or more never gets here: the pass-through refuses it.
    unsigned char header[FILE_HEADER_SIZE];
    BuildFileHeader(static_cast<uint32_t>(file.GetLength()), header);
    if (job.headerLeaving)
        job.headerLeaving();
    if (!job.send(header, FILE_HEADER_SIZE, abort))
        return result;

    // The file is read in large blocks (one read per 64 KiB, not one per chunk); on the link it
    // still goes out in `job.chunk`-byte pieces, the last piece of a block joined to the next
    // block's start so that every piece but the file's last is whole.
    const size_t chunk = static_cast<size_t>(job.chunk);
    const size_t block = std::max<size_t>(chunk, READ_BLOCK / chunk * chunk);
    std::vector<unsigned char> buf(block);
    long n = file.Read(buf.data(), buf.size());
    while (n > 0 && !stop.load() && !abort.IsRaised()) {
        size_t have = static_cast<size_t>(n);
        // A short read is not the end: fill the block so that the pieces stay whole.
        while (have < block) {
            const long more = file.Read(buf.data() + have, block - have);
            if (more <= 0) {
                n = more;
                break;
            }
            have += static_cast<size_t>(more);
        }
        for (size_t at = 0; at < have && !stop.load() && !abort.IsRaised(); at += chunk) {
            if (!job.send(buf.data() + at, static_cast<int>(std::min(chunk, have - at)), abort))
                return result;
            if (job.yieldAfterChunk)
                std::this_thread::yield();
        }
        if (stop.load() || abort.IsRaised())
            return result;
        if (n <= 0 || have < block)
            break;
        n = file.Read(buf.data(), buf.size());
    }
    if (n < 0) {
        // The device would otherwise wait for bytes that never come, and the run end as its
        // time-out, blaming the device.
        result.end = SendResult::End::ReadFailed;
        result.why = job.path + ": " + file.LastError();
        return result;
    }
    if (n == 0) {
        result.end = SendResult::End::Sent;
        if (job.sentAll)
            job.sentAll();
    }
    return result;
}

struct SendWorkers::Worker {
    uint64_t run = 0;
    platform::AbortSignal abort;
    std::atomic<bool> stop{false};
};

SendWorkers::SendWorkers(QObject* parent) : QObject(parent) {
    qRegisterMetaType<SendResult>();
    m_launcher = [](std::function<void()> fn, std::thread* out) {
        try {
            *out = std::thread(std::move(fn));
        } catch (const std::system_error&) {
            return false;
        }
        return true;
    };
}

SendWorkers::~SendWorkers() {
    Abort();
    for (Thread& t : m_threads)
        if (t.thread.joinable())
            t.thread.join();
}

void SendWorkers::Reap() {
    auto done = [](Thread& t) {
        if (!t.done->load())
            return false;
        if (t.thread.joinable())
            t.thread.join();  // past its last statement: returns at once
        return true;
    };
    m_threads.erase(std::remove_if(m_threads.begin(), m_threads.end(), done), m_threads.end());
}

bool SendWorkers::Start(uint64_t run, SendFileJob job) {
    Abort();
    Reap();
    auto worker = std::make_shared<Worker>();
    worker->run = run;
    auto done = std::make_shared<std::atomic<bool>>(false);
    // The thread holds its own share of the worker while it sends: its abort outlives every send
    // it cuts short. Its job (the file's name, a descriptor of its own) is the thread's alone.
    auto body = [this, w = worker, job = std::move(job), done]() mutable {
        const SendResult result = SendFile(job, w->stop, w->abort);
        const quint64 r = w->run;
        job = SendFileJob{};  // lets go of the descriptors the job held
        w.reset();
        QMetaObject::invokeMethod(
            this,
            [this, r, result] {
                Forget(r);
                if (m_nCurrent == r)
                    m_nCurrent = 0;
                emit ended(r, result);
            },
            Qt::QueuedConnection);
        done->store(true);
    };
    Thread t;
    t.done = done;
    if (!m_launcher(std::move(body), &t.thread))
        return false;
    m_threads.push_back(std::move(t));
    {
        std::lock_guard lock(m_lock);
        m_workers.push_back(std::move(worker));
    }
    m_nCurrent = run;
    return true;
}

void SendWorkers::Forget(uint64_t run) {
    std::lock_guard lock(m_lock);
    m_workers.erase(
        std::remove_if(m_workers.begin(), m_workers.end(),
                       [run](const std::shared_ptr<Worker>& w) { return w->run == run; }),
        m_workers.end());
}

void SendWorkers::Stop(uint64_t run) {
    std::lock_guard lock(m_lock);
    for (auto& w : m_workers)
        if (w->run == run)
            w->stop.store(true);
}

void SendWorkers::Abort(uint64_t run) {
    std::lock_guard lock(m_lock);
    for (auto& w : m_workers)
        if (run == 0 || w->run == run)
            w->abort.Raise();
}
