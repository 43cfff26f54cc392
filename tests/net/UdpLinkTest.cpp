// The network console over UDP, with socat as the device server: a pty on its serial side and a
// UDP socket on its network side. Typed lines cross as whole datagrams both ways.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <mutex>
#include <vector>

#include "net/NetConsole.h"
#include "support/TestUtil.h"

using testutil::WaitFor;

namespace {

std::string History(CRingBuffer& ring) {
    unsigned char out[RING_BUFFER_CAPACITY];
    const int n = ring.Snapshot(out);
    return std::string(reinterpret_cast<const char*>(out), static_cast<size_t>(n));
}

struct Chunks : platform::ITrafficObserver {
    std::mutex lock;
    std::vector<std::pair<platform::TrafficKind, std::string>> seen;
    void Traffic(platform::TrafficKind kind, const platform::Stamp&, const unsigned char* bytes,
                 size_t n) override {
        std::lock_guard guard(lock);
        seen.emplace_back(kind, std::string(reinterpret_cast<const char*>(bytes), n));
    }
};

// socat joining a pty (the device's serial line, opened here raw) to a UDP socket bound to
// `bind` that sends to `peer`.
class UdpDevice {
public:
    UdpDevice(const std::string& link, int bindPort, int peerPort) {
        m_process.Start({"socat", "PTY,link=" + link + ",raw,echo=0",
                         "UDP-DATAGRAM:127.0.0.1:" + std::to_string(peerPort) +
                             ",bind=127.0.0.1:" + std::to_string(bindPort)});
        struct stat st {};
        if (WaitFor([&] { return ::lstat(link.c_str(), &st) == 0; }))
            m_fd = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_fd >= 0) {
            termios t{};
            tcgetattr(m_fd, &t);
            cfmakeraw(&t);
            tcsetattr(m_fd, TCSANOW, &t);
        }
        testutil::Pump(100);  // let socat bind its socket
    }
    ~UdpDevice() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_process.Kill(15);
        m_process.Wait(3000);
    }
    bool Ready() const { return m_fd >= 0; }
    void Write(const std::string& s) {
        ASSERT_EQ(::write(m_fd, s.data(), s.size()), ssize_t(s.size()));
    }
    // What the serial side got within `ms`, up to `count` bytes.
    std::string Read(size_t count, int ms = 3000) {
        std::string got;
        const auto start = std::chrono::steady_clock::now();
        while (got.size() < count && testutil::MsSince(start) < ms) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 20) == 1) {
                char buf[4096];
                const ssize_t n = ::read(m_fd, buf, sizeof buf);
                if (n > 0)
                    got.append(buf, static_cast<size_t>(n));
            }
            testutil::Pump(0);
        }
        return got;
    }

private:
    testutil::ChildProcess m_process;
    int m_fd = -1;
};

struct Mode {
    const char* name;
    bool server;
};

class UdpLink : public ::testing::TestWithParam<Mode> {};

TEST_P(UdpLink, TypedLinesCrossAsWholeDatagramsBothWays) {
    testutil::TempDir dir;
    const int consolePort = testutil::FreePort();
    const int devicePort = testutil::FreePort();
    NetConsole net;
    Chunks chunks;
    net.Traffic().Set(&chunks);
    RemotePortOptions options;
    options.protocol = NetProtocol::Udp;
    options.udpLocalPort = static_cast<unsigned>(consolePort);
    net.SetRemotePortOptions(options);
    UdpDevice device(dir.File("ttyDEV"), devicePort, consolePort);
    ASSERT_TRUE(device.Ready());
    int received = 0;
    QObject::connect(&net, &NetConsole::received, [&] { ++received; });
    if (GetParam().server) {
        ASSERT_TRUE(net.StartServer(static_cast<unsigned>(consolePort)));
        EXPECT_EQ(net.LocalPort(), unsigned(consolePort));
        EXPECT_EQ(net.LinkInUse(), nullptr);  // no peer before its first datagram
        EXPECT_FALSE(net.Send("nobody"));
    } else {
        bool up = false;
        QObject::connect(&net, &NetConsole::connected, [&] { up = true; });
        ASSERT_TRUE(net.Connect("127.0.0.1", static_cast<unsigned>(devicePort)));
        EXPECT_NE(net.LinkInUse(), nullptr);  // connected at once, told after
        ASSERT_TRUE(WaitFor([&] { return up; }));
        EXPECT_EQ(net.LocalPort(), unsigned(consolePort));
    }
    EXPECT_TRUE(net.Udp());

    // The device speaks first (Server Mode learns its peer from it), line by line.
    for (const std::string& line :
         std::vector<std::string>{"first line\r\n", "second\n", std::string(1500, 'z')}) {
        const int before = received;
        device.Write(line);
        ASSERT_TRUE(WaitFor([&] { return received > before; })) << line.substr(0, 20);
    }
    EXPECT_EQ(received, 3);  // one chunk per datagram
    EXPECT_EQ(History(net.Ring()), "first line\r\nsecond\n" + std::string(1500, 'z'));
    EXPECT_EQ(net.PeerCount(), GetParam().server ? 1 : 0);

    // The console answers: each line one datagram, trailing blanks cut, escapes decoded.
    ASSERT_TRUE(net.Send("hello device\\x0D\\x0A  "));
    EXPECT_EQ(device.Read(14), "hello device\r\n");
    const std::string big(1024, 'q');
    ASSERT_TRUE(net.SendBytes(reinterpret_cast<const unsigned char*>(big.data()), 1024));
    EXPECT_EQ(device.Read(1024), big);

    std::lock_guard guard(chunks.lock);
    std::vector<std::pair<platform::TrafficKind, std::string>> expected = {
        {platform::TrafficKind::NetRx, "first line\r\n"},
        {platform::TrafficKind::NetRx, "second\n"},
        {platform::TrafficKind::NetRx, std::string(1500, 'z')},
        {platform::TrafficKind::NetTx, "hello device\r\n"},
        {platform::TrafficKind::NetTx, big}};
    EXPECT_EQ(chunks.seen, expected);
    net.Traffic().Set(nullptr);
}

