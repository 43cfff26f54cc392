// The link socket's own operations over loopback: the asynchronous connect, the switch into and
// out of blocking mode, and a worker's sends in blocking mode.
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

// Starts a connect to 127.0.0.1:port and pumps events until it is over; true when the link is up.
bool ConnectNow(CLinkSocket& link, unsigned port) {
    if (!link.Connect("127.0.0.1", port))
        return false;
    if (!WaitFor([&] { return !link.IsConnecting(); }, 3000))
        return false;
    sockaddr_in a{};
    socklen_t n = sizeof a;
    return getpeername(link.GetSocketHandle(), reinterpret_cast<sockaddr*>(&a), &n) == 0;
}

// A connected link: the client `link`, the plain far end `peer`.
template <class Link = ProbeLink>
struct LinkPair {
    std::unique_ptr<Link> link = std::make_unique<Link>();
    int peer = -1;
    explicit LinkPair(int rcvBuf = 0) {
        RawListener listener(5, rcvBuf);
        EXPECT_TRUE(link->Create(0));
        EXPECT_TRUE(ConnectNow(*link, listener.port));
        peer = listener.Accept();
    }
    ~LinkPair() {
        link.reset();
        if (peer >= 0)
            ::close(peer);
    }
};

}  // namespace

TEST(LinkSocket, ConnectSucceedsToLoopbackListenerAndStaysNonBlocking) {
    RawListener listener;
    CLinkSocket link;
    ASSERT_TRUE(link.Create(0));
    // The port is taken modulo 65536, as the 16-bit field takes it.
    EXPECT_TRUE(ConnectNow(link, listener.port + 65536)) << link.LastError();
    EXPECT_TRUE(IsNonBlocking(link.GetSocketHandle()));
    int peer = listener.Accept();
    ASSERT_GE(peer, 0);
    EXPECT_EQ(link.Send("abc", 3), 3);
    char buf[8];
    EXPECT_EQ(::recv(peer, buf, sizeof buf, 0), 3);
    ::close(peer);
}

TEST(LinkSocket, OwnerHearsTheConnectOutcomeWithTheReason) {
    struct Owner : ILinkOwner {
        std::vector<int> outcomes;
        void LinkAccept(CLinkSocket&) override {}
        void LinkReceive(CLinkSocket&, const unsigned char*, int, const platform::Stamp&) override {
        }
        void LinkClose(CLinkSocket&, int) override {}
        void LinkConnect(CLinkSocket&, int e) override { outcomes.push_back(e); }
    };
    RawListener listener;
    const unsigned refused = static_cast<unsigned>(testutil::FreePort());
    for (auto [port, error] : {std::pair{listener.port, 0}, std::pair{refused, ECONNREFUSED}}) {
        Owner owner;
        CLinkSocket link(&owner);
        ASSERT_TRUE(link.Create(0));
        ASSERT_TRUE(link.Connect("127.0.0.1", port));
        ASSERT_TRUE(WaitFor([&] { return !owner.outcomes.empty(); }, 2000)) << port;
        Pump(50);
        EXPECT_EQ(owner.outcomes, std::vector<int>{error}) << port;
    }
}

TEST(LinkSocket, ConnectRefusesInvalidAddressTextAndAMissingSocket) {
    CLinkSocket link;
    EXPECT_FALSE(link.Connect("127.0.0.1", 5000));  // not created
    ASSERT_TRUE(link.Create(0));
    EXPECT_FALSE(link.Connect("300.1.2.3", 5000));
    EXPECT_FALSE(link.Connect("1.2.3", 5000));
    EXPECT_FALSE(link.IsConnecting());
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
    pair.link->AsyncSelect(false);
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
        void LinkReceive(CLinkSocket&, const unsigned char* b, int n,
                         const platform::Stamp&) override {
            bytes.append(reinterpret_cast<const char*>(b), static_cast<size_t>(n));
        }
        void LinkClose(CLinkSocket&, int) override { ++closes; }
        void LinkConnect(CLinkSocket&, int) override {}
    } owner;
    RawListener listener;
    CLinkSocket link(&owner);
    ASSERT_TRUE(link.Create(0));
    ASSERT_TRUE(ConnectNow(link, listener.port));
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
        ASSERT_TRUE(ConnectNow(*link, listener.port));
        int peer = listener.Accept();
        ASSERT_GE(peer, 0);
        ::close(peer);
        link->Close();
        link.reset();
    }
    Pump(50);
    EXPECT_EQ(testutil::OpenFdCount(), before);
}
