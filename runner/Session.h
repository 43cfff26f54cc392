// One session of vaskel-passthrough (one device, one setting): prepares the data, brings up both
// links through the terminal engine, runs every direction of every repetition. It writes nothing
// itself: it keeps its results as values and tells a sink of each as it comes, and the reporter
// behind the sink writes every format. Needs a Qt event dispatcher on its thread; waits in local
// event loops.
#pragma once

#include <QObject>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "runner/Clients.h"
#include "runner/Datagrams.h"
#include "runner/Latency.h"
#include "runner/Options.h"
#include "runner/Progress.h"
#include "runner/Reconnect.h"
#include "runner/Results.h"
#include "runner/StopSignals.h"

// Where a session tells what it finds, as it finds it; called on the session's thread.
class SessionSink {
public:
    virtual ~SessionSink() = default;
    // A line for the person at the terminal: what the session is doing, or a warning.
    virtual void Note(const std::string& line) = 0;
    // The session failed: the text the window would show and the OS's reason.
    virtual void Failed(const SessionError& error) = 0;
    // The device server applied every serial setting asked of it.
    virtual void RemoteApplied(const SessionReport& report) = 0;
    // With --wait-for-server: the device server accepted the connection (report.serverWait).
    virtual void ServerAccepted(const SessionReport& report) = 0;
    // The test's own results are in (the line test's lines).
    virtual void TestDone(const SessionReport& report) = 0;
    // A run ended, finished or interrupted: the last of report.runs.
    virtual void RunDone(const SessionReport& report) = 0;
    // With --udp: the link is up, bound to report.udpLocalPort.
    virtual void UdpLinkUp(const SessionReport&) {}
    // The progress line of the run under way.
    virtual ProgressLine& Progress() = 0;
};

// How often --wait-for-server tries to connect, in milliseconds.
constexpr int64_t kServerRetryMs = 250;
// With --clients: how long after the last client connected a client closed by the device server
// is looked for before the first run, in milliseconds.
constexpr int kClientSettleMs = 300;
// With --accept-again: how long after the device dialled in again the run starts again, in
// milliseconds (what it sends as it comes back passes meanwhile), and how many drops one run
// may go through before the last one stands as its result.
constexpr int kReacceptSettleMs = 500;
constexpr size_t kMaxLinkDrops = 5;

class PassSession {
public:
    PassSession(const RunnerOptions& options, SessionSink& sink);
    // Runs the session; returns the exit code.
    int Run();
    const SessionReport& Report() const { return m_report; }
    // Any thread: ends the session at once. A run under way is cancelled (the serial output queue
    // discarded) and reported as interrupted, nothing more is run, and Run returns
    // EXIT_INTERRUPTED. The session must have been made on the thread that runs it.
    void RequestStop();
    bool StopRequested() const { return m_stopRequested.load(); }

private:
    int Prepare();
    int BringUpLinks(class TerminalEngine& engine);
    // Client links: one attempt (its failure in `outcome`; EXIT_INTERRUPTED on a stop), one
    // attempt that fails the session, or attempts every kServerRetryMs until the device server
    // accepts or --wait-for-server's limit passes.
    int TryConnect(TerminalEngine& engine, platform::Result& outcome);
    int ConnectOnce(TerminalEngine& engine);
    int WaitForServer(TerminalEngine& engine);
    // With --rfc2217: waits for the device server's answers to the settings asked when the link
    // came up and judges them.
    int CheckRemoteSettings(TerminalEngine& engine);
    int RunAll(TerminalEngine& engine);
    // With --accept-again: waits up to --accept-timeout for the device to dial in again after
    // its link dropped (before or during `label`), the gap in `drop`; fails with exit 4.
    int AwaitDevice(TerminalEngine& engine, const std::string& label, LinkDrop& drop);
    // With --clients N: connects clients 2 to N one after the other, then fails (exit 4) when
    // the device server refused or closed any of them.
    int ConnectClients(TerminalEngine& engine);
    // "client 2 of 3"
    std::string ClientName(int k) const;
    // The first client whose link the device server closed (1 the engine's); 0 for none.
    int ClosedClient(TerminalEngine& engine) const;
    // "client 4 of 4: the device server closed the link and said \"Port already in use\""
    std::string ClientClosedText(int k) const;
    int FailClientClosed(TerminalEngine& engine, int k);
    // Arms every extra client's check for the file the serial side is about to send.
    int ArmClients();
    PassOutcome ClientOutcome(PassDirection direction, int k, const StreamCheck::Tally& t,
                              bool closed, const std::string& why, int64_t headerNs) const;
    // The runs of clients 2 to N after the first client's run in `direction`, numbered on from
    // `number`.
    int RunOtherClients(TerminalEngine& engine, PassDirection direction, int& number);
    int RunLines(TerminalEngine& engine);
    int RunLatency(TerminalEngine& engine);
    // Closes and makes the client link again, cycle after cycle, a block passed both ways
    // after each connect.
    int RunReconnect(TerminalEngine& engine);
    // Waits in an event loop until `done` or `ms` pass or a stop; returns done().
    bool WaitUntil(int ms, const std::function<bool()>& done);
    // Runs the script on both links; its figures go into the report however it ends.
    int RunScript(TerminalEngine& engine);
    // The traffic log of --log: started before the links come up, stopped (and waited for)
    // after they are closed; a log that could not be written turns a verified session into
    // EXIT_NOT_STORED.
    int StartLog(TerminalEngine& engine);
    int StopLog(TerminalEngine& engine, int code);
    int Fail(int code, const std::string& text, const std::string& detail);
    // The console dropped the link because the device server stopped reading: exit 4.
    int FailNotReading(TerminalEngine& engine);
    // Removes the temporary folder (unless it is to be kept); returns the exit code.
    int Finish(int code);
    void RunDone(RunReport run);
    // Hooks `measure` to the engine's traffic, behind the datagram watch with --udp.
    void SetMeasure(class TerminalEngine& engine, platform::ITrafficObserver* measure);
    // With --udp: what the datagram watch saw since it started; for a run that failed, what its
    // datagrams show (`outcome` absent: no finding wanted).
    DatagramReport TakeDatagrams(const PassOutcome* outcome);

