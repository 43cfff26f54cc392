// File Send on both consoles with the test playing the device: a relay thread passes bytes
// between the pty (the program's serial port) and a loopback TCP link (its network console).
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

#include "net/LinkSocket.h"
#include "support/app/DialogFixture.h"
#include "transfer/FileSend.h"

namespace {

platform::LocalTime FixedClock() {
    return {2026, 12, 7, 10, 10, 10};
}
constexpr const char* CAPTURE_PREFIX = "20261207_101010_";

// The device: copies bytes both ways between the pty master and a TCP socket until stopped.
// With a limit, it falls silent after passing that many bytes from `limitedFd`.
class DeviceRelay {
public:
    DeviceRelay(int ptyMaster, int tcp, int limitedFd = -1, size_t limit = 0)
        : m_thread([=, this] { Run(ptyMaster, tcp, limitedFd, limit); }) {}
    ~DeviceRelay() {
        m_stop = true;
        m_thread.join();
    }

private:
    void Run(int pty, int tcp, int limitedFd, size_t limit) {
        size_t passed = 0;
        while (!m_stop) {
            pollfd p[2] = {{pty, POLLIN, 0}, {tcp, POLLIN, 0}};
            if (poll(p, 2, 20) <= 0)
                continue;
            for (int i = 0; i < 2; ++i) {
                if (!(p[i].revents & POLLIN))
                    continue;
                char buf[8192];
                const int from = p[i].fd, to = i == 0 ? tcp : pty;
                size_t want = sizeof buf;
                if (from == limitedFd) {
                    if (passed >= limit)
                        continue;
                    want = std::min(want, limit - passed);
                }
                const ssize_t n = ::read(from, buf, want);
                if (n <= 0)
                    continue;
                if (from == limitedFd)
                    passed += static_cast<size_t>(n);
                for (ssize_t done = 0; done < n && !m_stop;) {
                    const ssize_t w = ::write(to, buf + done, static_cast<size_t>(n - done));
                    if (w > 0)
                        done += w;
                    else
                        usleep(1000);
                }
            }
        }
    }
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

class FileTransfer : public DialogFixture {
protected:
    void SetUp() override {
        DialogFixture::SetUp();
        dlg->Transfer().SetClock(FixedClock);
        dlg->Transfer().SetStartDelay(100);
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
        ASSERT_TRUE(Enabled(IDC_BTN_FILE_SEND_SERIAL));
        ASSERT_TRUE(Enabled(IDC_BTN_FILE_SEND_NETWORK));
    }
    void TearDown() override {
        ::close(far);
        ::close(listener);
        DialogFixture::TearDown();
    }
    // Clicks a File Send button with `name` (holding `content`) as the chosen file. Returns when
    // the progress dialog has ended; `during` runs while it is up.
    void SendFile(int button, const std::string& name, const std::string& content,
                  const std::function<void()>& during = {}) {
        const std::string path = source.File(name);
        testutil::WriteFile(path, content);
        seam.nextFile = ui::FileChoice{path, name};
        if (during)
            QTimer::singleShot(0, during);
        QTimer::singleShot(30000, &dlg->m_dlgDownload,
                           [this] { dlg->m_dlgDownload.EndDialog(99); });  // safety net
        Click(button);
        EXPECT_FALSE(dlg->m_dlgDownload.isVisible());
        EXPECT_EQ(dlg->Transfer().IsActive(), false);
    }
    std::string Captured(const std::string& name) {
        return testutil::ReadFile(dir.File(CAPTURE_PREFIX + name));
    }
    bool CaptureExists(const std::string& name) {
        struct stat st {};
        return ::stat(dir.File(CAPTURE_PREFIX + name).c_str(), &st) == 0;
    }
    QString BytesText() { return dlg->m_dlgDownload.m_staticBytes->text(); }

