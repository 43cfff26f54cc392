#include "runner/Session.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <vector>

#include "platform/ModemIo.h"
#include "platform/SerialDevice.h"
#include "runner/LinesCheck.h"
#include "runner/Report.h"
#include "runner/ScriptReport.h"
#include "transfer/PassVerdict.h"
#include "transfer/TerminalEngine.h"

namespace {

// splitmix64: every 8 bytes of the pattern are the mix of (seed, their index), so any part of
// it can be made without the rest.
uint64_t Mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string WithSlash(std::string dir) {
    if (dir.empty() || dir.back() != '/')
        dir += '/';
    return dir;
}

std::string SizeName(int64_t size) {
    if (size % (1024 * 1024) == 0)
        return std::to_string(size / (1024 * 1024)) + "M";
    if (size % 1024 == 0)
        return std::to_string(size / 1024) + "K";
    return std::to_string(size);
}

// The UDP link's receive buffer, in bytes: a few thousand datagrams of a device server.
constexpr int kUdpReceiveBuffer = 4 * 1024 * 1024;

}  // namespace

void FillPattern(uint64_t seed, uint64_t offset, unsigned char* out, size_t n) {
    const uint64_t key = Mix(seed);
    for (size_t i = 0; i < n;) {
        const uint64_t pos = offset + i;
        const uint64_t word = Mix(key ^ (pos / 8));
        for (unsigned b = static_cast<unsigned>(pos % 8); b < 8 && i < n; ++b, ++i)
            out[i] = static_cast<unsigned char>(word >> (8 * b));
    }
}

