// CSerialPort on pty pairs: the program opens the slave, the test plays the device on the master.
// On Linux the master answers tcgetattr/TCGETS2 with the slave's settings, which is what the
// device side checks below.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "display/RingBuffer.h"
#include "platform/Paths.h"
#include "platform/Retirer.h"
#include "platform/SerialBaud.h"
#include "serial/SerialPort.h"
#include "support/TestUtil.h"

using namespace platform;
using testutil::PtyPair;

namespace {

using Clock = std::chrono::steady_clock;

// Stands in for the serial console. The hooks run on the receive thread, before each chunk is
// stored; the burst tests use them to let the kernel move every byte of a burst into the
// port's input queue before the next read.
class FakeReceiver : public ISerialReceiver {
public:
    CRingBuffer& SerialRing() override {
        Note();
        if (beforeChunk)
            beforeChunk();
        std::lock_guard lock(mutex);
        ++ringChunks;
        return ring;
    }
    void PostCommRead() override {
        Note();
        std::lock_guard lock(mutex);
        ++posts;
    }
    bool CaptureArmed() override { return armed.load(); }
    void ReceiveThreadFailed(const std::string& text) override {
        std::lock_guard lock(mutex);
        failures.push_back(text);
    }
    void CaptureSerialChunk(const unsigned char* bytes, int n) override {
        Note();
        if (beforeChunk)
            beforeChunk();
        std::lock_guard lock(mutex);
        captureChunks.push_back(n);
        captured.append(reinterpret_cast<const char*>(bytes), static_cast<size_t>(n));
    }

    int Posts() {
        std::lock_guard lock(mutex);
        return posts;
    }
    int RingChunks() {
        std::lock_guard lock(mutex);
        return ringChunks;
    }
    std::string Captured() {
        std::lock_guard lock(mutex);
        return captured;
    }
    std::vector<int> CaptureChunks() {
        std::lock_guard lock(mutex);
        return captureChunks;
    }
    std::string RingContent() {
        unsigned char out[RING_BUFFER_CAPACITY];
        int n = ring.Snapshot(out);
        return std::string(reinterpret_cast<const char*>(out), static_cast<size_t>(n));
    }

    std::vector<std::string> Failures() {
        std::lock_guard lock(mutex);
        return failures;
    }

    std::function<void()> beforeChunk;
    std::atomic<pid_t> threadId{0};
    std::atomic<bool> armed{false};

private:
    void Note() { threadId = static_cast<pid_t>(syscall(SYS_gettid)); }

    std::mutex mutex;
    CRingBuffer ring;
    int posts = 0;
    int ringChunks = 0;
    std::vector<int> captureChunks;
    std::string captured;
    std::vector<std::string> failures;
};

// Waits (at most 2 s) until the port's input queue has stopped growing for 50 ms: the kernel
// then holds every byte of the burst that fits, so the next reads see them all.
void WaitForQueueToSettle(CSerialPort& port) {
    const auto end = Clock::now() + std::chrono::seconds(2);
    uint32_t last = port.Device().QueuedInput();
    auto stableSince = Clock::now();
    while (Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const uint32_t now = port.Device().QueuedInput();
        if (now != last) {
            last = now;
            stableSince = Clock::now();
        } else if (Clock::now() - stableSince >= std::chrono::milliseconds(50)) {
            return;
        }
    }
}

std::string Pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>(i % 251);
    return s;
}

