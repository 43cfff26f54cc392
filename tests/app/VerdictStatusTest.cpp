// The window's status line after a File Send: the verdict of the capture, or the link that was
// lost. The test plays the device with a relay between the pty and a loopback TCP link that can
// corrupt, or close, what passes.
#include <QLabel>
#include <QTimer>

#include <unistd.h>

#include <chrono>
#include <regex>

#include "support/FaultyRelay.h"
#include "support/app/DialogFixture.h"

namespace {

constexpr int64_t HEADER = 18;

class VerdictStatus : public DialogFixture {
protected:
    void SetUp() override {
        DialogFixture::SetUp();
        dlg->Transfer().SetStartDelay(50);
        LinkPort(1, pty.slavePath);
        Click(IDC_BUTTON_OPEN);
        ASSERT_EQ(dlg->SerialOpen(), 1);
        int port = 0;
        listener = testutil::ListenLoopback(&port);
        SetText(IDC_IP_ADDRESS, "127.0.0.1");
        SetText(IDC_EDIT_IP_PORT, std::to_string(port));
        Click(IDC_BUTTON_IP_CONNECT);
        far = testutil::AcceptWithin(listener, 2000);
        ASSERT_GE(far, 0);
    }
    void TearDown() override {
        relay.reset();
        ::close(listener);
        DialogFixture::TearDown();
    }
    // The device, from now on; it takes over the TCP link.
    void Device(RelayFaults toNet = {}, RelayFaults toSerial = {}) {
        relay = std::make_unique<FaultyRelay>(pty.master, far, toNet, toSerial);
    }
    // Sends `content` with a File Send button; returns when the progress dialog has closed.
    void SendFile(int button, const std::string& content) {
        const std::string path = source.File("data.bin");
        testutil::WriteFile(path, content);
        seam.nextFile = ui::FileChoice{path, "data.bin"};
        QTimer::singleShot(60000, &dlg->m_dlgDownload,
                           [this] { dlg->m_dlgDownload.EndDialog(99); });  // safety net
        Click(button);
        EXPECT_FALSE(dlg->m_dlgDownload.isVisible());
        EXPECT_EQ(dlg->m_dlgDownload.result(), IDCANCEL);  // closed by itself
    }

    testutil::PtyPair pty;
    testutil::TempDir source;
    int listener = -1;
    int far = -1;
    std::unique_ptr<FaultyRelay> relay;
};

TEST_F(VerdictStatus, VerifiedAndMismatchBothWays) {
    const std::string content = testutil::RandomBytes(5000, 21);
    const std::regex verified(" Verified : 5000 Bytes identical, [0-9]+\\.[0-9] (KiB|MiB)/s");
    // One device for all four runs: its byte counts go on from run to run.
    Device({.flipAt = 2 * (HEADER + 5000) + HEADER + 1234},
           {.flipAt = 2 * (HEADER + 5000) + HEADER + 4999});
    SendFile(IDC_BTN_FILE_SEND_SERIAL, content);
    EXPECT_TRUE(std::regex_match(Status(), verified)) << Status();
    SendFile(IDC_BTN_FILE_SEND_NETWORK, content);
    EXPECT_TRUE(std::regex_match(Status(), verified)) << Status();
    SendFile(IDC_BTN_FILE_SEND_SERIAL, content);
    SendFile(IDC_BTN_FILE_SEND_SERIAL, content);
    EXPECT_EQ(Status(), " Mismatch : first difference at byte 1234 of 5000");
    SendFile(IDC_BTN_FILE_SEND_NETWORK, content);
    SendFile(IDC_BTN_FILE_SEND_NETWORK, content);
    EXPECT_EQ(Status(), " Mismatch : first difference at byte 4999 of 5000");
    EXPECT_TRUE(seam.messages.empty()) << seam.messages[0];  // no box for a verdict
}

// A device server that speaks Telnet: the status text stays the verdict; the tooltip names the
// stored file and, on its own line, the kind of difference.
TEST_F(VerdictStatus, TheTooltipSaysWhatKindOfMismatchItIs) {
    Device({.doubleFF = true});
    SendFile(IDC_BTN_FILE_SEND_SERIAL, testutil::RandomBytes(5000, 24));
    EXPECT_EQ(Status().rfind(" Mismatch : first difference at byte ", 0), 0u) << Status();
    const std::string tip = Item<QLabel>(IDC_STATIC_STATUS)->toolTip().toStdString();
    const std::regex expected(
        "Stored at .*_data\\.bin\n"
        "every 0xFF byte arrived doubled: the device server speaks Telnet on this port \\(use "
        "RFC 2217 or set the port to raw TCP\\)");
    EXPECT_TRUE(std::regex_match(tip, expected)) << tip;
}

TEST_F(VerdictStatus, ALinkLostEndsTheRunAtOnceAndSaysWhich) {
    Device({.closeAfter = HEADER + 3000});
    const auto start = std::chrono::steady_clock::now();
    SendFile(IDC_BTN_FILE_SEND_SERIAL, testutil::RandomBytes(1 << 20, 22));
    // Well before the 2-second time-out, without a box.
    EXPECT_LT(testutil::MsSince(start), 1500);
    EXPECT_EQ(Status(), " Link lost : network peer closed the connection");
    EXPECT_TRUE(seam.messages.empty()) << seam.messages[0];
    EXPECT_EQ(dlg->NetConnected(), 0);
}

TEST_F(VerdictStatus, TheWindowKeepsAnsweringWhileA64MiBCaptureIsComparedAndCompletes) {
    Device();
    const std::string content = testutil::RandomBytes(64 << 20, 23);
    // A timer on the UI thread every 20 ms; the longest pause between two of its ticks says how
    // long the window could not answer.
    QTimer tick;
    auto last = std::chrono::steady_clock::now();
    long longest = 0;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        longest = std::max(longest, testutil::MsSince(last));
        last = std::chrono::steady_clock::now();
    });
    for (int button : {IDC_BTN_FILE_SEND_SERIAL, IDC_BTN_FILE_SEND_NETWORK}) {
        longest = 0;
        last = std::chrono::steady_clock::now();
        tick.start(20);
        SendFile(button, content);
        tick.stop();
        EXPECT_EQ(Status().rfind(" Verified : 67108864 Bytes identical, ", 0), 0u) << Status();
        // Typically under 200 ms here; the bound leaves room for a machine busy with other work
        // (a sanitizer build, parallel tests), not for seconds of reading both files.
        EXPECT_LT(longest, 1500) << "the UI thread stalled for " << longest << " ms";
        for (const std::string& name : testutil::ListDir(dir.path))
            if (name.size() > 9 && name.substr(name.size() - 9) == "_data.bin")
                ::unlink(dir.File(name).c_str());
    }
}

}  // namespace
