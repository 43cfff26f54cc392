// The link socket's own operations over loopback: the connect with a time-out, the switch into
// and out of blocking mode, and a worker's sends in blocking mode.
#include "net/LinkSocket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/TestUtil.h"

using testutil::MsSince;
using testutil::Pump;
using testutil::WaitFor;

namespace {

using Clock = std::chrono::steady_clock;

// Counts receive notifications instead of reporting to an owner.
class ProbeLink : public CLinkSocket {
public:
    std::atomic<int> receives{0};
    void OnReceive(int) override { ++receives; }
};

// A plain loopback listener on a system-chosen port.
struct RawListener {
    int fd = -1;
    unsigned port = 0;
    explicit RawListener(int backlog = 5, int rcvBuf = 0) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (rcvBuf > 0)
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvBuf, sizeof rcvBuf);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd, backlog);
        socklen_t n = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
        port = ntohs(a.sin_port);
    }
    int Accept() { return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC); }
    ~RawListener() { ::close(fd); }
};

bool IsNonBlocking(int fd) {
    return (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0;
}

// A connected link: the client `link`, the plain far end `peer`.
template <class Link = ProbeLink>
struct LinkPair {
    std::unique_ptr<Link> link = std::make_unique<Link>();
    int peer = -1;
    explicit LinkPair(int rcvBuf = 0) {
        RawListener listener(5, rcvBuf);
        EXPECT_TRUE(link->Create(0));
        EXPECT_TRUE(link->ConnectWithTimeout("127.0.0.1", listener.port, 2000));
        peer = listener.Accept();
    }
    ~LinkPair() {
        link.reset();
        if (peer >= 0)
            ::close(peer);
    }
};

}  // namespace

TEST(LinkSocket, ConnectWithTimeoutSucceedsToLoopbackListener) {
    RawListener listener;
    CLinkSocket link;
    ASSERT_TRUE(link.Create(0));
    EXPECT_TRUE(link.ConnectWithTimeout("127.0.0.1", listener.port, 2000)) << link.LastError();
    EXPECT_TRUE(IsNonBlocking(link.GetSocketHandle()));  // stays non-blocking
    int peer = listener.Accept();
    ASSERT_GE(peer, 0);
    EXPECT_EQ(link.Send("abc", 3), 3);
    char buf[8];
    EXPECT_EQ(::recv(peer, buf, sizeof buf, 0), 3);
    ::close(peer);
}

TEST(LinkSocket, ConnectWithTimeoutUsesPortModulo65536) {
    RawListener listener;
    CLinkSocket link;
    ASSERT_TRUE(link.Create(0));
    EXPECT_TRUE(link.ConnectWithTimeout("127.0.0.1", listener.port + 65536, 2000));
}

TEST(LinkSocket, ConnectWithTimeoutFailsFastWhenNothingListens) {
    CLinkSocket link;
    ASSERT_TRUE(link.Create(0));
    auto start = Clock::now();
    EXPECT_FALSE(
        link.ConnectWithTimeout("127.0.0.1", static_cast<unsigned>(testutil::FreePort()), 2000));
    EXPECT_LT(MsSince(start), 500);
    EXPECT_FALSE(link.LastError().empty());
}

TEST(LinkSocket, ConnectWithTimeoutRejectsInvalidAddressText) {
    CLinkSocket link;
    ASSERT_TRUE(link.Create(0));
    EXPECT_FALSE(link.ConnectWithTimeout("300.1.2.3", 5000, 2000));
    EXPECT_FALSE(link.ConnectWithTimeout("1.2.3", 5000, 2000));
}

TEST(LinkSocket, ConnectWithTimeoutFailsWithoutSocket) {
    CLinkSocket link;
    EXPECT_FALSE(link.ConnectWithTimeout("127.0.0.1", 5000, 100));
}

// A listener whose accept queue is full drops further SYNs, so a connection to it is neither
// made nor refused: the connect has to end at the time-out.
TEST(LinkSocket, ConnectWithTimeoutEndsAtTimeoutWhenSynIsDropped) {
    RawListener listener(1);
    std::vector<std::unique_ptr<CLinkSocket>> fillers;
    bool stalled = false;
    for (int i = 0; i < 8 && !stalled; ++i) {
        auto s = std::make_unique<CLinkSocket>();
        ASSERT_TRUE(s->Create(0));
        stalled = !s->ConnectWithTimeout("127.0.0.1", listener.port, 200);
        fillers.push_back(std::move(s));
    }
    // Linux drops them unless net.ipv4.tcp_abort_on_overflow is set.
    ASSERT_TRUE(stalled) << "the kernel did not drop SYNs on a full accept queue";
    CLinkSocket link;
    ASSERT_TRUE(link.Create(0));
    auto start = Clock::now();
    EXPECT_FALSE(link.ConnectWithTimeout("127.0.0.1", listener.port, 400));
    long elapsed = MsSince(start);
    EXPECT_GE(elapsed, 380);
    EXPECT_LT(elapsed, 900);
}

