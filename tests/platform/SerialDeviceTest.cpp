// The termios serial device, driven on pty pairs: the device side is the pty master.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/Paths.h"
#include "platform/SerialBaud.h"
#include "platform/SerialDevice.h"
#include "support/TestUtil.h"

using namespace platform;
using testutil::PtyPair;

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A raw 8N1 line at `baud`.
bool SetRawLine(CSerialDevice& dev, uint32_t baud) {
    return dev.SetRaw().ok && dev.SetBaud(baud).ok && dev.SetDataBits(8).ok &&
           dev.SetParity(Parity::None).ok && dev.SetStopBits(StopBits::One).ok;
}

// Fills the slave-to-master direction until not one more byte fits (the master never reads).
// The kernel moves queued bytes on asynchronously, so a full queue is one that stays full.
void FillOutputQueue(int slaveFd) {
    const int flags = fcntl(slaveFd, F_GETFL);
    fcntl(slaveFd, F_SETFL, flags | O_NONBLOCK);
    char block[4096] = {};
    for (int quiet = 0; quiet < 3;) {
        size_t size = sizeof block;
        bool progress = false;
        while (size > 0) {
            if (write(slaveFd, block, size) > 0)
                progress = true;
            else
                size /= 2;
        }
        quiet = progress ? 0 : quiet + 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    fcntl(slaveFd, F_SETFL, flags);
}

}  // namespace

TEST(SerialPortNames, ComNamesMapToTheProgramDirectoryOrTtyS) {
    testutil::TempDir dir, settings;
    const PortMap map(settings.File("Vaskel.conf"), dir.path);
    auto ResolvePortName = [&map](const std::string& name) { return map.ResolvePortName(name); };
    EXPECT_EQ(ResolvePortName("COM2"), "/dev/ttyS1");
    EXPECT_EQ(ResolvePortName("COM12"), "/dev/ttyS11");
    ASSERT_EQ(symlink("/dev/null", dir.File("COM1").c_str()), 0);
    EXPECT_EQ(ResolvePortName("COM1"), dir.File("COM1"));
    // A dangling link is still the port the user meant; opening it says what is wrong.
    ASSERT_EQ(symlink("/nonexistent/tty", dir.File("COM4").c_str()), 0);
    EXPECT_EQ(ResolvePortName("COM4"), dir.File("COM4"));
    EXPECT_EQ(ResolvePortName("com2"), "/dev/ttyS1");
    // Anything else is a path.
    EXPECT_EQ(ResolvePortName("COM0"), "COM0");
    EXPECT_EQ(ResolvePortName("COMX"), "COMX");
    EXPECT_EQ(ResolvePortName("/dev/ttyUSB0"), "/dev/ttyUSB0");
}

TEST(SerialDeviceOpen, IsExclusiveAndKeepsTheReason) {
    PtyPair pty;
    CSerialDevice first, second;
    ASSERT_TRUE(first.Open(pty.slavePath)) << first.LastError();
    EXPECT_FALSE(second.Open(pty.slavePath));
    EXPECT_NE(second.LastError().find(pty.slavePath), std::string::npos) << second.LastError();
    EXPECT_FALSE(second.IsOpen());

    // A plain flock on the device sees it busy too.
    const int other = open(pty.slavePath.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
    first.Close();
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    // And the other way round.
    EXPECT_FALSE(second.Open(pty.slavePath));
    close(other);
    EXPECT_TRUE(second.Open(pty.slavePath)) << second.LastError();
}

TEST(SerialDeviceOpen, MissingDeviceFailsWithTheOsReason) {
    CSerialDevice dev;
    EXPECT_FALSE(dev.Open("/nonexistent/ttyX"));
    EXPECT_NE(dev.LastError().find("No such file"), std::string::npos) << dev.LastError();
    EXPECT_FALSE(dev.IsOpen());
}

TEST(SerialDeviceSettings, NotATtyRefusesSettings) {
    CSerialDevice dev;
    ASSERT_TRUE(dev.Open("/dev/null"));
    const Result r = dev.SetRaw();
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, ENOTTY);
    EXPECT_EQ(r.reason, "/dev/null: " + std::string(strerror(ENOTTY)));
    EXPECT_FALSE(dev.SetParity(Parity::Even).ok);
    EXPECT_FALSE(dev.SetBaud(9600).ok);
    EXPECT_FALSE(dev.LastError().empty());
    dev.Close();
    EXPECT_FALSE(dev.IsOpen());
    EXPECT_EQ(dev.SetDataBits(8).error, EBADF);  // closed
}

