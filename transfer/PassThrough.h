// File pass-through without a window: sends a file behind its header on one link and captures
// what the device passes through on the other, with the 2-second silence time-outs.
//
// Every signal is emitted on the UI thread, in the order the run produced it. The serial capture
// (on the port's receive thread) and the file-send worker only post values to it; neither ever
// waits for the UI thread, and the UI thread never waits for them.
#pragma once

#include <QEvent>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

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
    // was under way; the run ended at once. ReadFailed: the file being sent could not be read
    // part-way ("Can't read the file"); the run ended at once.
    enum class End {
        Completed,
        Rejected,
        OpenFailed,
        WriteFailed,
        Cancelled,
        TimedOut,
        LinkLost,
        ReadFailed
    };
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
    // What kind of difference the stored bytes show, in one line (see DiagnoseFiles); filled for
    // a mismatch and a short capture when it is recognised, else empty.
    std::string diagnosis;

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

// The pause between the end of a capture and the end of its run.
constexpr int END_PAUSE_MS = 100;

class CaptureTimeout;

// How a pass-through runs its runs, set by its owner: the pause before the header, the folder for
// captures (with its trailing '/'; empty = the program's directory), the clock that names them,
// and whether the capture's time-out also starts when the header leaves.
struct PassSettings {
    int startDelayMs = SEND_START_DELAY_MS;
    std::string outputDir;
    CaptureClock clock;
    bool timeoutFromHeader = false;
    // Over UDP, the bytes a second file datagrams go out at: < 0 the serial line's byte rate
    // (a datagram the device cannot write to its UART is lost), 0 as fast as the socket takes
    // them.
    double udpBytesPerSecond = -1;
};

class PassThrough : public QObject {
    Q_OBJECT
public:
    PassThrough(SerialConsole& serial, NetConsole& net, QObject* parent = nullptr);
    ~PassThrough() override;

    // Injected: the pause before the header (1000 ms), the folder for captures (with its
    // trailing '/'; empty = the program's directory), the clock that names them, and how the
    // file-send worker's thread is started (tests).
    void SetStartDelay(int ms) { m_settings.startDelayMs = ms; }
    void SetOutputDirectory(const std::string& dir) { m_settings.outputDir = dir; }
    void SetClock(CaptureClock clock) { m_settings.clock = std::move(clock); }
    void SetWorkerLauncher(SendWorkers::Launcher launcher);
    // On: the capture's 2-second silence time-out also starts when the header leaves, so a
    // device that passes nothing at all ends the run with a time-out. Off (the window): it starts
    // with the first byte the device passes, and the user's Cancel ends a silent run.
    void SetTimeoutFromHeader(bool on) { m_settings.timeoutFromHeader = on; }
    // Over UDP: file datagrams at `bytesPerSecond`; < 0 (the default) at the serial line's byte
    // rate, 0 unpaced.
    void SetUdpPace(double bytesPerSecond) { m_settings.udpBytesPerSecond = bytesPerSecond; }

    // The file may be sent: it opens for reading and its length fits the header. Fails with
    // "Can't Open File" or "File too large: at most 2147483647 bytes can be sent".
    static platform::Result CheckSendFile(const std::string& path);

    // Starts a run: sends `path` (shown as `name`, the part stored in the capture's file name)
    // on one link and arms capture on the other. Fails, with nothing armed, when the file may
    // not be sent, there is no network link ("No device is connected to the server"), or the
    // file-send worker cannot be started ("Can't start the file send"). A run that was going
    // ends first (as cancelled) and its worker is cut short.
    platform::Result Start(PassDirection direction, const std::string& path,
                           const std::string& name);
    // Ends the run at once (the user's Cancel): the worker's send is cut short, and what a
    // serial send left in the port's output queue is discarded.
    void Cancel();

