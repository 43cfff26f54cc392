// The asynchronous socket over loopback: notifications on the UI thread, the close seen once,
// handlers that delete their own object, complete and abortable sends, no descriptor leaks.
#include "platform/AsyncSocket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/TestUtil.h"

using namespace platform;
using testutil::MsSince;
using testutil::Pump;
using testutil::WaitFor;

namespace {

using Clock = std::chrono::steady_clock;

// Counts its notifications and runs optional hooks. A hook may delete the object; the counters
// are bumped before the hook runs, so nothing touches the object after it.
class TestSocket : public CAsyncSocket {
public:
    explicit TestSocket(ReadNotice notice = ReadNotice::Peek) : CAsyncSocket(notice) {}
    std::function<void(TestSocket*, int)> onAccept, onReceive, onClose, onConnect;
    int accepts = 0, receives = 0, closes = 0, connects = 0;
    int lastCloseError = -1, lastConnectError = -1;

    void OnAccept(int e) override {
        ++accepts;
        if (onAccept)
            onAccept(this, e);
    }
    void OnReceive(int e) override {
        ++receives;
        if (onReceive)
            onReceive(this, e);
    }
    void OnClose(int e) override {
        ++closes;
        lastCloseError = e;
        if (onClose)
            onClose(this, e);
    }
    void OnConnect(int e) override {
        ++connects;
        lastConnectError = e;
        if (onConnect)
            onConnect(this, e);
    }
};

// Starts a connect to 127.0.0.1:port and pumps events until its outcome: the error code that
// OnConnect reported (0 = connected), -1 when none came within timeoutMs, -2 when it did not
// start.
int ConnectNow(TestSocket& s, unsigned port, int timeoutMs = 2000) {
    const int before = s.connects;
    if (!s.Connect("127.0.0.1", port))
        return -2;
    if (!WaitFor([&] { return s.connects > before; }, timeoutMs))
        return -1;
    return s.lastConnectError;
}

unsigned LocalPort(int fd) {
    sockaddr_in a{};
    socklen_t n = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
    return ntohs(a.sin_port);
}

// A plain blocking client of 127.0.0.1:port; -1 when the connect fails.
int PlainClient(unsigned port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void WriteAll(int fd, const std::string& s) {
    size_t done = 0;
    while (done < s.size()) {
        ssize_t n = ::send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
        ASSERT_GT(n, 0);
        done += static_cast<size_t>(n);
    }
}

// How often a thread of this process has given up the processor to wait (sleeps, polls).
long VoluntarySwitches(pid_t tid) {
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
            return std::stol(line.substr(line.find(':') + 1));
    }
    return -1;
}

// A port that was free a moment ago (bound and released without listening: no TIME_WAIT).
std::string Pattern(size_t size) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>((i * 131 + i / 977) & 0xFF);
    return s;
}

// A listener on a system-chosen loopback port that accepts into a heap peer.
struct Server {
    TestSocket listener;
    std::unique_ptr<TestSocket> peer;
    unsigned port = 0;

    Server() {
        EXPECT_TRUE(listener.Create(0, SOCK_STREAM, "127.0.0.1"));
        EXPECT_TRUE(listener.Listen(5));
        port = LocalPort(listener.GetSocketHandle());
        listener.onAccept = [this](TestSocket* l, int) {
            peer = std::make_unique<TestSocket>();
            EXPECT_TRUE(l->Accept(*peer)) << l->LastError();
        };
    }
    bool WaitPeer() {
        return WaitFor([&] { return peer != nullptr; });
    }
};

// A connected pair: `sender` is a CAsyncSocket client, `fd` the plain accepted far end.
struct Pair {
    TestSocket sender;
    int fd = -1;

