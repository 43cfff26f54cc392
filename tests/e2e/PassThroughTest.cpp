// The pass-through test as the user runs it: socat plays the serial-to-TCP device, the program
// sends a file on one link and stores what comes back on the other.
#include <QLabel>
#include <QProgressBar>
#include <QTimer>

#include <unistd.h>

#include "support/SocatDevice.h"
#include "support/app/DialogFixture.h"
#include "transfer/FileSend.h"

namespace {

platform::LocalTime FixedClock() {
    return {2026, 12, 7, 9, 8, 7};
}

class DevicePassThrough : public DialogFixture, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        DialogFixture::SetUp();
        dlg->Transfer().SetClock(FixedClock);
        dlg->Transfer().SetStartDelay(100);
    }
    // Brings up the device and both links; serverMode: the program serves, socat connects.
    void Connect(bool serverMode) {
        const int port = testutil::FreePort();
        SetText(IDC_IP_ADDRESS, "127.0.0.1");
        SetText(IDC_EDIT_IP_PORT, std::to_string(port));
        if (serverMode) {
            Click(IDC_CHECK_SERVER_MODE);
            Click(IDC_BUTTON_IP_CONNECT);
        }
        device = std::make_unique<SocatDevice>(
            dir.File("COM1"), serverMode ? SocatDevice::Mode::Connect : SocatDevice::Mode::Listen,
            port);
        ASSERT_TRUE(device->Ready()) << "socat did not start";
        Click(IDC_BUTTON_OPEN);
        ASSERT_EQ(dlg->SerialOpen(), 1);
        if (serverMode)
            ASSERT_TRUE(testutil::WaitFor([&] { return dlg->Net().PeerCount() == 1; }));
        else
            Click(IDC_BUTTON_IP_CONNECT);
        ASSERT_EQ(dlg->NetConnected(), 1) << (seam.messages.empty() ? "" : seam.messages[0]);
        ASSERT_TRUE(Enabled(IDC_BTN_FILE_SEND_SERIAL));
    }
    // Sends `content` with the button and returns what the other link captured.
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
    std::unique_ptr<SocatDevice> device;
};

TEST_P(DevicePassThrough, FilesOfEverySizeArriveByteIdenticalBothWays) {
    Connect(GetParam());
    unsigned seed = 1;
    for (size_t size : {1, 17, 255, 256, 511, 512, 1000, 2047, 2048, 65537}) {
        for (int button : {IDC_BTN_FILE_SEND_SERIAL, IDC_BTN_FILE_SEND_NETWORK}) {
            const std::string name = std::to_string(size) + "_" + std::to_string(button) + ".bin";
            const std::string content = testutil::RandomBytes(size, seed++);
            const std::string captured = Transfer(button, name, content);
            ASSERT_EQ(captured.size(), content.size()) << name;
            EXPECT_TRUE(captured == content) << name;
            const std::string total = std::to_string(size);
            EXPECT_EQ(dlg->m_dlgDownload.m_staticBytes->text().toStdString(),
                      total + " / " + total + " Bytes");
            EXPECT_EQ(dlg->m_dlgDownload.m_ctrlProgress->value(), 100);
        }
    }
    EXPECT_TRUE(seam.messages.empty()) << seam.messages[0];
}

TEST_P(DevicePassThrough, SixteenMebibytesBothWays) {
    Connect(GetParam());
    const std::string content = testutil::RandomBytes(16u << 20, 99);
    EXPECT_TRUE(Transfer(IDC_BTN_FILE_SEND_SERIAL, "s16.bin", content) == content);
    EXPECT_TRUE(Transfer(IDC_BTN_FILE_SEND_NETWORK, "n16.bin", content) == content);
}

TEST_P(DevicePassThrough, TheRealStartDelayAndTheConsolesAfterwards) {
    Connect(GetParam());
    dlg->Transfer().SetStartDelay(SEND_START_DELAY_MS);
    EXPECT_EQ(Transfer(IDC_BTN_FILE_SEND_NETWORK, "one.bin", "x"), "x");
    // Both consoles work as before: typed lines cross the device.
    SetText(IDC_EDIT_SEND, "to net\\x0A");
    Click(IDC_BUTTON_SEND);
    ASSERT_TRUE(testutil::WaitFor([&] { return Console(IDC_REDIT_NET_DEBUG) == "to net\n"; }));
    SetText(IDC_EDIT_IP_MESSAGE, "to serial");
    Click(IDC_BUTTON_IP_SEND);
    ASSERT_TRUE(testutil::WaitFor([&] { return Console(IDC_REDIT_SERIAL_DEBUG) == "to serial"; }));
}

INSTANTIATE_TEST_SUITE_P(ClientAndServerMode, DevicePassThrough, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "ServerMode" : "ClientMode"; });

}  // namespace
