// Reconnect automatically, against real loopback peers: the client link the device server
// closes is made again by itself, with the status line saying when, until it is up or the user
// presses Disconnect.
#include <QPushButton>

#include <sys/socket.h>
#include <unistd.h>

#include "app/NetworkOptionsDlg.h"
#include "support/app/DialogFixture.h"

namespace {

class Reconnect : public DialogFixture {
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
    // Ticks "Reconnect automatically" in Network Options, as the user does, and OKs it.
    void TurnOn() {
        bool seen = false;
        QTimer poll;  // the dialog runs its own loop once the menu has gone
        QObject::connect(&poll, &QTimer::timeout, [&] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* options = qobject_cast<CNetworkOptionsDlg*>(w);
                    options && options->isVisible() && !seen) {
                    seen = true;
                    auto* box = options->findChild<QCheckBox*>("Reconnect automatically");
                    ASSERT_NE(box, nullptr);
                    EXPECT_FALSE(box->isChecked());  // off by default
                    EXPECT_EQ(box->accessibleName(), "Reconnect automatically");
                    box->click();
                    options->findChild<QPushButton*>("OK")->click();
                }
        });
        poll.start(10);
        FromMenu("Network Options...");
        ASSERT_TRUE(seen);
        ASSERT_TRUE(dlg->DeviceServer().Options().reconnect);
    }
    // Connects to a fresh listener; returns the far end. `port` gets the listener's port.
    int ConnectTo(int& port, int& listener) {
        listener = testutil::ListenLoopback(&port);  // the test closes it
        SetText(IDC_EDIT_IP_PORT, std::to_string(port));
        Click(IDC_BUTTON_IP_CONNECT);
        EXPECT_TRUE(dlg->NetConnected());
        return Track(testutil::AcceptWithin(listener, 2000));
    }
    std::string Reconnecting(int port, const std::string& when, int attempt) {
        return " Disconnected : 127.0.0.1 - reconnecting to 127.0.0.1:" + std::to_string(port) +
               when + " (attempt " + std::to_string(attempt) + ")...";
    }
    std::string Button() { return Item<QPushButton>(IDC_BUTTON_IP_CONNECT)->text().toStdString(); }
    std::string Tip() { return Item<QLabel>(IDC_STATIC_STATUS)->toolTip().toStdString(); }
    // The controls as the console's state wants them: `linked` is connected or reconnecting.
    void ExpectControls(bool linked) {
        EXPECT_EQ(Button(), linked ? "Disconnect" : "Connect");
        EXPECT_TRUE(Enabled(IDC_BUTTON_IP_CONNECT));
        EXPECT_EQ(Enabled(IDC_IP_ADDRESS), !linked);
        EXPECT_EQ(Enabled(IDC_EDIT_IP_PORT), !linked);
        EXPECT_EQ(Enabled(IDC_CHECK_SERVER_MODE), !linked);
    }
    std::vector<int> fds;
};

// The device server goes away and comes back on the same port: with the option on, the window
// tries again with a growing pause and is connected once it listens again; off, it stays idle.
TEST_F(Reconnect, ClosedLinkIsMadeAgainWhenTheDeviceServerListensAgain) {
    for (const bool on : {false, true}) {
        SCOPED_TRACE(on ? "on" : "off");
        if (on)
            TurnOn();
        int port = 0, listener = -1;
        const int far = ConnectTo(port, listener);
        ASSERT_GE(far, 0);
        testutil::SendAll(far, "before the drop");
        ASSERT_TRUE(testutil::WaitFor([&] { return !Console(IDC_REDIT_NET_DEBUG).isEmpty(); }));
        ::close(listener);
        ::shutdown(far, SHUT_RDWR);
        ASSERT_TRUE(testutil::WaitFor([&] { return !dlg->NetConnected(); }));
        if (!on) {
            EXPECT_EQ(Status(), " Disconnected : 127.0.0.1");
            ExpectControls(false);
            listener = Track(testutil::ListenLoopback(&port));
            EXPECT_EQ(testutil::AcceptWithin(listener, 1000), -1);
            EXPECT_EQ(Status(), " Disconnected : 127.0.0.1");
            Click(IDC_BUTTON_IP_CLEAR);
            continue;
        }
        EXPECT_EQ(Status(), Reconnecting(port, " in 0.5 s", 1));
        ExpectControls(true);
        // Nobody listens: each refused try doubles the pause, without a message box.
        ASSERT_TRUE(
            testutil::WaitFor([&] { return Status() == Reconnecting(port, " in 1 s", 2); }));
        EXPECT_NE(Tip().find("attempt 1 failed: Can't connect socket (Connection refused)"),
                  std::string::npos)
            << Tip();
        ASSERT_TRUE(
            testutil::WaitFor([&] { return Status() == Reconnecting(port, " in 2 s", 3); }));
        ExpectControls(true);
        EXPECT_TRUE(seam.messages.empty());

        listener = Track(testutil::ListenLoopback(&port));
        ASSERT_GE(listener, 0);
        ASSERT_TRUE(testutil::WaitFor([&] { return dlg->NetConnected(); }));
        EXPECT_EQ(Status(), " Connected : 127.0.0.1:" + std::to_string(port));
        EXPECT_EQ(Tip(), "");
        ExpectControls(true);
        // A new link, a new history, as after the Connect command.
        EXPECT_EQ(Console(IDC_REDIT_NET_DEBUG), "");
        const int again = Track(testutil::AcceptWithin(listener, 2000));
        testutil::SendAll(again, "after");
        EXPECT_TRUE(testutil::WaitFor([&] { return Console(IDC_REDIT_NET_DEBUG) == "after"; }));
        EXPECT_TRUE(seam.messages.empty());
    }
}

