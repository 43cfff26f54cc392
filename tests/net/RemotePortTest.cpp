// The network console as a Telnet link with the Com Port Control option, against a device server
// scripted by the test on a loopback socket: what it asks when the link comes up, how it judges
// the answers, what reaches the history, and a send gate that keeps Telnet framing whole when a
// worker and the UI thread send at once.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <regex>
#include <thread>

#include "net/NetConsole.h"
#include "net/RemotePort.h"
#include "support/FloodingDeviceServer.h"
#include "support/NetConnect.h"
#include "support/TestUtil.h"

using testutil::WaitFor;
using namespace telnet;

namespace {

std::string History(CRingBuffer& ring) {
    unsigned char out[RING_BUFFER_CAPACITY];
    const int n = ring.Snapshot(out);
    return std::string(reinterpret_cast<const char*>(out), static_cast<size_t>(n));
}

// The device server's end: reads what the console sent (pumping the console's event loop) and
// splits it into data and Telnet events.
struct ScriptedServer {
    int fd = -1;
    Receiver receiver;
    Bytes data;
    std::vector<Event> events;

    // Reads for up to `ms`, or until `until` holds.
    void Read(int ms, const std::function<bool()>& until = {}) {
        const auto start = std::chrono::steady_clock::now();
        while (testutil::MsSince(start) < ms) {
            testutil::Pump(5);
            uint8_t buf[4096];
            const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0)
                receiver.Feed(buf, static_cast<size_t>(n), data, events);
            if (until && until())
                return;
        }
    }
    bool Saw(const Event& e) const {
        return std::find(events.begin(), events.end(), e) != events.end();
    }
    void Send(const Bytes& b) { testutil::SendAll(fd, std::string(b.begin(), b.end())); }
};

Event Sub(Bytes payload) {
    Event e;
    e.kind = Event::Kind::Subnegotiation;
    e.option = OPT_COM_PORT;
    e.payload = std::move(payload);
    return e;
}

Bytes Answer(Bytes payload) {
    payload[0] += comport::SERVER_OFFSET;
    return Subnegotiation(OPT_COM_PORT, payload);
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

struct Linked {
    NetConsole net;
    ScriptedServer server;
    int listener = -1;
    std::vector<RemoteSettingsReport> reports;
    std::vector<platform::ModemState> modem;

    explicit Linked(const RemotePortOptions& options) {
        net.SetRemotePortOptions(options);
        QObject::connect(&net, &NetConsole::remoteSettingsChecked,
                         [this](const RemoteSettingsReport& r) { reports.push_back(r); });
        QObject::connect(&net, &NetConsole::remoteModemState,
                         [this](const platform::ModemState& m, qint64) { modem.push_back(m); });
        int port = 0;
        listener = testutil::ListenLoopback(&port);
        EXPECT_TRUE(testutil::ConnectAndWait(net, "127.0.0.1", static_cast<unsigned>(port)).ok);
        server.fd = testutil::AcceptWithin(listener, 2000);
        EXPECT_GE(server.fd, 0);
    }
    ~Linked() {
        net.Stop();
        ::close(server.fd);
        ::close(listener);
    }
};

RemotePortOptions Rfc2217(std::optional<LineSettings> settings, int answerTimeoutMs = 2000) {
    RemotePortOptions o;
    o.framing = LinkFraming::Rfc2217;
    o.settings = settings;
    o.answerTimeoutMs = answerTimeoutMs;
    return o;
}

}  // namespace