    // Quits `loop` when a stop is requested; false when one already was.
    bool StopQuits(class QEventLoop& loop);

    std::atomic<bool> m_stopRequested{false};
    SessionStop m_stop;
    RunnerOptions m_opt;
    SessionSink& m_sink;
    SessionReport m_report;
    std::string m_tempDir;    // made by this session, with its trailing '/'
    std::string m_outputDir;  // where captures go, with its trailing '/'
    // Latency runs' measurement: outlives the engine (and so its link threads).
    LatencyMeter m_meter;
    // With --udp: sees every chunk before the measurement does; outlives the engine as well.
    DatagramWatch m_watch;
    // The reconnect test's view of what arrives: outlives the engine, as the meter does.
    ReconnectProbe m_probe;
    // The script's runner and the links it sends on: made when the script starts, and kept until
    // the engine (and with it every link thread that could still be telling the runner of
    // traffic) is gone.
    std::unique_ptr<IScriptLinks> m_scriptLinks;
    std::unique_ptr<ScriptRunner> m_scriptRunner;
    // --clients: what the engine's links carry, and clients 2 to N with the files they send
    // network to serial. The probe outlives the engine; the clients go right after it.
    ClientsProbe m_clientsProbe;
    std::vector<std::unique_ptr<ExtraClient>> m_clients;
    std::vector<std::string> m_clientFiles;
    // --accept-again: when the device's link last went and a link last came (steady ns).
    int64_t m_droppedNs = 0;
    int64_t m_attachedNs = 0;
    std::string m_logFailure;  // the log's failure, text and detail; empty while it is fine
    int64_t m_logNotLogged = 0;
};

// Bytes [offset, offset + n) of the reproducible pattern of `seed` (the same on every machine).
void FillPattern(uint64_t seed, uint64_t offset, unsigned char* out, size_t n);
// Writes `size` bytes of the pattern of `seed` to `path`; false with the OS's reason in *error.
// A stop raised meanwhile ends it early (false, nothing more written).
bool WriteRandomFile(const std::string& path, int64_t size, uint64_t seed, std::string* error,
                     const std::atomic<bool>* stop = nullptr);
// Writes `text` as the whole content of `path` (created or truncated); false with the OS's reason
// in *reason when it could not be created, written in full or closed.
bool WriteWholeFile(const std::string& path, const std::string& text, std::string* reason);
// True when the device at `path` is a pseudo-terminal (socat's pty and the like), whose baud
// rate paces nothing.
bool IsPseudoTerminal(const std::string& path);
// True when `path` is a character device other than a pseudo-terminal: a line with a real baud
// rate.
bool IsRealSerialLine(const std::string& path);