TEST(LinkSocket, SetBlockingSwitchesModeAndNotifications) {
    LinkPair<> pair;
    ASSERT_GE(pair.peer, 0);
    int fd = pair.link->GetSocketHandle();
    ASSERT_TRUE(pair.link->SetBlocking(true));
    EXPECT_FALSE(IsNonBlocking(fd));
    ASSERT_EQ(::send(pair.peer, "hold", 4, 0), 4);
    Pump(200);
    EXPECT_EQ(pair.link->receives, 0);  // no notifications in blocking mode

    ASSERT_TRUE(pair.link->SetBlocking(false));
    EXPECT_TRUE(IsNonBlocking(fd));
    EXPECT_TRUE(WaitFor([&] { return pair.link->receives > 0; }));  // held bytes now notified
    char buf[8];
    EXPECT_EQ(pair.link->Receive(buf, sizeof buf), 4);
    EXPECT_EQ(std::string(buf, 4), "hold");
}

TEST(LinkSocket, SetBlockingFailsWithoutSocket) {
    CLinkSocket link;
    EXPECT_FALSE(link.SetBlocking(true));
    EXPECT_FALSE(link.SetBlocking(false));
}

TEST(LinkSocket, ReceiveGivesBytesThenZeroWhenFarEndCloses) {
    LinkPair<> pair;
    ASSERT_GE(pair.peer, 0);
    pair.link->AsyncSelect(0);
    ASSERT_EQ(::send(pair.peer, "xyz", 3, 0), 3);
    char buf[8];
    ASSERT_TRUE(WaitFor([&] { return pair.link->Receive(buf, sizeof buf) == 3; }));
    ::close(pair.peer);
    pair.peer = -1;
    EXPECT_TRUE(WaitFor([&] { return pair.link->Receive(buf, sizeof buf) == 0; }));
}

TEST(LinkSocket, SendInBlockingModeFromWorkerDeliversEveryByte) {
    LinkPair<> pair(16 * 1024);
    ASSERT_GE(pair.peer, 0);
    ASSERT_TRUE(pair.link->SetBlocking(true));
    std::string data(3 * 1024 * 1024, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i % 251);
    std::string got;
    std::thread reader([&] {
        char buf[4096];
        while (got.size() < data.size()) {
            ssize_t n = ::recv(pair.peer, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            got.append(buf, static_cast<size_t>(n));
        }
    });
    CLinkSocket& link = *pair.link;
    std::atomic<int> sent{0};
    std::thread worker([&link, &data, &sent] {
        for (size_t off = 0; off < data.size(); off += 512) {
            int n = static_cast<int>(std::min<size_t>(512, data.size() - off));
            if (link.Send(data.data() + off, n) == n)
                sent += n;
        }
    });
    worker.join();
    reader.join();
    EXPECT_EQ(sent, static_cast<int>(data.size()));
    EXPECT_TRUE(got == data);
}

TEST(LinkSocket, OwnerHearsReceivesAndTheCloseAndAnOwnerlessListenerRefuses) {
    struct Owner : ILinkOwner {
        std::string bytes;
        int closes = 0;
        void LinkAccept(CLinkSocket&) override {}
        void LinkReceive(CLinkSocket&, const unsigned char* b, int n) override {
            bytes.append(reinterpret_cast<const char*>(b), static_cast<size_t>(n));
        }
        void LinkClose(CLinkSocket&, int) override { ++closes; }
    } owner;
    RawListener listener;
    CLinkSocket link(&owner);
    ASSERT_TRUE(link.Create(0));
    ASSERT_TRUE(link.ConnectWithTimeout("127.0.0.1", listener.port, 2000));
    const int peer = listener.Accept();
    ASSERT_GE(peer, 0);
    testutil::SendAll(peer, "hello");
    ASSERT_TRUE(WaitFor([&] { return owner.bytes == "hello"; }));
    ::close(peer);
    ASSERT_TRUE(WaitFor([&] { return owner.closes == 1; }));

    // Without an owner a listener takes each connection and closes it at once.
    CLinkSocket server;
    ASSERT_TRUE(server.Create(0, 1));
    ASSERT_TRUE(server.Listen());
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(server.GetSocketHandle(), reinterpret_cast<sockaddr*>(&a), &len);
    const int client = testutil::ConnectLoopback(ntohs(a.sin_port));
    ASSERT_GE(client, 0);
    EXPECT_TRUE(testutil::PeerClosed(client, 2000));
    ::close(client);
}

TEST(LinkSocket, NoDescriptorLeakOverConnectCycles) {
    RawListener listener(256);
    const int before = testutil::OpenFdCount();
    std::vector<int> accepted;
    for (int i = 0; i < 200; ++i) {
        auto link = std::make_unique<CLinkSocket>();
        ASSERT_TRUE(link->Create(0));
        ASSERT_TRUE(link->ConnectWithTimeout("127.0.0.1", listener.port, 2000));
        int peer = listener.Accept();
        ASSERT_GE(peer, 0);
        ::close(peer);
        link->Close();
        link.reset();
    }
    Pump(50);
    EXPECT_EQ(testutil::OpenFdCount(), before);
}