    explicit Pair(int rcvBuf = 0) {
        int lfd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (rcvBuf > 0)  // inherited by the accepted socket; must be set before the handshake
            setsockopt(lfd, SOL_SOCKET, SO_RCVBUF, &rcvBuf, sizeof rcvBuf);
        ::bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(lfd, 1);
        EXPECT_TRUE(sender.Create(0));
        EXPECT_EQ(ConnectNow(sender, LocalPort(lfd)), 0) << sender.LastError();
        fd = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
        ::close(lfd);
    }
    ~Pair() {
        if (fd >= 0)
            ::close(fd);
    }
};

}  // namespace

TEST(AsyncSocket, ListenerNotifiesAcceptForPlainClient) {
    TestSocket listener;
    ASSERT_TRUE(listener.Create(0, SOCK_STREAM, "127.0.0.1"));
    ASSERT_TRUE(listener.Listen());
    EXPECT_TRUE(listener.IsListening());
    TestSocket peer;
    listener.onAccept = [&](TestSocket* l, int) { EXPECT_TRUE(l->Accept(peer)); };
    int client = PlainClient(LocalPort(listener.GetSocketHandle()));
    ASSERT_GE(client, 0);
    EXPECT_TRUE(WaitFor([&] { return listener.accepts == 1; }));
    Pump(100);
    EXPECT_EQ(listener.accepts, 1);  // accepted: the listener is quiet again
    EXPECT_GE(peer.GetSocketHandle(), 0);
    int flags = fcntl(peer.GetSocketHandle(), F_GETFL);
    EXPECT_TRUE(flags & O_NONBLOCK);
    EXPECT_TRUE(fcntl(peer.GetSocketHandle(), F_GETFD) & FD_CLOEXEC);
    ::close(client);
}

TEST(AsyncSocket, AcceptedPeerReceivesExactBytes) {
    Server server;
    int client = PlainClient(server.port);
    ASSERT_GE(client, 0);
    ASSERT_TRUE(server.WaitPeer());
    std::string got;
    server.peer->onReceive = [&](TestSocket* s, int) {
        char buf[2048];
        int n = s->Receive(buf, sizeof buf);
        if (n > 0)
            got.append(buf, static_cast<size_t>(n));
    };
    const std::string sent("hello\0\x01\xff\r\nworld", 14);
    WriteAll(client, sent);
    EXPECT_TRUE(WaitFor([&] { return got.size() >= sent.size(); }));
    EXPECT_EQ(got, sent);
    EXPECT_EQ(server.peer->closes, 0);
    ::close(client);
}

TEST(AsyncSocket, BurstIsNotifiedUntilAllIsRead) {
    Server server;
    int client = PlainClient(server.port);
    ASSERT_TRUE(server.WaitPeer());
    std::string got;
    server.peer->onReceive = [&](TestSocket* s, int) {
        char buf[2047];  // one notification reads at most this much
        int n = s->Receive(buf, sizeof buf);
        if (n > 0)
            got.append(buf, static_cast<size_t>(n));
    };
    const std::string sent = Pattern(5000);
    WriteAll(client, sent);
    EXPECT_TRUE(WaitFor([&] { return got.size() >= sent.size(); }));
    EXPECT_EQ(got, sent);
    EXPECT_GE(server.peer->receives, 3);
    ::close(client);
}

TEST(AsyncSocket, FarEndCloseIsNotifiedExactlyOnce) {
    Server server;
    int client = PlainClient(server.port);
    ASSERT_TRUE(server.WaitPeer());
    ::close(client);
    EXPECT_TRUE(WaitFor([&] { return server.peer->closes == 1; }));
    Pump(300);
    EXPECT_EQ(server.peer->closes, 1);
    EXPECT_EQ(server.peer->receives, 0);
    EXPECT_EQ(server.peer->lastCloseError, 0);
    // Re-registering does not bring a notifier back onto the dead connection.
    EXPECT_TRUE(server.peer->AsyncSelect(true));
    Pump(200);
    EXPECT_EQ(server.peer->closes, 1);
    EXPECT_EQ(server.peer->receives, 0);
}