// utime + stime of one thread of this process, in clock ticks.
long ThreadCpuTicks(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Fields after the command name, which is in parentheses and may hold spaces.
    std::istringstream rest(content.substr(content.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; rest >> field; ++i) {
        if (i == 14)
            utime = std::stol(field);
        if (i == 15) {
            stime = std::stol(field);
            break;
        }
    }
    return utime + stime;
}

termios MasterView(const PtyPair& pty) {
    termios tio{};
    EXPECT_EQ(tcgetattr(pty.master, &tio), 0);
    return tio;
}

LineSettings Line(uint32_t baud = 115200, int dataBits = 8, StopBits stopBits = StopBits::One,
                  Parity parity = Parity::None, FlowControl flow = FlowControl::None) {
    LineSettings s;
    s.baud = baud;
    s.dataBits = dataBits;
    s.stopBits = stopBits;
    s.parity = parity;
    s.flow = flow;
    return s;
}

int OpenPty(CSerialPort& port, const PtyPair& pty, uint32_t baud = 115200, int dataBits = 8,
            StopBits stopBits = StopBits::One, Parity parity = Parity::None,
            FlowControl flow = FlowControl::None) {
    return port.Open(pty.slavePath, Line(baud, dataBits, stopBits, parity, flow));
}

}  // namespace

// --- Settings as the device sees them -----------------------------------------------------

TEST(SerialPortSettings, WriteMultiplierFollowsTheBaudRate) {
    const std::pair<uint32_t, uint32_t> table[] = {
        {2400, 8},  {4800, 4},  {9600, 2},  {14400, 1},  {19200, 1},
        {28800, 0}, {38400, 0}, {57600, 0}, {115200, 0}, {230400, 0},
    };
    for (auto [baud, multiplier] : table)
        EXPECT_EQ(WriteMultiplierForBaud(baud), multiplier) << baud;
    EXPECT_EQ(WriteMultiplierForBaud(0), 0u);
}

TEST(SerialPortSettings, EveryListedBaudRateReachesTheDevice) {
    PtyPair pty;
    for (uint32_t baud :
         {2400u, 4800u, 9600u, 14400u, 19200u, 28800u, 38400u, 57600u, 115200u, 230400u}) {
        CSerialPort port;
        ASSERT_EQ(OpenPty(port, pty, baud), 1) << baud << ": " << port.LastError();
        uint32_t seen = 0;
        ASSERT_EQ(GetTtyBaud(pty.master, seen), 0);
        EXPECT_EQ(seen, baud);
        port.Close();
    }
}

TEST(SerialPortSettings, DataBitsParityAndStopBitsReachTheDevice) {
    PtyPair pty;
    // A pty always reports CS8 and no PARENB whatever it was given, so data bits and parity
    // enable are checked in what the port handed to the kernel; the rest at the device side.
    const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    for (int bits : {5, 6, 7, 8}) {
        CSerialPort port;
        ASSERT_EQ(OpenPty(port, pty, 9600, bits), 1) << port.LastError();
        EXPECT_EQ(port.Device().AppliedModes().cflag & CSIZE, sizes[bits - 5]) << bits;
    }
    const std::pair<Parity, tcflag_t> parities[] = {
        {Parity::None, 0}, {Parity::Odd, PARENB | PARODD}, {Parity::Even, PARENB}};
    for (auto [parity, flags] : parities) {
        CSerialPort port;
        ASSERT_EQ(OpenPty(port, pty, 9600, 8, StopBits::One, parity), 1) << port.LastError();
        EXPECT_EQ(port.Device().AppliedModes().cflag & (PARENB | PARODD | CMSPAR), flags);
        EXPECT_EQ(MasterView(pty).c_cflag & (PARODD | CMSPAR), flags & PARODD)
            << static_cast<int>(parity);
    }
    for (StopBits stop : {StopBits::Two, StopBits::One}) {
        CSerialPort port;
        ASSERT_EQ(OpenPty(port, pty, 9600, 8, stop), 1) << port.LastError();
        EXPECT_EQ((MasterView(pty).c_cflag & CSTOPB) != 0, stop == StopBits::Two);
    }
    // Raw line, reads that return at once.
    CSerialPort port;
    ASSERT_EQ(OpenPty(port, pty), 1);
    const termios tio = MasterView(pty);
    EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_FALSE(tio.c_oflag & OPOST);
    EXPECT_FALSE(tio.c_iflag & (ICRNL | INLCR | ISTRIP));
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
}

