// The network link over UDP as the user sets it up: "UDP" in Network Options, socat as the device
// server (a pty on its serial side, UDP datagrams on its network side), the program in Server
// Mode or as a client on a chosen local port. Typed lines and File Send cross the device both
// ways.
#include <QAbstractButton>
#include <QApplication>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>

#include <sys/stat.h>

#include <chrono>

#include "app/NetworkOptionsDlg.h"
#include "support/app/DialogFixture.h"

namespace {

platform::LocalTime FixedClock() {
    return {2026, 12, 7, 9, 8, 7};
}

class UdpPassThrough : public DialogFixture {
protected:
    void SetUp() override {
        DialogFixture::SetUp();
        dlg->Transfer().SetClock(FixedClock);
        dlg->Transfer().SetStartDelay(100);
    }
    void TearDown() override {
        m_socat.Kill(15);
        m_socat.Wait(3000);
        DialogFixture::TearDown();
    }
    // Opens Network Options from the menu, lets `edit` set its controls, and ends it with OK.
    void SetNetworkOptions(const std::function<void(CNetworkOptionsDlg*)>& edit) {
        bool seen = false;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* options = qobject_cast<CNetworkOptionsDlg*>(w);
                    options && options->isVisible() && !seen) {
                    seen = true;
                    poll.stop();
                    edit(options);
                    options->findChild<QPushButton*>("OK")->click();
                }
        });
        poll.start(10);
        FromMenu("Network Options...");
        EXPECT_TRUE(seen);
    }
    std::string Transfer(int button, const std::string& name, const std::string& content) {
        const std::string path = source.File(name);
        testutil::WriteFile(path, content);
        seam.nextFile = ui::FileChoice{path, name};
        QTimer::singleShot(120000, &dlg->m_dlgDownload,
                           [this] { dlg->m_dlgDownload.EndDialog(99); });  // safety net
        Click(button);
        EXPECT_EQ(dlg->m_dlgDownload.result(), IDCANCEL) << name;
        return testutil::ReadFile(dir.File("20261207_090807_" + name));
    }

    testutil::TempDir source;
    testutil::ChildProcess m_socat;
};

TEST_F(UdpPassThrough, ChosenInNetworkOptionsLinesAndFilesCrossBothWays) {
    // The choice: UDP turns the RFC 2217 choices off, TCP brings them back.
    SetNetworkOptions([](CNetworkOptionsDlg* w) {
        auto* udp = w->findChild<QAbstractButton*>("UDP");
        auto* tcp = w->findChild<QAbstractButton*>("TCP");
        ASSERT_TRUE(udp && tcp);
        EXPECT_TRUE(tcp->isChecked());  // TCP until chosen
        EXPECT_EQ(udp->accessibleName(), "UDP");
        w->findChild<QAbstractButton*>("Telnet with Com Port Control (RFC 2217)")->click();
        udp->click();
        EXPECT_FALSE(
            w->findChild<QWidget*>("Telnet with Com Port Control (RFC 2217)")->isEnabled());
        EXPECT_FALSE(w->findChild<QWidget*>("Device server's serial port")->isEnabled());
        tcp->click();
        EXPECT_TRUE(w->findChild<QWidget*>("Telnet with Com Port Control (RFC 2217)")->isEnabled());
        udp->click();
    });
    EXPECT_EQ(dlg->DeviceServer().Options().protocol, NetProtocol::Udp);
    EXPECT_EQ(dlg->Net().RemoteOptions().protocol, NetProtocol::Udp);
    EXPECT_EQ(dlg->Net().RemoteOptions().framing, LinkFraming::Raw);  // UDP is always raw

    const int serverPort = testutil::FreePort();
    const int devicePort = testutil::FreePort();
    SetText(IDC_IP_ADDRESS, "127.0.0.1");
    SetText(IDC_EDIT_IP_PORT, std::to_string(serverPort));
    Click(IDC_CHECK_SERVER_MODE);
    Click(IDC_BUTTON_IP_CONNECT);
    const std::string com = dir.File("COM1");
    ASSERT_TRUE(m_socat.Start({"socat", "PTY,link=" + com + ",raw,echo=0",
                               "UDP-DATAGRAM:127.0.0.1:" + std::to_string(serverPort) +
                                   ",bind=127.0.0.1:" + std::to_string(devicePort)}));
    struct stat st {};
    ASSERT_TRUE(testutil::WaitFor([&] { return ::lstat(com.c_str(), &st) == 0; }));
    Select(IDC_COMBO_BAUD, 8);  // 115200 baud: 11520 bytes a second on the device's line
    Click(IDC_BUTTON_OPEN);
    ASSERT_EQ(dlg->SerialOpen(), 1);

    // The device's first datagram makes it the server's peer.
    SetText(IDC_EDIT_SEND, "to net\\x0A");
    Click(IDC_BUTTON_SEND);
    ASSERT_TRUE(testutil::WaitFor([&] { return Console(IDC_REDIT_NET_DEBUG) == "to net\n"; }));
    ASSERT_EQ(dlg->Net().PeerCount(), 1);
    EXPECT_NE(Item<QLabel>(IDC_STATIC_STATUS)
                  ->toolTip()
                  .toStdString()
                  .find("UDP link: local port " + std::to_string(serverPort)),
              std::string::npos);
    SetText(IDC_EDIT_IP_MESSAGE, "to serial");
    Click(IDC_BUTTON_IP_SEND);
    ASSERT_TRUE(testutil::WaitFor([&] { return Console(IDC_REDIT_SERIAL_DEBUG) == "to serial"; }));

    // Files both ways; the network side's datagrams keep to the serial line's byte rate.
    const std::string content = testutil::RandomBytes(23040, 7);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(Transfer(IDC_BTN_FILE_SEND_NETWORK, "n.bin", content) == content);
    EXPECT_GE(testutil::MsSince(start), 1800);  // 23058 bytes at 11520 bytes a second
    EXPECT_TRUE(Transfer(IDC_BTN_FILE_SEND_SERIAL, "s.bin", content) == content);
    EXPECT_TRUE(seam.messages.empty()) << seam.messages[0];
}