    // Where the current run is: Idle (none, or it has ended and told finished), Running (started,
    // its end not yet known), Ending (its capture has ended or a link was lost; finished is told
    // after the end pause, unless a Cancel ends it at once with the same outcome).
    enum class RunState { Idle, Running, Ending };
    RunState State() const { return m_state; }
    bool IsRunning() const { return m_state != RunState::Idle; }
    // The transfer flag: set by Start, cleared by the end of the capture, a cancel, a time-out or
    // a lost link (a few ms before finished is told). Any thread.
    bool IsActive() const { return m_nActiveRun.load() != 0; }
    // The name (without directory) of the file of the latest run.
    const std::string& SendFileName() const { return m_run.sendFileName; }
    // Whether a link's received chunks go to its capture now.
    bool IsCaptureArmed(bool serialLink) const;
    bool IsTimerRunning(CaptureLink link) const;

signals:
    // A capture's progress, as values: once its header's length is read (stored 0), then the
    // bytes stored so far (see CAPTURE_PROGRESS_INTERVAL_MS). `direction` is the run's.
    void progress(PassDirection direction, qint64 stored, qint64 announced);
    // A capture time-out fired on `link`; endedRun when a
    // transfer was running and has now ended.
    void timedOut(CaptureLink link, bool endedRun);
    // The file-send worker could not open the file ("Can't open file"); the run goes on until
    // it is cancelled or times out.
    void sendFailed(const QString& text, const QString& detail);
    // The run has ended, once.
    void finished(const PassOutcome& outcome);

private:
    // One link as the pass-through sees it: its capture, the capture's time-out, and what the
    // capture and the link's receive path ask of the pass-through.
    class Link;
    friend class Link;

    // The current run, made afresh by every Start.
    struct Run {
        PassDirection direction = PassDirection::SerialToNet;
        std::string sendFileName;
        std::string sendPath;   // the file being sent
        int64_t sentSize = -1;  // bytes of the file being sent
        // When the header started to leave (steady clock, ns; 0 = not yet). Written by the
        // run's worker, which holds its own share, read where a capture ends.
        std::shared_ptr<std::atomic<int64_t>> headerLeftNs =
            std::make_shared<std::atomic<int64_t>>(0);
        PassOutcome pendingEnd;  // Ending: the outcome told when the end pause is over
        // The network capture's tally, taken when its link went during a transfer (the link is
        // gone before peerGone is told).
        std::optional<CaptureTally> netGoneTally;
        bool workerOnSerial = false;
        // The network link the worker sends on, switched to blocking mode (no notifications)
        // for it; null once the link is back to notifications or gone.
        CLinkSocket* sendingLink = nullptr;
        // The whole file went out on the network link (net to serial): the device has every
        // byte, so the link going from then on no longer ends the run; the serial capture does.
        bool fileSentOnNet = false;
    };

    void OnTimeout(CaptureLink link);
    void OnWorkerEnded(uint64_t run, const SendResult& result);
    // Ends the current run with `outcome`: the transfer flag drops, the worker is cut short and
    // finished is told. Nothing happens when no run is open.
    void EndRun(const PassOutcome& outcome);
    // Running -> Ending: `outcome` is told after `pauseMs`.
    void EndAfterPause(const PassOutcome& outcome, int pauseMs);
    void StopTimeouts();
    Link& LinkOf(CaptureLink link) const;
    // The link that captures in the current run.
    Link& CapturingLink() const;
    void DiscardSerialOutput();
    void OnLinkGoing(CLinkSocket* link);
    // The network link the worker sent on goes back to notifications.
    void ReleaseSendingLink();
    // The outcome of the current run as `end`, with its direction and, from a capture's tally,
    // its byte counts, comparison and timing.
    PassOutcome OutcomeOf(PassOutcome::End end, const CaptureTally* tally = nullptr) const;
    // A mismatch or a short capture: says what kind of difference the file stored at
    // `storedPath` shows against the sent file. Reads only the neighbourhood of the first
    // difference (see DIAGNOSIS_BEFORE), so it is bounded work on the UI thread.
    void Diagnose(PassOutcome& out, const std::string& storedPath) const;
    // A link went away while the file was under way: the run ends at once as LinkLost with
    // "Link lost : <why>" and `what` (which link, what happened) as detail. Nothing happens when
    // no transfer runs or its capture has already completed.
    void EndOnLinkLost(const std::string& why, const std::string& what);

    SerialConsole& m_serial;
    NetConsole& m_net;
    PassSettings m_settings;
    // The current run, counted up by every Start (UI thread writes; captures and workers carry
    // the run they belong to, and their late news is dropped once it is not the current one).
    std::atomic<uint64_t> m_nRun{0};
    // The transfer flag: the run whose transfer is active, 0 when none. Cleared by whichever
    // ends the transfer first (the capture on its thread, or the UI thread), so that exactly one
    // of them ends it.
    std::atomic<uint64_t> m_nActiveRun{0};
    RunState m_state = RunState::Idle;
    Run m_run;
    QTimer m_endTimer;
    std::unique_ptr<Link> m_pSerialLink;
    std::unique_ptr<Link> m_pNetLink;
    // Last: destroyed first, so every worker is joined before anything it may use goes.
    SendWorkers m_workers;
};