TEST(SerialPortSettings, FlowControlModes) {
    PtyPair pty;
    CSerialPort port;
    ASSERT_EQ(OpenPty(port, pty, 9600, 8, StopBits::One, Parity::None, FlowControl::XonXoff), 1);
    termios tio = MasterView(pty);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), tcflag_t(IXON | IXOFF));
    EXPECT_EQ(tio.c_cc[VSTART], 17);
    EXPECT_EQ(tio.c_cc[VSTOP], 19);
    EXPECT_FALSE(tio.c_cflag & CRTSCTS);
    port.Close();

    // Hardware changes only the RTS/CTS handshake: the software flow stays as it was.
    ASSERT_EQ(OpenPty(port, pty, 9600, 8, StopBits::One, Parity::None, FlowControl::Hardware), 1);
    tio = MasterView(pty);
    EXPECT_TRUE(tio.c_cflag & CRTSCTS);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), tcflag_t(IXON | IXOFF));
    port.Close();

    // And Xon/Xoff leaves the handshake as the tty keeps it.
    ASSERT_EQ(OpenPty(port, pty, 9600, 8, StopBits::One, Parity::None, FlowControl::XonXoff), 1);
    EXPECT_TRUE(MasterView(pty).c_cflag & CRTSCTS);
    port.Close();

    // None clears both, and the start and stop characters.
    ASSERT_EQ(OpenPty(port, pty, 9600, 8, StopBits::One, Parity::None, FlowControl::None), 1);
    tio = MasterView(pty);
    EXPECT_FALSE(tio.c_cflag & CRTSCTS);
    EXPECT_FALSE(tio.c_iflag & (IXON | IXOFF));
    EXPECT_EQ(tio.c_cc[VSTART], 0);
    EXPECT_EQ(tio.c_cc[VSTOP], 0);
    port.Close();
}

// Settings that no line can take are refused before the device is touched: the port stays
// closed and says what is wrong.
TEST(SerialPortSettings, InvalidSettingsAreRefusedBeforeTheDeviceOpens) {
    PtyPair pty;
    CSerialPort port;
    const LineSettings bad[] = {
        Line(0),
        Line(9600, 9),
        Line(9600, 8, static_cast<StopBits>(5)),
        Line(9600, 8, StopBits::One, static_cast<Parity>(9)),
        Line(9600, 8, StopBits::One, Parity::None, static_cast<FlowControl>(7)),
    };
    for (const LineSettings& s : bad) {
        EXPECT_EQ(port.Open(pty.slavePath, s), 0) << s.Compact();
        EXPECT_EQ(port.LastErrno(), EINVAL);
        EXPECT_EQ(port.LastError().rfind(pty.slavePath + ": ", 0), 0u) << port.LastError();
        EXPECT_FALSE(port.Device().IsOpen());
        EXPECT_EQ(port.m_bOpen.load(), 0);
    }
    EXPECT_EQ(OpenPty(port, pty), 1) << port.LastError();
}

// --- Opening and closing ---------------------------------------------------------------------

