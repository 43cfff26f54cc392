// The serial console without a window: open and close with their results, received bytes and
// their signal, typed lines on the wire.
#include "serial/SerialConsole.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <thread>

#include "support/TestUtil.h"

namespace {

// 115200 8N1, no flow control.
LineSettings PtySettings() {
    LineSettings s;
    s.baud = 115200;
    return s;
}

std::string History(CRingBuffer& ring) {
    unsigned char out[RING_BUFFER_CAPACITY];
    const int n = ring.Snapshot(out);
    return std::string(reinterpret_cast<const char*>(out), static_cast<size_t>(n));
}

// Clock ticks (user + system) a thread of this process has used.
long ThreadCpuTicks(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (content.empty())
        return 0;
    std::istringstream rest(content.substr(content.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int i = 3; rest >> field && i <= 15; ++i)
        if (i == 14 || i == 15)
            ticks += std::stol(field);
    return ticks;
}

}  // namespace

// Open refuses what is no usable port at once, with the user's text, the OS's reason, errno and
// what to check: a missing path, a directory, a port another program holds with a lock, a plain
// file, /dev/null.
TEST(SerialConsoleEngine, OpenResultsCarryTheTextTheReasonAndErrno) {
    testutil::TempDir dir;
    struct Case {
        std::string path;
        int error;
        const char* reason;
        const char* hint;  // a part of the hint
    };
    // A port that another program holds with a lock, and files that are no serial device.
    testutil::PtyPair held;
    testutil::ChildProcess holder;
    ASSERT_TRUE(holder.Start({"flock", "-n", held.slavePath, "sleep", "30"}));
    ASSERT_TRUE(testutil::WaitFor([&] {
        const int fd = open(held.slavePath.c_str(), O_RDWR | O_NOCTTY);
        const bool taken = flock(fd, LOCK_EX | LOCK_NB) != 0;
        ::close(fd);
        return taken;
    }));
    testutil::WriteFile(dir.File("plain"), "not a tty");
    const Case cases[] = {
        {dir.File("missing"), ENOENT, "No such file or directory", ""},
        {dir.path, EISDIR, "Is a directory", ""},
        {held.slavePath, EBUSY, "Device or resource busy", "is in use by flock (pid "},
        {dir.File("plain"), ENOTTY, "Inappropriate ioctl for device", ""},
        {"/dev/null", ENOTTY, "Inappropriate ioctl for device", ""},
    };
    SerialConsole console;
    for (const Case& c : cases) {
        const auto start = std::chrono::steady_clock::now();
        const platform::Result r = console.Open(c.path, PtySettings());
        EXPECT_LT(testutil::MsSince(start), 1000) << c.path;
        EXPECT_FALSE(r.ok) << c.path;
        EXPECT_EQ(r.text, "Can't open PORT");
        EXPECT_NE(r.reason.find(c.reason), std::string::npos) << r.reason;
        EXPECT_EQ(r.error, c.error) << c.path;
        EXPECT_NE(r.hint.find(c.hint), std::string::npos) << r.hint;
        EXPECT_FALSE(console.IsOpen());
    }
    EXPECT_FALSE(console.Send("x").ok);  // closed: nothing is written
}

TEST(SerialConsoleEngine, ReceivesAnnouncesSendsAndClears) {
    testutil::PtyPair pty;
    SerialConsole console;
    // received() is emitted on the receive thread, and this connection runs the slot there.
    std::atomic<int> announced{0};
    QObject::connect(&console, &SerialConsole::received, [&] { ++announced; });
    ASSERT_TRUE(console.Open(pty.slavePath, PtySettings()).ok);
    EXPECT_TRUE(console.IsOpen());
    pty.Write("hello");
    ASSERT_TRUE(testutil::WaitFor([&] { return History(console.Ring()) == "hello"; }));
    EXPECT_TRUE(testutil::WaitFor([&] { return announced >= 1; }));

    // Escapes decoded, nothing trimmed.
    EXPECT_TRUE(console.Send("AT\\x0D\\x0a ").ok);
    EXPECT_EQ(pty.Read(5), "AT\r\n ");

    console.Clear();
    EXPECT_EQ(console.Ring().GetCount(), 0);
    int closing = 0;
    QObject::connect(&console, &SerialConsole::aboutToClose, [&] { ++closing; });
    console.Close();
    EXPECT_EQ(closing, 1);
    EXPECT_FALSE(console.IsOpen());
    console.Close();  // closing a closed console announces nothing
    EXPECT_EQ(closing, 1);
}

// The device goes away (the pty's master closes, as when the process behind it dies or a USB
// adapter is unplugged), idle or in the middle of a stream: the receive thread reports it and
// then sleeps, the console closes the port and says portLost once, and the port opens again
// once a device is back at the same link.
TEST(SerialConsoleEngine, AVanishedDeviceClosesThePortAndIsReported) {
    using Clock = std::chrono::steady_clock;
    for (const bool streaming : {false, true}) {
        SCOPED_TRACE(streaming ? "while data flows" : "idle");
        testutil::TempDir dir;
        const std::string link = dir.File("COM1");
        auto pty = std::make_unique<testutil::PtyPair>();
        ASSERT_EQ(symlink(pty->slavePath.c_str(), link.c_str()), 0);
        SerialConsole console;
        std::atomic<pid_t> tid{0};
        QObject::connect(
            &console, &SerialConsole::received, &console,
            [&] { tid.store(static_cast<pid_t>(syscall(SYS_gettid))); }, Qt::DirectConnection);
        std::vector<std::string> lost;
        QObject::connect(&console, &SerialConsole::portLost,
                         [&](const QString& reason) { lost.push_back(reason.toStdString()); });
        ASSERT_TRUE(console.Open(link, PtySettings()).ok);
        pty->Write("x");
        ASSERT_TRUE(testutil::WaitFor([&] { return tid.load() != 0; }));

        const auto start = Clock::now();
        if (streaming) {
            // The device dies while writing without a pause.
            std::thread device([&] {
                const std::string chunk(4096, 's');
                for (int i = 0; i < 64; ++i)
                    if (::write(pty->master, chunk.data(), chunk.size()) < 0)
                        break;
                pty->CloseMaster();
            });
            device.join();
        } else {
            pty->CloseMaster();
        }
        if (!streaming) {
            // Before the console gets to close the port (no events are processed here), the
            // receive thread has reported the loss and uses no CPU.
            std::this_thread::sleep_for(std::chrono::milliseconds(700));
            const long before = ThreadCpuTicks(tid.load());
            std::this_thread::sleep_for(std::chrono::seconds(1));
            const long used = ThreadCpuTicks(tid.load()) - before;
            EXPECT_LT(used, 10) << "receive thread used " << used << " ticks in one second";
        }
        ASSERT_TRUE(testutil::WaitFor([&] { return !lost.empty(); }, 2500));
        EXPECT_LT(testutil::MsSince(start), streaming ? 2000 : 3000);
        EXPECT_EQ(lost, std::vector<std::string>{"device hung up"});
        EXPECT_FALSE(console.IsOpen());
        EXPECT_FALSE(console.Port().Device().IsOpen());
        EXPECT_FALSE(console.Port().m_hReceiveThread.joinable());
        EXPECT_FALSE(console.Send("x").ok);

        // The device comes back under the same link: Open works again.
        pty = std::make_unique<testutil::PtyPair>();
        ASSERT_EQ(unlink(link.c_str()), 0);
        ASSERT_EQ(symlink(pty->slavePath.c_str(), link.c_str()), 0);
        ASSERT_TRUE(console.Open(link, PtySettings()).ok);
        pty->Write("back");
        EXPECT_TRUE(testutil::WaitFor([&] { return History(console.Ring()) == "back"; }));
        EXPECT_TRUE(console.Send("ok").ok);
        EXPECT_EQ(pty->Read(2), "ok");
        testutil::Pump(600);
        EXPECT_EQ(lost.size(), 1u);  // the earlier open's loss never closes the new one
        EXPECT_TRUE(console.IsOpen());
    }
}

// The device never reads (the pty's master takes nothing, as a port held by flow control): once
// the output queue is full a console send gives up within its bound and says so, instead of
// holding the UI thread.
TEST(SerialConsoleEngine, SendingToAPortThatDoesNotTakeTheBytesIsBounded) {
    testutil::PtyPair pty;
    SerialConsole console;
    ASSERT_TRUE(console.Open(pty.slavePath, PtySettings()).ok);  // 115200 baud: no write limit
    // A send that waits for ever is ended by closing the master.
    const std::string line(1000, 'x');
    const auto run = testutil::SendUntilRefused<platform::Result>(
        1000, [&] { return console.Send(line); }, [&] { pty.CloseMaster(); });
    const platform::Result& last = run.last;
    ASSERT_TRUE(run.returned) << "a send waited for a port that does not take the bytes";
    EXPECT_FALSE(last.ok);
    EXPECT_EQ(last.text, "The device did not take the whole line");
    EXPECT_EQ(last.error, EAGAIN);
    EXPECT_NE(last.reason.find(" of 1000 bytes were written to " + pty.slavePath + " within " +
                               std::to_string(SERIAL_CONSOLE_SEND_MS) + " ms."),
              std::string::npos)
        << last.reason;
    EXPECT_TRUE(console.IsOpen());
}

// Two consoles in one process, each with its own program directory and port mappings: "COM1"
// opens a different device for each, and a mapping given to one does not reach the other.
TEST(SerialConsoleEngine, TwoConsolesResolveCom1ThroughTheirOwnPortMaps) {
    testutil::PtyPair first, second, mapped;
    testutil::TempDir programA, programB, settingsA, settingsB;
    ASSERT_EQ(symlink(first.slavePath.c_str(), programA.File("COM1").c_str()), 0);
    ASSERT_EQ(symlink(second.slavePath.c_str(), programB.File("COM1").c_str()), 0);
    SerialConsole a, b;
    a.SetPortMap(platform::PortMap(settingsA.File("Vaskel.conf"), programA.path));
    b.SetPortMap(platform::PortMap(settingsB.File("Vaskel.conf"), programB.path));
    ASSERT_TRUE(a.Open("COM1", PtySettings()).ok);
    ASSERT_TRUE(b.Open("COM1", PtySettings()).ok);
    EXPECT_EQ(a.Port().Device().DevicePath(), programA.File("COM1"));
    EXPECT_EQ(b.Port().Device().DevicePath(), programB.File("COM1"));
    EXPECT_TRUE(a.Send("to A").ok);
    EXPECT_TRUE(b.Send("to B").ok);
    EXPECT_EQ(first.Read(4), "to A");
    EXPECT_EQ(second.Read(4), "to B");
    first.Write("from A");
    second.Write("from B");
    EXPECT_TRUE(testutil::WaitFor([&] { return History(a.Ring()) == "from A"; }));
    EXPECT_TRUE(testutil::WaitFor([&] { return History(b.Ring()) == "from B"; }));
    a.Close();
    b.Close();

    // A mapping stored for one console's COM1 wins over its link; the other keeps its link.
    ASSERT_TRUE(a.Ports().SetMapping(1, mapped.slavePath));
    EXPECT_EQ(a.Ports().ResolvePortName("COM1"), mapped.slavePath);
    EXPECT_EQ(b.Ports().ResolvePortName("COM1"), programB.File("COM1"));
    ASSERT_TRUE(a.Open("COM1", PtySettings()).ok);
    EXPECT_TRUE(a.Send("mapped").ok);
    EXPECT_EQ(mapped.Read(6), "mapped");
}
