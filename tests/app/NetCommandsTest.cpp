// The network console's commands against real loopback peers: what the window shows (status
// line, enabled states, console). The engine's own behaviour is tested in tests/net.
#include <QElapsedTimer>
#include <QPushButton>

#include <sys/socket.h>
#include <unistd.h>

#include "net/LinkSocket.h"
#include "support/app/DialogFixture.h"

namespace {

class NetCommands : public DialogFixture {
protected:
    void SetUp() override {
        DialogFixture::SetUp();
        SetText(IDC_IP_ADDRESS, "127.0.0.1");
    }
    void TearDown() override {
        for (int fd : fds)
            ::close(fd);
        DialogFixture::TearDown();
    }
    int Track(int fd) {
        fds.push_back(fd);
        return fd;
    }
    void UsePort(int port) { SetText(IDC_EDIT_IP_PORT, std::to_string(port)); }
    // Starts Server Mode on a free port; returns it.
    int StartServer() {
        const int port = testutil::FreePort();
        Click(IDC_CHECK_SERVER_MODE);
        UsePort(port);
        Click(IDC_BUTTON_IP_CONNECT);
        return port;
    }
    // A client from outside the dialog that the server takes as its peer.
    int ConnectPeer(int port) {
        const int fd = Track(testutil::ConnectLoopback(port));
        EXPECT_GE(fd, 0);
        EXPECT_TRUE(testutil::WaitFor([&] { return dlg->Net().PeerCount() == 1; }));
        return fd;
    }
    std::vector<int> fds;
};

TEST_F(NetCommands, ClientConnectsAndDisconnects) {
    int port = 0;
    const int listener = Track(testutil::ListenLoopback(&port));
    UsePort(port);
    Click(IDC_BUTTON_IP_CONNECT);
    ASSERT_TRUE(seam.messages.empty()) << seam.messages[0];
    EXPECT_EQ(Status(), " Connected : 127.0.0.1:" + std::to_string(port));
    EXPECT_EQ(Item<QPushButton>(IDC_BUTTON_IP_CONNECT)->text(), "Disconnect");
    EXPECT_FALSE(Enabled(IDC_IP_ADDRESS));
    EXPECT_FALSE(Enabled(IDC_EDIT_IP_PORT));
    EXPECT_FALSE(Enabled(IDC_CHECK_SERVER_MODE));
    EXPECT_FALSE(Enabled(IDC_BTN_FILE_SEND_NETWORK));  // the serial port is closed
    const int far = Track(testutil::AcceptWithin(listener, 2000));
    ASSERT_GE(far, 0);

    Click(IDC_BUTTON_IP_CONNECT);
    EXPECT_EQ(Status(), " Disconnected : 127.0.0.1");
    EXPECT_EQ(Item<QPushButton>(IDC_BUTTON_IP_CONNECT)->text(), "Connect");
    EXPECT_TRUE(Enabled(IDC_IP_ADDRESS));
    EXPECT_TRUE(Enabled(IDC_EDIT_IP_PORT));
    EXPECT_TRUE(Enabled(IDC_CHECK_SERVER_MODE));
    EXPECT_EQ(dlg->Net().ClientSocket(), nullptr);
    EXPECT_TRUE(testutil::PeerClosed(far));
}

TEST_F(NetCommands, RefusedConnectionFailsWithinTheTimeOut) {
    dlg->NetRing().Put('x');
    UsePort(testutil::FreePort());
    QElapsedTimer timer;
    timer.start();
    Click(IDC_BUTTON_IP_CONNECT);
    EXPECT_LE(timer.elapsed(), 2200);
    ASSERT_EQ(seam.messages.size(), 1u);
    EXPECT_EQ(seam.messages[0], "Can't connect socket");
    EXPECT_EQ(dlg->NetConnected(), 0);
    EXPECT_EQ(dlg->Net().ClientSocket(), nullptr);
    EXPECT_EQ(Item<QPushButton>(IDC_BUTTON_IP_CONNECT)->text(), "Connect");
    EXPECT_TRUE(Enabled(IDC_IP_ADDRESS));
    EXPECT_EQ(dlg->NetRing().GetCount(), 0);
    EXPECT_EQ(Status(), "");
}

TEST_F(NetCommands, PortAboveTheTcpRangeIsRefused) {
    SetText(IDC_EDIT_IP_PORT, "70000");
    dlg->NetRing().Put('x');
    Click(IDC_BUTTON_IP_CONNECT);
    ASSERT_EQ(seam.messages.size(), 1u);
    EXPECT_NE(seam.messages[0].find("65535"), std::string::npos);
    EXPECT_EQ(dlg->NetConnected(), 0);
    EXPECT_EQ(dlg->NetRing().GetCount(), 1);  // nothing else changed
    Click(IDC_CHECK_SERVER_MODE);
    Click(IDC_BUTTON_IP_CONNECT);
    EXPECT_EQ(seam.messages.size(), 2u);
    EXPECT_EQ(dlg->Net().ListenSocket(), nullptr);
}

TEST_F(NetCommands, ReceivedBurstKeepsTheNewest2047) {
    int port = 0;
    const int listener = Track(testutil::ListenLoopback(&port));
    UsePort(port);
    Click(IDC_BUTTON_IP_CONNECT);
    const int far = Track(testutil::AcceptWithin(listener, 2000));
    std::string burst;
    for (int i = 0; i < 5000; ++i)
        burst += static_cast<char>('A' + i % 26);
    testutil::SendAll(far, burst);
    ASSERT_TRUE(testutil::WaitFor(
        [&] { return Console(IDC_REDIT_NET_DEBUG).toStdString() == burst.substr(5000 - 2047); }));
    Click(IDC_CHECK_HEXVIEW_NET);
    EXPECT_TRUE(Console(IDC_REDIT_NET_DEBUG).startsWith("0000 "));
    Click(IDC_BUTTON_IP_CLEAR);
    EXPECT_EQ(Console(IDC_REDIT_NET_DEBUG), "");
    EXPECT_EQ(dlg->NetRing().GetCount(), 0);
}

TEST_F(NetCommands, ReceivingNeverRaisesThePortPrompt) {
    int port = 0;
    const int listener = Track(testutil::ListenLoopback(&port));
    UsePort(port);
    Click(IDC_BUTTON_IP_CONNECT);
    const int far = Track(testutil::AcceptWithin(listener, 2000));
    Item<QLineEdit>(IDC_EDIT_IP_PORT)->setEnabled(true);
    SetText(IDC_EDIT_IP_PORT, "not a number");
    for (int i = 0; i < 5; ++i) {
        testutil::SendAll(far, "chunk");
        testutil::Pump(30);
    }
    ASSERT_TRUE(testutil::WaitFor([&] { return dlg->NetRing().GetCount() == 25; }));
    EXPECT_TRUE(seam.messages.empty());
    EXPECT_EQ(Item<QLineEdit>(IDC_EDIT_IP_PORT)->text(), "not a number");
}

TEST_F(NetCommands, ServerServesOnePeerAtATime) {
    const int port = StartServer();
    ASSERT_TRUE(seam.messages.empty());
    EXPECT_EQ(Status(), " Start Server Mode");
    EXPECT_FALSE(Enabled(IDC_EDIT_IP_PORT));
    EXPECT_FALSE(Enabled(IDC_IP_ADDRESS));
    EXPECT_FALSE(Enabled(IDC_CHECK_SERVER_MODE));

    const int first = ConnectPeer(port);
    const int second = Track(testutil::ConnectLoopback(port));
    ASSERT_GE(second, 0);
    EXPECT_TRUE(testutil::PeerClosed(second));  // accepted and closed at once
    EXPECT_EQ(dlg->Net().PeerCount(), 1);

    testutil::SendAll(first, "from peer");
    ASSERT_TRUE(testutil::WaitFor([&] { return Console(IDC_REDIT_NET_DEBUG) == "from peer"; }));
    SetText(IDC_EDIT_IP_MESSAGE, "to peer");
    Click(IDC_BUTTON_IP_SEND);
    EXPECT_EQ(testutil::RecvSome(first, 7), "to peer");

    // The peer leaves: the server goes on listening and takes the next one.
    ::shutdown(first, SHUT_RDWR);
    ASSERT_TRUE(testutil::WaitFor([&] { return dlg->Net().PeerCount() == 0; }));
    EXPECT_EQ(dlg->Net().PeerSocket(), nullptr);
    EXPECT_EQ(Status(), " Start Server Mode");
    SetText(IDC_EDIT_IP_MESSAGE, "nobody");  // no peer: discarded silently
    Click(IDC_BUTTON_IP_SEND);
    EXPECT_TRUE(seam.messages.empty());
    const int third = ConnectPeer(port);
    SetText(IDC_EDIT_IP_MESSAGE, "next");
    Click(IDC_BUTTON_IP_SEND);
    EXPECT_EQ(testutil::RecvSome(third, 4), "next");

    Click(IDC_BUTTON_IP_CONNECT);
    EXPECT_EQ(Status(), " End Server Mode");
    EXPECT_TRUE(Enabled(IDC_EDIT_IP_PORT));
    EXPECT_FALSE(Enabled(IDC_IP_ADDRESS));  // Server Mode is still ticked
    EXPECT_TRUE(testutil::PeerClosed(third));
    EXPECT_EQ(testutil::ConnectLoopback(port), -1);

    // Stop and start again at once on the same port.
    Click(IDC_BUTTON_IP_CONNECT);
    EXPECT_TRUE(seam.messages.empty());
    EXPECT_EQ(Status(), " Start Server Mode");
    ConnectPeer(port);
}

TEST_F(NetCommands, PortInUseCannotStartTheServer) {
    int port = 0;
    Track(testutil::ListenLoopback(&port));
    Click(IDC_CHECK_SERVER_MODE);
    EXPECT_FALSE(Enabled(IDC_IP_ADDRESS));
    UsePort(port);
    Click(IDC_BUTTON_IP_CONNECT);
    ASSERT_EQ(seam.messages.size(), 1u);
    EXPECT_EQ(seam.messages[0], "Can't create socket.");
    EXPECT_EQ(dlg->NetConnected(), 0);
    EXPECT_EQ(dlg->Net().ListenSocket(), nullptr);
    Click(IDC_CHECK_SERVER_MODE);
    EXPECT_TRUE(Enabled(IDC_IP_ADDRESS));
}

TEST_F(NetCommands, FarEndClosingTheClientLinkReturnsToIdle) {
    int port = 0;
    const int listener = Track(testutil::ListenLoopback(&port));
    UsePort(port);
    Click(IDC_BUTTON_IP_CONNECT);
    const int far = testutil::AcceptWithin(listener, 2000);
    testutil::SendAll(far, "last words");
    ::close(far);
    ASSERT_TRUE(testutil::WaitFor([&] { return dlg->NetConnected() == 0; }));
    EXPECT_EQ(Console(IDC_REDIT_NET_DEBUG), "last words");  // what came before the close stays
    EXPECT_EQ(Status(), " Disconnected : 127.0.0.1");
    EXPECT_EQ(Item<QPushButton>(IDC_BUTTON_IP_CONNECT)->text(), "Connect");
    EXPECT_TRUE(Enabled(IDC_IP_ADDRESS));
    EXPECT_EQ(dlg->Net().ClientSocket(), nullptr);
}

// The device closing the client link puts the window back to idle and nothing else: a line
// being typed in either send line and list choices not yet used stay as the user left them.
TEST_F(NetCommands, FarEndClosingKeepsWhatTheUserTypedAndChose) {
    int port = 0;
    const int listener = Track(testutil::ListenLoopback(&port));
    UsePort(port);
    Click(IDC_BUTTON_IP_CONNECT);
    const int far = testutil::AcceptWithin(listener, 2000);
    ASSERT_GE(far, 0);
    ASSERT_TRUE(testutil::WaitFor([&] { return dlg->NetConnected() == 1; }));
    SetText(IDC_EDIT_SEND, "AT\\x0D half typ");
    SetText(IDC_EDIT_IP_MESSAGE, "net line half typ");
    Select(IDC_COMBO_BAUD, 2);
    Select(IDC_COMBO_PARITY, 0);
    ::close(far);
    ASSERT_TRUE(testutil::WaitFor([&] { return dlg->NetConnected() == 0; }));
    EXPECT_EQ(Status(), " Disconnected : 127.0.0.1");
    EXPECT_EQ(Item<QLineEdit>(IDC_EDIT_SEND)->text(), "AT\\x0D half typ");
    EXPECT_EQ(Item<QLineEdit>(IDC_EDIT_IP_MESSAGE)->text(), "net line half typ");
    EXPECT_EQ(Item<QComboBox>(IDC_COMBO_BAUD)->currentIndex(), 2);
    EXPECT_EQ(Item<QComboBox>(IDC_COMBO_PARITY)->currentIndex(), 0);
    EXPECT_TRUE(seam.messages.empty());
}

}  // namespace