TEST(AsyncSocket, ResetByFarEndIsNotifiedOnceWithItsError) {
    Server server;
    int client = PlainClient(server.port);
    ASSERT_TRUE(server.WaitPeer());
    linger lg{1, 0};  // close with RST
    setsockopt(client, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    ::close(client);
    EXPECT_TRUE(WaitFor([&] { return server.peer->closes == 1; }));
    Pump(300);
    EXPECT_EQ(server.peer->closes, 1);
    EXPECT_EQ(server.peer->lastCloseError, ECONNRESET);
}

TEST(AsyncSocket, DataBeforeCloseIsReceivedThenCloseOnce) {
    Server server;
    int client = PlainClient(server.port);
    ASSERT_TRUE(server.WaitPeer());
    std::string got;
    server.peer->onReceive = [&](TestSocket* s, int) {
        char buf[64];
        int n = s->Receive(buf, sizeof buf);
        if (n > 0)
            got.append(buf, static_cast<size_t>(n));
    };
    WriteAll(client, "last words");
    ::close(client);
    EXPECT_TRUE(WaitFor([&] { return server.peer->closes == 1; }));
    EXPECT_EQ(got, "last words");
    Pump(200);
    EXPECT_EQ(server.peer->closes, 1);
}

// A socket whose handler reads at every notification (no peek): every byte arrives in order
// through reads that stop at the first short one, and the close that a read meets (or that a
// handler reading nothing leaves to the peek, or that a read met while notifications were off)
// is delivered exactly once, after the data, with its error.
TEST(AsyncSocket, HandlerThatReadsSeesAllDataThenTheCloseOnce) {
    enum class End { Close, Reset, Open };
    struct Case {
        const char* name;
        size_t bytes;       // sent by the far end
        int buffer;         // the handler's read size
        bool handlerReads;  // false: the handler reads nothing (after the data is in)
        End end;
        int closeError;
    } cases[] = {
        {"small, then close", 10, 2047, true, End::Close, 0},
        {"several buffers, then close", 9000, 2047, true, End::Close, 0},
        {"exactly one buffer, then close", 2047, 2047, true, End::Close, 0},
        {"close alone", 0, 2047, true, End::Close, 0},
        {"reset", 0, 2047, true, End::Reset, ECONNRESET},
        {"data, link stays", 5000, 1000, true, End::Open, -1},
        {"handler reads nothing, close", 0, 2047, false, End::Close, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestSocket listener;
        ASSERT_TRUE(listener.Create(0, SOCK_STREAM, "127.0.0.1"));
        ASSERT_TRUE(listener.Listen(5));
        std::unique_ptr<TestSocket> peer;
        listener.onAccept = [&](TestSocket* l, int) {
            peer = std::make_unique<TestSocket>(CAsyncSocket::ReadNotice::HandlerReads);
            EXPECT_TRUE(l->Accept(*peer));
        };
        const int client = PlainClient(LocalPort(listener.GetSocketHandle()));
        ASSERT_GE(client, 0);
        ASSERT_TRUE(WaitFor([&] { return peer != nullptr; }));
        std::string got;
        peer->onReceive = [&](TestSocket* s, int) {
            if (!c.handlerReads)
                return;
            std::vector<char> buf(static_cast<size_t>(c.buffer));
            const int n = s->Receive(buf.data(), c.buffer);
            if (n > 0)
                got.append(buf.data(), static_cast<size_t>(n));
        };
        const std::string sent = Pattern(c.bytes);
        WriteAll(client, sent);
        if (c.end == End::Reset) {
            linger lg{1, 0};
            setsockopt(client, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        }
        if (c.end != End::Open)
            ::close(client);
        if (c.end == End::Open) {
            EXPECT_TRUE(WaitFor([&] { return got.size() >= sent.size(); }));
            Pump(100);
        } else {
            EXPECT_TRUE(WaitFor([&] { return peer->closes == 1; }));
            Pump(200);
        }
        EXPECT_EQ(got, sent);
        EXPECT_EQ(peer->closes, c.end == End::Open ? 0 : 1);
        if (c.end != End::Open) {
            EXPECT_EQ(peer->lastCloseError, c.closeError);
        } else {
            ::close(client);
        }
    }

    // A read that meets the close while notifications are off: told once they are back.
    Pair pair;
    ASSERT_GE(pair.fd, 0);
    pair.sender.AsyncSelect(false);
    ::close(pair.fd);
    pair.fd = -1;
    char buf[8];
    ASSERT_TRUE(WaitFor([&] { return pair.sender.Receive(buf, sizeof buf) == 0; }));
    Pump(100);
    EXPECT_EQ(pair.sender.closes, 0);
    pair.sender.AsyncSelect(true);
    EXPECT_TRUE(WaitFor([&] { return pair.sender.closes == 1; }));
    Pump(100);
    EXPECT_EQ(pair.sender.closes, 1);
}

TEST(AsyncSocket, HandlerMayDeleteItsObjectInOnClose) {
    Server server;
    int client = PlainClient(server.port);
    ASSERT_TRUE(server.WaitPeer());
    TestSocket* peer = server.peer.release();
    bool deleted = false;
    peer->onClose = [&](TestSocket* self, int) {
        bool* done = &deleted;  // this lambda lives in the object: nothing of it after the delete
        delete self;
        *done = true;
    };
    ::close(client);
    EXPECT_TRUE(WaitFor([&] { return deleted; }));
    Pump(200);  // the notifier is deleted by the event loop; nothing fires on it
}

TEST(AsyncSocket, HandlerMayDeleteItsObjectInOnReceive) {
    Server server;
    int client = PlainClient(server.port);
    ASSERT_TRUE(server.WaitPeer());
    TestSocket* peer = server.peer.release();
    int calls = 0;
    peer->onReceive = [&](TestSocket* self, int) {
        ++calls;
        delete self;  // unread bytes remain: the notifier must not fire on a dead object
    };
    WriteAll(client, "abc");
    EXPECT_TRUE(WaitFor([&] { return calls == 1; }));
    Pump(200);
    EXPECT_EQ(calls, 1);
    ::close(client);
}

TEST(AsyncSocket, HandlerInNestedEventLoopIsNotReenteredBySameSocket) {
    Server server;
    int client = PlainClient(server.port);
    ASSERT_TRUE(server.WaitPeer());
    TestSocket* peer = server.peer.release();
    int depth = 0, maxDepth = 0, closeDepth = -1;
    std::string got;
    bool deleted = false;
    peer->onReceive = [&](TestSocket* s, int) {
        ++depth;
        maxDepth = std::max(maxDepth, depth);
        char buf[1];
        if (s->Receive(buf, 1) == 1)
            got.append(buf, 1);
        if (got == "a") {
            // As a message box would: more data and the close arrive during a nested loop.
            WriteAll(client, "bc");
            ::close(client);
            Pump(300);
        }
        --depth;
    };
    peer->onClose = [&](TestSocket* self, int) {
        closeDepth = depth;
        bool* done = &deleted;
        delete self;
        *done = true;
    };
    WriteAll(client, "a");
    EXPECT_TRUE(WaitFor([&] { return deleted; }));
    EXPECT_EQ(maxDepth, 1);
    EXPECT_EQ(closeDepth, 0);  // not inside the running OnReceive
    EXPECT_EQ(got, "abc");
}

TEST(AsyncSocket, HandlerMayCloseItsSocketInOnReceive) {
    Server server;
    int client = PlainClient(server.port);
    ASSERT_TRUE(server.WaitPeer());
    server.peer->onReceive = [](TestSocket* self, int) { self->Close(); };
    WriteAll(client, "abc");
    EXPECT_TRUE(WaitFor([&] { return server.peer->receives == 1; }));
    Pump(200);
    EXPECT_EQ(server.peer->receives, 1);
    EXPECT_EQ(server.peer->closes, 0);
    EXPECT_EQ(server.peer->GetSocketHandle(), INVALID_SOCKET);
    ::close(client);
}

TEST(AsyncSocket, AsyncSelectOffStopsNotificationsAndOnRestoresThem) {
    Server server;
    int client = PlainClient(server.port);
    ASSERT_TRUE(server.WaitPeer());
    std::string got;
    server.peer->onReceive = [&](TestSocket* s, int) {
        char buf[64];
        int n = s->Receive(buf, sizeof buf);
        if (n > 0)
            got.append(buf, static_cast<size_t>(n));
    };
    ASSERT_TRUE(server.peer->AsyncSelect(false));
    WriteAll(client, "meanwhile");
    Pump(300);
    EXPECT_EQ(server.peer->receives, 0);
    ASSERT_TRUE(server.peer->AsyncSelect(true));
    EXPECT_TRUE(WaitFor([&] { return got == "meanwhile"; }));

    // A close while notifications are off is delivered once they are back.
    ASSERT_TRUE(server.peer->AsyncSelect(false));
    ::close(client);
    Pump(200);
    EXPECT_EQ(server.peer->closes, 0);
    ASSERT_TRUE(server.peer->AsyncSelect(true));
    EXPECT_TRUE(WaitFor([&] { return server.peer->closes == 1; }));
}

TEST(AsyncSocket, SocketNeitherConnectedNorListeningGetsNoNotifications) {
    TestSocket s;
    ASSERT_TRUE(s.Create(0));
    Pump(200);
    EXPECT_EQ(s.receives + s.closes + s.accepts, 0);
    // A refused connection leaves it unconnected and quiet as well, after its one outcome.
    unsigned port = static_cast<unsigned>(testutil::FreePort());
    EXPECT_EQ(ConnectNow(s, port), ECONNREFUSED);
    Pump(200);
    EXPECT_EQ(s.receives + s.closes + s.accepts, 0);
    EXPECT_EQ(s.connects, 1);
}

TEST(AsyncSocket, ConnectedClientGetsNotifications) {
    Server server;
    TestSocket client;
    ASSERT_TRUE(client.Create(0));
    ASSERT_EQ(ConnectNow(client, server.port), 0);
    ASSERT_TRUE(server.WaitPeer());
    EXPECT_EQ(server.peer->Send("ping", 4), 4);
    EXPECT_TRUE(WaitFor([&] { return client.receives > 0; }));
    char buf[8];
    EXPECT_EQ(client.Receive(buf, sizeof buf), 4);
    server.peer.reset();
    EXPECT_TRUE(WaitFor([&] { return client.closes == 1; }));
}

// Connect returns at once; the outcome comes once, as OnConnect, with the reason.
TEST(AsyncSocket, ConnectReportsItsOutcomeOnceAfterReturning) {
    Server server;
    const unsigned refused = static_cast<unsigned>(testutil::FreePort());
    struct Case {
        const char* name;
        unsigned port;
        int error;
    } cases[] = {{"listener", server.port, 0}, {"nothing listens", refused, ECONNREFUSED}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestSocket s;
        ASSERT_TRUE(s.Create(0));
        ASSERT_TRUE(s.Connect("127.0.0.1", c.port)) << s.LastError();
        EXPECT_TRUE(s.IsConnecting());
        EXPECT_EQ(s.connects, 0);  // never inside Connect
        ASSERT_TRUE(WaitFor([&] { return s.connects > 0; }, 2000));
        EXPECT_EQ(s.lastConnectError, c.error);
        EXPECT_FALSE(s.IsConnecting());
        if (c.error != 0) {
            EXPECT_FALSE(s.LastError().empty());
        }
        EXPECT_FALSE(s.Connect("127.0.0.1", c.port));  // a second connect on the same socket
        Pump(100);
        EXPECT_EQ(s.connects, 1);
    }
}

TEST(AsyncSocket, ConnectRejectsInvalidAddressTextAtOnce) {
    TestSocket s;
    ASSERT_TRUE(s.Create(0));
    for (const char* text : {"", "127.0.0", "127.0.0.256", "localhost"}) {
        EXPECT_FALSE(s.Connect(text, 5000)) << text;
        EXPECT_FALSE(s.IsConnecting());
    }
    EXPECT_FALSE(s.LastError().empty());
    Pump(50);
    EXPECT_EQ(s.connects, 0);
}

// A handler may delete its socket when the outcome comes, as the console does with a failure.
TEST(AsyncSocket, HandlerMayDeleteItsObjectInOnConnect) {
    auto* s = new TestSocket;
    ASSERT_TRUE(s->Create(0));
    bool deleted = false;
    s->onConnect = [&](TestSocket* self, int) {
        bool* done = &deleted;  // this lambda lives in the object: nothing of it after the delete
        delete self;
        *done = true;
    };
    ASSERT_TRUE(s->Connect("127.0.0.1", static_cast<unsigned>(testutil::FreePort())));
    EXPECT_TRUE(WaitFor([&] { return deleted; }, 2000));
    Pump(50);
}

TEST(AsyncSocket, OperationsWithoutSocketFail) {
    CAsyncSocket s;
    char buf[4] = {};
    EXPECT_EQ(s.Send(buf, 4), SOCKET_ERROR);
    EXPECT_EQ(s.Receive(buf, 4), SOCKET_ERROR);
    EXPECT_FALSE(s.Listen());
    EXPECT_FALSE(s.SetNonBlocking(true));
    EXPECT_FALSE(s.Connect("127.0.0.1", 1));
    EXPECT_FALSE(s.AsyncSelect(true));
    s.Close();
    s.Close();
}

TEST(AsyncSocket, CreateTakesPortModulo65536) {
    unsigned port = static_cast<unsigned>(testutil::FreePort());
    CAsyncSocket s;
    ASSERT_TRUE(s.Create(port + 65536, SOCK_STREAM, "127.0.0.1"));
    EXPECT_EQ(LocalPort(s.GetSocketHandle()), port);
}

TEST(AsyncSocket, CreateRejectsBadAddressAndLeavesNoSocket) {
    int before = testutil::OpenFdCount();
    CAsyncSocket s;
    EXPECT_FALSE(s.Create(0, SOCK_STREAM, "not an address"));
    EXPECT_EQ(s.GetSocketHandle(), INVALID_SOCKET);
    // Stream and datagram sockets are made; any other kind is refused.
    EXPECT_FALSE(s.Create(0, SOCK_SEQPACKET));
    EXPECT_EQ(testutil::OpenFdCount(), before);
}

TEST(AsyncSocket, BindToPortThatIsListenedOnFails) {
    CAsyncSocket listener;
    ASSERT_TRUE(listener.Create(0));
    ASSERT_TRUE(listener.Listen());
    unsigned port = LocalPort(listener.GetSocketHandle());
    int before = testutil::OpenFdCount();
    CAsyncSocket second;
    EXPECT_FALSE(second.Create(port));
    EXPECT_FALSE(second.LastError().empty());
    EXPECT_EQ(second.GetSocketHandle(), INVALID_SOCKET);
    EXPECT_FALSE(second.Create(port, SOCK_STREAM, "127.0.0.1"));
    EXPECT_EQ(testutil::OpenFdCount(), before);  // the failed sockets were closed again

    // Also when the listener is a socket of another program (no SO_REUSEADDR on it).
    int raw = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ASSERT_EQ(::bind(raw, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(raw, 1), 0);
    EXPECT_FALSE(second.Create(LocalPort(raw)));
    ::close(raw);
}

TEST(AsyncSocket, StoppedListenerRestartsAtOnceOnSamePort) {
    unsigned port = static_cast<unsigned>(testutil::FreePort());
    auto server = std::make_unique<Server>();
    server->listener.Close();
    ASSERT_TRUE(server->listener.Create(port));
    ASSERT_TRUE(server->listener.Listen());
    int client = PlainClient(port);
    ASSERT_GE(client, 0);
    ASSERT_TRUE(server->WaitPeer());
    EXPECT_EQ(server->peer->Send("bye", 3), 3);
    // The server side closes first, so its connection sits in TIME_WAIT on the port.
    server.reset();
    char buf[8];
    EXPECT_EQ(::recv(client, buf, sizeof buf, 0), 3);
    ::close(client);

    TestSocket again;
    ASSERT_TRUE(again.Create(port)) << again.LastError();
    ASSERT_TRUE(again.Listen());
    int client2 = PlainClient(port);
    EXPECT_GE(client2, 0);
    EXPECT_TRUE(WaitFor([&] { return again.accepts > 0; }));
    again.Close();  // handler does not accept: stop the level-triggered notifications
    ::close(client2);
}

TEST(AsyncSocket, SendDeliversSeveralMegabytesToSlowReaderInOrder) {
    for (bool blocking : {false, true}) {
        SCOPED_TRACE(blocking ? "blocking" : "non-blocking");
        Pair pair(16 * 1024);
        ASSERT_GE(pair.fd, 0);
        const std::string data = Pattern(6 * 1024 * 1024 + 123);
        std::string got;
        std::thread reader([&] {
            char buf[8192];
            while (got.size() < data.size()) {
                ssize_t n = ::recv(pair.fd, buf, sizeof buf, 0);
                if (n <= 0)
                    break;
                got.append(buf, static_cast<size_t>(n));
                if (got.size() % 16 == 0)
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
        pair.sender.AsyncSelect(false);
        ASSERT_TRUE(pair.sender.SetNonBlocking(!blocking));
        int result = -2;
        // From a worker thread, as the file send does.
        std::thread worker(
            [&] { result = pair.sender.Send(data.data(), static_cast<int>(data.size())); });
        worker.join();
        reader.join();
        EXPECT_EQ(result, static_cast<int>(data.size()));
        EXPECT_TRUE(got == data) << "received " << got.size() << " bytes, differing content";
    }
}

TEST(AsyncSocket, SendToClosedPeerFailsWithoutSigpipe) {
    Pair pair;
    ASSERT_GE(pair.fd, 0);
    ::close(pair.fd);
    pair.fd = -1;
    // The test program ignores SIGPIPE; a child with the default disposition would be killed by
    // a send without MSG_NOSIGNAL.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGPIPE, SIG_DFL);
        int result = 0;
        for (int i = 0; i < 100 && result != SOCKET_ERROR; ++i) {
            result = pair.sender.Send("data", 4);
            usleep(10000);
        }
        _exit(result == SOCKET_ERROR ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_FALSE(WIFSIGNALED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    int result = 0;
    for (int i = 0; i < 100 && result != SOCKET_ERROR; ++i) {
        result = pair.sender.Send("data", 4);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(result, SOCKET_ERROR);
    EXPECT_FALSE(pair.sender.LastError().empty());
}

TEST(AsyncSocket, AbortSendUnblocksSendToPeerThatNeverReads) {
    for (bool blocking : {true, false}) {
        SCOPED_TRACE(blocking ? "blocking" : "non-blocking");
        Pair pair(16 * 1024);
        ASSERT_GE(pair.fd, 0);
        pair.sender.AsyncSelect(false);
        ASSERT_TRUE(pair.sender.SetNonBlocking(!blocking));
        const std::string data = Pattern(32 * 1024 * 1024);
        std::atomic<int> result{-2};
        std::atomic<pid_t> tid{0};
        std::thread worker([&] {
            tid = ::gettid();
            result = pair.sender.Send(data.data(), static_cast<int>(data.size()));
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        // While it waits for room the send sleeps in one poll: it does not wake up at intervals
        // to look for an abort.
        const long before = VoluntarySwitches(tid);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_LE(VoluntarySwitches(tid) - before, 2);
        EXPECT_EQ(result, -2);  // still stuck on the full buffers
        auto start = Clock::now();
        pair.sender.AbortSend();
        worker.join();
        EXPECT_LT(MsSince(start), 500);
        EXPECT_EQ(result, SOCKET_ERROR);
        // While the flag is set, a new Send gives up at once.
        EXPECT_EQ(pair.sender.Send("x", 1), SOCKET_ERROR);

        // Reset: sending works again once the far end reads.
        pair.sender.AbortSend(false);
        std::atomic<bool> stop{false};
        std::thread drain([&] {
            char buf[65536];
            while (!stop) {
                if (::recv(pair.fd, buf, sizeof buf, MSG_DONTWAIT) <= 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        EXPECT_EQ(pair.sender.Send(data.data(), 100000), 100000);
        stop = true;
        drain.join();
    }
}

TEST(AsyncSocket, ReceiveReportsCountZeroAtCloseAndErrorWhenEmpty) {
    Pair pair;
    ASSERT_GE(pair.fd, 0);
    pair.sender.AsyncSelect(false);
    char buf[16];
    EXPECT_EQ(pair.sender.Receive(buf, sizeof buf), SOCKET_ERROR);  // non-blocking, nothing yet
    EXPECT_EQ(errno, EAGAIN);
    WriteAll(pair.fd, "12345");
    ASSERT_TRUE(WaitFor([&] { return pair.sender.Receive(buf, 2) == 2; }));
    EXPECT_EQ(std::string(buf, 2), "12");
    EXPECT_EQ(pair.sender.Receive(buf, sizeof buf), 3);
    ::close(pair.fd);
    pair.fd = -1;
    EXPECT_TRUE(WaitFor([&] { return pair.sender.Receive(buf, sizeof buf) == 0; }));
}

TEST(AsyncSocket, NoDescriptorLeakOverCreateConnectCloseCycles) {
    Server server;
    int accepted = 0;
    server.listener.onAccept = [&](TestSocket* l, int) {
        CAsyncSocket temp;
        EXPECT_TRUE(l->Accept(temp));
        ++accepted;
    };
    Pump(50);
    const int before = testutil::OpenFdCount();
    for (int i = 0; i < 200; ++i) {
        TestSocket client;
        ASSERT_TRUE(client.Create(0));
        ASSERT_EQ(ConnectNow(client, server.port), 0) << client.LastError();
        client.Close();
        ASSERT_TRUE(client.Create(0));  // reusable after Close; the destructor closes this one
        ASSERT_TRUE(WaitFor([&] { return accepted == i + 1; }));  // keeps the backlog short
    }
    EXPECT_TRUE(WaitFor([&] { return accepted == 200; }));
    Pump(100);
    EXPECT_EQ(testutil::OpenFdCount(), before);
}

TEST(AsyncSocket, ListenerThatAcceptsAndClosesTwoHundredClientsLeaksNothing) {
    Server server;
    int accepted = 0;
    server.listener.onAccept = [&](TestSocket* l, int) {
        auto* temp = new TestSocket;
        if (l->Accept(*temp))
            ++accepted;
        temp->Close();
        delete temp;
    };
    Pump(50);
    const int before = testutil::OpenFdCount();
    std::vector<int> clients;
    for (int i = 0; i < 200; ++i) {
        int fd = PlainClient(server.port);
        ASSERT_GE(fd, 0);
        clients.push_back(fd);
        if (i % 4 == 3) {  // keep the backlog of 5 from overflowing
            ASSERT_TRUE(WaitFor([&] { return accepted == i + 1; }));
        }
    }
    EXPECT_TRUE(WaitFor([&] { return accepted == 200; }));
    // Every client sees its connection closed by the server.
    for (int fd : clients) {
        char b;
        EXPECT_EQ(::recv(fd, &b, 1, 0), 0);
        ::close(fd);
    }
    Pump(100);
    EXPECT_EQ(testutil::OpenFdCount(), before);
}
