// File pass-through without a window: sends a file behind its header on one link and captures
// what the device passes through on the other, with the 2-second silence time-outs.
//
// Every signal is emitted on the UI thread, in the order the run produced it: the serial
// capture (on the port's receive thread) hands its progress over synchronously through the
// port's channel, the file-send worker queues its one failure.
#pragma once

#include <QEvent>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "display/ReceiveTap.h"
#include "platform/Result.h"
#include "transfer/Capture.h"
#include "transfer/FileSend.h"

class CLinkSocket;
class NetConsole;
class SerialConsole;

enum class PassDirection { SerialToNet, NetToSerial };

// How a run ended.
struct PassOutcome {
    // LinkLost: the network link closed or failed, or the serial port was lost, while the file
    // was under way; the run ended at once.
    enum class End { Completed, Rejected, OpenFailed, WriteFailed, Cancelled, TimedOut, LinkLost };
    End end = End::Cancelled;
    PassDirection direction = PassDirection::SerialToNet;
    std::string path;    // the capture file, when one was created (or was to be)
    std::string text;    // for a capture that was not stored, or a lost link: the user's text
    std::string detail;  // and its detail (path, link, the OS's reason, bytes stored)

    // What the capture stored, compared with the sent file while it was stored. Filled for
    // Completed, Rejected, OpenFailed, WriteFailed, TimedOut and LinkLost.
    int64_t announced = -1;  // bytes the header announced; -1 when no header arrived
    int64_t stored = 0;      // bytes stored in the capture file
    int64_t sent = -1;       // bytes of the sent file
    // Offset of the first stored byte that differs from the sent file (or where the shorter of
    // the two ends, for a completed capture); none: every stored byte is equal.
    std::optional<int64_t> firstMismatch;
    // Seconds from the header leaving (the worker's header send) to the last byte stored, and
    // the bytes stored per second over that time; 0 when nothing was stored.
    double seconds = 0;
    double bytesPerSecond = 0;

    // Completed, and the stored bytes are the sent file.
    bool Verified() const {
        return end == End::Completed && !firstMismatch && sent >= 0 && stored == sent;
    }
    // Completed, but the stored bytes are not the sent file.
    bool Mismatch() const { return end == End::Completed && !Verified(); }
    // Ended before the whole file arrived: a time-out after file bytes were stored, or a lost
    // link.
    bool Short() const { return (end == End::TimedOut && stored > 0) || end == End::LinkLost; }
};
Q_DECLARE_METATYPE(PassOutcome)

// How long a file-send worker may go on by itself before its sends are cut short, when a new
// run starts or its link goes away.
constexpr int SEND_WORKER_GRACE_MS = 2000;
// The pause between the end of a capture and its close request.
constexpr int END_PAUSE_MS = 100;

class PassThrough : public QObject {
    Q_OBJECT
public:
    PassThrough(SerialConsole& serial, NetConsole& net, QObject* parent = nullptr);
    ~PassThrough() override;

    // Injected: the pause before the header (1000 ms), the folder for captures (with its
    // trailing '/'; empty = the program's directory) and the clock that names them.
    void SetStartDelay(int ms) { m_nStartDelayMs = ms; }
    void SetOutputDirectory(const std::string& dir) { m_strOutputDir = dir; }
    void SetClock(CaptureClock clock) { m_clock = std::move(clock); }
    // On: the capture's 2-second silence time-out also starts when the header leaves, so a
    // device that passes nothing at all ends the run with a time-out. Off (the window): it starts
    // with the first byte the device passes, and the user's Cancel ends a silent run.
    void SetTimeoutFromHeader(bool on) { m_bTimeoutFromHeader = on; }

    // The file may be sent: it opens for reading and its length fits the header. Fails with
    // "Can't Open File" or "File too large: at most 2147483647 bytes can be sent".
    static platform::Result CheckSendFile(const std::string& path);

    // Starts a run: sends `path` (shown as `name`, the part stored in the capture's file name)
    // on one link and arms capture on the other. Fails, with nothing armed, when the file may
    // not be sent, or there is no network link ("No device is connected to the server").
    platform::Result Start(PassDirection direction, const std::string& path,
                           const std::string& name);
    // Ends the run at once (the user's Cancel): the worker sends no further chunk, and what a
    // serial send left in the port's output queue is discarded.
    void Cancel();
    // Whoever showed the run has finished with it (the progress dialog returned): the transfer
    // flag drops, and a network link used for sending goes back to notifications once its worker
    // has sent its last chunk.
    void Finish();
    // Waits for the file-send worker to end; after graceMs its sends are cut short.
    void JoinWorker(int graceMs);

