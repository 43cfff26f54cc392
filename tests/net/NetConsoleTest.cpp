// The network console without a window, against plain loopback peers: results of connect and
// listen, one peer at a time, the far end's close, typed lines on the wire, no descriptor leaks.
#include "net/NetConsole.h"

#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QThread>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <thread>
#include <vector>

#include "support/NetConnect.h"
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

// CPU time the calling thread has used, in milliseconds.
long ThreadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

// The process at its descriptor limit: the soft limit lowered to a few above what is open, and
// every free descriptor taken by a filler. Undone (limit and fillers) by Release() or at the end.
struct DescriptorsExhausted {
    DescriptorsExhausted() {
        getrlimit(RLIMIT_NOFILE, &saved);
        rlimit low = saved;
        low.rlim_cur = static_cast<rlim_t>(testutil::OpenFdCount() + 8);
        lowered = setrlimit(RLIMIT_NOFILE, &low) == 0;
        for (int fd; lowered && (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
            fillers.push_back(fd);
    }
    ~DescriptorsExhausted() { Release(); }
    // Frees one descriptor for the caller's next open.
    void FreeOne() {
        ::close(fillers.back());
        fillers.pop_back();
    }
    void Release() {
        for (int fd : fillers)
            ::close(fd);
        fillers.clear();
        setrlimit(RLIMIT_NOFILE, &saved);
    }
    rlimit saved{};
    bool lowered = false;
    std::vector<int> fillers;
};

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
            c.server ? net.StartServer(c.port) : testutil::ConnectAndWait(net, "127.0.0.1", c.port);
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
    ASSERT_TRUE(testutil::ConnectAndWait(net, "127.0.0.1", static_cast<unsigned>(port)).ok);
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

// While a tap is armed, every byte reaches it in order, in chunks of at most a history's size
// however the reads fall (short ones, full ones, a batch), nothing reaches the history, and the
// far end's close that a read meets is still told once.
TEST(NetConsoleEngine, ArmedTapGetsEveryByteInOrderAndTheCloseIsStillTold) {
    struct Tap : IReceiveTap {
        bool Armed() const override { return true; }
        void Chunk(const unsigned char* bytes, int n) override {
            got.append(reinterpret_cast<const char*>(bytes), static_cast<size_t>(n));
            largest = std::max(largest, n);
        }
        std::string got;
        int largest = 0;
    };
    struct Case {
        size_t bytes;
        bool close;
    } cases[] = {{10, true},
                 {LINK_RECEIVE_CHUNK, true},
                 {LINK_RECEIVE_CHUNK + 1, false},
                 {300000, true},
                 {300000, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.bytes) + (c.close ? " bytes, then close" : " bytes"));
        Fds track;
        int port = 0;
        const int listener = track(testutil::ListenLoopback(&port));
        NetConsole net;
        Tap tap;
        net.SetCaptureTap(&tap);
        int received = 0, closed = 0;
        QObject::connect(&net, &NetConsole::received, [&] { ++received; });
        QObject::connect(&net, &NetConsole::farEndClosed, [&] { ++closed; });
        ASSERT_TRUE(testutil::ConnectAndWait(net, "127.0.0.1", static_cast<unsigned>(port)).ok);
        const int far = testutil::AcceptWithin(listener, 2000);
        ASSERT_GE(far, 0);
        std::string sent(c.bytes, '\0');
        for (size_t i = 0; i < sent.size(); ++i)
            sent[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
        std::thread writer([&] {
            testutil::SendAll(far, sent);
            if (c.close)
                ::shutdown(far, SHUT_WR);
        });
        EXPECT_TRUE(
            WaitFor([&] { return tap.got.size() >= sent.size() && (!c.close || closed); }, 10000));
        writer.join();
        testutil::Pump(100);
        EXPECT_TRUE(tap.got == sent) << tap.got.size() << " of " << sent.size();
        EXPECT_LE(tap.largest, LINK_RECEIVE_CHUNK);
        EXPECT_EQ(received, 0);
        EXPECT_EQ(History(net.Ring()), "");
        EXPECT_EQ(closed, c.close ? 1 : 0);
        ::close(far);
        net.Stop();
    }
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
    ASSERT_TRUE(testutil::ConnectAndWait(net, "127.0.0.1", static_cast<unsigned>(port)).ok);
    ::close(testutil::AcceptWithin(listener, 2000));
    net.Stop();
    testutil::Pump(50);
    const int before = testutil::OpenFdCount();
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(testutil::ConnectAndWait(net, "127.0.0.1", static_cast<unsigned>(port)).ok);
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
            ASSERT_TRUE(testutil::ConnectAndWait(net, "127.0.0.1", static_cast<unsigned>(port)).ok);
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
    // A burst that fills the listen queue is taken off it in one pass of the event loop: a
    // queue left full makes the kernel drop the next handshakes for a second.
    std::vector<int> burst;
    for (int i = 0; i < LISTEN_BACKLOG; ++i)
        burst.push_back(testutil::ConnectLoopback(port));
    QThread::msleep(20);
    QCoreApplication::processEvents();
    for (int fd : burst) {
        pollfd p{fd, POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, 0), 1) << "a refused client still waits in the queue";
        ::close(fd);
    }
    testutil::Pump(20);
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

// With no descriptor left, accept fails (EMFILE): the server says nothing to the user as a box,
// takes each waiting client off the queue with its spare descriptor, pauses accepting for a
// moment (once per pause, told as acceptPaused), uses no CPU meanwhile, and serves the next
// client once descriptors are free again.
TEST(NetConsoleEngine, OutOfDescriptorsTheServerPausesQuietlyAndRecovers) {
    Fds track;
    NetConsole net;
    int failures = 0, attached = 0;
    std::vector<std::string> pauses;
    QObject::connect(&net, &NetConsole::failure, [&] { ++failures; });
    QObject::connect(&net, &NetConsole::peerAttached, [&] { ++attached; });
    QObject::connect(&net, &NetConsole::acceptPaused,
                     [&](const QString& reason) { pauses.push_back(reason.toStdString()); });
    const int port = testutil::FreePort();
    ASSERT_TRUE(net.StartServer(static_cast<unsigned>(port)).ok);

    std::vector<int> clients;
    {
        DescriptorsExhausted exhausted;
        ASSERT_TRUE(exhausted.lowered);
        ASSERT_FALSE(exhausted.fillers.empty());
        constexpr int kClients = 3;
        for (int i = 0; i < kClients; ++i) {
            exhausted.FreeOne();  // the client's own socket takes it: none is left for accept
            clients.push_back(track(testutil::ConnectLoopback(port)));
            ASSERT_GE(clients.back(), 0);
        }
        const long cpuBefore = ThreadCpuMs();
        testutil::Pump(2000);
        const long cpuUsed = ThreadCpuMs() - cpuBefore;
        EXPECT_EQ(failures, 0);
        EXPECT_EQ(attached, 0);
        // One notice per pause: one pause per waiting client, none once the queue is empty.
        EXPECT_GE(pauses.size(), 1u);
        EXPECT_LE(pauses.size(), static_cast<size_t>(kClients));
        EXPECT_LT(cpuUsed, 300) << "the UI thread used " << cpuUsed << " ms of CPU in 2 s";
        for (int fd : clients)
            EXPECT_TRUE(testutil::PeerClosed(fd, 500)) << "a waiting client was not let go";
    }
    ASSERT_FALSE(pauses.empty());
    EXPECT_EQ(pauses[0], "no file descriptors left (EMFILE)");

    // Descriptors are free again: the next client becomes the peer.
    const int client = track(testutil::ConnectLoopback(port));
    ASSERT_TRUE(WaitFor([&] { return attached == 1; }, 2000));
    EXPECT_EQ(failures, 0);
    EXPECT_TRUE(net.Send("served").ok);
    EXPECT_EQ(testutil::RecvSome(client, 6), "served");
}

// A peer that never reads, with small socket buffers: each console send returns at once, and
// once the buffers are full one fails saying the bytes were not taken, instead of holding the
// UI thread until the peer reads.
TEST(NetConsoleEngine, SendingToAPeerThatNeverReadsNeverWaits) {
    Fds track;
    int port = 0;
    const int listener = track(testutil::ListenLoopback(&port));
    const int small = 4096;
    setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);  // inherited by the peer
    NetConsole net;
    ASSERT_TRUE(testutil::ConnectAndWait(net, "127.0.0.1", static_cast<unsigned>(port)).ok);
    const int peer = track(testutil::AcceptWithin(listener, 2000));
    ASSERT_GE(peer, 0);
    setsockopt(net.ClientSocket()->GetSocketHandle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);

    // A send that waits for ever is ended by closing the peer with unread bytes (a reset).
    const std::string line(1000, 'x');
    const auto run = testutil::SendUntilRefused<platform::Result>(
        10000, [&] { return net.Send(line); },
        [&] {
            ::close(peer);
            track.fds.erase(std::find(track.fds.begin(), track.fds.end(), peer));
        });
    const platform::Result& last = run.last;
    ASSERT_TRUE(run.returned) << "a send waited for a peer that does not read";
    EXPECT_LT(run.longestMs, 200);
    EXPECT_FALSE(last.ok);
    EXPECT_EQ(last.text, "The device does not take the bytes: the line was not sent completely");
    EXPECT_EQ(last.error, EAGAIN);
    EXPECT_NE(last.reason.find(" of 1000 bytes were sent; the peer does not read."),
              std::string::npos)
        << last.reason;
    EXPECT_TRUE(net.IsConnected());  // the link stays; the user decides
}

namespace {

// What the console told of its connects.
struct ConnectTally {
    explicit ConnectTally(NetConsole& net) {
        QObject::connect(&net, &NetConsole::connected, [this] { ++connected; });
        QObject::connect(&net, &NetConsole::connectFailed, [this](const platform::Result& f) {
            ++failed;
            failure = f;
        });
    }
    int Told() const { return connected + failed; }
    int connected = 0, failed = 0;
    platform::Result failure;
};

}  // namespace

// Connect returns at once; the outcome comes later, once, while the event loop goes on serving
// everything else: a 10 ms timer is never late by more than 100 ms, not even through a 2-second
// time-out.
TEST(NetConsoleEngine, ConnectReturnsAtOnceAndTellsItsOutcomeLater) {
    using Clock = std::chrono::steady_clock;
    Fds track;
    int open = 0;
    track(testutil::ListenLoopback(&open));
    testutil::FullListener full;
    ASSERT_TRUE(full.full) << "the kernel did not drop handshakes on a full accept queue";
    struct Case {
        const char* name;
        const char* address;
        unsigned port;
        int error;  // -1: connected
        long minMs, maxMs;
    };
    const Case cases[] = {
        {"accepting listener", "127.0.0.1", static_cast<unsigned>(open), -1, 0, 1000},
        {"nothing listens", "127.0.0.1", static_cast<unsigned>(testutil::FreePort()), ECONNREFUSED,
         0, 1000},
        {"full accept queue", "127.0.0.1", static_cast<unsigned>(full.port), ETIMEDOUT,
         CONNECT_TIMEOUT_MS - 100, CONNECT_TIMEOUT_MS + 600},
        {"invalid address text", "127.0.0.256", static_cast<unsigned>(open), 0, 0, 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NetConsole net;
        ConnectTally tally(net);
        long lateMs = 0;
        auto lastTick = Clock::now();
        QTimer tick;
        tick.setTimerType(Qt::PreciseTimer);
        QObject::connect(&tick, &QTimer::timeout, [&] {
            const auto now = Clock::now();
            lateMs = std::max(lateMs, testutil::MsSince(lastTick) - 10);
            lastTick = now;
        });
        tick.start(10);
        const auto start = Clock::now();
        ASSERT_TRUE(net.Connect(c.address, c.port).ok);
        EXPECT_LT(testutil::MsSince(start), 100);
        EXPECT_TRUE(net.IsConnecting());
        EXPECT_FALSE(net.IsConnected());
        EXPECT_EQ(net.LinkInUse(), nullptr);
        EXPECT_EQ(tally.Told(), 0);  // never from inside Connect
        lastTick = Clock::now();
        ASSERT_TRUE(WaitFor([&] { return tally.Told() > 0; }, CONNECT_TIMEOUT_MS + 2000));
        const long elapsed = testutil::MsSince(start);
        tick.stop();
        EXPECT_GE(elapsed, c.minMs);
        EXPECT_LE(elapsed, c.maxMs);
        EXPECT_LE(lateMs, 100);
        EXPECT_FALSE(net.IsConnecting());
        if (c.error < 0) {
            EXPECT_EQ(tally.connected, 1);
            EXPECT_EQ(net.GetState(), NetConsole::State::Connected);
            EXPECT_TRUE(net.IsConnected());
            EXPECT_EQ(net.LinkInUse(), net.ClientSocket());
            EXPECT_EQ(net.Address(), c.address);
            EXPECT_EQ(net.Port(), c.port);
        } else {
            EXPECT_EQ(tally.failed, 1);
            EXPECT_EQ(tally.failure.text, "Can't connect socket");
            EXPECT_EQ(tally.failure.error, c.error) << tally.failure.reason;
            EXPECT_FALSE(tally.failure.reason.empty());
            EXPECT_EQ(net.GetState(), NetConsole::State::Idle);
            EXPECT_EQ(net.ClientSocket(), nullptr);
        }
        testutil::Pump(100);
        EXPECT_EQ(tally.Told(), 1);
    }
}

// Every operation from every state: whatever ran is ended first, and a superseded or stopped
// connect is never heard of again.
TEST(NetConsoleEngine, EveryOperationIsSafeInEveryState) {
    using State = NetConsole::State;
    enum class Op { ConnectOk, ConnectRefused, Serve, Stop };
    const State froms[] = {State::Idle, State::Connecting, State::Connected, State::Listening,
                           State::Serving};
    struct Expect {
        Op op;
        const char* name;
        State state;
        int connected, failed;
    };
    const Expect ops[] = {
        {Op::ConnectOk, "Connect", State::Connected, 1, 0},
        {Op::ConnectRefused, "Connect refused", State::Idle, 0, 1},
        {Op::Serve, "StartServer", State::Listening, 0, 0},
        {Op::Stop, "Stop", State::Idle, 0, 0},
    };
    for (const State from : froms) {
        for (const Expect& e : ops) {
            SCOPED_TRACE(std::string("from state ") + std::to_string(static_cast<int>(from)) +
                         ", " + e.name);
            Fds track;
            int first = 0, second = 0;
            const int firstListener = track(testutil::ListenLoopback(&first));
            track(testutil::ListenLoopback(&second));
            NetConsole net;
            int far = -1;
            int oldServer = 0;
            if (from == State::Connecting) {
                ASSERT_TRUE(net.Connect("127.0.0.1", static_cast<unsigned>(first)).ok);
            } else if (from == State::Connected) {
                ASSERT_TRUE(
                    testutil::ConnectAndWait(net, "127.0.0.1", static_cast<unsigned>(first)).ok);
                far = track(testutil::AcceptWithin(firstListener, 2000));
            } else if (from == State::Listening || from == State::Serving) {
                oldServer = testutil::FreePort();
                ASSERT_TRUE(net.StartServer(static_cast<unsigned>(oldServer)).ok);
                if (from == State::Serving) {
                    far = track(testutil::ConnectLoopback(oldServer));
                    ASSERT_TRUE(WaitFor([&] { return net.PeerCount() == 1; }));
                }
            }
            ASSERT_EQ(net.GetState(), from);
            // Every query follows from the one state.
            EXPECT_EQ(net.IsConnecting(), from == State::Connecting);
            EXPECT_EQ(net.ServerMode(), from == State::Listening || from == State::Serving);
            EXPECT_EQ(net.PeerCount(), from == State::Serving ? 1 : 0);
            EXPECT_EQ(net.PeerSocket() != nullptr, from == State::Serving);
            EXPECT_EQ(net.ClientSocket() != nullptr,
                      from == State::Connecting || from == State::Connected);
            EXPECT_EQ(net.LinkInUse() != nullptr,
                      from == State::Connected || from == State::Serving);
            ConnectTally tally(net);

            platform::Result r;
            switch (e.op) {
                case Op::ConnectOk:
                    r = net.Connect("127.0.0.1", static_cast<unsigned>(second));
                    break;
                case Op::ConnectRefused:
                    r = net.Connect("127.0.0.1", static_cast<unsigned>(testutil::FreePort()));
                    break;
                case Op::Serve:
                    r = net.StartServer(static_cast<unsigned>(testutil::FreePort()));
                    break;
                case Op::Stop:
                    net.Stop();
                    break;
            }
            ASSERT_TRUE(r.ok) << r.text << ": " << r.reason;
            ASSERT_TRUE(WaitFor([&] { return !net.IsConnecting(); }));
            testutil::Pump(150);  // a stale outcome would come now

            EXPECT_EQ(net.GetState(), e.state);
            EXPECT_EQ(tally.connected, e.connected);
            EXPECT_EQ(tally.failed, e.failed);
            const bool up = e.state == State::Connected || e.state == State::Listening;
            EXPECT_EQ(net.IsConnected(), up);
            EXPECT_EQ(net.ServerMode(), e.state == State::Listening);
            EXPECT_EQ(net.ClientSocket() != nullptr, e.state == State::Connected);
            EXPECT_EQ(net.ListenSocket() != nullptr, e.state == State::Listening);
            EXPECT_EQ(net.PeerSocket(), nullptr);
            EXPECT_EQ(net.LinkInUse(), e.state == State::Connected ? net.ClientSocket() : nullptr);
            if (far >= 0) {
                EXPECT_TRUE(testutil::PeerClosed(far));
            }
            if (oldServer != 0) {
                EXPECT_EQ(testutil::ConnectLoopback(oldServer), -1);
            }
            net.Stop();
            net.Stop();
            EXPECT_EQ(net.GetState(), State::Idle);
            EXPECT_FALSE(net.IsConnected());
            EXPECT_FALSE(net.ServerMode());
        }
    }
}