// The settings go out once the link is up; each answer is judged, a missing one after 2 s, and
// the link stays up throughout. Data comes out of the Telnet framing whole, whatever the
// chunking, with the notifications taken out of it; a typed 0xFF goes out doubled.
TEST(RemotePort, SettingsAreCheckedAndOnlyDataReachesTheHistory) {
    LineSettings s;
    s.baud = 250000;
    s.parity = Parity::Even;
    s.stopBits = StopBits::Two;
    Linked l(Rfc2217(s));
    ScriptedServer& srv = l.server;
    const Event will{Event::Kind::Negotiation, WILL, OPT_COM_PORT, {}};
    srv.Read(1000, [&] { return srv.Saw(will); });
    ASSERT_TRUE(srv.Saw(will));
    ASSERT_TRUE(l.net.Rfc2217());
    // The settings wait for the server's agreement, the notifications too.
    srv.Send(Negotiation(DO, OPT_COM_PORT));
    const Event modemMask = Sub({comport::SET_MODEMSTATE_MASK, 0xFF});
    srv.Read(1000, [&] { return srv.Saw(modemMask); });
    EXPECT_TRUE(srv.Saw(modemMask)) << "notifications not asked";
    EXPECT_TRUE(srv.Saw(Sub({comport::SET_BAUDRATE, 0x00, 0x03, 0xD0, 0x90})));
    EXPECT_TRUE(srv.Saw(Sub({comport::SET_PARITY, comport::PARITY_EVEN})));

    // The baud rate, data size and flow applied, parity answered with another value, stop size
    // never answered.
    srv.Send(
        Cat({Answer({comport::SET_BAUDRATE, 0x00, 0x03, 0xD0, 0x90}),
             Answer({comport::SET_DATASIZE, 8}), Answer({comport::SET_PARITY, comport::PARITY_ODD}),
             Answer({comport::SET_CONTROL, comport::CONTROL_FLOW_NONE})}));
    srv.Read(300);
    EXPECT_TRUE(l.reports.empty()) << "told before the stop size's 2 s were over";
    ASSERT_TRUE(WaitFor([&] { return !l.reports.empty(); }, 4000));
    ASSERT_EQ(l.reports.size(), 1u);
    EXPECT_FALSE(l.reports[0].Ok());
    EXPECT_EQ(l.reports[0].FailureText(),
              "parity: the device server applied odd instead of even; stop bits 2: no answer "
              "within 2 s");
    EXPECT_TRUE(l.net.IsConnected());

    // Data with a doubled 0xFF split across segments, a modem notification in the middle.
    const Bytes stream =
        Cat({{'A', IAC}, {IAC, 'B'}, Answer({comport::NOTIFY_MODEMSTATE, 0x31}), {'C'}});
    for (size_t i = 0; i < stream.size(); i += 3) {
        srv.Send(Bytes(stream.begin() + static_cast<long>(i),
                       stream.begin() + static_cast<long>(std::min(i + 3, stream.size()))));
        testutil::Pump(10);
    }
    ASSERT_TRUE(WaitFor([&] { return History(l.net.Ring()).size() == 4; }));
    EXPECT_EQ(History(l.net.Ring()), std::string("A\xFF"
                                                 "BC"));
    ASSERT_EQ(l.modem.size(), 1u);
    EXPECT_TRUE(l.modem[0].cts && l.modem[0].dsr && l.modem[0].deltaCts && !l.modem[0].dcd);

    srv.data.clear();
    ASSERT_TRUE(l.net.Send("x\\xFFy").ok);
    srv.Read(1000, [&] { return srv.data.size() >= 3; });
    EXPECT_EQ(std::string(srv.data.begin(), srv.data.end()),
              "x\xFFy");  // the receiver undid IAC IAC
}

