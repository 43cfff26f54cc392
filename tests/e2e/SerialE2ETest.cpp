// The serial console through socat: the test is the far side of the device's TCP port.
#include <QPlainTextEdit>

#include <unistd.h>

#include "support/SocatDevice.h"
#include "support/app/DialogFixture.h"

namespace {

class SerialE2E : public DialogFixture {
protected:
    void SetUp() override {
        DialogFixture::SetUp();
        const int port = testutil::FreePort();
        device = std::make_unique<SocatDevice>(dir.File("COM1"), SocatDevice::Mode::Listen, port);
        ASSERT_TRUE(device->Ready());
        Click(IDC_BUTTON_OPEN);
        ASSERT_EQ(dlg->SerialOpen(), 1);
        for (int i = 0; i < 50 && far < 0; ++i) {
            far = testutil::ConnectLoopback(port);
            if (far < 0)
                testutil::Pump(50);
        }
        ASSERT_GE(far, 0);
    }
    void TearDown() override {
        ::close(far);
        DialogFixture::TearDown();
    }
    std::unique_ptr<SocatDevice> device;
    int far = -1;
};

TEST_F(SerialE2E, TypedLineReachesTheFarSideAsExactBytes) {
    SetText(IDC_EDIT_SEND, "AT\\x0D\\x00\\xff\\x4Z");
    Click(IDC_BUTTON_SEND);
    EXPECT_EQ(testutil::RecvSome(far, 7), std::string("AT\r\0\xFF\x04Z", 7));
}

TEST_F(SerialE2E, FarSideBytesAppearInBothViews) {
    testutil::SendAll(far, std::string("ok\0\x01", 4));
    ASSERT_TRUE(testutil::WaitFor([&] { return dlg->SerialRing().GetCount() == 4; }));
    ASSERT_TRUE(testutil::WaitFor([&] { return Console(IDC_REDIT_SERIAL_DEBUG) == "ok\x01"; }));
    Click(IDC_CHECK_HEXVIEW);
    EXPECT_EQ(Console(IDC_REDIT_SERIAL_DEBUG), "0000 6F6B0001");
}

TEST_F(SerialE2E, BurstLeavesTheNewest2047) {
    std::string burst;
    for (int i = 0; i < 5000; ++i)
        burst += static_cast<char>(0x20 + i % 95);
    testutil::SendAll(far, burst);
    ASSERT_TRUE(testutil::WaitFor([&] {
        return Console(IDC_REDIT_SERIAL_DEBUG).toStdString() == burst.substr(5000 - 2047);
    }));
}

}  // namespace
