// Reconnect automatically against real loopback peers: the client link the device server closes
// is made again by itself, the status line saying when, until it is up or Disconnect is pressed.
#include <QPushButton>

#include <sys/socket.h>
#include <unistd.h>

#include "app/NetworkOptionsDlg.h"
#include "support/app/DialogFixture.h"

namespace {

class Reconnect : public DialogFixture {
protected:
    void TearDown() override {
        for (int fd : fds)
            ::close(fd);
        DialogFixture::TearDown();
    }
    // Ticks "Reconnect automatically" (off by default) in Network Options and OKs it.
    void TurnOn() {
        QTimer::singleShot(100, [] {
            auto* w = qobject_cast<CNetworkOptionsDlg*>(QApplication::activeModalWidget());
            ASSERT_NE(w, nullptr);
            auto* box = w->findChild<QCheckBox*>("Reconnect automatically");
            EXPECT_FALSE(box->isChecked());
            box->click();
            w->findChild<QPushButton*>("OK")->click();
        });
        FromMenu("Network Options...");
        ASSERT_TRUE(dlg->DeviceServer().Options().reconnect);
    }
    // Connects to a listener on a fresh port, then the device server goes: listener and link.
    int ConnectAndLose() {
        int port = 0;
        const int listener = testutil::ListenLoopback(&port);
        SetText(IDC_IP_ADDRESS, "127.0.0.1");
        SetText(IDC_EDIT_IP_PORT, std::to_string(port));
        Click(IDC_BUTTON_IP_CONNECT);
        const int far = testutil::AcceptWithin(listener, 2000);
        EXPECT_GE(far, 0);
        ::close(listener);
        ::close(far);
        EXPECT_TRUE(testutil::WaitFor([&] { return !dlg->NetConnected(); }));
        return port;
    }
    static std::string Reconnecting(int port, const std::string& when, int attempt) {
        return " Disconnected : 127.0.0.1 - reconnecting to 127.0.0.1:" + std::to_string(port) +
               when + " (attempt " + std::to_string(attempt) + ")...";
    }
    // `linked`: connected or reconnecting, the button Disconnect and the target fixed.
    void ExpectControls(bool linked) {
        EXPECT_EQ(Item<QPushButton>(IDC_BUTTON_IP_CONNECT)->text(),
                  linked ? "Disconnect" : "Connect");
        EXPECT_TRUE(Enabled(IDC_BUTTON_IP_CONNECT));
        for (int id : {IDC_IP_ADDRESS, IDC_EDIT_IP_PORT, IDC_CHECK_SERVER_MODE})
            EXPECT_EQ(Enabled(id), !linked) << id;
    }
    int Listen(int port) { return fds.emplace_back(testutil::ListenLoopback(&port)); }
    std::vector<int> fds;
};

// Off by default, the window stays idle as NetCommands' far-end tests show; on, it tries again.
TEST_F(Reconnect, ClosedLinkIsMadeAgainOnceTheDeviceServerListens) {
    TurnOn();
    const int port = ConnectAndLose();
    EXPECT_EQ(Status(), Reconnecting(port, " in 0.5 s", 1));
    ExpectControls(true);
    // Refused tries double the pause, without a box; the tooltip names the last failure.
    for (const auto& [when, attempt] : {std::pair{" in 1 s", 2}, {" in 2 s", 3}})
        ASSERT_TRUE(
            testutil::WaitFor([&] { return Status() == Reconnecting(port, when, attempt); }));
    EXPECT_NE(Item<QLabel>(IDC_STATIC_STATUS)
                  ->toolTip()
                  .toStdString()
                  .find("attempt 2 failed: Can't connect socket (Connection refused)"),
              std::string::npos);
    ExpectControls(true);
    const int listener = Listen(port);
    ASSERT_TRUE(testutil::WaitFor([&] { return dlg->NetConnected(); }));
    EXPECT_EQ(Status(), " Connected : 127.0.0.1:" + std::to_string(port));
    EXPECT_EQ(Item<QLabel>(IDC_STATIC_STATUS)->toolTip(), "");
    ExpectControls(true);
    const int again = fds.emplace_back(testutil::AcceptWithin(listener, 2000));
    testutil::SendAll(again, "after");
    EXPECT_TRUE(testutil::WaitFor([&] { return Console(IDC_REDIT_NET_DEBUG) == "after"; }));
    EXPECT_TRUE(seam.messages.empty());
}

// Disconnect stops it at once, in the pause or during a try, and leaves the console idle.
TEST_F(Reconnect, DisconnectStopsIt) {
    TurnOn();
    for (const bool duringTry : {false, true}) {
        SCOPED_TRACE(duringTry ? "during a try" : "in the pause");
        const int port = ConnectAndLose();
        // A listener whose queue is full neither takes nor refuses a try until its time-out.
        std::unique_ptr<testutil::FullListener> full;
        if (duringTry) {
            full = std::make_unique<testutil::FullListener>(port);
            ASSERT_TRUE(full->full);
            ASSERT_TRUE(testutil::WaitFor([&] { return dlg->Net().IsConnecting(); }));
            EXPECT_EQ(Status(), Reconnecting(port, "", 1));
            ExpectControls(true);
        }
        Click(IDC_BUTTON_IP_CONNECT);
        EXPECT_EQ(dlg->Net().GetState(), NetConsole::State::Idle);
        EXPECT_EQ(Status(), " Disconnected : 127.0.0.1");
        ExpectControls(false);
        full.reset();
        EXPECT_EQ(testutil::AcceptWithin(Listen(port), 2500), -1);  // past a try's time-out
        EXPECT_EQ(Status(), " Disconnected : 127.0.0.1");
    }
    EXPECT_TRUE(seam.messages.empty());
}

// Server Mode does not reconnect: a device that dials in again after its peer left is the peer.
TEST_F(Reconnect, ServerModeTakesTheNextPeer) {
    TurnOn();
    const int port = testutil::FreePort();
    Click(IDC_CHECK_SERVER_MODE);
    SetText(IDC_EDIT_IP_PORT, std::to_string(port));
    Click(IDC_BUTTON_IP_CONNECT);
    for (const char* line : {"first", "next"}) {
        const int peer = fds.emplace_back(testutil::ConnectLoopback(port));
        ASSERT_TRUE(testutil::WaitFor([&] { return dlg->Net().PeerCount() == 1; }));
        SetText(IDC_EDIT_IP_MESSAGE, line);
        Click(IDC_BUTTON_IP_SEND);
        EXPECT_EQ(testutil::RecvSome(peer, std::strlen(line)), line);
        ::shutdown(peer, SHUT_RDWR);
        ASSERT_TRUE(testutil::WaitFor([&] { return dlg->Net().PeerCount() == 0; }));
        EXPECT_EQ(Status(), " Start Server Mode");
    }
}

}  // namespace