// A peer that never takes up the option, or refuses it, is no RFC 2217 server; the link stays
// up and raw data still arrives.
TEST(RemotePort, APeerWithoutTheOptionIsNotAnRfc2217Server) {
    const struct {
        const char* name;
        Bytes answer;
        const char* failure;
    } cases[] = {
        {"silent",
         {},
         "not an RFC 2217 server: no answer to the Com Port Control option within 2 s"},
        {"refuses", Negotiation(DONT, OPT_COM_PORT),
         "not an RFC 2217 server: the device server refused the Com Port Control option"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Linked l(Rfc2217(LineSettings{}));
        if (!c.answer.empty())
            l.server.Send(c.answer);
        ASSERT_TRUE(WaitFor([&] { return !l.reports.empty(); }, 4000));
        EXPECT_TRUE(l.reports[0].NotRfc2217());
        EXPECT_EQ(l.reports[0].FailureText(), c.failure);
        l.server.Send({'o', 'k'});
        EXPECT_TRUE(WaitFor([&] { return History(l.net.Ring()) == "ok"; }));
        EXPECT_TRUE(l.net.IsConnected());
    }
}

// A worker sending data that is mostly 0xFF while the UI thread posts commands: the far end
// parses exactly the data and every command. A worker cut short by the abort with half an
// escaped pair on the wire leaves the other half waiting, so the stream stays well-formed.
TEST(RemotePort, TheSendGateKeepsTelnetFramingWhole) {
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    int small = 4096;
    ::setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    LinkSendGate gate;
    std::string sent = testutil::RandomBytes(1 << 20, 7);
    for (size_t i = 0; i < sent.size(); i += 3)
        sent[i] = '\xFF';
    Bytes got;
    std::vector<Event> events;
    std::atomic<bool> hold{false};  // the far end stops reading
    std::thread reader([&] {
        Receiver r;
        uint8_t buf[8192];
        ssize_t n = 1;
        while (n > 0) {
            if (hold) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            if ((n = ::read(sv[1], buf, sizeof buf)) > 0)
                r.Feed(buf, static_cast<size_t>(n), got, events);
        }
    });
    platform::AbortSignal abort;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        int err = 0;
        for (size_t i = 0; i < sent.size(); i += 4096)
            gate.SendData(sv[0], reinterpret_cast<const uint8_t*>(sent.data()) + i, 4096, abort,
                          &err);
        done = true;
    });
    const Bytes command = comport::SetControl(comport::CONTROL_DTR_ON);
    int posted = 0, err = 0;
    while (!done) {
        ASSERT_TRUE(gate.Post(sv[0], command.data(), command.size(), &err));
        ++posted;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    worker.join();
    while (gate.Waiting() > 0)
        gate.Flush(sv[0], &err);

    // Cut short: nobody reads now, the abort comes while the chunk of 0xFF waits for room.
    // One byte ahead of the 0xFFs, so that a cut after an even count of bytes halves a pair.
    Bytes allFf(64 * 1024, IAC);
    allFf[0] = 'Q';
    int queued = 0;
    while (::ioctl(sv[1], FIONREAD, &queued) == 0 && queued > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    hold = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::thread cut(
        [&] { gate.SendData(sv[0], allFf.data(), static_cast<int>(allFf.size()), abort, &err); });
    // Raised once the socket is full and the send waits for room.
    for (int last = -1; last != queued;) {
        last = queued;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ::ioctl(sv[1], FIONREAD, &queued);
        if (queued == 0)
            last = -1;
    }
    abort.Raise();
    cut.join();
    hold = false;
    while (gate.Waiting() > 0)
        gate.Flush(sv[0], &err);
    const uint8_t tail[] = {'Z'};
    gate.Post(sv[0], tail, 1, &err);
    ::shutdown(sv[0], SHUT_WR);
    reader.join();
    ::close(sv[0]);
    ::close(sv[1]);

    ASSERT_GE(got.size(), sent.size() + 1);
    EXPECT_EQ(std::string(got.begin(), got.begin() + static_cast<long>(sent.size())), sent);
    EXPECT_EQ(got.back(), 'Z') << "the stream ended inside a command";
    EXPECT_EQ(got[sent.size()], 'Q');
    EXPECT_TRUE(std::all_of(got.begin() + static_cast<long>(sent.size()) + 1, got.end() - 1,
                            [](uint8_t b) { return b == IAC; }));
    EXPECT_EQ(static_cast<int>(events.size()), posted);
}

// Server Mode: the device server is the peer that connects; the console asks the option of each
// peer afresh, and a raw console never does.
TEST(RemotePort, EachServerModePeerIsAskedAndARawConsoleAsksNothing) {
    for (const LinkFraming framing : {LinkFraming::Rfc2217, LinkFraming::Raw}) {
        SCOPED_TRACE(framing == LinkFraming::Raw ? "raw" : "rfc2217");
        NetConsole net;
        RemotePortOptions o;
        o.framing = framing;
        net.SetRemotePortOptions(o);
        const int port = testutil::FreePort();
        ASSERT_TRUE(net.StartServer(static_cast<unsigned>(port)).ok);
        for (int peer = 0; peer < 2; ++peer) {
            ScriptedServer device;
            device.fd = testutil::ConnectLoopback(port);
            ASSERT_GE(device.fd, 0);
            ASSERT_TRUE(WaitFor([&] { return net.PeerCount() == 1; }));
            device.Read(300, [&] { return !device.events.empty(); });
            EXPECT_EQ(net.Rfc2217(), framing == LinkFraming::Rfc2217);
            if (framing == LinkFraming::Rfc2217)
                EXPECT_TRUE(device.Saw({Event::Kind::Negotiation, WILL, OPT_COM_PORT, {}}));
            else
                EXPECT_TRUE(device.events.empty() && device.data.empty());
            ::close(device.fd);
            ASSERT_TRUE(WaitFor([&] { return net.PeerCount() == 0; }));
        }
        net.Stop();
    }
}

// A device server that agrees, then stops reading and floods requests that need replies: the
// replies wait at the gate only up to its bound, then the link is dropped with the reason, told
// after the drop's ordinary signal. A client link leaves the console idle; Server Mode drops the
// peer and goes on listening.
TEST(RemotePort, ADeviceServerThatDoesNotReadIsDroppedAtTheBound) {
    // The device server's receive buffer, small from the handshake on: the kernel soon stops
    // taking our replies, as a stalled device's does.
    constexpr int kSmallBuffer = 4096;
    for (const bool serverMode : {false, true}) {
        SCOPED_TRACE(serverMode ? "server mode peer" : "client link");
        NetConsole net;
        net.SetRemotePortOptions(Rfc2217(std::nullopt));
        std::vector<std::string> told;  // the signals, in order
        QObject::connect(&net, &NetConsole::farEndClosed, [&] { told.push_back("farEndClosed"); });
        QObject::connect(&net, &NetConsole::peerGone, [&] { told.push_back("peerGone"); });
        QObject::connect(&net, &NetConsole::linkDropped,
                         [&](const QString& text) { told.push_back(text.toStdString()); });
        int listener = -1, fd = -1;
        if (serverMode) {
            const int port = testutil::FreePort();
            ASSERT_TRUE(net.StartServer(static_cast<unsigned>(port)).ok);
            fd = testutil::ConnectLoopback(port, kSmallBuffer);
            ASSERT_TRUE(WaitFor([&] { return net.PeerCount() == 1; }));
        } else {
            int port = 0;
            listener = testutil::ListenLoopback(&port, 8, kSmallBuffer);
            ASSERT_TRUE(testutil::ConnectAndWait(net, "127.0.0.1", static_cast<unsigned>(port)).ok);
            fd = testutil::AcceptWithin(listener, 2000);
        }
        ASSERT_GE(fd, 0);
        ScriptedServer device{fd, {}, {}, {}};
        device.Read(1000, [&] { return !device.events.empty(); });
        device.Send(Negotiation(DO, OPT_COM_PORT));
        testutil::Pump(50);
        const std::shared_ptr<LinkSendGate> gate = net.SendGate();
        ASSERT_TRUE(gate);
        size_t most = 0;
        {
            FloodingDeviceServer flood(fd);
            const auto start = std::chrono::steady_clock::now();
            while (told.empty() && testutil::MsSince(start) < 20000) {
                testutil::Pump(1);
                most = std::max(most, gate->Waiting());
            }
        }
        ASSERT_EQ(told.size(), 2u);
        EXPECT_EQ(told[0], serverMode ? "peerGone" : "farEndClosed");
        std::smatch m;
        ASSERT_TRUE(std::regex_match(
            told[1], m, std::regex("the device server does not read: (\\d+) bytes waiting")))
            << told[1];
        const size_t waiting = std::stoul(m[1]);
        EXPECT_LE(waiting, LinkSendGate::MAX_WAITING);
        EXPECT_GT(waiting, LinkSendGate::MAX_WAITING - 4096) << "dropped before the bound";
        EXPECT_LE(most, LinkSendGate::MAX_WAITING);
        EXPECT_EQ(net.DropReason(), told[1]);
        EXPECT_EQ(net.LinkInUse(), nullptr);
        EXPECT_EQ(net.GetState(),
                  serverMode ? NetConsole::State::Listening : NetConsole::State::Idle);
        net.Stop();
        ::close(fd);
        if (listener >= 0)
            ::close(listener);
    }
}

// An answer after the link's answer time is not lost: the report told at the time-out is told
// again, revised, with the setting applied and how late its answer came. A server that agrees to
// the option only after its time gets the settings then, and its answers revise the report too.
TEST(RemotePort, LateAnswersReviseTheReport) {
    LineSettings s;
    s.baud = 57600;
    const Bytes asked = comport::SetBaudRate(57600);
    struct Case {
        const char* name;
        bool agreeLate;
        const char* first;  // the first report's failures
    };
    const Case cases[] = {
        {"late answers", false, "baud rate 57600: no answer within 1 s; data bits 8: no answer"},
        {"late agreement", true,
         "not an RFC 2217 server: no answer to the Com Port Control option within 1 s"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Linked l(Rfc2217(s, 1000));
        ScriptedServer& srv = l.server;
        srv.Read(1000, [&] { return !srv.events.empty(); });
        if (!c.agreeLate) {
            srv.Send(Negotiation(DO, OPT_COM_PORT));
            srv.Read(1000, [&] { return srv.Saw(Sub({comport::SET_CONTROL, 1})); });
        }
        ASSERT_TRUE(WaitFor([&] { return !l.reports.empty(); }, 3000));
        EXPECT_EQ(l.reports[0].FailureText().rfind(c.first, 0), 0u) << l.reports[0].FailureText();
        EXPECT_FALSE(l.reports[0].revised);
        testutil::Pump(300);
        if (c.agreeLate) {
            srv.events.clear();
            srv.Send(Negotiation(DO, OPT_COM_PORT));
            srv.Read(1000, [&] { return srv.Saw(Sub({comport::SET_CONTROL, 1})); });
            ASSERT_TRUE(srv.Saw(Sub({comport::SET_BAUDRATE, 0x00, 0x00, 0xE1, 0x00})));
        }
        srv.Send(Cat({Answer({comport::SET_BAUDRATE, 0x00, 0x00, 0xE1, 0x00}),
                      Answer({comport::SET_DATASIZE, 8}),
                      Answer({comport::SET_PARITY, comport::PARITY_NONE}),
                      Answer({comport::SET_STOPSIZE, comport::STOPSIZE_1}),
                      Answer({comport::SET_CONTROL, comport::CONTROL_FLOW_NONE})}));
        ASSERT_TRUE(WaitFor([&] { return l.reports.size() == 2; }, 3000));
        const RemoteSettingsReport& r = l.reports[1];
        EXPECT_TRUE(r.revised);
        EXPECT_TRUE(r.Ok()) << r.FailureText();
        // Answers to settings sent on a late agreement come in their own time.
        EXPECT_EQ(r.LateAnswers().size(), c.agreeLate ? 0u : 5u);
        if (!c.agreeLate) {
            EXPECT_TRUE(std::regex_match(r.LateAnswers()[0],
                                         std::regex("baud rate: answered after 1\\.[0-9] s")))
                << r.LateAnswers()[0];
        }
        testutil::Pump(100);
        EXPECT_EQ(l.reports.size(), 2u);
    }
}

// The report's words: what the device server did instead, for a serial setting and for the
// controls, and the answer times in seconds.
TEST(RemotePort, ReportWords) {
    using Setting = ComPortClient::Setting;
    using AckState = ComPortClient::AckState;
    struct Case {
        RemoteSettingsReport::Item item;
        int64_t timeoutMs;
        const char* failure;
        const char* late;
    };
    const Case cases[] = {
        {{Setting::Parity, AckState::AcknowledgedOther, comport::PARITY_EVEN, comport::PARITY_ODD},
         2000,
         "parity: the device server applied odd instead of even",
         ""},
        {{Setting::Break, AckState::AcknowledgedOther, comport::CONTROL_BREAK_ON,
          comport::CONTROL_BREAK_OFF},
         2000,
         "break: the device server answered off instead of on",
         ""},
        {{Setting::Baud, AckState::TimedOut, 9600, 0},
         30000,
         "baud rate 9600: no answer within 30 s",
         ""},
        {{Setting::Flow, AckState::Acknowledged, comport::CONTROL_FLOW_NONE,
          comport::CONTROL_FLOW_NONE, 3349, true},
         2000,
         "",
         "flow control: answered after 3.3 s"},
    };
    for (const Case& c : cases) {
        RemoteSettingsReport r;
        r.option = ComPortClient::OptionState::Agreed;
        r.answerTimeoutMs = c.timeoutMs;
        r.items.push_back(c.item);
        EXPECT_EQ(r.FailureText(), c.failure);
        const auto late = r.LateAnswers();
        EXPECT_EQ(late.empty() ? std::string() : late[0], c.late);
    }
}

// A device server's parity and flow answers in the report's words, including values RFC 2217
// does not define for them.
TEST(RemotePort, ParityAndFlowAnswerWords) {
    using Setting = ComPortClient::Setting;
    const std::pair<uint32_t, const char*> parities[] = {
        {0, "?"}, {1, "none"}, {2, "odd"}, {3, "even"}, {4, "mark"}, {5, "space"}, {6, "6"}};
    for (auto [value, word] : parities)
        EXPECT_EQ(RemoteSettingsReport::ValueName(Setting::Parity, value), word) << value;
    const std::pair<uint32_t, const char*> flows[] = {
        {0, "0"}, {1, "none"}, {2, "XON/XOFF"}, {3, "hardware"}, {4, "4"}};
    for (auto [value, word] : flows)
        EXPECT_EQ(RemoteSettingsReport::ValueName(Setting::Flow, value), word) << value;
}