namespace {

// A port field the exchange refuses stops the command after its prompt: no connection to a port
// of an earlier attempt, and no second box.
TEST_F(NetCommands, ABadPortIsPromptedForAndNothingElseHappens) {
    int port = 0;
    const int listener = Track(testutil::ListenLoopback(&port));
    UsePort(port);
    Click(IDC_BUTTON_IP_CONNECT);
    ASSERT_TRUE(dlg->NetConnected());
    Track(testutil::AcceptWithin(listener, 2000));
    Click(IDC_BUTTON_IP_CONNECT);
    ASSERT_FALSE(dlg->NetConnected());
    for (const char* bad : {"", "-1", "5000abc"}) {
        SetText(IDC_EDIT_IP_PORT, bad);
        const size_t shown = seam.messages.size();
        Click(IDC_BUTTON_IP_CONNECT);
        ASSERT_EQ(seam.messages.size(), shown + 1) << bad;
        EXPECT_EQ(seam.messages.back(), "양의 정수를 입력하십시오.");
        EXPECT_FALSE(dlg->NetConnected()) << bad;
        EXPECT_EQ(testutil::AcceptWithin(listener, 100), -1) << bad;
    }
}

}  // namespace

namespace {

// A connect that is neither made nor refused: the window answers throughout, no second attempt
// can start, and after the 2-second time-out the console is idle with the "Can't connect socket"
// box.
TEST_F(NetCommands, ConnectAttemptKeepsTheWindowAnsweringAndAllowsNoSecond) {
    testutil::FullListener full;
    ASSERT_TRUE(full.full) << "the kernel did not drop handshakes on a full accept queue";
    UsePort(full.port);
    auto* button = Item<QPushButton>(IDC_BUTTON_IP_CONNECT);
    button->setFocus();
    QElapsedTimer timer;
    timer.start();
    button->click();  // not Click(): that would wait for the outcome
    EXPECT_LT(timer.elapsed(), 100);
    EXPECT_TRUE(dlg->Net().IsConnecting());
    for (int id : {IDC_BUTTON_IP_CONNECT, IDC_CHECK_SERVER_MODE, IDC_IP_ADDRESS, IDC_EDIT_IP_PORT})
        EXPECT_FALSE(Enabled(id)) << id;
    CLinkSocket* attempt = dlg->Net().ClientSocket();
    dlg->OnButtonIpConnect();  // Enter or a second press: the attempt goes on untouched
    EXPECT_EQ(dlg->Net().ClientSocket(), attempt);
    SetText(IDC_EDIT_IP_MESSAGE, "typed meanwhile");
    // Events keep flowing: a 10 ms timer is never late by more than 100 ms.
    qint64 last = timer.elapsed(), late = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        late = std::max(late, timer.elapsed() - last - 10);
        last = timer.elapsed();
    });
    tick.start(10);
    ASSERT_TRUE(testutil::WaitFor([&] { return !seam.messages.empty(); }, 4000));
    tick.stop();
    EXPECT_LE(late, 100);
    EXPECT_GE(timer.elapsed(), CONNECT_TIMEOUT_MS - 100);
    ASSERT_EQ(seam.messages.size(), 1u);
    EXPECT_EQ(seam.messages[0], "Can't connect socket");
    EXPECT_FALSE(dlg->NetConnected());
    EXPECT_EQ(Status(), "");
    EXPECT_EQ(Item<QPushButton>(IDC_BUTTON_IP_CONNECT)->text(), "Connect");
    for (int id : {IDC_BUTTON_IP_CONNECT, IDC_CHECK_SERVER_MODE, IDC_IP_ADDRESS, IDC_EDIT_IP_PORT})
        EXPECT_TRUE(Enabled(id)) << id;
    EXPECT_TRUE(button->hasFocus());
    EXPECT_EQ(Item<QLineEdit>(IDC_EDIT_IP_MESSAGE)->text(), "typed meanwhile");
}