TEST(SerialDeviceSettings, CustomAndStandardRatesReadBack) {
    PtyPair pty;
    CSerialDevice dev;
    ASSERT_TRUE(dev.Open(pty.slavePath));
    ASSERT_TRUE(dev.SetRaw().ok);
    for (uint32_t baud : {14400u, 28800u, 9600u, 230400u, 250000u, 921600u, 1000000u}) {
        ASSERT_TRUE(dev.SetBaud(baud).ok) << baud << ": " << dev.LastError();
        uint32_t back = 0;
        ASSERT_EQ(GetTtyBaud(dev.Fd(), back), 0);
        EXPECT_EQ(back, baud);
        uint32_t seen = 0;
        ASSERT_EQ(GetTtyBaud(pty.master, seen), 0);
        EXPECT_EQ(seen, baud);
        // A later change of another setting keeps the rate.
        ASSERT_TRUE(dev.SetParity(Parity::Odd).ok);
        ASSERT_EQ(GetTtyBaud(pty.master, seen), 0);
        EXPECT_EQ(seen, baud);
    }
}

TEST(SerialDeviceSettings, EachSetterChangesItsOwnSettingAndBadValuesAreRefused) {
    PtyPair pty;
    CSerialDevice dev;
    ASSERT_TRUE(dev.Open(pty.slavePath));
    ASSERT_TRUE(SetRawLine(dev, 19200)) << dev.LastError();
    ASSERT_TRUE(dev.SetDataBits(7).ok);
    ASSERT_TRUE(dev.SetParity(Parity::Mark).ok);
    ASSERT_TRUE(dev.SetStopBits(StopBits::Two).ok);
    // What the kernel was asked for ...
    const TtyModes& modes = dev.AppliedModes();
    EXPECT_EQ(modes.cflag & CSIZE, tcflag_t(CS7));
    EXPECT_EQ(modes.cflag & (PARENB | PARODD | CMSPAR), tcflag_t(PARENB | PARODD | CMSPAR));
    EXPECT_TRUE(modes.cflag & CSTOPB);
    // ... and what a pty keeps of it: no data bits, no parity enable, the rest.
    termios tio{};
    ASSERT_EQ(tcgetattr(pty.master, &tio), 0);
    EXPECT_EQ(tio.c_cflag & (PARODD | CMSPAR | CSTOPB), tcflag_t(PARODD | CMSPAR | CSTOPB));
    // A pty forcing 8 data bits does not make a later change fail.
    EXPECT_TRUE(dev.SetDataBits(6).ok) << dev.LastError();
    EXPECT_EQ(dev.AppliedModes().cflag & CSIZE, tcflag_t(CS6));
    const std::pair<Parity, tcflag_t> parities[] = {{Parity::None, 0},
                                                    {Parity::Odd, PARENB | PARODD},
                                                    {Parity::Even, PARENB},
                                                    {Parity::Space, PARENB | CMSPAR}};
    for (auto [parity, flags] : parities) {
        ASSERT_TRUE(dev.SetParity(parity).ok);
        EXPECT_EQ(dev.AppliedModes().cflag & (PARENB | PARODD | CMSPAR), flags);
        EXPECT_EQ(dev.AppliedModes().cflag & CSIZE, tcflag_t(CS6));  // the others stay
    }

    // Refused, with the setting and the reason; the line stays as it was.
    Result r = dev.SetDataBits(9);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, EINVAL);
    EXPECT_NE(r.reason.find("(9 data bits)"), std::string::npos) << r.reason;
    EXPECT_EQ(dev.AppliedModes().cflag & CSIZE, tcflag_t(CS6));
    r = dev.SetBaud(0);
    EXPECT_EQ(r.error, EINVAL);
    EXPECT_NE(r.reason.find("(0 baud)"), std::string::npos) << r.reason;
    EXPECT_EQ(dev.SetParity(static_cast<Parity>(9)).error, EINVAL);
    EXPECT_EQ(dev.SetStopBits(static_cast<StopBits>(3)).error, EINVAL);
    EXPECT_EQ(dev.SetFlowControl(static_cast<FlowControl>(3)).error, EINVAL);
}

// The flow control a port was last given stays with the tty, so a later open that leaves it
// alone (Xon/Xoff leaves the handshake, hardware the software flow) finds it there.
TEST(SerialDeviceSettings, FlowControlStaysWithTheTtyAcrossOpens) {
    PtyPair pty;
    {
        CSerialDevice dev;
        ASSERT_TRUE(dev.Open(pty.slavePath));
        ASSERT_TRUE(SetRawLine(dev, 9600));
        ASSERT_TRUE(dev.SetFlowControl(FlowControl::XonXoff).ok) << dev.LastError();
        // A pty has no modem lines: not an error.
        ASSERT_TRUE(dev.SetFlowControl(FlowControl::Hardware).ok) << dev.LastError();
    }
    CSerialDevice dev;
    ASSERT_TRUE(dev.Open(pty.slavePath));
    ASSERT_TRUE(dev.SetRaw().ok);
    EXPECT_EQ(dev.AppliedModes().iflag & (IXON | IXOFF), tcflag_t(IXON | IXOFF));
    EXPECT_EQ(dev.AppliedModes().vstart, 17);
    EXPECT_EQ(dev.AppliedModes().vstop, 19);
    EXPECT_TRUE(dev.AppliedModes().cflag & CRTSCTS);
    ASSERT_TRUE(dev.SetFlowControl(FlowControl::None).ok) << dev.LastError();
    termios tio{};
    ASSERT_EQ(tcgetattr(pty.master, &tio), 0);
    EXPECT_FALSE(tio.c_iflag & (IXON | IXOFF));
    EXPECT_FALSE(tio.c_cflag & CRTSCTS);
}