TEST(SerialPortOpen, ComNameOpensTheDeviceLinkedInTheProgramDirectory) {
    PtyPair pty;
    testutil::TempDir dir;
    ASSERT_EQ(symlink(pty.slavePath.c_str(), dir.File("COM3").c_str()), 0);
    CSerialPort port;
    port.Device().SetPortMap(PortMap(dir.File("Vaskel.conf"), dir.path));
    ASSERT_EQ(port.Open("COM3", Line(9600)), 1) << port.LastError();
    EXPECT_EQ(port.m_strPortName, "COM3");
    EXPECT_EQ(port.Device().DevicePath(), dir.File("COM3"));
    EXPECT_EQ(port.Write("via link", 8), 8u);
    EXPECT_EQ(pty.Read(8), "via link");
    // The lock sits on the device itself, not on the link.
    const int other = open(pty.slavePath.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
    close(other);
    port.Close();
}

TEST(SerialPortOpen, SecondOpenOfTheSameDeviceFails) {
    PtyPair pty;
    CSerialPort first, second;
    ASSERT_EQ(OpenPty(first, pty), 1);
    EXPECT_EQ(OpenPty(second, pty), 0);
    EXPECT_EQ(second.m_bOpen.load(), 0);
    EXPECT_FALSE(second.Device().IsOpen());
    EXPECT_FALSE(second.LastError().empty());
    first.Close();
    EXPECT_EQ(OpenPty(second, pty), 1) << second.LastError();
}

TEST(SerialPortOpen, DeviceLockedByAnotherProgramFails) {
    PtyPair pty;
    const int other = open(pty.slavePath.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    CSerialPort port;
    EXPECT_EQ(OpenPty(port, pty), 0);
    EXPECT_EQ(port.m_bOpen.load(), 0);
    close(other);
    EXPECT_EQ(OpenPty(port, pty), 1) << port.LastError();
}

TEST(SerialPortOpen, RefusedSettingsLeaveThePortClosedAndALaterOpenWorks) {
    CSerialPort port;
    const int fdsBefore = testutil::OpenFdCount();
    EXPECT_EQ(port.Open("/dev/null", Line(9600)), 0);
    EXPECT_EQ(port.m_bOpen.load(), 0);
    EXPECT_FALSE(port.Device().IsOpen());
    EXPECT_FALSE(port.m_hReceiveThread.joinable());
    EXPECT_FALSE(port.LastError().empty());
    EXPECT_EQ(port.Open("/nonexistent/tty", Line(9600)), 0);
    EXPECT_NE(port.LastError().find("No such file"), std::string::npos) << port.LastError();
    EXPECT_EQ(testutil::OpenFdCount(), fdsBefore);

    PtyPair pty;
    ASSERT_EQ(OpenPty(port, pty), 1) << port.LastError();
    EXPECT_EQ(port.Write("ok", 2), 2u);
    EXPECT_EQ(pty.Read(2), "ok");
}

TEST(SerialPortOpen, ReopenAndDestructionLeaveNoThreadBehind) {
    PtyPair pty;
    FakeReceiver receiver;
    {
        CSerialPort port(&receiver);
        for (int i = 0; i < 3; ++i) {
            ASSERT_EQ(OpenPty(port, pty), 1);
            EXPECT_TRUE(port.ReceiveThreadRunning());
            port.Close();
            EXPECT_FALSE(port.m_hReceiveThread.joinable());
            EXPECT_FALSE(port.ReceiveThreadRunning());
        }
        ASSERT_EQ(OpenPty(port, pty), 1);
    }  // destroyed while open
    CSerialPort again;
    EXPECT_EQ(OpenPty(again, pty), 1);
}

TEST(SerialPortOpen, ReceiveThreadSetUpFailureIsReported) {
    FakeReceiver receiver;
    CSerialDevice closed;
    // The device is not open, so the side has no descriptor of its own and the thread cannot
    // set its event mask.
    auto side = std::make_shared<SerialReceiveSide>(closed, "COM7", &receiver, nullptr);
    uint32_t exitCode = 99;
    std::thread thread([&] { exitCode = CSerialPort::ThreadWatchComm(side); });
    thread.join();
    EXPECT_EQ(exitCode, 0u);
    ASSERT_EQ(receiver.Failures().size(), 1u);
    EXPECT_EQ(receiver.Failures()[0], "Error while creating ThreadWatchComm, COM7");
}

// --- Receiving -----------------------------------------------------------------------------

TEST(SerialPortReceive, BurstArrivesInOrderWithOneNotification) {
    PtyPair pty;
    FakeReceiver receiver;
    CSerialPort port(&receiver);
    receiver.beforeChunk = [&] { WaitForQueueToSettle(port); };
    ASSERT_EQ(OpenPty(port, pty), 1);
    const std::string burst = Pattern(5000);
    pty.Write(burst);  // one write: the whole burst is in the kernel before the thread reads
    ASSERT_TRUE(testutil::WaitFor([&] { return receiver.Posts() >= 1; }));
    testutil::Pump(100);
    EXPECT_EQ(receiver.Posts(), 1);
    EXPECT_GE(receiver.RingChunks(), 3);  // at most 2048 bytes a read
    // The ring keeps the newest 2047 bytes, in order.
    EXPECT_EQ(receiver.RingContent(), burst.substr(5000 - RING_BUFFER_CAPACITY));
}

TEST(SerialPortReceive, ArmedCaptureGetsEveryChunkAndNoNotification) {
    PtyPair pty;
    FakeReceiver receiver;
    CSerialPort port(&receiver);
    receiver.beforeChunk = [&] { WaitForQueueToSettle(port); };
    ASSERT_EQ(OpenPty(port, pty), 1);
    receiver.armed = true;
    const std::string burst = Pattern(5000);
    pty.Write(burst);
    ASSERT_TRUE(testutil::WaitFor([&] { return receiver.Captured().size() == burst.size(); }));
    EXPECT_EQ(receiver.Captured(), burst);
    for (int n : receiver.CaptureChunks()) {
        EXPECT_GT(n, 0);
        EXPECT_LE(n, static_cast<int>(SERIAL_READ_CHUNK));
    }
    EXPECT_EQ(receiver.Posts(), 0);
    EXPECT_EQ(receiver.RingChunks(), 0);
}

TEST(SerialPortReceive, EventWithNothingToReadPostsNothingAndAShutSideReadsNothing) {
    // The drain step on its own, on a receive side without a thread.
    PtyPair pty;
    FakeReceiver receiver;
    CSerialDevice device;
    ASSERT_TRUE(device.Open(pty.slavePath));
    SerialReceiveSide side(device, "COM1", &receiver, nullptr);
    ASSERT_TRUE(side.Device().IsOpen());
    EXPECT_NE(side.Device().Fd(), device.Fd());  // a descriptor of its own
    EXPECT_EQ(side.DrainReceiveEvent(), 0u);
    EXPECT_EQ(receiver.Posts(), 0);
    EXPECT_EQ(receiver.RingChunks(), 0);

    uint8_t buf[4];
    EXPECT_EQ(side.Read(buf, sizeof buf), 0u);  // empty queue: no read issued

    pty.Write("abc");
    ASSERT_TRUE(testutil::WaitFor([&] { return device.QueuedInput() == 3; }));
    EXPECT_EQ(side.DrainReceiveEvent(), 3u);
    EXPECT_EQ(receiver.Posts(), 1);
    EXPECT_EQ(receiver.RingContent(), "abc");

    // Shut (the port closed): what arrives now is neither read nor told; it stays queued for
    // whoever opens the device next.
    side.Shut();
    pty.Write("late");
    ASSERT_TRUE(testutil::WaitFor([&] { return device.QueuedInput() == 4; }));
    EXPECT_EQ(side.DrainReceiveEvent(), 0u);
    EXPECT_EQ(device.QueuedInput(), 4u);
    EXPECT_EQ(receiver.Posts(), 1);
    EXPECT_EQ(receiver.RingContent(), "abc");
}

// A receive thread that is still ending after Close (a retirer ends it) holds a descriptor of
// its own: the device opens again at once, and the new open's bytes go to the new open only.
TEST(SerialPortReceive, ThreadStillEndingDoesNotHoldTheDeviceOrReadTheNextOpen) {
    PtyPair pty;
    FakeReceiver oldReceiver, receiver;
    CSerialPort port(&receiver);
    ASSERT_EQ(OpenPty(port, pty), 1);
    // Stands in for the closed open's thread, which has not ended yet.
    auto lingering =
        std::make_shared<SerialReceiveSide>(port.Device(), "COM1", &oldReceiver, nullptr);
    ASSERT_TRUE(lingering->Device().IsOpen());
    port.Close();
    lingering->Shut();

    ASSERT_EQ(OpenPty(port, pty), 1) << port.LastError();  // no lock left behind
    CSerialPort other;
    EXPECT_EQ(OpenPty(other, pty), 0);  // the new open holds the device as its own
    pty.Write("new");
    ASSERT_TRUE(testutil::WaitFor([&] { return receiver.Posts() == 1; }));
    EXPECT_EQ(receiver.RingContent(), "new");
    EXPECT_EQ(lingering->DrainReceiveEvent(), 0u);
    EXPECT_EQ(oldReceiver.Posts() + oldReceiver.RingChunks(), 0);
}

// With a retirer, Close hands the receive thread on: the port opens again at once, every open
// gets exactly its own bytes, a chunk being stored when Close comes is finished and nothing
// is told after, and the retired threads end and close their descriptors.
TEST(SerialPortReceive, CloseWithARetirerLeavesNothingBehindAndTellsNothingLate) {
    PtyPair pty;
    platform::Retirer retirer;
    FakeReceiver receiver;
    const int fdsBefore = testutil::OpenFdCount();
    {
        CSerialPort port(&receiver);
        port.SetRetirer(&retirer);
        std::string expected;
        for (int i = 0; i < 10; ++i) {
            ASSERT_EQ(OpenPty(port, pty), 1) << i << ": " << port.LastError();
            const std::string line = "open " + std::to_string(i) + ";";
            const int posts = receiver.Posts();
            pty.Write(line);
            expected += line;
            ASSERT_TRUE(testutil::WaitFor([&] { return receiver.Posts() > posts; }));
            ASSERT_TRUE(testutil::WaitFor([&] { return receiver.RingContent() == expected; }));
            port.Close();
            EXPECT_FALSE(port.m_hReceiveThread.joinable());
            EXPECT_FALSE(port.ReceiveThreadRunning());
        }

        // Close while the thread is storing a chunk.
        std::atomic<bool> storing{false}, release{false};
        receiver.beforeChunk = [&] {
            storing = true;
            while (!release)
                std::this_thread::yield();
        };
        ASSERT_EQ(OpenPty(port, pty), 1);
        pty.Write("x");
        ASSERT_TRUE(testutil::WaitFor([&] { return storing.load(); }));
        std::thread closer([&] { port.Close(); });
        release = true;
        closer.join();
        receiver.beforeChunk = nullptr;
        const int posts = receiver.Posts();
        const int chunks = receiver.RingChunks();
        EXPECT_EQ(receiver.RingContent(), expected + "x");  // the chunk was finished
        pty.Write("after close");
        testutil::Pump(200);
        EXPECT_EQ(receiver.Posts(), posts);
        EXPECT_EQ(receiver.RingChunks(), chunks);

        ASSERT_EQ(OpenPty(port, pty), 1);
    }  // destroyed while open: its thread goes to the retirer too
    EXPECT_TRUE(retirer.WaitIdle(std::chrono::seconds(2)));
    EXPECT_EQ(testutil::OpenFdCount(), fdsBefore);
}

TEST(SerialPortReceive, CloseWhileTheThreadWaitsEndsIt) {
    PtyPair pty;
    FakeReceiver receiver;
    CSerialPort port(&receiver);
    ASSERT_EQ(OpenPty(port, pty), 1);
    pty.Write("x");
    ASSERT_TRUE(testutil::WaitFor([&] { return receiver.Posts() == 1; }));
    // The thread is back in its wait now.
    const auto start = Clock::now();
    port.Close();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
    EXPECT_FALSE(port.ReceiveThreadRunning());
    EXPECT_FALSE(port.m_hReceiveThread.joinable());
    EXPECT_FALSE(port.Device().IsOpen());
    EXPECT_EQ(receiver.Posts(), 1);
}

TEST(SerialPortReceive, HungUpDeviceDoesNotMakeTheThreadSpin) {
    PtyPair pty;
    FakeReceiver receiver;
    CSerialPort port(&receiver);
    ASSERT_EQ(OpenPty(port, pty), 1);
    pty.Write("x");
    ASSERT_TRUE(testutil::WaitFor([&] { return receiver.Posts() == 1; }));
    const pid_t tid = receiver.threadId.load();
    ASSERT_NE(tid, 0);

    close(pty.slave);
    pty.slave = -1;
    pty.CloseMaster();
    const long before = ThreadCpuTicks(tid);
    testutil::Pump(1000);
    const long used = ThreadCpuTicks(tid) - before;
    EXPECT_LT(used, 10) << "receive thread used " << used << " ticks in one second";
    EXPECT_EQ(receiver.Posts(), 1);

    const auto start = Clock::now();
    port.Close();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
}

// --- Writing -------------------------------------------------------------------------------

TEST(SerialPortWrite, ClosedPortWritesNothing) {
    CSerialPort port;
    EXPECT_EQ(port.Write("abc", 3), 0u);
    PtyPair pty;
    ASSERT_EQ(OpenPty(port, pty), 1);
    port.Close();
    EXPECT_EQ(port.Write("abc", 3), 0u);
    EXPECT_EQ(pty.Read(1, 100), "");
}

TEST(SerialPortWrite, ConcurrentWritesArriveUnmixed) {
    PtyPair pty;
    CSerialPort port;
    ASSERT_EQ(OpenPty(port, pty), 1);
    constexpr size_t kBlock = 3000;
    constexpr int kBlocksEach = 20;
    auto writer = [&](char fill) {
        const std::string block(kBlock, fill);
        for (int i = 0; i < kBlocksEach; ++i)
            EXPECT_EQ(port.Write(block.data(), kBlock), kBlock);
    };
    std::thread a(writer, 'A');
    std::thread b(writer, 'B');
    const std::string got = pty.Read(2 * kBlock * kBlocksEach, 10000);
    a.join();
    b.join();
    ASSERT_EQ(got.size(), 2 * kBlock * kBlocksEach);
    for (size_t at = 0; at < got.size(); at += kBlock)
        EXPECT_EQ(got.substr(at, kBlock), std::string(kBlock, got[at])) << "block at " << at;
}

// A bounded write (a console send) gives up while another writer (a file-send worker) holds
// the port, writing nothing; once that writer is done the port takes the next write.
TEST(SerialPortWrite, BoundedWriteGivesUpWhileAnotherWriterHoldsThePort) {
    PtyPair pty;
    CSerialPort port;
    ASSERT_EQ(OpenPty(port, pty, 115200), 1);  // no write time limit at this rate
    platform::AbortSignal stopHolder;
    std::atomic<bool> holderDone{false};
    const std::string big(1 << 20, 'z');  // far more than the pty holds; the master never reads
    std::thread holder([&] {
        port.Write(big.data(), static_cast<uint32_t>(big.size()), -1, &stopHolder);
        holderDone = true;
    });
    ASSERT_TRUE(testutil::WaitFor([&] {
        int queued = 0;
        return ioctl(pty.master, FIONREAD, &queued) == 0 && queued > 0;
    }));
    for (int waitMs : {0, 50}) {
        EXPECT_EQ(port.Write("B", 1, waitMs), 0u) << waitMs;
        EXPECT_FALSE(holderDone.load());  // it returned while the holder still held the port
    }
    stopHolder.Raise();
    holder.join();
    const std::string held = pty.Read(big.size(), 300);
    EXPECT_EQ(held.find_first_not_of('z'), std::string::npos);
    EXPECT_EQ(port.Write("ok", 2, 1000), 2u);
    EXPECT_EQ(pty.Read(2), "ok");
}

TEST(SerialPortWrite, CloseEndsAWriteTheDeviceDoesNotTake) {
    PtyPair pty;
    CSerialPort port;
    ASSERT_EQ(OpenPty(port, pty, 115200), 1);  // no write time limit at this rate
    std::atomic<uint32_t> written{~0u};
    const std::string big(1 << 20, 'z');  // far more than the pty holds; the master never reads
    std::thread writer(
        [&] { written = port.Write(big.data(), static_cast<uint32_t>(big.size())); });
    ASSERT_TRUE(testutil::WaitFor([&] { return port.Device().IsOpen(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(written.load(), ~0u);  // still blocked
    port.Close();
    writer.join();
    EXPECT_LT(written.load(), big.size());
}