    bool IsActive() const { return m_bTransferActive.load() != 0; }
    bool IsTimerRunning(int timerId) const;

    // 1 while a file transfer runs; the workers and the serial capture watch it.
    std::atomic<int32_t> m_bTransferActive{0};
    // The name (without directory) of the file being sent.
    std::string m_strSendFileName;
    CCaptureFields m_serialCapture;
    CCaptureFields m_netCapture;

signals:
    // The progress of a capture: the bar's range, its position (percent), the byte count text.
    void progressRange(int low, int high);
    void progressPos(int percent);
    void progressText(const QString& text);
    // A capture ended (completed, rejected or not stored): whoever shows the progress closes it.
    void closeRequested();
    // A capture time-out fired (IDT_SERIAL_TIMEOUT or IDT_NETWORK_TIMEOUT); endedRun when a
    // transfer was running and has now ended.
    void timedOut(int timerId, bool endedRun);
    // The file-send worker could not open the file ("Can't open file"); the run goes on until
    // it is cancelled or times out.
    void sendFailed(const QString& text, const QString& detail);
    // The run has ended, once.
    void finished(const PassOutcome& outcome);

protected:
    bool event(QEvent* e) override;

private:
    class LinkTap;
    class LinkHost;
    friend class LinkHost;

    void OnTimeout(int timerId);
    void EndRun(const PassOutcome& outcome);
    void StopTimeouts();
    void RestartTimeout(int timerId);
    void StopTimeout(int timerId);
    void DiscardSerialOutput();
    void OnLinkGoing(CLinkSocket* link);
    // The network worker of `run` has sent the whole file.
    void OnNetFileSent(uint64_t run);
    bool StartWorker(SendFileJob job);
    bool WaitStartDelay(uint64_t run);
    // Fills the outcome's byte counts, comparison and timing from a capture's tally.
    void ApplyTally(PassOutcome& out, const CaptureTally& tally) const;
    // A link went away while the file was under way: the run ends at once as LinkLost with
    // "Link lost : <why>" and `what` (which link, what happened) as detail. Nothing happens when
    // no transfer runs or its capture has already completed.
    void EndOnLinkLost(const std::string& why, const std::string& what);

    SerialConsole& m_serial;
    NetConsole& m_net;
    int m_nStartDelayMs = SEND_START_DELAY_MS;
    bool m_bTimeoutFromHeader = false;
    std::string m_strOutputDir;
    CaptureClock m_clock;

    // The current run, counted up by every Start (UI thread writes, the worker reads).
    std::atomic<uint64_t> m_nRun{0};
    bool m_bRunOpen = false;  // finished not yet emitted for the current run
    PassDirection m_direction = PassDirection::SerialToNet;
    PassOutcome m_pendingEnd;  // the capture's end, told after the end pause
    QTimer m_endTimer;
    // Per capture time-out (serial, network): the time of the last chunk (steady clock, ms) and
    // whether the timer runs.
    std::atomic<int64_t> m_nLastChunkMs[2] = {0, 0};
    std::atomic<bool> m_bTimerArmed[2] = {false, false};
    int64_t m_nSentSize = -1;  // bytes of the file being sent
    // When the current run's header started to leave (steady clock, ns; 0 = not yet). Written by
    // the worker, read where a capture ends.
    std::atomic<int64_t> m_nHeaderLeftNs{0};
    // The network capture's tally, taken when its link went during a transfer (the link is gone
    // before peerGone is told).
    std::optional<CaptureTally> m_netGoneTally;

    // The one file-send worker.
    std::thread m_worker;
    std::atomic<bool> m_bWorkerRunning{false};
    std::atomic<bool> m_bStopWorker{false};
    bool m_bWorkerOnSerial = false;
    CLinkSocket* m_pWorkerLink = nullptr;
    // The current run sent its whole file on the network link (net to serial): the device has
    // every byte, so the link going from then on no longer ends the run; the serial capture does.
    bool m_bFileSentOnNet = false;
    std::mutex m_wakeLock;  // the worker's start delay ends early when it must stop
    std::condition_variable m_wake;

    std::unique_ptr<LinkHost> m_pSerialHost;
    std::unique_ptr<LinkHost> m_pNetHost;
    std::unique_ptr<LinkTap> m_pSerialTap;
    std::unique_ptr<LinkTap> m_pNetTap;
};