// Closing the window while a connect is in progress ends the attempt without a word.
TEST_F(NetCommands, ClosingTheWindowDuringAnAttemptCancelsIt) {
    testutil::FullListener full;
    ASSERT_TRUE(full.full);
    UsePort(full.port);
    Item<QPushButton>(IDC_BUTTON_IP_CONNECT)->click();
    ASSERT_TRUE(dlg->Net().IsConnecting());
    dlg->DestroyWindow();
    EXPECT_FALSE(dlg->Net().IsConnecting());
    EXPECT_EQ(dlg->Net().ClientSocket(), nullptr);
    testutil::Pump(CONNECT_TIMEOUT_MS + 300);
    EXPECT_TRUE(seam.messages.empty());
}

// Typing during a successful attempt is kept when the window shows the link up.
TEST_F(NetCommands, TextTypedDuringTheAttemptSurvivesTheOutcome) {
    int port = 0;
    const int listener = Track(testutil::ListenLoopback(&port));
    UsePort(port);
    dlg->NetRing().Put('x');
    Item<QPushButton>(IDC_BUTTON_IP_CONNECT)->click();
    SetText(IDC_EDIT_IP_MESSAGE, "typed meanwhile");
    SetText(IDC_EDIT_SEND, "serial too");
    ASSERT_TRUE(testutil::WaitFor([&] { return dlg->NetConnected(); }));
    Track(testutil::AcceptWithin(listener, 2000));
    EXPECT_EQ(Status(), " Connected : 127.0.0.1:" + std::to_string(port));
    EXPECT_EQ(Item<QLineEdit>(IDC_EDIT_IP_MESSAGE)->text(), "typed meanwhile");
    EXPECT_EQ(Item<QLineEdit>(IDC_EDIT_SEND)->text(), "serial too");
    EXPECT_EQ(Console(IDC_REDIT_NET_DEBUG), "");
    EXPECT_TRUE(Enabled(IDC_BUTTON_IP_CONNECT));
    EXPECT_FALSE(Enabled(IDC_IP_ADDRESS));
    EXPECT_FALSE(Enabled(IDC_EDIT_IP_PORT));
    EXPECT_FALSE(Enabled(IDC_CHECK_SERVER_MODE));
}

}  // namespace
