// The network console without a window, against plain loopback peers: results of connect and
// listen, one peer at a time, the far end's close, typed lines on the wire, no descriptor leaks.
#include "net/NetConsole.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "support/TestUtil.h"

using testutil::WaitFor;

namespace {

struct Fds {
    std::vector<int> fds;
    int operator()(int fd) {
        fds.push_back(fd);
        return fd;
    }
    ~Fds() {
        for (int fd : fds)
            ::close(fd);
    }
};

std::string History(CRingBuffer& ring) {
    unsigned char out[RING_BUFFER_CAPACITY];
    const int n = ring.Snapshot(out);
    return std::string(reinterpret_cast<const char*>(out), static_cast<size_t>(n));
}

}  // namespace

TEST(NetConsoleEngine, FailedStartsSayWhatFailedAndLeaveTheConsoleIdle) {
    Fds track;
    int busy = 0;
    track(testutil::ListenLoopback(&busy));
    const int refused = testutil::FreePort();
    NetConsole net;
    struct Case {
        bool server;
        unsigned port;
        const char* text;
        int error;
    };
    const Case cases[] = {
        {false, 70000, "Invalid port number: use 0 to 65535", 0},
        {true, 70000, "Invalid port number: use 0 to 65535", 0},
        {false, static_cast<unsigned>(refused), "Can't connect socket", ECONNREFUSED},
        {true, static_cast<unsigned>(busy), "Can't create socket.", EADDRINUSE},
    };
    for (const Case& c : cases) {
        const platform::Result r =
            c.server ? net.StartServer(c.port) : net.Connect("127.0.0.1", c.port);
        EXPECT_FALSE(r.ok) << c.port;
        EXPECT_EQ(r.text, c.text);
        EXPECT_EQ(r.error, c.error) << r.reason;
        EXPECT_FALSE(net.IsConnected());
        EXPECT_EQ(net.LinkInUse(), nullptr);
    }
}

TEST(NetConsoleEngine, ClientReceivesSendsAndHearsTheFarEndClose) {
    Fds track;
    int port = 0;
    const int listener = track(testutil::ListenLoopback(&port));
    NetConsole net;
    int received = 0, closed = 0;
    QObject::connect(&net, &NetConsole::received, [&] { ++received; });
    QObject::connect(&net, &NetConsole::farEndClosed, [&] {
        ++closed;
        net.Stop();  // as the Disconnect command does
    });
    ASSERT_TRUE(net.Connect("127.0.0.1", static_cast<unsigned>(port)).ok);
    EXPECT_FALSE(net.ServerMode());
    const int far = testutil::AcceptWithin(listener, 2000);
    ASSERT_GE(far, 0);

    const std::pair<std::string, std::string> lines[] = {
        {"\\x41\\x42", "AB"},  {"\\x4G", "\x04G"},   {"\\xZ1", "\\xZ1"},
        {"hello   ", "hello"}, {"tab\t\r\n", "tab"}, {"\xED\x95\x9C", "\xED\x95\x9C"},
    };
    for (const auto& [typed, wire] : lines) {
        EXPECT_TRUE(net.Send(typed).ok) << typed;
        EXPECT_EQ(testutil::RecvSome(far, wire.size(), 2000), wire) << typed;
    }

    testutil::SendAll(far, "last words");
    ::close(far);
    ASSERT_TRUE(WaitFor([&] { return closed == 1; }));
    EXPECT_EQ(History(net.Ring()), "last words");
    EXPECT_GE(received, 1);
    EXPECT_FALSE(net.IsConnected());
    EXPECT_EQ(net.ClientSocket(), nullptr);
    EXPECT_FALSE(net.Send("gone").ok);
}

TEST(NetConsoleEngine, ServerServesOnePeerAtATimeAndRefusesTheRest) {
    Fds track;
    NetConsole net;
    int attached = 0, gone = 0;
    QObject::connect(&net, &NetConsole::peerAttached, [&] { ++attached; });
    QObject::connect(&net, &NetConsole::peerGone, [&] { ++gone; });
    const int port = testutil::FreePort();
    ASSERT_TRUE(net.StartServer(static_cast<unsigned>(port)).ok);
    EXPECT_TRUE(net.ServerMode());
    EXPECT_EQ(net.LinkInUse(), nullptr);
    EXPECT_FALSE(net.Send("nobody").ok);  // no peer yet: the line is discarded

    const int first = track(testutil::ConnectLoopback(port));
    ASSERT_TRUE(WaitFor([&] { return attached == 1; }));
    const int second = track(testutil::ConnectLoopback(port));
    EXPECT_TRUE(testutil::PeerClosed(second));  // accepted and closed at once
    EXPECT_EQ(net.PeerCount(), 1);
    EXPECT_TRUE(net.Send("to peer").ok);
    EXPECT_EQ(testutil::RecvSome(first, 7), "to peer");

    ::shutdown(first, SHUT_RDWR);
    ASSERT_TRUE(WaitFor([&] { return gone == 1; }));
    EXPECT_EQ(net.PeerSocket(), nullptr);
    EXPECT_TRUE(net.IsConnected());  // still listening
    const int third = track(testutil::ConnectLoopback(port));
    ASSERT_TRUE(WaitFor([&] { return attached == 2; }));

    net.Stop();
    EXPECT_TRUE(testutil::PeerClosed(third));
    EXPECT_EQ(testutil::ConnectLoopback(port), -1);
    ASSERT_TRUE(net.StartServer(static_cast<unsigned>(port)).ok);  // at once on the same port
}