bool WriteRandomFile(const std::string& path, int64_t size, uint64_t seed, std::string* error,
                     const std::atomic<bool>* stop) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    std::vector<unsigned char> block(1 << 20);
    for (int64_t done = 0; done < size;) {
        if (stop && stop->load()) {
            *error = path + ": interrupted";
            ::close(fd);
            return false;
        }
        const size_t n = static_cast<size_t>(std::min<int64_t>(size - done, block.size()));
        FillPattern(seed, static_cast<uint64_t>(done), block.data(), n);
        for (size_t w = 0; w < n;) {
            const ssize_t r = ::write(fd, block.data() + w, n - w);
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0) {
                *error = path + ": " + std::strerror(r < 0 ? errno : ENOSPC);
                ::close(fd);
                return false;
            }
            w += static_cast<size_t>(r);
        }
        done += static_cast<int64_t>(n);
    }
    if (::close(fd) != 0) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool WriteWholeFile(const std::string& path, const std::string& text, std::string* reason) {
    // Outputs are checked to be regular files before anything runs; should one have become a
    // FIFO since, the open fails (ENXIO) instead of waiting for a reader that never comes.
    const int fd = ::open(path.c_str(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644);
    if (fd < 0) {
        *reason = std::strerror(errno);
        return false;
    }
    for (size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *reason = std::strerror(n < 0 ? errno : ENOSPC);
            ::close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    // Some file systems tell of a failed write only when the file is closed.
    if (::close(fd) != 0) {
        *reason = std::strerror(errno);
        return false;
    }
    return true;
}

// Linux numbers the pseudo-terminal slaves (/dev/pts/N) with majors 136 to 143.
bool IsPseudoTerminal(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    return major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
}

bool IsRealSerialLine(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode) && !IsPseudoTerminal(path);
}

PassSession::PassSession(const RunnerOptions& options, SessionSink& sink)
    : m_opt(options), m_sink(sink) {
    m_report.options = options;
    m_report.plannedRuns = options.repeat * static_cast<int>(options.directions.size()) *
                           std::max(1, options.link.clients);
}

void PassSession::RequestStop() {
    if (m_stopRequested.exchange(true))
        return;
    QMetaObject::invokeMethod(
        &m_stop, [this] { emit m_stop.now(); }, Qt::QueuedConnection);
}

bool PassSession::StopQuits(QEventLoop& loop) {
    QObject::connect(&m_stop, &SessionStop::now, &loop, &QEventLoop::quit);
    return !m_stopRequested.load();
}

int PassSession::Fail(int code, const std::string& text, const std::string& detail) {
    m_report.error = SessionError{code, text, detail};
    m_sink.Failed(*m_report.error);
    return code;
}

int PassSession::Run() {
    int code = Prepare();
    if (code == EXIT_VERIFIED && !m_stopRequested && m_opt.test == RunnerOptions::Test::Latency) {
        // The tester's own floor first, so that every figure of the device can be read against
        // it; before the device's links are open, so that nothing the device sends meanwhile is
        // read while the floor is measured (it is what the runs' drain reports).
        m_report.floor = MeasureLatencyFloor(m_opt.latency.frameSize);
        m_sink.TestDone(m_report);
    }
    if (code == EXIT_VERIFIED && !m_stopRequested) {
        TerminalEngine engine;
        if (m_opt.link.udp)
            engine.traffic.SetMeasure(&m_watch);
        if (m_opt.test == RunnerOptions::Test::Latency)
            SetMeasure(engine, &m_meter);
        code = StartLog(engine);
        if (code == EXIT_VERIFIED && !m_stopRequested)
            code = BringUpLinks(engine);
        if (code == EXIT_VERIFIED && !m_stopRequested && m_opt.link.clients > 1)
            code = ConnectClients(engine);
        if (code == EXIT_VERIFIED && !m_stopRequested && m_opt.rfc2217)
            code = CheckRemoteSettings(engine);
        if (code == EXIT_VERIFIED && !m_stopRequested) {
            switch (m_opt.test) {
                case RunnerOptions::Test::Lines:
                    code = RunLines(engine);
                    break;
                case RunnerOptions::Test::Latency:
                    code = RunLatency(engine);
                    break;
                case RunnerOptions::Test::Passthrough:
                    code = RunAll(engine);
                    break;
                case RunnerOptions::Test::Script:
                    code = RunScript(engine);
                    break;
                case RunnerOptions::Test::Reconnect:
                    code = RunReconnect(engine);
                    break;
            }
        }
        // Dropped by us at any stage: the device server stopped reading what we sent it.
        if (!m_stopRequested && !engine.net.DropReason().empty() && !m_report.error)
            code = FailNotReading(engine);
        engine.Shutdown();
        // The extra clients' threads end and their links close with them.
        m_clients.clear();
        code = StopLog(engine, code);
    }
    // The engine has joined its link threads: nothing can tell the runner of traffic any more.
    m_scriptRunner.reset();
    m_scriptLinks.reset();
    if (m_stopRequested) {
        code = EXIT_INTERRUPTED;
        m_report.interrupted = true;
    }
    return Finish(code);
}

// The temporary folder, the data to send and the folder for the received files.
int PassSession::Prepare() {
    m_report.realBaud = IsRealSerialLine(platform::PortMap().ResolvePortName(m_opt.serial));
    // The line test has no data; the latency test makes its frames as it goes; a script carries
    // its own bytes: no files.
    if (m_opt.test == RunnerOptions::Test::Lines || m_opt.test == RunnerOptions::Test::Latency ||
        m_opt.test == RunnerOptions::Test::Script || m_opt.test == RunnerOptions::Test::Reconnect)
        return EXIT_VERIFIED;
    const std::string pattern = QDir::tempPath().toStdString() + "/vaskel-passthrough-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data()))
        return Fail(EXIT_NOT_STORED, "Can't create the temporary folder",
                    pattern + ": " + std::strerror(errno));
    m_tempDir = WithSlash(buf.data());

    if (m_opt.data.randomSize > 0) {
        m_report.source = m_tempDir + "random-" + SizeName(m_opt.data.randomSize) + "-seed" +
                          std::to_string(m_opt.data.seed) + ".bin";
        std::string error;
        if (!WriteRandomFile(m_report.source, m_opt.data.randomSize, m_opt.data.seed, &error,
                             &m_stopRequested))
            return m_stopRequested ? EXIT_INTERRUPTED
                                   : Fail(EXIT_NOT_STORED, "Can't write the test data", error);
    } else {
        m_report.source = m_opt.data.file;
        if (const platform::Result r = PassThrough::CheckSendFile(m_opt.data.file); !r)
            return Fail(EXIT_BAD_ARGUMENTS, r.text, r.reason);
    }
    struct stat st {};
    ::stat(m_report.source.c_str(), &st);
    m_report.bytes = st.st_size;
    // An empty file announces a length of 0, which the receiving side refuses.
    if (m_report.bytes == 0)
        return Fail(EXIT_BAD_ARGUMENTS, "Nothing to send: the file is empty", m_report.source);
    // Network to serial, clients 2 to N each send a file of their own, of the same length, so
    // that one client's bytes arriving for another's would show.
    if (std::find(m_opt.directions.begin(), m_opt.directions.end(), PassDirection::NetToSerial) !=
        m_opt.directions.end())
        for (int k = 2; k <= m_opt.link.clients; ++k) {
            const uint64_t seed = m_opt.data.seed + static_cast<uint64_t>(k - 1);
            m_clientFiles.push_back(m_tempDir + "client" + std::to_string(k) + "-random-" +
                                    SizeName(m_report.bytes) + "-seed" + std::to_string(seed) +
                                    ".bin");
            std::string error;
            if (!WriteRandomFile(m_clientFiles.back(), m_report.bytes, seed, &error,
                                 &m_stopRequested))
                return m_stopRequested ? EXIT_INTERRUPTED
                                       : Fail(EXIT_NOT_STORED, "Can't write the test data", error);
        }

    if (m_opt.outputs.outputDir.empty()) {
        m_outputDir = m_tempDir;
    } else {
        std::error_code ec;
        std::filesystem::create_directories(m_opt.outputs.outputDir, ec);
        if (ec || !std::filesystem::is_directory(m_opt.outputs.outputDir))
            return Fail(EXIT_NOT_STORED, "Can't create the received file",
                        m_opt.outputs.outputDir + ": " +
                            (ec ? ec.message() : std::string(std::strerror(ENOTDIR))));
        m_outputDir = WithSlash(m_opt.outputs.outputDir);
    }
    return EXIT_VERIFIED;
}

int PassSession::BringUpLinks(TerminalEngine& engine) {
    if (const platform::Result r = engine.serial.Open(m_opt.serial, m_opt.settings); !r)
        return Fail(EXIT_SERIAL_FAILED, r.text,
                    r.hint.empty() ? r.reason : r.reason + "\n  " + r.hint);
    // A UART makes a custom rate from its clock's dividers; one more than 1 % away from the
    // asked rate garbles characters, so the user is told the rate the line really runs at.
    const uint32_t asked = m_opt.settings.baud, applied = engine.serial.AppliedBaud();
    if (applied != 0 && std::abs(static_cast<double>(applied) - asked) > asked * 0.01)
        m_sink.Note("vaskel-passthrough: the driver applied " + std::to_string(applied) +
                    " baud for --baud " + std::to_string(asked));
    // The line test drives the serial side's DTR and RTS and watches its inputs: a device
    // without modem lines (a pseudo-terminal) leaves nothing to test.
    if (m_opt.test == RunnerOptions::Test::Lines && !engine.serial.Modem().Supported())
        return Fail(EXIT_CONTROL_PATH, std::string("Modem lines: ") + platform::kNotSupportedText,
                    m_opt.serial + ": DTR, RTS, CTS, DSR and DCD cannot be used");
    if (m_opt.rfc2217) {
        RemotePortOptions remote;
        remote.framing = LinkFraming::Rfc2217;
        remote.settings = m_opt.settings;
        // Only the line test needs the device server's modem states; a pass-through run is
        // better off without a notification stream beside its data.
        remote.notifications = m_opt.test == RunnerOptions::Test::Lines;
        engine.net.SetRemotePortOptions(remote);
        // The first report is the one on the settings asked when the link came up.
        QObject::connect(&engine.net, &NetConsole::remoteSettingsChecked, &engine.net,
                         [this](const RemoteSettingsReport& report) {
                             if (!m_report.remote)
                                 m_report.remote = report;
                         });
    }
    if (m_opt.link.udp) {
        // Up at once: bound to the local port the device server sends to, sending to its port.
        RemotePortOptions remote;
        remote.protocol = NetProtocol::Udp;
        remote.udpLocalPort = m_opt.link.udpLocalPort;
        engine.net.SetRemotePortOptions(remote);
        platform::Result outcome;
        if (TryConnect(engine, outcome) == EXIT_INTERRUPTED)
            return EXIT_INTERRUPTED;
        if (!outcome) {
            // The local port is this program's option here, not a field of the window's.
            const unsigned local = m_opt.link.udpLocalPort;
            if (local != 0 && outcome.error != 0 && outcome.text == "Can't create socket")
                return Fail(EXIT_NETWORK_FAILED, outcome.text,
                            "--udp-local " + std::to_string(local) + ": binding local UDP port " +
                                std::to_string(local) + " failed: " + std::strerror(outcome.error) +
                                "; choose another port, or leave out --udp-local for any "
                                "free one");
            return Fail(
                EXIT_NETWORK_FAILED, outcome.text,
                m_opt.link.host + ":" + std::to_string(m_opt.link.port) + ": " + outcome.reason);
        }
        // Room for a burst of datagrams while this side is busy (as far as net.core.rmem_max
        // allows): a datagram the tester itself drops would be blamed on the device.
        if (CLinkSocket* link = engine.net.LinkInUse()) {
            const int size = kUdpReceiveBuffer;
            ::setsockopt(link->GetSocketHandle(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        }
        m_report.udpLocalPort = engine.net.LocalPort();
        m_sink.UdpLinkUp(m_report);
        return EXIT_VERIFIED;
    }
    if (m_opt.link.mode == RunnerOptions::Net::Connect)
        return m_opt.link.waitForServerS > 0 ? WaitForServer(engine) : ConnectOnce(engine);
    if (const platform::Result r = engine.net.StartServer(m_opt.link.port); !r)
        return Fail(EXIT_NETWORK_FAILED, r.text,
                    "port " + std::to_string(m_opt.link.port) + ": " + r.reason);
    m_sink.Note("waiting for the device on port " + std::to_string(m_opt.link.port) + " (up to " +
                std::to_string(m_opt.link.acceptTimeoutS) + " s)");
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(&engine.net, &NetConsole::peerAttached, &loop, &QEventLoop::quit);
    if (!StopQuits(loop))
        return EXIT_INTERRUPTED;
    deadline.start(m_opt.link.acceptTimeoutS * 1000);
    loop.exec();
    if (m_stopRequested)
        return EXIT_INTERRUPTED;
    if (engine.net.PeerCount() == 0)
        return Fail(EXIT_NETWORK_FAILED, "No device is connected to the server",
                    "No device connected to port " + std::to_string(m_opt.link.port) + " within " +
                        std::to_string(m_opt.link.acceptTimeoutS) + " s.");
    return EXIT_VERIFIED;
}

// One attempt; the failure (refused, timed out) in *failure, EXIT_INTERRUPTED on a stop.
int PassSession::TryConnect(TerminalEngine& engine, platform::Result& outcome) {
    outcome = engine.net.Connect(m_opt.link.host, m_opt.link.port);
    if (outcome && engine.net.IsConnecting()) {
        // The connect ends by itself within its time-out, connected or failed.
        QEventLoop loop;
        QObject::connect(&engine.net, &NetConsole::connected, &loop, &QEventLoop::quit);
        if (!StopQuits(loop))
            return EXIT_INTERRUPTED;
        QObject::connect(&engine.net, &NetConsole::connectFailed, &loop,
                         [&](const platform::Result& failure) {
                             outcome = failure;
                             loop.quit();
                         });
        loop.exec();
        if (m_stopRequested)
            return EXIT_INTERRUPTED;
    }
    return EXIT_VERIFIED;
}

int PassSession::ConnectOnce(TerminalEngine& engine) {
    platform::Result outcome;
    if (TryConnect(engine, outcome) == EXIT_INTERRUPTED)
        return EXIT_INTERRUPTED;
    if (!outcome)
        return Fail(
            EXIT_NETWORK_FAILED, outcome.text,
            m_opt.link.host + ":" + std::to_string(m_opt.link.port) + ": " + outcome.reason);
    return EXIT_VERIFIED;
}

int PassSession::WaitForServer(TerminalEngine& engine) {
    const std::string where = m_opt.link.host + ":" + std::to_string(m_opt.link.port);
    const int64_t limitMs = int64_t{m_opt.link.waitForServerS} * 1000;
    m_sink.Note("waiting for the device server at " + where + " to accept (up to " +
                std::to_string(m_opt.link.waitForServerS) + " s)");
    QElapsedTimer clock;
    clock.start();
    ServerWait wait;
    platform::Result outcome;
    for (;;) {
        const int64_t began = clock.elapsed();
        ++wait.attempts;
        if (TryConnect(engine, outcome) == EXIT_INTERRUPTED)
            return EXIT_INTERRUPTED;
        wait.seconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
        if (outcome) {
            wait.accepted = true;
            m_report.serverWait = wait;
            m_sink.ServerAccepted(m_report);
            return EXIT_VERIFIED;
        }
        // The next attempt 250 ms after this one began (at once when the attempt itself took
        // longer, a connect that timed out), as long as it starts within the limit.
        const int64_t next = std::max<int64_t>(clock.elapsed(), began + kServerRetryMs);
        if (next >= limitMs)
            break;
        QEventLoop loop;
        QTimer pause;
        pause.setSingleShot(true);
        QObject::connect(&pause, &QTimer::timeout, &loop, &QEventLoop::quit);
        if (!StopQuits(loop))
            return EXIT_INTERRUPTED;
        pause.start(static_cast<int>(next - clock.elapsed()));
        loop.exec();
        if (m_stopRequested)
            return EXIT_INTERRUPTED;
    }
    m_report.serverWait = wait;
    return Fail(EXIT_NETWORK_FAILED,
                "The device server did not accept a connection within " +
                    std::to_string(m_opt.link.waitForServerS) + " s",
                where + ": " + outcome.reason + " (" +
                    CountOf(wait.attempts, "attempt", "attempts") +
                    ", one every 250 ms); check that the device server is powered, has finished "
                    "starting and serves this port");
}

int PassSession::FailNotReading(TerminalEngine& engine) {
    const std::string where = m_opt.link.mode == RunnerOptions::Net::Connect
                                  ? m_opt.link.host + ":" + std::to_string(m_opt.link.port)
                                  : "port " + std::to_string(m_opt.link.port) + " (Server Mode)";
    return Fail(EXIT_NETWORK_FAILED, "Link lost : the device server does not read",
                where + ": " + engine.net.DropReason() +
                    "; the link was dropped: check the device server and its network port");
}

int PassSession::CheckRemoteSettings(TerminalEngine& engine) {
    bool linkGone = false;
    if (!m_report.remote) {
        // The console tells its report within the answers' time-out; the deadline here only
        // guards against a report that never comes.
        QEventLoop loop;
        QTimer deadline;
        deadline.setSingleShot(true);
        QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
        QObject::connect(&engine.net, &NetConsole::remoteSettingsChecked, &loop, &QEventLoop::quit);
        const auto gone = [&] {
            linkGone = true;
            loop.quit();
        };
        QObject::connect(&engine.net, &NetConsole::farEndClosed, &loop, gone);
        QObject::connect(&engine.net, &NetConsole::peerGone, &loop, gone);
        if (!StopQuits(loop))
            return EXIT_INTERRUPTED;
        deadline.start(static_cast<int>(3 * ComPortClient::ACK_TIMEOUT_MS));
        loop.exec();
        if (m_stopRequested)
            return EXIT_INTERRUPTED;
    }
    if (!engine.net.DropReason().empty())
        return FailNotReading(engine);
    if (!m_report.remote) {
        if (linkGone || !engine.net.LinkInUse())
            return Fail(EXIT_NETWORK_FAILED,
                        "Link lost : the device server closed the connection before it answered "
                        "the serial settings",
                        m_opt.link.host + ":" + std::to_string(m_opt.link.port));
        return Fail(EXIT_CONTROL_PATH,
                    "The device server's answers to the serial settings were "
                    "not judged",
                    "");
    }
    if (!m_report.remote->Ok()) {
        // One line per failure, as the report words them.
        std::string detail;
        for (const std::string& failure : m_report.remote->Failures())
            detail += (detail.empty() ? "" : "\n  ") + failure;
        return Fail(
            EXIT_CONTROL_PATH,
            "The device server did not apply the serial settings " + m_opt.settings.Readable(),
            detail);
    }
    m_sink.RemoteApplied(m_report);
    return EXIT_VERIFIED;
}

int PassSession::RunLines(TerminalEngine& engine) {
    m_sink.Note("lines: changing DTR and RTS " + CountOf(m_opt.toggles, "time", "times") +
                " each, on both sides");
    LinesCheck check(engine.serial.Modem(), engine.net, m_opt.toggles);
    QObject::connect(&m_stop, &SessionStop::now, &check, &LinesCheck::Stop);
    if (m_stopRequested)
        return EXIT_INTERRUPTED;
    m_report.lines = check.Run();
    if (m_stopRequested)
        return EXIT_INTERRUPTED;
    m_sink.TestDone(m_report);
    if (m_report.lines->linkLost && !engine.net.DropReason().empty())
        return FailNotReading(engine);
    if (m_report.lines->linkLost)
        return Fail(EXIT_NETWORK_FAILED, "Link lost : the device server closed the connection",
                    m_opt.link.host + ":" + std::to_string(m_opt.link.port));
    return SessionExitCode(m_report);
}

int PassSession::RunAll(TerminalEngine& engine) {
    PassThrough& pt = engine.passThrough;
    pt.SetStartDelay(m_opt.startDelayMs);
    pt.SetOutputDirectory(m_outputDir);
    pt.SetTimeoutFromHeader(true);
    pt.SetUdpPace(m_opt.link.udpPace);

    QObject::connect(
        &pt, &PassThrough::progress, [this](PassDirection, qint64 stored, qint64 announced) {
            const int percent = announced > 0 ? static_cast<int>(stored * 100 / announced) : 0;
            m_sink.Progress().Update(percent, ByteCountText(stored, announced));
        });
    // The worker could not read the file: nothing will come, so the run is ended here.
    std::string sendFailure;
    QObject::connect(&pt, &PassThrough::sendFailed,
                     [&](const QString& text, const QString& detail) {
                         sendFailure = text.toStdString() + "\n  " + detail.toStdString();
                         pt.Cancel();
                     });
    // Server Mode: when the device's link went, for the gap until it dials in again.
    QObject::connect(&engine.net, &NetConsole::peerGone, &engine.net,
                     [this] { m_droppedNs = platform::Stamp::Now().steadyNs; });
    QObject::connect(&engine.net, &NetConsole::peerAttached, &engine.net,
                     [this] { m_attachedNs = platform::Stamp::Now().steadyNs; });
    const bool acceptAgain =
        m_opt.link.acceptAgain && m_opt.link.mode == RunnerOptions::Net::Listen;
    const int clients = m_opt.link.clients;

    const std::string base = BaseName(m_report.source);
    int number = 0;
    for (int rep = 0; rep < m_opt.repeat; ++rep) {
        for (PassDirection direction : m_opt.directions) {
            ++number;
            const std::string label =
                "run " + std::to_string(number) + "/" + std::to_string(m_report.plannedRuns) + " " +
                DirectionName(direction) +
                (clients > 1 ? " client 1 of " + std::to_string(clients) : std::string());
            PassOutcome outcome;
            platform::Result started;
            std::vector<LinkDrop> drops;
            // With --accept-again a run cut by the device's link dropping starts again from its
            // first byte on the next link; what the cut attempt had stored is not counted.
            for (;;) {
                if (acceptAgain && engine.net.PeerCount() == 0 && !m_stopRequested) {
                    // The link went between runs (or while the last attempt ended).
                    LinkDrop drop;
                    drop.duringRun = false;
                    if (const int code = AwaitDevice(engine, label, drop); code != EXIT_VERIFIED)
                        return code;
                    drops.push_back(drop);
                }
                if (clients > 1 && direction == PassDirection::SerialToNet)
                    if (const int code = ArmClients(); code != EXIT_VERIFIED)
                        return code;
                m_sink.Progress().Begin(label);
                QEventLoop loop;
                const auto done = QObject::connect(&pt, &PassThrough::finished, &loop,
                                                   [&](const PassOutcome& out) {
                                                       outcome = out;
                                                       loop.quit();
                                                   });
                const std::string name =
                    "run" + std::to_string(number) + "-" + DirectionName(direction) + "-" + base;
                // A stop cancels the run; its end then quits the loop.
                const auto stop =
                    QObject::connect(&m_stop, &SessionStop::now, &pt, [&pt] { pt.Cancel(); });
                if (m_opt.link.udp)
                    m_watch.Start(true, direction);
                started = m_stopRequested ? platform::Result::Fail("interrupted")
                                          : pt.Start(direction, m_report.source, name);
                if (started)
                    loop.exec();
                QObject::disconnect(done);
                QObject::disconnect(stop);
                // A serial port that was lost is no drop of the device's link.
                if (!acceptAgain || m_stopRequested || !started ||
                    outcome.end != PassOutcome::End::LinkLost || !engine.serial.IsOpen() ||
                    drops.size() >= kMaxLinkDrops)
                    break;
                m_sink.Progress().End();
                LinkDrop drop;
                drop.storedBeforeDrop = outcome.stored;
                // A capture file the cut attempt left is no result.
                if (!outcome.path.empty() && !m_opt.outputs.keep && m_opt.outputs.outputDir.empty())
                    ::unlink(outcome.path.c_str());
                m_sink.Note("vaskel-passthrough: " + label + ": the device's link dropped (" +
                            CountOf(outcome.stored, "byte", "bytes") + " of " +
                            std::to_string(m_report.bytes) + " stored); waiting up to " +
                            std::to_string(m_opt.link.acceptTimeoutS) +
                            " s for it to dial in again");
                if (const int code = AwaitDevice(engine, label, drop); code != EXIT_VERIFIED)
                    return code;
                drops.push_back(drop);
            }
            RunReport run;
            run.number = number;
            run.outcome = outcome;
            run.drops = drops;
            if (clients > 1) {
                run.client = 1;
                run.clients = clients;
            }
            if (m_stopRequested) {
                if (started) {
                    run.outcome.direction = direction;
                    run.interrupted = true;
                    if (m_opt.link.udp)
                        run.datagrams = TakeDatagrams(nullptr);
                    RunDone(run);
                }
                return EXIT_INTERRUPTED;
            }
            m_sink.Progress().End();
            if (!started) {
                // A worker thread that could not be started leaves the test undone on this
                // machine, as test data that could not be stored does.
                const int code = !engine.serial.IsOpen()   ? EXIT_SERIAL_FAILED
                                 : !engine.net.LinkInUse() ? EXIT_NETWORK_FAILED
                                 : started.error == EAGAIN ? EXIT_NOT_STORED
                                                           : EXIT_BAD_ARGUMENTS;
                return Fail(code, started.text, started.reason);
            }
            if (!sendFailure.empty())
                return Fail(EXIT_BAD_ARGUMENTS, sendFailure, "");
            // The file could not be read part-way: the next run could not go better.
            if (outcome.end == PassOutcome::End::ReadFailed)
                return Fail(EXIT_NOT_STORED, outcome.text, outcome.detail);
            if (m_opt.link.udp)
                run.datagrams = TakeDatagrams(&outcome);
            RunDone(run);
            if (!engine.net.DropReason().empty())
                return FailNotReading(engine);
            // A verified capture in the temporary folder has served its purpose.
            if (outcome.Verified() && !m_opt.outputs.keep && m_opt.outputs.outputDir.empty())
                ::unlink(outcome.path.c_str());
            // One of several clients that the device server closed fails the session, named.
            if (clients > 1 && outcome.end == PassOutcome::End::LinkLost)
                return FailClientClosed(engine, 1);
            // Without a link, or unable to store, the next run cannot go better.
            if (outcome.end == PassOutcome::End::LinkLost ||
                outcome.end == PassOutcome::End::OpenFailed ||
                outcome.end == PassOutcome::End::WriteFailed)
                return SessionExitCode(m_report);
            if (clients > 1)
                if (const int code = RunOtherClients(engine, direction, number);
                    code != EXIT_VERIFIED)
                    return code;
        }
    }
    // A client the device server closed at any time before the end fails the session.
    if (clients > 1)
        if (const int k = ClosedClient(engine); k != 0)
            return FailClientClosed(engine, k);
    return SessionExitCode(m_report);
}

int PassSession::AwaitDevice(TerminalEngine& engine, const std::string& label, LinkDrop& drop) {
    const int64_t from = m_droppedNs != 0 ? m_droppedNs : platform::Stamp::Now().steadyNs;
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(&engine.net, &NetConsole::peerAttached, &loop, &QEventLoop::quit);
    if (!StopQuits(loop))
        return EXIT_INTERRUPTED;
    if (engine.net.PeerCount() == 0) {
        deadline.start(m_opt.link.acceptTimeoutS * 1000);
        loop.exec();
    }
    if (m_stopRequested)
        return EXIT_INTERRUPTED;
    if (engine.net.PeerCount() == 0)
        return Fail(EXIT_NETWORK_FAILED,
                    "The device did not dial in again within " +
                        std::to_string(m_opt.link.acceptTimeoutS) + " s",
                    "port " + std::to_string(m_opt.link.port) +
                        " (Server Mode): its link dropped " +
                        (drop.duringRun ? "during " : "before ") + label +
                        "; check that the device comes back after it restarts and that it dials "
                        "this host, or give it longer with --accept-timeout");
    const int64_t attached = m_attachedNs > from ? m_attachedNs : platform::Stamp::Now().steadyNs;
    drop.gapSeconds = static_cast<double>(attached - from) / 1e9;
    char gap[32];
    std::snprintf(gap, sizeof gap, "%.3f", drop.gapSeconds);
    m_sink.Note("vaskel-passthrough: the device dialled in again after " + std::string(gap) +
                " s; " + label +
                (drop.duringRun ? " starts again from its first byte" : " starts"));
    // What the device sends as it comes back (a boot banner, bytes it held from the old link),
    // and what the serial side still had queued, pass before the run starts again: the
    // capture looks for a fresh header, never continues the cut one.
    WaitUntil(kReacceptSettleMs, [] { return false; });
    return m_stopRequested ? EXIT_INTERRUPTED : EXIT_VERIFIED;
}

int PassSession::ConnectClients(TerminalEngine& engine) {
    const int n = m_opt.link.clients;
    const std::string where = m_opt.link.host + ":" + std::to_string(m_opt.link.port);
    engine.traffic.SetMeasure(&m_clientsProbe);
    // One after the other, so that the device server takes them in their numbers' order.
    for (int k = 2; k <= n; ++k) {
        m_clients.push_back(std::make_unique<ExtraClient>(k));
        ExtraClient& c = *m_clients.back();
        std::string error;
        if (!c.Start(m_opt.link.host, m_opt.link.port, &error))
            return Fail(EXIT_NOT_STORED, ClientName(k) + ": can't open the client link", error);
        WaitUntil(CONNECT_TIMEOUT_MS + 1000,
                  [&c] { return c.GetStatus().link != ExtraClient::Link::Connecting; });
        if (m_stopRequested)
            return EXIT_INTERRUPTED;
        const ExtraClient::Status st = c.GetStatus();
        if (st.link == ExtraClient::Link::Closed)
            return FailClientClosed(engine, k);
        if (st.link != ExtraClient::Link::Up)
            return Fail(EXIT_NETWORK_FAILED,
                        ClientName(k) + ": the device server did not accept the connection",
                        where + ": " + (st.reason.empty() ? "no answer" : st.reason) +
                            "; check the device server's max-connections setting: it must let " +
                            std::to_string(n) + " clients share this port at once");
    }
    // A device server that takes no more clients accepts the connection, says so and closes
    // it at once: that comes within moments.
    WaitUntil(kClientSettleMs, [&] { return ClosedClient(engine) != 0; });
    if (m_stopRequested)
        return EXIT_INTERRUPTED;
    if (const int k = ClosedClient(engine); k != 0)
        return FailClientClosed(engine, k);
    return EXIT_VERIFIED;
}

std::string PassSession::ClientName(int k) const {
    return "client " + std::to_string(k) + " of " + std::to_string(m_opt.link.clients);
}

int PassSession::ClosedClient(TerminalEngine& engine) const {
    if (!engine.net.LinkInUse() || engine.net.FarEndClosed())
        return 1;
    for (const auto& c : m_clients)
        if (c->GetStatus().link == ExtraClient::Link::Closed)
            return c->Number();
    return 0;
}

std::string PassSession::ClientClosedText(int k) const {
    const std::string said =
        SaidText(k == 1 ? m_clientsProbe.NetTail() : m_clients[k - 2]->Check().Said());
    return ClientName(k) + ": the device server closed the link" +
           (said.empty() ? std::string() : " and said \"" + said + "\"");
}

int PassSession::FailClientClosed(TerminalEngine&, int k) {
    return Fail(EXIT_NETWORK_FAILED, ClientClosedText(k),
                m_opt.link.host + ":" + std::to_string(m_opt.link.port) +
                    ": check the device server's max-connections setting: it must let " +
                    std::to_string(m_opt.link.clients) + " clients share this port at once");
}

int PassSession::ArmClients() {
    m_clientsProbe.ArmSerialWrite();
    for (const auto& c : m_clients) {
        std::string error;
        if (!c->Check().Arm(m_report.source, &error))
            return Fail(EXIT_NOT_STORED, "Can't read the file", error);
    }
    return EXIT_VERIFIED;
}

PassOutcome PassSession::ClientOutcome(PassDirection direction, int k, const StreamCheck::Tally& t,
                                       bool closed, const std::string& why,
                                       int64_t headerNs) const {
    PassOutcome o;
    o.direction = direction;
    o.sent = t.sent;
    o.announced = t.announced;
    o.stored = t.stored;
    o.firstMismatch = t.firstMismatch;
    if (t.Complete()) {
        o.end = PassOutcome::End::Completed;
    } else if (closed || !why.empty()) {
        o.end = PassOutcome::End::LinkLost;
        o.text = closed ? "Link lost : " + ClientClosedText(k) : "Link lost : " + why;
        o.detail = ClientName(k) + " on " + m_opt.link.host + ":" +
                   std::to_string(m_opt.link.port) + ": " + CountOf(t.stored, "byte", "bytes") +
                   " of " + std::to_string(t.sent) + " stored";
    } else {
        o.end = PassOutcome::End::TimedOut;
    }
    if (headerNs > 0 && t.lastFileNs > headerNs) {
        o.seconds = static_cast<double>(t.lastFileNs - headerNs) / 1e9;
        o.bytesPerSecond = static_cast<double>(t.stored) / o.seconds;
    }
    return o;
}

int PassSession::RunOtherClients(TerminalEngine& engine, PassDirection direction, int& number) {
    const int64_t silenceNs = int64_t{CAPTURE_TIMEOUT_MS} * 1000000;
    const auto labelOf = [&](int run, int k) {
        return "run " + std::to_string(run) + "/" + std::to_string(m_report.plannedRuns) + " " +
               DirectionName(direction) + " " + ClientName(k);
    };
    if (direction == PassDirection::SerialToNet) {
        // The serial side sent the file once; every client must have it whole. Each has had it
        // coming alongside the first, so this wait is short unless one falls silent.
        const int64_t began = platform::Stamp::Now().steadyNs;
        const auto ended = [&](ExtraClient& c) {
            const StreamCheck::Tally t = c.Check().Get();
            if (t.Complete() || c.GetStatus().link == ExtraClient::Link::Closed)
                return true;
            // Silent for 2 s since its last byte (or since the header left) ends it, as it ends
            // the first client's capture; one that got nothing at all still has 1 s from here.
            const int64_t since =
                std::max({t.lastNs, m_clientsProbe.SerialWriteNs(), began - silenceNs / 2});
            return platform::Stamp::Now().steadyNs - since >= silenceNs;
        };
        WaitUntil(std::numeric_limits<int>::max(), [&] {
            return std::all_of(m_clients.begin(), m_clients.end(),
                               [&](const auto& c) { return ended(*c); });
        });
        if (m_stopRequested)
            return EXIT_INTERRUPTED;
        int closed = 0;
        for (const auto& c : m_clients) {
            const ExtraClient::Status st = c->GetStatus();
            const bool gone = st.link == ExtraClient::Link::Closed;
            RunReport run;
            run.number = ++number;
            run.client = c->Number();
            run.clients = m_opt.link.clients;
            run.outcome = ClientOutcome(direction, c->Number(), c->Check().Get(), gone, "",
                                        m_clientsProbe.SerialWriteNs());
            c->Check().Disarm();
            RunDone(run);
            if (gone && !run.outcome.Verified() && closed == 0)
                closed = c->Number();
        }
        if (closed == 0)
            closed = ClosedClient(engine);
        return closed != 0 ? FailClientClosed(engine, closed) : EXIT_VERIFIED;
    }
    // Network to serial: each client in turn sends its own file, which the serial side must
    // capture whole.
    for (const auto& c : m_clients) {
        const int k = c->Number();
        const std::string& file = m_clientFiles[static_cast<size_t>(k - 2)];
        RunReport run;
        run.number = ++number;
        run.client = k;
        run.clients = m_opt.link.clients;
        m_sink.Progress().Begin(labelOf(run.number, k));
        std::string error;
        if (!m_clientsProbe.Serial().Arm(file, &error))
            return Fail(EXIT_NOT_STORED, "Can't read the file", error);
        if (!c->Send(file, m_opt.startDelayMs)) {
            m_clientsProbe.Serial().Disarm();
            return FailClientClosed(engine, k);
        }
        const int64_t began = platform::Stamp::Now().steadyNs;
        const int64_t delayNs = int64_t{m_opt.startDelayMs} * 1000000;
        WaitUntil(std::numeric_limits<int>::max(), [&] {
            const StreamCheck::Tally t = m_clientsProbe.Serial().Get();
            const ExtraClient::Sending s = c->GetSending();
            if (t.announced > 0)
                m_sink.Progress().Update(static_cast<int>(t.stored * 100 / t.announced),
                                         ByteCountText(t.stored, t.announced));
            if (t.Complete() || c->GetStatus().link == ExtraClient::Link::Closed ||
                (s.done && !s.error.empty()))
                return true;
            const int64_t since =
                s.headerNs == 0 ? began + delayNs : std::max(t.lastNs, s.headerNs);
            return platform::Stamp::Now().steadyNs - since >= silenceNs;
        });
        const StreamCheck::Tally t = m_clientsProbe.Serial().Get();
        m_clientsProbe.Serial().Disarm();
        const ExtraClient::Status st = c->GetStatus();
        const ExtraClient::Sending s = c->GetSending();
        const bool gone = st.link == ExtraClient::Link::Closed;
        run.outcome =
            ClientOutcome(direction, k, t, gone, s.done ? s.error : std::string(), s.headerNs);
        run.interrupted = m_stopRequested.load();
        m_sink.Progress().End();
        RunDone(run);
        if (m_stopRequested)
            return EXIT_INTERRUPTED;
        if (gone && !run.outcome.Verified())
            return FailClientClosed(engine, k);
        // A client closed while another sent fails the session too, named.
        if (const int closed = ClosedClient(engine); closed != 0)
            return FailClientClosed(engine, closed);
    }
    return EXIT_VERIFIED;
}

int PassSession::StartLog(TerminalEngine& engine) {
    if (m_opt.outputs.logPath.empty())
        return EXIT_VERIFIED;
    TrafficLog& log = engine.trafficLog;
    // The writer's signals come queued, while the session waits in its event loops.
    QObject::connect(&log, &TrafficLog::failed, &log,
                     [this](const QString& text, const QString& detail) {
                         m_logFailure = text.toStdString() + "\n  " + detail.toStdString();
                     });
    QObject::connect(&log, &TrafficLog::fellBehind, &log, [this](qint64 bytes) {
        m_logNotLogged = std::max<int64_t>(m_logNotLogged, bytes);
    });
    if (const platform::Result r = log.Start(m_opt.outputs.logPath); !r)
        return Fail(EXIT_NOT_STORED, r.text, r.reason);
    return EXIT_VERIFIED;
}

int PassSession::StopLog(TerminalEngine& engine, int code) {
    TrafficLog& log = engine.trafficLog;
    if (m_opt.outputs.logPath.empty() || !log.Active())
        return code;
    const int64_t notLogged = static_cast<int64_t>(log.BytesNotLogged());
    QEventLoop loop;
    QObject::connect(&log, &TrafficLog::stopped, &loop, &QEventLoop::quit);
    QObject::connect(&log, &TrafficLog::failed, &loop, &QEventLoop::quit);
    const bool failedBefore = !m_logFailure.empty();
    log.Stop();
    // The writer ends by itself: it writes out what is queued, or fails.
    if (!failedBefore)
        loop.exec();
    if (notLogged > 0 || m_logNotLogged > 0)
        m_sink.Note("vaskel-passthrough: the traffic log fell behind: " +
                    CountOf(std::max(notLogged, m_logNotLogged), "byte", "bytes") +
                    " not logged in " + m_opt.outputs.logPath);
    if (m_logFailure.empty())
        return code;
    if (code != EXIT_VERIFIED) {
        m_sink.Note("vaskel-passthrough: " + m_logFailure);
        return code;
    }
    const size_t cut = m_logFailure.find("\n  ");
    return Fail(EXIT_NOT_STORED, m_logFailure.substr(0, cut),
                cut == std::string::npos ? "" : m_logFailure.substr(cut + 3));
}

int PassSession::RunLatency(TerminalEngine& engine) {
    int number = 0;
    for (int rep = 0; rep < m_opt.repeat; ++rep) {
        for (PassDirection direction : m_opt.directions) {
            if (m_stopRequested)
                return EXIT_INTERRUPTED;
            ++number;
            m_sink.Progress().Begin("run " + std::to_string(number) + "/" +
                                    std::to_string(m_report.plannedRuns) + " " +
                                    DirectionName(direction));
            if (m_opt.link.udp)
                m_watch.Start(false, direction);
            RunReport run;
            run.number = number;
            run.latency = ::RunLatency(engine, m_meter, direction, m_opt,
                                       static_cast<uint32_t>(number), m_sink.Progress(), m_stop);
            run.outcome.direction = direction;
            run.interrupted = m_stopRequested.load();
            if (m_opt.link.udp)
                run.datagrams = TakeDatagrams(nullptr);
            m_sink.Progress().End();
            RunDone(run);
            if (m_report.runs.back().interrupted)
                return EXIT_INTERRUPTED;
            if (!engine.net.DropReason().empty())
                return FailNotReading(engine);
            const LatencyFigures& f = *m_report.runs.back().latency;
            // Without a link the next run cannot go better.
            if (!f.linkLost.empty())
                return SessionExitCode(m_report);
        }
    }
    return SessionExitCode(m_report);
}

int PassSession::RunScript(TerminalEngine& engine) {
    if (!m_opt.script)
        return Fail(EXIT_BAD_ARGUMENTS, "The script was not read", m_opt.scriptPath);
    const Script& script = *m_opt.script;
    m_scriptLinks = std::make_unique<EngineScriptLinks>(engine);
    m_scriptRunner = std::make_unique<ScriptRunner>(*m_scriptLinks);
    ScriptRunner& runner = *m_scriptRunner;

    // The progress line counts steps against every pass of every repeat.
    const int64_t planned = std::max<int64_t>(1, ScriptPlannedSteps(script.steps));
    int64_t steps = 0;
    m_sink.Progress().Begin("script " + script.file);
    std::optional<ScriptOutcome> outcome;
    QEventLoop loop;
    // Connected in the loop's context: the runner outlives this function, these locals do not.
    QObject::connect(&runner, &ScriptRunner::stepStarted, &loop, [&](int line) {
        ++steps;
        const int percent = static_cast<int>(std::min<int64_t>(99, steps * 100 / planned));
        m_sink.Progress().Update(percent, "line " + std::to_string(line) + ", step " +
                                              std::to_string(steps) + " of " +
                                              std::to_string(planned));
    });
    QObject::connect(&runner, &ScriptRunner::finished, &loop, [&](const ScriptOutcome& o) {
        outcome = o;
        loop.quit();
    });
    // A stop ends the script with the figures so far; its finished() then quits the loop.
    QObject::connect(&m_stop, &SessionStop::now, &runner, &ScriptRunner::Stop);
    if (m_stopRequested)
        return EXIT_INTERRUPTED;
    if (m_opt.link.udp)
        m_watch.Start(false, PassDirection::SerialToNet);
    SetMeasure(engine, &runner);
    runner.Start(script);
    if (!outcome)
        loop.exec();
    SetMeasure(engine, nullptr);
    if (m_opt.link.udp)
        m_report.scriptDatagrams = TakeDatagrams(nullptr);
    m_sink.Progress().End();
    if (!outcome) {  // the loop cannot end otherwise; this keeps a report all the same
        outcome.emplace();
        outcome->state = ScriptOutcome::State::Stopped;
    }
    m_report.script = *outcome;
    const ScriptOutcome& o = *m_report.script;
    int code = EXIT_VERIFIED;
    switch (o.state) {
        case ScriptOutcome::State::Passed:
        case ScriptOutcome::State::Unmet:
            code = SessionExitCode(m_report);
            break;
        case ScriptOutcome::State::Stopped:
            code = EXIT_INTERRUPTED;
            break;
        case ScriptOutcome::State::LinkFailed: {
            if (!engine.net.DropReason().empty()) {
                code = FailNotReading(engine);
                break;
            }
            std::string detail;
            for (size_t i = 1; i < o.why.size(); ++i)
                detail += (detail.empty() ? "" : "\n  ") + o.why[i];
            // Without the system's reason, what to check.
            if (detail.empty())
                detail = o.link == ScriptLink::Serial
                             ? m_opt.serial + ": check the serial device and its cable"
                             : (m_opt.link.mode == RunnerOptions::Net::Connect
                                    ? m_opt.link.host + ":" + std::to_string(m_opt.link.port)
                                    : "port " + std::to_string(m_opt.link.port)) +
                                   ": check the device server and its network port";
            code = Fail(o.link == ScriptLink::Serial ? EXIT_SERIAL_FAILED : EXIT_NETWORK_FAILED,
                        o.why.empty() ? std::string("Link lost : ") + ScriptLinkName(o.link)
                                      : o.why.front(),
                        detail);
            break;
        }
    }
    m_sink.TestDone(m_report);
    return code;
}

bool PassSession::WaitUntil(int ms, const std::function<bool()>& done) {
    if (done())
        return true;
    QEventLoop loop;
    QTimer deadline, check;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    // The link threads tell the probe of each read; a short check interval sees it soon enough
    // for figures in milliseconds.
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    if (!StopQuits(loop))
        return false;
    deadline.start(ms);
    check.start(5);
    loop.exec();
    return done();
}

int PassSession::RunReconnect(TerminalEngine& engine) {
    const std::string where = m_opt.link.host + ":" + std::to_string(m_opt.link.port);
    engine.traffic.SetMeasure(&m_probe);
    m_report.reconnect.emplace();
    int code = EXIT_VERIFIED;
    for (int k = 1; k <= m_opt.reconnect.cycles && !m_stopRequested; ++k) {
        ReconnectCycle c;
        c.number = k;
        m_sink.Progress().Begin("cycle " + std::to_string(k) + "/" +
                                std::to_string(m_opt.reconnect.cycles));
        engine.net.Stop();
        if (m_opt.reconnect.whileAway > 0) {
            std::string away(static_cast<size_t>(m_opt.reconnect.whileAway), '\0');
            FillPattern(m_opt.data.seed + 1000 + static_cast<uint64_t>(k), 0,
                        reinterpret_cast<unsigned char*>(away.data()), away.size());
            if (const platform::Result r =
                    engine.serial.SendBytes(reinterpret_cast<const unsigned char*>(away.data()),
                                            static_cast<int>(away.size()));
                !r) {
                code = Fail(EXIT_SERIAL_FAILED, r.text, m_opt.serial + ": " + r.reason);
                break;
            }
            c.awaySent = m_opt.reconnect.whileAway;
        }
        // The device server gets the bytes sent while away, and notices the client is gone,
        // before the next one comes (some refuse a client that comes within ~60 ms).
        WaitUntil(kReconnectAwaySettleMs, [] { return false; });
        if (m_stopRequested)
            break;
        m_probe.Clear();
        QElapsedTimer clock;
        clock.start();
        platform::Result outcome;
        if (TryConnect(engine, outcome) == EXIT_INTERRUPTED)
            break;
        c.connectSeconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
        c.connected = static_cast<bool>(outcome);
        if (!c.connected) {
            c.connectError = outcome.text + " (" + where + ": " + outcome.reason + ")";
            m_sink.Progress().End();
            m_report.reconnect->push_back(c);
            m_sink.TestDone(m_report);
            code = Fail(EXIT_NETWORK_FAILED,
                        "Reconnect : cycle " + std::to_string(k) +
                            ": the device server did not accept the connection",
                        where + ": " + outcome.reason +
                            "; check that the device server takes a new client once the "
                            "previous one has left");
            break;
        }
        // Each way its own block of the pattern, so that a stale copy of another cycle's block
        // cannot pass for it.
        for (PassDirection direction : {PassDirection::SerialToNet, PassDirection::NetToSerial}) {
            const bool toNet = direction == PassDirection::SerialToNet;
            std::string block(kReconnectBlock, '\0');
            FillPattern(m_opt.data.seed,
                        static_cast<uint64_t>(k * 2 + (toNet ? 0 : 1)) * kReconnectBlock,
                        reinterpret_cast<unsigned char*>(block.data()), block.size());
            const auto* bytes = reinterpret_cast<const unsigned char*>(block.data());
            const platform::Result sent = toNet ? engine.serial.SendBytes(bytes, kReconnectBlock)
                                                : engine.net.SendBytes(bytes, kReconnectBlock);
            bool& passed = toNet ? c.serialToNet : c.netToSerial;
            int64_t& arrived = toNet ? c.serialToNetBytes : c.netToSerialBytes;
            // What came while away arrives first on the network side; the block must end it.
            const auto got = [&] { return toNet ? m_probe.Net() : m_probe.Serial(); };
            const size_t extra = toNet ? static_cast<size_t>(c.awaySent) : 0;
            if (sent)
                WaitUntil(kReconnectPassMs, [&] { return got().size() >= block.size() + extra; });
            const std::string in = got();
            if (toNet && in.size() > block.size() &&
                in.compare(in.size() - block.size(), block.size(), block) == 0)
                c.awayKept = static_cast<int64_t>(in.size() - block.size());
            const size_t head = toNet ? static_cast<size_t>(c.awayKept) : 0;
            arrived =
                static_cast<int64_t>(std::min(in.size() - std::min(in.size(), head), block.size()));
            passed = sent && in.size() == head + block.size() &&
                     in.compare(head, block.size(), block) == 0;
            if (m_stopRequested)
                break;
        }
        m_sink.Progress().End();
        m_report.reconnect->push_back(c);
        m_sink.TestDone(m_report);
        if (!c.Ok())
            code = EXIT_MISMATCH;
    }
    engine.traffic.SetMeasure(nullptr);
    if (m_stopRequested)
        return EXIT_INTERRUPTED;
    return code;
}

void PassSession::SetMeasure(TerminalEngine& engine, platform::ITrafficObserver* measure) {
    if (m_opt.link.udp)
        m_watch.SetInner(measure);
    else
        engine.traffic.SetMeasure(measure);
}

DatagramReport PassSession::TakeDatagrams(const PassOutcome* outcome) {
    DatagramWatch::Taken taken = m_watch.Take();
    DatagramReport report{taken.received, taken.sent, {}, {}};
    if (!outcome || outcome->Verified() || outcome->end == PassOutcome::End::Cancelled)
        return report;
    // Nothing came back at all: the time-out says so, the datagrams have nothing to show.
    const bool toNet = outcome->direction == PassDirection::SerialToNet;
    if (toNet ? taken.received.count == 0 : taken.serialRx.empty())
        return report;
    if (taken.overLimit) {
        report.notDiagnosed = "more than " + std::to_string(kDatagramRecordLimit >> 20) +
                              " MiB crossed the links: the datagrams were counted, not diagnosed";
        return report;
    }
    // A capture that ended full (a mismatch) did not wait for what came after it; a time-out or
    // a lost link gave the rest its time.
    const bool tailAwaited = outcome->end != PassOutcome::End::Completed;
    if (outcome->direction == PassDirection::NetToSerial) {
        report.finding =
            FindSentDatagrams(taken.netTx, taken.serialRx, FILE_HEADER_SIZE, tailAwaited).text;
        return report;
    }
    // The bytes the serial side sent: the header, then the file.
    if (m_report.bytes + FILE_HEADER_SIZE > kDatagramRecordLimit) {
        report.notDiagnosed = "the file is over " + std::to_string(kDatagramRecordLimit >> 20) +
                              " MiB: the datagrams were counted, not diagnosed";
        return report;
    }
    std::string sent(static_cast<size_t>(FILE_HEADER_SIZE + m_report.bytes), '\0');
    BuildFileHeader(static_cast<uint32_t>(m_report.bytes),
                    reinterpret_cast<unsigned char*>(sent.data()));
    const int fd = ::open(m_report.source.c_str(), O_RDONLY | O_CLOEXEC);
    size_t have = FILE_HEADER_SIZE;
    while (fd >= 0 && have < sent.size()) {
        const ssize_t n = ::read(fd, sent.data() + have, sent.size() - have);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        have += static_cast<size_t>(n);
    }
    if (fd >= 0)
        ::close(fd);
    if (have < sent.size()) {
        report.notDiagnosed = m_report.source +
                              " could not be read again: the datagrams were "
                              "counted, not diagnosed";
        return report;
    }
    report.finding = PlaceReceivedDatagrams(sent, taken.netRx, FILE_HEADER_SIZE, tailAwaited).text;
    return report;
}

void PassSession::RunDone(RunReport run) {
    m_report.runs.push_back(std::move(run));
    m_sink.RunDone(m_report);
}

int PassSession::Finish(int code) {
    if (m_tempDir.empty())
        return code;
    // Kept with --keep, and after a failed run whose files may tell what went wrong.
    const bool keep = m_opt.outputs.keep ||
                      (code != EXIT_VERIFIED && code != EXIT_INTERRUPTED && !m_report.runs.empty());
    if (keep)
        m_sink.Note("vaskel-passthrough: the temporary folder is kept: " + m_tempDir);
    else
        QDir(QString::fromStdString(m_tempDir)).removeRecursively();
    return code;
}