TEST_F(UdpPassThrough, AClientOnTheChosenLocalPortIsTheFixedPeersCounterpart) {
    const int localPort = testutil::FreePort();
    const int devicePort = testutil::FreePort();
    // The device server sends only to its configured peer: the local port chosen in the options.
    const std::string com = dir.File("COM1");
    ASSERT_TRUE(m_socat.Start({"socat", "PTY,link=" + com + ",raw,echo=0",
                               "UDP-DATAGRAM:127.0.0.1:" + std::to_string(localPort) +
                                   ",bind=127.0.0.1:" + std::to_string(devicePort)}));
    SetNetworkOptions([&](CNetworkOptionsDlg* w) {
        auto* local = w->findChild<QSpinBox*>("Local port");
        ASSERT_TRUE(local);
        EXPECT_EQ(local->accessibleName(), "Local port");
        EXPECT_EQ(local->text(), "Any free port");
        EXPECT_FALSE(local->isEnabled());  // TCP until UDP is chosen
        w->findChild<QAbstractButton*>("UDP")->click();
        EXPECT_TRUE(local->isEnabled());
        local->setValue(localPort);
    });
    EXPECT_EQ(dlg->Net().RemoteOptions().udpLocalPort, static_cast<unsigned>(localPort));

    struct stat st {};
    ASSERT_TRUE(testutil::WaitFor([&] { return ::lstat(com.c_str(), &st) == 0; }));
    Click(IDC_BUTTON_OPEN);
    ASSERT_EQ(dlg->SerialOpen(), 1);
    SetText(IDC_IP_ADDRESS, "127.0.0.1");
    SetText(IDC_EDIT_IP_PORT, std::to_string(devicePort));
    Click(IDC_BUTTON_IP_CONNECT);
    ASSERT_EQ(dlg->Net().LocalPort(), static_cast<unsigned>(localPort));
    EXPECT_TRUE(testutil::WaitFor([&] {  // told once Connect has returned
        return Item<QLabel>(IDC_STATIC_STATUS)
            ->toolTip()
            .contains(QString("UDP link: local port %1").arg(localPort));
    }));

    // The device's bytes reach the client before it has sent anything.
    SetText(IDC_EDIT_SEND, "first");
    Click(IDC_BUTTON_SEND);
    ASSERT_TRUE(testutil::WaitFor([&] { return Console(IDC_REDIT_NET_DEBUG) == "first"; }));
    SetText(IDC_EDIT_IP_MESSAGE, "back");
    Click(IDC_BUTTON_IP_SEND);
    ASSERT_TRUE(testutil::WaitFor([&] { return Console(IDC_REDIT_SERIAL_DEBUG) == "back"; }));
    EXPECT_TRUE(seam.messages.empty()) << seam.messages[0];
}

}  // namespace