    testutil::PtyPair pty;
    testutil::TempDir source;
    int listener = -1;
    int far = -1;
};

TEST_F(FileTransfer, SerialToNetworkStoresTheFileAndClosesByItself) {
    const std::string content = testutil::RandomBytes(1000, 1);
    {
        DeviceRelay device(pty.master, far);
        testutil::SendAll(far, "");  // nothing before the file
        SendFile(IDC_BTN_FILE_SEND_SERIAL, "data.bin", content);
    }
    EXPECT_EQ(Captured("data.bin"), content);
    EXPECT_EQ(BytesText(), "1000 / 1000 Bytes");
    EXPECT_EQ(dlg->m_dlgDownload.m_ctrlProgress->value(), 100);
    EXPECT_EQ(dlg->Transfer().SendFileName(), "data.bin");
    EXPECT_EQ(seam.filters.back(), "All Files(*.*)|*.*||");
    EXPECT_EQ(dlg->Transfer().IsCaptureArmed(false), false);
}

TEST_F(FileTransfer, NetworkToSerialStoresTheFileAndClosesByItself) {
    const std::string content = testutil::RandomBytes(65537, 2);
    {
        DeviceRelay device(pty.master, far);
        SendFile(IDC_BTN_FILE_SEND_NETWORK, "big.bin", content);
    }
    EXPECT_EQ(Captured("big.bin"), content);
    EXPECT_EQ(BytesText(), "65537 / 65537 Bytes");
    EXPECT_EQ(dlg->m_dlgDownload.m_ctrlProgress->value(), 100);
    EXPECT_EQ(dlg->Transfer().IsCaptureArmed(true), false);
    // The link is back in notification mode: bytes reach the network console again.
    testutil::SendAll(far, "after");
    ASSERT_TRUE(testutil::WaitFor([&] { return Console(IDC_REDIT_NET_DEBUG) == "after"; }));
}

TEST_F(FileTransfer, BytesBeforeTheMarkerStillReachTheConsole) {
    const std::string content = testutil::RandomBytes(300, 3);
    {
        DeviceRelay device(pty.master, far);
        SendFile(IDC_BTN_FILE_SEND_NETWORK, "x.bin", content, [&] {
            pty.Write("noise B BD\r\n");  // the device's own chatter before the file
        });
    }
    EXPECT_EQ(Captured("x.bin"), content);
    ASSERT_TRUE(
        testutil::WaitFor([&] { return Console(IDC_REDIT_SERIAL_DEBUG) == "noise B BD\n"; }));
}

TEST_F(FileTransfer, EmptyFileEndsWithoutACapture) {
    {
        DeviceRelay device(pty.master, far);
        SendFile(IDC_BTN_FILE_SEND_SERIAL, "empty.bin", "");
    }
    EXPECT_FALSE(CaptureExists("empty.bin"));
}

TEST_F(FileTransfer, CancelInTheFirstSecondStillSendsTheHeaderButNoData) {
    dlg->Transfer().SetStartDelay(SEND_START_DELAY_MS);
    SendFile(IDC_BTN_FILE_SEND_SERIAL, "c.bin", std::string(1000, 'c'), [&] {
        QTimer::singleShot(200, &dlg->m_dlgDownload,
                           [&] { dlg->m_dlgDownload.m_btnCancel->click(); });
    });
    const std::string wire = pty.Read(2000, 2500);
    ASSERT_EQ(wire.size(), 18u);
    EXPECT_EQ(wire.substr(0, 14), std::string("BDF\"\"\"\"\"\"\"\"FDB"));
    EXPECT_EQ(wire.substr(14), std::string("\x00\x00\x03\xE8", 4));
    EXPECT_FALSE(CaptureExists("c.bin"));
}

// A serial send held by the line (nobody reads the port, as XOFF or a low CTS would hold it):
// Cancel, then File Send again. The window never waits for the held worker: an event posted to it
// every 10 ms throughout waits far less than the 2 s a join with a grace would take.
TEST_F(FileTransfer, CancelAndAnotherFileSendOnAHeldSerialLineKeepTheWindowAnswering) {
    dlg->Transfer().SetStartDelay(0);
    QElapsedTimer clock;
    clock.start();
    std::vector<qint64> waits;
    QTimer prober;
    QObject::connect(&prober, &QTimer::timeout, [&] {
        const qint64 posted = clock.elapsed();
        QMetaObject::invokeMethod(
            dlg.get(), [&, posted] { waits.push_back(clock.elapsed() - posted); },
            Qt::QueuedConnection);
    });
    prober.start(10);
    auto cancelAfter = [&](int ms) {
        return [&, ms] {
            QTimer::singleShot(ms, &dlg->m_dlgDownload,
                               [&] { dlg->m_dlgDownload.m_btnCancel->click(); });
        };
    };
    SendFile(IDC_BTN_FILE_SEND_SERIAL, "held.bin", std::string(4 << 20, 'h'), cancelAfter(500));
    SendFile(IDC_BTN_FILE_SEND_SERIAL, "next.bin", std::string(4 << 20, 'n'), cancelAfter(500));
    testutil::Pump(100);
    prober.stop();
    ASSERT_GT(waits.size(), 50u);
    std::sort(waits.begin(), waits.end());
    const qint64 p99 = waits[waits.size() * 99 / 100];
    std::printf("posted-event wait: p99 %lld ms, max %lld ms over %zu events\n",
                static_cast<long long>(p99), static_cast<long long>(waits.back()), waits.size());
    EXPECT_LT(waits.back(), 500) << "the longest wait of a posted event, ms";
}

TEST_F(FileTransfer, SilentDeviceTimesOutAndKeepsThePartialFile) {
    const std::string content = testutil::RandomBytes(4000, 4);
    {
        // The device passes the header and 1500 file bytes to the serial side, then nothing.
        DeviceRelay device(pty.master, far, far, 18 + 1500);
        SendFile(IDC_BTN_FILE_SEND_NETWORK, "half.bin", content);
    }
    EXPECT_EQ(Status(), "Serial Timeout");
    EXPECT_EQ(Captured("half.bin"), content.substr(0, 1500));
    EXPECT_EQ(dlg->Transfer().IsCaptureArmed(true), false);
    EXPECT_EQ(BytesText(), "1500 / 4000 Bytes");
}

TEST_F(FileTransfer, SilentNetworkSideTimesOutToo) {
    const std::string content = testutil::RandomBytes(4000, 5);
    {
        DeviceRelay device(pty.master, far, pty.master, 18 + 700);
        SendFile(IDC_BTN_FILE_SEND_SERIAL, "nhalf.bin", content);
    }
    EXPECT_EQ(Status(), " Network Timeout");
    EXPECT_EQ(Captured("nhalf.bin"), content.substr(0, 700));
}

TEST_F(FileTransfer, ACaptureThatCannotBeStoredIsReported) {
    ASSERT_EQ(::mkdir(dir.File(std::string(CAPTURE_PREFIX) + "blocked.bin").c_str(), 0755), 0);
    {
        DeviceRelay device(pty.master, far);
        SendFile(IDC_BTN_FILE_SEND_SERIAL, "blocked.bin", "payload");
    }
    testutil::Pump(50);
    ASSERT_FALSE(seam.messages.empty());
    EXPECT_NE(seam.messages.back().find("received file"), std::string::npos);
    EXPECT_NE(seam.details.back().find(dir.File(std::string(CAPTURE_PREFIX) + "blocked.bin")),
              std::string::npos);
}

TEST_F(FileTransfer, RefusalsBeforeAnythingIsArmed) {
    // A file that cannot be opened.
    seam.nextFile = ui::FileChoice{source.File("missing"), "missing"};
    Click(IDC_BTN_FILE_SEND_SERIAL);
    EXPECT_EQ(seam.messages.back(), "Can't Open File");
    // The user cancels the open-file dialog: nothing happens.
    seam.nextFile.reset();
    const size_t shown = seam.messages.size();
    Click(IDC_BTN_FILE_SEND_NETWORK);
    EXPECT_EQ(seam.messages.size(), shown);
    // 2^31 bytes cannot be announced by the header.
    const std::string huge = source.File("huge.bin");
    const int fd = ::open(huge.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_EQ(::ftruncate(fd, 0x80000000LL), 0);
    ::close(fd);
    seam.nextFile = ui::FileChoice{huge, "huge.bin"};
    Click(IDC_BTN_FILE_SEND_NETWORK);
    EXPECT_NE(seam.messages.back().find("too large"), std::string::npos);
    EXPECT_EQ(dlg->Transfer().IsCaptureArmed(true), false);
    EXPECT_EQ(dlg->Transfer().IsActive(), false);
    EXPECT_EQ(dlg->m_dlgDownload.RunCount(), 0);
}

TEST_F(FileTransfer, ServerModeWithoutAPeerTellsTheUser) {
    Click(IDC_BUTTON_IP_CONNECT);  // disconnect the client
    Click(IDC_CHECK_SERVER_MODE);
    SetText(IDC_EDIT_IP_PORT, std::to_string(testutil::FreePort()));
    Click(IDC_BUTTON_IP_CONNECT);
    ASSERT_TRUE(Enabled(IDC_BTN_FILE_SEND_SERIAL));
    seam.nextFile = ui::FileChoice{"/etc/hostname", "hostname"};
    for (int button : {IDC_BTN_FILE_SEND_SERIAL, IDC_BTN_FILE_SEND_NETWORK}) {
        const size_t shown = seam.messages.size();
        Click(button);
        ASSERT_EQ(seam.messages.size(), shown + 1);
        EXPECT_NE(seam.messages.back().find("No device"), std::string::npos);
    }
    EXPECT_EQ(dlg->m_dlgDownload.RunCount(), 0);

    // A peer that leaves while the user picks the file: told the same, nothing armed.
    const int peer = testutil::ConnectLoopback(
        std::stoi(Item<QLineEdit>(IDC_EDIT_IP_PORT)->text().toStdString()));
    ASSERT_TRUE(testutil::WaitFor([&] { return dlg->Net().PeerCount() == 1; }));
    seam.onChoose = [&] {
        ::close(peer);
        testutil::WaitFor([&] { return dlg->Net().PeerCount() == 0; });
    };
    const size_t shown = seam.messages.size();
    Click(IDC_BTN_FILE_SEND_SERIAL);
    ASSERT_EQ(seam.messages.size(), shown + 1);
    EXPECT_EQ(seam.messages.back(), "No device is connected to the server");
    EXPECT_EQ(dlg->m_dlgDownload.RunCount(), 0);
    EXPECT_FALSE(dlg->Transfer().IsActive());
}

}  // namespace

namespace {

TEST_F(FileTransfer, ClosingTheDialogClosesThePortThenDisconnects) {
    QTimer::singleShot(0, [&] { QTest::keyClick(dlg.get(), Qt::Key_Escape); });
    dlg->hide();
    EXPECT_EQ(dlg->DoModal(), IDCANCEL);
    EXPECT_EQ(dlg->SerialOpen(), 0);
    EXPECT_EQ(dlg->NetConnected(), 0);
    // The network goes second, so its text is the one left in the status line.
    EXPECT_EQ(Status(), " Disconnected : 127.0.0.1");
    EXPECT_TRUE(testutil::PeerClosed(far));
    CSerialPort port;  // the device is free again
    EXPECT_EQ(port.Open(pty.slavePath, LineSettings{9600}), 1);
}

}  // namespace