TEST(NetConsoleEngine, NoDescriptorLeaksOverManyCyclesAndRefusedClients) {
    Fds track;
    int port = 0;
    const int listener = track(testutil::ListenLoopback(&port, 64));
    NetConsole net;
    // One cycle first: Qt opens descriptors of its own on first use.
    ASSERT_TRUE(net.Connect("127.0.0.1", static_cast<unsigned>(port)).ok);
    ::close(testutil::AcceptWithin(listener, 2000));
    net.Stop();
    testutil::Pump(50);
    const int before = testutil::OpenFdCount();
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(net.Connect("127.0.0.1", static_cast<unsigned>(port)).ok);
        const int far = testutil::AcceptWithin(listener, 2000);
        net.Stop();
        ::close(far);
    }
    const int serverPort = testutil::FreePort();
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(net.StartServer(static_cast<unsigned>(serverPort)).ok);
        net.Stop();
    }
    testutil::Pump(50);
    EXPECT_EQ(testutil::OpenFdCount(), before);

    // 200 clients while a peer is attached: each is closed at once, the peer keeps working.
    ASSERT_TRUE(net.StartServer(static_cast<unsigned>(serverPort)).ok);
    const int peer = track(testutil::ConnectLoopback(serverPort));
    ASSERT_TRUE(WaitFor([&] { return net.PeerCount() == 1; }));
    const int withPeer = testutil::OpenFdCount();
    for (int i = 0; i < 200; ++i) {
        const int extra = testutil::ConnectLoopback(serverPort);
        ASSERT_GE(extra, 0);
        EXPECT_TRUE(testutil::PeerClosed(extra, 2000)) << i;
        ::close(extra);
    }
    testutil::Pump(50);
    EXPECT_EQ(testutil::OpenFdCount(), withPeer);
    testutil::SendAll(peer, "still here");
    EXPECT_TRUE(WaitFor([&] { return History(net.Ring()) == "still here"; }));
}

namespace {

// Closes a socket with a reset (RST) instead of an orderly close.
void Reset(int fd) {
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd);
}

}  // namespace

// A peer that resets the connection mid-stream is noticed in both roles, and every descriptor of
// the link is given back.
TEST(NetConsoleEngine, APeerResetMidStreamIsToldAndLeavesNoDescriptor) {
    Fds track;
    for (bool server : {false, true}) {
        NetConsole net;
        int told = 0;
        QObject::connect(&net, &NetConsole::farEndClosed, [&] {
            ++told;
            net.Stop();
        });
        QObject::connect(&net, &NetConsole::peerGone, [&] { ++told; });
        int port = 0;
        const int listener = server ? -1 : track(testutil::ListenLoopback(&port));
        if (server)
            port = testutil::FreePort();
        testutil::Pump(20);
        const int before = testutil::OpenFdCount();
        int far = -1;
        if (server) {
            ASSERT_TRUE(net.StartServer(static_cast<unsigned>(port)).ok);
            far = testutil::ConnectLoopback(port);
            ASSERT_TRUE(WaitFor([&] { return net.PeerCount() == 1; }));
        } else {
            ASSERT_TRUE(net.Connect("127.0.0.1", static_cast<unsigned>(port)).ok);
            far = testutil::AcceptWithin(listener, 2000);
        }
        ASSERT_GE(far, 0);
        testutil::SendAll(far, std::string(100000, 'r'));
        Reset(far);
        ASSERT_TRUE(WaitFor([&] { return told == 1; })) << (server ? "server" : "client");
        net.Stop();
        testutil::Pump(20);
        EXPECT_EQ(testutil::OpenFdCount(), before) << server;
    }
}

// Server Mode under a storm: 300 clients at once (some never read, some half-close, some send
// garbage) while one peer is served, then 500 connect/disconnect cycles: the peer's bytes arrive
// intact and no descriptor is left behind.
TEST(NetConsoleEngine, ServerModeSurvivesAStormOfClients) {
    NetConsole net;
    const int port = testutil::FreePort();
    ASSERT_TRUE(net.StartServer(static_cast<unsigned>(port)).ok);
    const int peer = testutil::ConnectLoopback(port);
    ASSERT_TRUE(WaitFor([&] { return net.PeerCount() == 1; }));
    testutil::Pump(20);
    const int before = testutil::OpenFdCount();
    std::vector<int> storm;
    for (int i = 0; i < 300; ++i) {
        const int fd = testutil::ConnectLoopback(port);
        ASSERT_GE(fd, 0) << i;
        if (i % 3 == 1)
            ::shutdown(fd, SHUT_WR);
        else if (i % 3 == 2)
            ::send(fd, "garbage\xff\x00", 9, MSG_NOSIGNAL);
        storm.push_back(fd);
        testutil::Pump(1);  // the listener (backlog 5) accepts and closes them as they come
    }
    const std::string payload = testutil::RandomBytes(1500, 9);
    testutil::SendAll(peer, payload);
    ASSERT_TRUE(WaitFor([&] { return History(net.Ring()) == payload; }, 10000));
    for (int fd : storm)
        ::close(fd);
    for (int i = 0; i < 500; ++i) {
        const int fd = testutil::ConnectLoopback(port);
        ASSERT_GE(fd, 0) << i;
        ::close(fd);
        testutil::Pump(1);
    }
    testutil::Pump(300);
    EXPECT_EQ(net.PeerCount(), 1);
    EXPECT_TRUE(net.Send("still yours").ok);
    EXPECT_EQ(testutil::RecvSome(peer, 11), "still yours");
    EXPECT_EQ(testutil::OpenFdCount(), before);
    ::close(peer);
}