TEST(SerialDeviceIo, ReadsReturnAtOnceAndPurgeDropsInput) {
    PtyPair pty;
    CSerialDevice dev;
    ASSERT_TRUE(dev.Open(pty.slavePath));
    ASSERT_TRUE(SetRawLine(dev, 115200));
    char buf[16];
    EXPECT_EQ(dev.Read(buf, sizeof buf), 0);
    pty.Write("hello");
    ASSERT_TRUE(testutil::WaitFor([&] { return dev.QueuedInput() == 5; }));
    EXPECT_EQ(dev.Read(buf, sizeof buf), 5);
    EXPECT_EQ(std::string(buf, 5), "hello");
    pty.Write("again");
    ASSERT_TRUE(testutil::WaitFor([&] { return dev.QueuedInput() == 5; }));
    EXPECT_TRUE(dev.PurgeComm(PURGE_RXABORT | PURGE_RXCLEAR));
    EXPECT_EQ(dev.QueuedInput(), 0u);
    EXPECT_EQ(dev.Read(buf, sizeof buf), 0);
}

TEST(SerialDeviceIo, WriteIsBoundedByItsTimeLimitAndEndedByAbort) {
    PtyPair pty;
    CSerialDevice dev;
    ASSERT_TRUE(dev.Open(pty.slavePath));
    ASSERT_TRUE(SetRawLine(dev, 115200));
    FillOutputQueue(pty.slave);

    std::string bytes(100, 'x');
    auto start = Clock::now();
    EXPECT_LT(dev.Write(bytes.data(), 100, 150), 100);
    EXPECT_GE(MsSince(start), 140);

    // No limit: only Abort() ends it.
    std::atomic<int> result{-2};
    std::thread writer([&] { result = dev.Write(bytes.data(), 100); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(result.load(), -2);  // still blocked
    dev.Abort();
    writer.join();
    EXPECT_LT(result.load(), 100);
}

TEST(SerialDeviceWait, ReportsReceivedBytesMaskChangesAndAbort) {
    PtyPair pty;
    CSerialDevice dev;
    ASSERT_TRUE(dev.Open(pty.slavePath));
    ASSERT_TRUE(SetRawLine(dev, 115200));
    ASSERT_TRUE(dev.SetCommMask(EV_RXCHAR));

    // A mask change made before the wait does not end it; bytes do.
    pty.Write("a");
    uint32_t mask = 0;
    EXPECT_TRUE(dev.WaitCommEvent(mask));
    EXPECT_EQ(mask, EV_RXCHAR);
    char c;
    ASSERT_EQ(dev.Read(&c, 1), 1);

    // A mask change from another thread ends a pending wait with an empty mask.
    std::thread changer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        dev.SetCommMask(0);
    });
    mask = 123;
    EXPECT_TRUE(dev.WaitCommEvent(mask));
    EXPECT_EQ(mask, 0u);
    changer.join();

    ASSERT_TRUE(dev.SetCommMask(EV_RXCHAR));
    std::thread aborter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        dev.Abort();
    });
    mask = 123;
    EXPECT_TRUE(dev.WaitCommEvent(mask));
    EXPECT_EQ(mask, 0u);
    aborter.join();
    // Abort stays in force until the device is closed: later waits end at once.
    EXPECT_TRUE(dev.WaitCommEvent(mask));
    EXPECT_EQ(mask, 0u);
}

TEST(SerialDeviceWait, HungUpDeviceBacksOffInsteadOfSpinning) {
    PtyPair pty;
    CSerialDevice dev;
    ASSERT_TRUE(dev.Open(pty.slavePath));
    ASSERT_TRUE(SetRawLine(dev, 115200));
    ASSERT_TRUE(dev.SetCommMask(EV_RXCHAR));
    close(pty.slave);
    pty.slave = -1;
    pty.CloseMaster();

    int returns = 0;
    const auto start = Clock::now();
    while (MsSince(start) < 600) {
        uint32_t mask = 0;
        dev.WaitCommEvent(mask);
        EXPECT_EQ(mask, 0u);
        ++returns;
    }
    EXPECT_LE(returns, 10);  // about one return per 200 ms back-off

    // Closing still ends a wait on the hung-up device at once.
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        dev.SetCommMask(0);
    });
    uint32_t mask = 0;
    EXPECT_TRUE(dev.WaitCommEvent(mask));
    closer.join();
}