INSTANTIATE_TEST_SUITE_P(ClientAndServer, UdpLink,
                         ::testing::Values(Mode{"Client", false}, Mode{"Server", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Nothing listens on the device's port: the ICMP answer is told, the link stays.
TEST(UdpLinkFailures, RefusedPortAndBusyLocalPortAreToldWithTheirPorts) {
    const int nobody = testutil::FreePort();
    NetConsole net;
    RemotePortOptions options;
    options.protocol = NetProtocol::Udp;
    net.SetRemotePortOptions(options);
    QString told;
    QObject::connect(&net, &NetConsole::failure, [&](const QString& text) { told = text; });
    ASSERT_TRUE(net.Connect("127.0.0.1", static_cast<unsigned>(nobody)));
    EXPECT_NE(net.LocalPort(), 0u);
    const std::string refused = "The device does not listen on UDP port " + std::to_string(nobody);
    // The refusal comes back either to the next send or as a notification of its own.
    platform::Result r = net.Send("anyone?");
    ASSERT_TRUE(r) << r.text;
    ASSERT_TRUE(WaitFor([&] {
        if (!told.isEmpty())
            return true;
        r = net.Send("anyone?");
        return !r.ok;
    }));
    EXPECT_EQ(told.isEmpty() ? r.text : told.toStdString(), refused);
    EXPECT_NE(net.LinkInUse(), nullptr);

    // A local port that is taken: the bind fails, the console is idle.
    const int taken = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    getsockname(taken, reinterpret_cast<sockaddr*>(&a), &size);
    options.udpLocalPort = ntohs(a.sin_port);
    net.SetRemotePortOptions(options);
    r = net.Connect("127.0.0.1", static_cast<unsigned>(nobody));
    EXPECT_EQ(r.text, "Can't create socket");
    EXPECT_NE(r.reason.find("local UDP port " + std::to_string(options.udpLocalPort)),
              std::string::npos)
        << r.reason;
    EXPECT_EQ(net.GetState(), NetConsole::State::Idle);
    ::close(taken);
}

}  // namespace

// The link's ends as the traffic log is told them: in Server Mode each new sender is told before
// its datagram is delivered (and before peerAttached), a sender already told is not told again,
// and our end is the address the server answers from, not the wildcard it is bound to.
TEST(UdpLinkEnds, ServerModeTellsEachNewSenderBeforeItsDatagram) {
    const int serverPort = testutil::FreePort();
    NetConsole net;
    RemotePortOptions options;
    options.protocol = NetProtocol::Udp;
    net.SetRemotePortOptions(options);
    std::vector<std::string> events;
    const auto end = [](const platform::SocketEnd& e) {
        in_addr a{};
        a.s_addr = htonl(e.address);
        return std::string(inet_ntoa(a)) + ":" + std::to_string(e.port);
    };
    QObject::connect(&net, &NetConsole::linkChanged, [&] {
        platform::SocketEnd local, peer;
        ASSERT_TRUE(net.LinkEnds(&local, &peer));
        events.push_back(end(local) + " " + end(peer) + " after " +
                         std::to_string(net.Ring().GetCount()) + " bytes");
    });
    QObject::connect(&net, &NetConsole::peerAttached, [&] { events.push_back("attached"); });
    ASSERT_TRUE(net.StartServer(static_cast<unsigned>(serverPort)));
    platform::SocketEnd local, peer;
    EXPECT_FALSE(net.LinkEnds(&local, &peer));  // no datagram yet

    const auto sender = [] {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t size = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
        return std::pair<int, int>{fd, ntohs(a.sin_port)};
    };
    const auto [first, firstPort] = sender();
    const auto [second, secondPort] = sender();
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(serverPort));
    size_t delivered = 0;
    for (const int fd : {first, first, second, first}) {
        ASSERT_EQ(::sendto(fd, "abc", 3, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 3);
        delivered += 3;
        ASSERT_TRUE(
            WaitFor([&] { return static_cast<size_t>(net.Ring().GetCount()) == delivered; }));
    }
    const std::string server = "127.0.0.1:" + std::to_string(serverPort);
    const std::vector<std::string> expected = {
        server + " 127.0.0.1:" + std::to_string(firstPort) + " after 0 bytes",
        "attached",
        server + " 127.0.0.1:" + std::to_string(secondPort) + " after 6 bytes",
        server + " 127.0.0.1:" + std::to_string(firstPort) + " after 9 bytes",
    };
    EXPECT_EQ(events, expected);
    ::close(first);
    ::close(second);
}