// Disconnect stops the reconnecting at once, in its pause or during a try, and leaves the
// console idle as any Disconnect does: no further try, no box.
TEST_F(Reconnect, DisconnectStopsIt) {
    TurnOn();
    for (const bool duringTry : {false, true}) {
        SCOPED_TRACE(duringTry ? "during a try" : "in the pause");
        int port = 0, listener = -1;
        const int far = ConnectTo(port, listener);
        ASSERT_GE(far, 0);
        ::close(listener);
        ::shutdown(far, SHUT_RDWR);
        ASSERT_TRUE(
            testutil::WaitFor([&] { return Status() == Reconnecting(port, " in 0.5 s", 1); }));
        // A listener whose queue is full neither takes nor refuses the try until its time-out.
        std::unique_ptr<testutil::FullListener> full;
        if (duringTry) {
            full = std::make_unique<testutil::FullListener>(port);
            ASSERT_TRUE(full->full);
            ASSERT_TRUE(testutil::WaitFor([&] { return dlg->Net().IsConnecting(); }));
            EXPECT_EQ(Status(), Reconnecting(port, "", 1));
            ExpectControls(true);
        }
        Click(IDC_BUTTON_IP_CONNECT);
        EXPECT_FALSE(dlg->DeviceServer().Reconnecting());
        EXPECT_EQ(dlg->Net().GetState(), NetConsole::State::Idle);
        EXPECT_EQ(Status(), " Disconnected : 127.0.0.1");
        ExpectControls(false);
        full.reset();
        listener = Track(testutil::ListenLoopback(&port));
        EXPECT_EQ(testutil::AcceptWithin(listener, 2500), -1);  // past the try's time-out
        EXPECT_EQ(Status(), " Disconnected : 127.0.0.1");
        EXPECT_TRUE(seam.messages.empty());
    }
}

// Server Mode does not reconnect: a device that dials in again after its peer left becomes the
// peer.
TEST_F(Reconnect, ServerModeTakesTheNextPeer) {
    TurnOn();
    const int port = testutil::FreePort();
    Click(IDC_CHECK_SERVER_MODE);
    SetText(IDC_EDIT_IP_PORT, std::to_string(port));
    Click(IDC_BUTTON_IP_CONNECT);
    const int first = Track(testutil::ConnectLoopback(port));
    ASSERT_TRUE(testutil::WaitFor([&] { return dlg->Net().PeerCount() == 1; }));
    ::shutdown(first, SHUT_RDWR);
    ASSERT_TRUE(testutil::WaitFor([&] { return dlg->Net().PeerCount() == 0; }));
    EXPECT_EQ(Status(), " Start Server Mode");
    EXPECT_FALSE(dlg->DeviceServer().Reconnecting());
    const int second = Track(testutil::ConnectLoopback(port));
    ASSERT_TRUE(testutil::WaitFor([&] { return dlg->Net().PeerCount() == 1; }));
    SetText(IDC_EDIT_IP_MESSAGE, "next");
    Click(IDC_BUTTON_IP_SEND);
    EXPECT_EQ(testutil::RecvSome(second, 4), "next");
    EXPECT_TRUE(seam.messages.empty());
}

}  // namespace
