// The pass-through without a window: a QCoreApplication program that opens a pty, connects to a
// device and passes files through it, with its signals in order; Cancel, the time-out, and the
// workers of ended runs.
#include "transfer/TerminalEngine.h"

#include <QTimer>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/NetConnect.h"
#include "support/Ser2netDevice.h"
#include "support/SocatDevice.h"
#include "support/TestUtil.h"

using testutil::WaitFor;

namespace {

platform::LocalTime FixedClock() {
    return {2026, 12, 7, 11, 22, 33};
}
constexpr const char* kStamp = "20261207_112233_";

std::string Header(uint32_t length) {
    unsigned char h[FILE_HEADER_SIZE];
    BuildFileHeader(length, h);
    return std::string(reinterpret_cast<const char*>(h), FILE_HEADER_SIZE);
}

// Everything the pass-through tells, in order.
struct Recorder {
    explicit Recorder(PassThrough& pt) {
        QObject::connect(&pt, &PassThrough::progress, [this](PassDirection, qint64 s, qint64 a) {
            Add("progress:" + std::to_string(s) + "/" + std::to_string(a));
        });
        QObject::connect(&pt, &PassThrough::timedOut, [this](CaptureLink link, bool ended) {
            Add(std::string(link == CaptureLink::Serial ? "timeout:serial" : "timeout:network") +
                (ended ? ":ended" : ""));
        });
        QObject::connect(&pt, &PassThrough::finished, [this](const PassOutcome& out) {
            outcomes.push_back(out);
            Add("finished:" + std::to_string(static_cast<int>(out.end)));
        });
    }
    void Add(const std::string& e) { events.push_back(e); }
    bool Finished() const { return !outcomes.empty(); }
    std::vector<std::string> events;
    std::vector<PassOutcome> outcomes;
};

// 115200 8N1, no flow control.
LineSettings PortSettings() {
    LineSettings s;
    s.baud = 115200;
    return s;
}

// What each open descriptor of this process is, for a failure's message.
std::string OpenFdTargets() {
    std::string out;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        out += e.path().filename().string() + "->" +
               std::filesystem::read_symlink(e.path(), ec).string() + " ";
    }
    return out;
}

// Reads what the pty's far side has, for `ms` milliseconds.
std::string Drain(int fd, int ms) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10) <= 0)
            continue;
        char buf[4096];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0)
            got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

class PassThroughEngine : public ::testing::Test {
protected:
    void SetUp() override {
        engine.passThrough.SetStartDelay(100);
        engine.passThrough.SetOutputDirectory(dir.path);
        engine.passThrough.SetClock(FixedClock);
    }
    // The device played by the test: the program's port is a pty, its network side a loopback
    // client link to `far`.
    void ConnectToTestDevice(uint32_t baud = 115200) {
        LineSettings s;
        s.baud = baud;
        ASSERT_TRUE(engine.serial.Open(pty.slavePath, s).ok);
        int port = 0;
        listener = testutil::ListenLoopback(&port);
        ASSERT_TRUE(
            testutil::ConnectAndWait(engine.net, "127.0.0.1", static_cast<unsigned>(port)).ok);
        far = testutil::AcceptWithin(listener, 2000);
        ASSERT_GE(far, 0);
    }
    std::string Source(const std::string& name, const std::string& content) {
        testutil::WriteFile(source.File(name), content);
        return source.File(name);
    }
    // The run must have ended once, as `end` with these texts.
    void ExpectOneEnd(PassOutcome::End end, const std::string& text, const std::string& detail) {
        ASSERT_EQ(rec.outcomes.size(), 1u);
        EXPECT_EQ(rec.outcomes[0].end, end);
        EXPECT_EQ(rec.outcomes[0].text, text);
        EXPECT_EQ(rec.outcomes[0].detail, detail);
    }
    void TearDown() override {
        engine.Shutdown();
        if (far >= 0)
            ::close(far);
        if (listener >= 0)
            ::close(listener);
    }

    testutil::TempDir dir, source;
    TerminalEngine engine;
    Recorder rec{engine.passThrough};
    testutil::PtyPair pty;
    int listener = -1, far = -1;
};

}  // namespace

// The few lines a program without a window needs: a pty, socat as the device, both directions.
TEST_F(PassThroughEngine, HeadlessProgramPassesFilesThroughSocatBothWays) {
    const int port = testutil::FreePort();
    SocatDevice device(dir.File("COM1"), SocatDevice::Mode::Listen, port);
    ASSERT_TRUE(device.Ready());
    ASSERT_TRUE(engine.serial.Open(dir.File("COM1"), PortSettings()).ok);
    ASSERT_TRUE(testutil::ConnectAndWait(engine.net, "127.0.0.1", static_cast<unsigned>(port)).ok);
    const std::string content = testutil::RandomBytes(100000, 5);
    for (PassDirection d : {PassDirection::SerialToNet, PassDirection::NetToSerial}) {
        rec.events.clear();
        rec.outcomes.clear();
        const std::string name = d == PassDirection::SerialToNet ? "s.bin" : "n.bin";
        ASSERT_TRUE(engine.passThrough.Start(d, Source(name, content), name).ok);
        ASSERT_TRUE(WaitFor([&] { return rec.Finished(); }, 20000));
        const PassOutcome& out = rec.outcomes[0];
        EXPECT_EQ(out.end, PassOutcome::End::Completed);
        EXPECT_EQ(out.path, dir.path + kStamp + name);
        EXPECT_TRUE(testutil::ReadFile(out.path) == content);
        // The announced length first, the whole file stored last, then the end.
        ASSERT_GE(rec.events.size(), 3u);
        EXPECT_EQ(rec.events.front(), "progress:0/100000");
        const size_t n = rec.events.size();
        EXPECT_EQ(rec.events[n - 2], "progress:100000/100000");
        EXPECT_EQ(rec.events[n - 1], "finished:0");
        EXPECT_FALSE(engine.passThrough.IsActive());
    }
    // The network link is back in notification mode: the console hears the device again.
    ASSERT_TRUE(engine.serial.Send("after").ok);
    EXPECT_TRUE(WaitFor([&] { return engine.net.Ring().GetCount() == 5; }));
}

TEST_F(PassThroughEngine, RefusalsArmNothing) {
    const std::string file = Source("f.bin", "abc");
    EXPECT_EQ(engine.passThrough.Start(PassDirection::SerialToNet, file, "f.bin").text,
              "No device is connected to the server");
    ConnectToTestDevice();
    EXPECT_EQ(
        engine.passThrough.Start(PassDirection::SerialToNet, source.File("none"), "none").text,
        "Can't Open File");
    EXPECT_FALSE(engine.passThrough.IsActive());
    EXPECT_FALSE(engine.passThrough.IsCaptureArmed(false));
}

TEST_F(PassThroughEngine, CancelAndTimeOutEndTheRunOnce) {
    ConnectToTestDevice();
    // Cancel within the start delay: the header still goes out, then nothing.
    engine.passThrough.SetStartDelay(300);
    const std::string file = Source("c.bin", std::string(5000, 'c'));
    ASSERT_TRUE(engine.passThrough.Start(PassDirection::SerialToNet, file, "c.bin").ok);
    engine.passThrough.Cancel();
    engine.passThrough.Cancel();  // a second cancel ends nothing more
    EXPECT_EQ(Drain(pty.master, 600), Header(5000));
    EXPECT_EQ(rec.events, (std::vector<std::string>{"finished:4"}));

    // The device passes the header and some data, then falls silent: the network time-out.
    rec.events.clear();
    rec.outcomes.clear();
    ASSERT_TRUE(engine.passThrough.Start(PassDirection::SerialToNet, file, "c.bin").ok);
    testutil::SendAll(far, Header(5000) + std::string(100, 'c'));
    ASSERT_TRUE(WaitFor([&] { return rec.Finished(); }, 5000));
    EXPECT_EQ(rec.events.back(), "finished:5");
    EXPECT_EQ(rec.events[rec.events.size() - 2], "timeout:network:ended");
    EXPECT_EQ(testutil::ReadFile(dir.path + kStamp + "c.bin"), std::string(100, 'c'));
}

// A worker of an ended run never sends another byte, not even its header: a File Send started
// again within the previous worker's start delay sends only the new file.
TEST_F(PassThroughEngine, ANewRunSupersedesTheWorkerOfTheLast) {
    ConnectToTestDevice();
    engine.passThrough.SetStartDelay(300);
    const std::string oldFile = Source("old.bin", std::string(3000, 'o'));
    const std::string newFile = Source("new.bin", std::string(700, 'n'));
    ASSERT_TRUE(engine.passThrough.Start(PassDirection::SerialToNet, oldFile, "old.bin").ok);
    engine.passThrough.Cancel();
    ASSERT_TRUE(engine.passThrough.Start(PassDirection::SerialToNet, newFile, "new.bin").ok);
    EXPECT_EQ(Drain(pty.master, 1000), Header(700) + std::string(700, 'n'));
    engine.passThrough.Cancel();
}

// A serial line that does not take the bytes (the far side stops reading, as XOFF or a low CTS
// would hold it; at 115200 baud a write has no time limit): Cancel discards what is queued, and a
// new File Send cuts the blocked worker short instead of waiting for it for ever.
TEST_F(PassThroughEngine, CancelOnAHeldSerialLineDiscardsTheQueueAndANewRunDoesNotHang) {
    ConnectToTestDevice();
    engine.passThrough.SetStartDelay(0);
    const std::string big = Source("big.bin", std::string(1 << 20, 'b'));
    ASSERT_TRUE(engine.passThrough.Start(PassDirection::SerialToNet, big, "big.bin").ok);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the pty's queue fills up
    engine.passThrough.Cancel();
    // The queue was discarded: what the far side still reads is what its own line discipline had
    // taken in already (4096 bytes on a pty; a UART's far side has it on the wire), plus at most
    // the chunk being written. Without the discard about 20 KB more would follow.
    constexpr size_t kFarSideBuffer = 4096;
    EXPECT_LE(Drain(pty.master, 300).size(), kFarSideBuffer + 2 * SERIAL_SEND_CHUNK);

    const std::string small = Source("small.bin", "x");
    ASSERT_TRUE(engine.passThrough.Start(PassDirection::SerialToNet, small, "small.bin").ok);
    EXPECT_EQ(Drain(pty.master, 500), Header(1) + "x");

    // A worker still blocked when the next run starts (no cancel came to discard the queue): its
    // write is cut short at once, without the new run waiting for it, and it sends nothing more.
    ASSERT_TRUE(engine.passThrough.Start(PassDirection::SerialToNet, big, "big.bin").ok);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(engine.passThrough.Start(PassDirection::SerialToNet, small, "small.bin").ok);
    EXPECT_LT(testutil::MsSince(start), 1000);
    const std::string after = Drain(pty.master, 800);
    ASSERT_GE(after.size(), size_t{FILE_HEADER_SIZE + 1});
    EXPECT_EQ(after.substr(after.size() - FILE_HEADER_SIZE - 1), Header(1) + "x");
    EXPECT_EQ(after.substr(0, FILE_HEADER_SIZE), Header(1 << 20));
    EXPECT_EQ(after.find_first_not_of('b', FILE_HEADER_SIZE), after.size() - FILE_HEADER_SIZE - 1);
    engine.passThrough.Cancel();
}

// A link is lost while a file passes through, in each direction: the device behind the serial
// port hangs up, or the TCP peer resets the connection (client and Server Mode) while the file
// is still being sent. The run ends at once as a lost link, never as a verdict; a lost port is
// closed, and a reset link gives back every descriptor it had once it is stopped.
TEST(PassThroughLostLink, EndsTheRunAtOnceInEitherDirection) {
    enum class Fault { DeviceHangsUp, ClientPeerResets, ServerPeerResets };
    const struct {
        Fault fault;
        const char* text;  // the outcome's text, or its start for a network fault
    } cases[] = {
        {Fault::DeviceHangsUp, "Link lost : serial port lost (device hung up)"},
        {Fault::ClientPeerResets, "Link lost : network "},
        {Fault::ServerPeerResets, "Link lost : network "},
    };
    for (const auto& c : cases) {
        for (PassDirection d : {PassDirection::SerialToNet, PassDirection::NetToSerial}) {
            SCOPED_TRACE(std::to_string(static_cast<int>(c.fault)) +
                         (d == PassDirection::SerialToNet ? " serial->net" : " net->serial"));
            testutil::TempDir dir;
            testutil::PtyPair pty;
            TerminalEngine engine;
            Recorder rec{engine.passThrough};
            engine.passThrough.SetStartDelay(0);
            engine.passThrough.SetOutputDirectory(dir.path);
            ASSERT_TRUE(engine.serial.Open(pty.slavePath, PortSettings()).ok);
            // The device takes what the serial port sends, until it hangs up.
            std::atomic<bool> stop{false};
            std::thread reader([&] {
                while (!stop)
                    Drain(pty.master, 20);
            });
            int port = 0;
            const int listener =
                c.fault == Fault::ServerPeerResets ? -1 : testutil::ListenLoopback(&port);
            if (listener < 0)
                port = testutil::FreePort();
            testutil::Pump(20);
            const int before = testutil::OpenFdCount();
            int far = -1;
            if (c.fault == Fault::ServerPeerResets) {
                ASSERT_TRUE(engine.net.StartServer(static_cast<unsigned>(port)).ok);
                far = testutil::ConnectLoopback(port);
                ASSERT_TRUE(WaitFor([&] { return engine.net.PeerCount() == 1; }));
            } else {
                ASSERT_TRUE(
                    testutil::ConnectAndWait(engine.net, "127.0.0.1", static_cast<unsigned>(port))
                        .ok);
                far = testutil::AcceptWithin(listener, 2000);
            }
            ASSERT_GE(far, 0);
            // More than the loopback buffers hold: a network send is still under way, as the
            // far end does not read.
            testutil::WriteFile(dir.File("src.bin"), std::string(24 << 20, 'l'));
            ASSERT_TRUE(engine.passThrough.Start(d, dir.File("src.bin"), "src.bin").ok);
            testutil::Pump(100);
            const auto start = std::chrono::steady_clock::now();
            if (c.fault == Fault::DeviceHangsUp) {
                stop = true;
                reader.join();
                pty.CloseMaster();
            } else {
                linger l{1, 0};  // close with a reset (RST)
                ::setsockopt(far, SOL_SOCKET, SO_LINGER, &l, sizeof l);
                ::close(far);
            }
            ASSERT_TRUE(WaitFor([&] { return rec.Finished(); }, 3000));
            EXPECT_LT(testutil::MsSince(start), 2000);
            ASSERT_EQ(rec.outcomes.size(), 1u);
            EXPECT_EQ(rec.outcomes[0].end, PassOutcome::End::LinkLost);
            EXPECT_EQ(rec.outcomes[0].text.rfind(c.text, 0), 0u) << rec.outcomes[0].text;
            if (c.fault == Fault::DeviceHangsUp) {
                EXPECT_FALSE(engine.serial.IsOpen());
                ::close(far);
            } else {
                engine.net.Stop();
                // The serial worker lets go of the sent file once its last write is done.
                EXPECT_TRUE(WaitFor([&] { return testutil::OpenFdCount() == before; }, 10000))
                    << testutil::OpenFdCount() << " descriptors, " << before
                    << " before: " << OpenFdTargets();
                stop = true;
                reader.join();
            }
            engine.Shutdown();
            if (listener >= 0)
                ::close(listener);
        }
    }
}

// Net to serial: once the whole file has left on the network link, the device has every byte.
// The peer then resetting the link is told by the console at once, and the serial capture still
// completes the run.
TEST_F(PassThroughEngine, ALinkLostAfterTheFileLeftLetsTheSerialCaptureFinish) {
    ConnectToTestDevice();
    engine.passThrough.SetStartDelay(0);
    int farEndClosed = 0;
    QObject::connect(&engine.net, &NetConsole::farEndClosed, [&] { ++farEndClosed; });
    const std::string content = testutil::RandomBytes(3000, 3);
    ASSERT_TRUE(
        engine.passThrough.Start(PassDirection::NetToSerial, Source("a.bin", content), "a.bin").ok);
    ASSERT_EQ(testutil::RecvSome(far, FILE_HEADER_SIZE + content.size()), Header(3000) + content);
    testutil::Pump(50);
    linger l{1, 0};
    ::setsockopt(far, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(far);
    far = -1;
    ASSERT_TRUE(WaitFor([&] { return farEndClosed == 1; }));
    EXPECT_FALSE(rec.Finished());
    pty.Write(Header(3000) + content);
    ASSERT_TRUE(WaitFor([&] { return rec.Finished(); }, 5000));
    EXPECT_EQ(rec.outcomes[0].end, PassOutcome::End::Completed);
    EXPECT_FALSE(rec.outcomes[0].firstMismatch.has_value());
    EXPECT_EQ(rec.outcomes[0].stored, 3000);
}

// The network link goes away while its worker sends to a peer that does not read: the worker is
// cut short, and nothing waits for it.
TEST_F(PassThroughEngine, StoppingTheNetworkDuringASendReleasesTheWorker) {
    ConnectToTestDevice();
    engine.passThrough.SetStartDelay(0);
    const std::string big = Source("big.bin", std::string(32 << 20, 'n'));
    ASSERT_TRUE(engine.passThrough.Start(PassDirection::NetToSerial, big, "big.bin").ok);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto start = std::chrono::steady_clock::now();
    engine.net.Stop();
    EXPECT_LT(testutil::MsSince(start), 1000);
    engine.passThrough.Cancel();
}

// The serial capture takes the sent file's name when it is armed: bytes arriving on the port
// while the next run is being started never read a name that is being written.
TEST_F(PassThroughEngine, TheSerialCaptureKeepsTheNameItWasArmedWith) {
    ConnectToTestDevice();
    engine.passThrough.SetStartDelay(100);
    std::atomic<bool> stop{false};
    std::thread device([&] {
        while (!stop)
            ::write(pty.master, "BDF", 3);  // marker prefixes: the capture scans them
    });
    const std::string file = Source("f.bin", "abc");
    for (int i = 0; i < 10; ++i) {
        const std::string name = "name" + std::to_string(i) + ".bin";
        ASSERT_TRUE(engine.passThrough.Start(PassDirection::NetToSerial, file, name).ok);
        testutil::Pump(5);
        engine.passThrough.Cancel();
    }
    stop = true;
    device.join();
    EXPECT_FALSE(engine.passThrough.IsActive());
}

// The pause between a network capture's end and its close request is a timer: the UI thread, on
// which the network capture runs, goes on handling events meanwhile.
TEST_F(PassThroughEngine, TheEndPauseLeavesTheUiThreadFree) {
    ConnectToTestDevice();
    const std::string file = Source("p.bin", "payload");
    ASSERT_TRUE(engine.passThrough.Start(PassDirection::SerialToNet, file, "p.bin").ok);
    int ticks = 0, ticksAtEnd = -1, ticksAtClose = -1;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(5);
    QObject::connect(&engine.passThrough, &PassThrough::progress,
                     [&](PassDirection, qint64 stored, qint64) {
                         if (stored == 7)
                             ticksAtEnd = ticks;
                     });
    QObject::connect(&engine.passThrough, &PassThrough::finished, [&] { ticksAtClose = ticks; });
    testutil::SendAll(far, Header(7) + "payload");
    ASSERT_TRUE(WaitFor([&] { return rec.Finished(); }));
    ASSERT_GE(ticksAtEnd, 0);
    EXPECT_GE(ticksAtClose - ticksAtEnd, 3);  // a 100 ms sleep would let none through
}

// A capture cut short by a full disk says what is on disk: the part written until then, under
// its name, with the counts and the OS's reason.
TEST_F(PassThroughEngine, ACaptureCutShortByAFullDiskSaysWhatWasStored) {
    ConnectToTestDevice();
    engine.passThrough.SetStartDelay(0);
    const std::string file = Source("c.bin", std::string(5000, 'c'));
    const std::string out = dir.path + kStamp + "c.bin";
    {
        testutil::FileSizeLimit full(1000);
        ASSERT_TRUE(full.ok);
        ASSERT_TRUE(engine.passThrough.Start(PassDirection::SerialToNet, file, "c.bin").ok);
        testutil::SendAll(far, Header(5000) + std::string(5000, 'c'));
        ASSERT_TRUE(WaitFor([&] { return rec.Finished(); }, 5000));
    }
    ASSERT_NO_FATAL_FAILURE(
        ExpectOneEnd(PassOutcome::End::WriteFailed, "Can't write the received file",
                     "incomplete: 1000 of 5000 bytes stored at " + out + "\nFile too large"));
    EXPECT_EQ(rec.outcomes[0].stored, 1000);
    EXPECT_EQ(testutil::ReadFile(out), std::string(1000, 'c'));
}

// The capture's folder is removed while the file is under way: the writes that still succeed go
// to a file nobody can find, so the run fails with nothing stored instead of a verdict.
TEST_F(PassThroughEngine, ACaptureWhoseFolderVanishesFailsWithNothingStored) {
    ConnectToTestDevice();
    engine.passThrough.SetStartDelay(0);
    const std::string folder = dir.File("captures/");
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    engine.passThrough.SetOutputDirectory(folder);
    const std::string content(5000, 'v');
    const std::string out = folder + kStamp + "v.bin";
    ASSERT_TRUE(
        engine.passThrough.Start(PassDirection::SerialToNet, Source("v.bin", content), "v.bin").ok);
    testutil::SendAll(far, Header(5000) + content.substr(0, 2000));
    // The capture has taken the first part (it gathers it for one write) and its file exists.
    ASSERT_TRUE(WaitFor(
        [&] { return std::count(rec.events.begin(), rec.events.end(), "progress:2000/5000") == 1; },
        3000));
    ASSERT_EQ(access(out.c_str(), F_OK), 0);
    ASSERT_EQ(std::system(("rm -rf '" + folder + "'").c_str()), 0);
    testutil::SendAll(far, content.substr(2000));
    ASSERT_TRUE(WaitFor([&] { return rec.Finished(); }, 5000));
    ExpectOneEnd(PassOutcome::End::WriteFailed, "Can't write the received file",
                 "incomplete: 0 of 5000 bytes stored at " + out +
                     "\nthe file or its folder was removed while it was being written");
}

// A symbolic link planted under the capture's predictable name is not followed: the capture
// fails to create its file with the OS's reason, and the link's target is untouched.
TEST_F(PassThroughEngine, ACaptureDoesNotFollowAPlantedSymbolicLink) {
    ConnectToTestDevice();
    engine.passThrough.SetStartDelay(0);
    const std::string file = Source("c.bin", std::string(5000, 'c'));
    const std::string out = dir.path + kStamp + "c.bin";
    const std::string victim = source.File("victim");
    testutil::WriteFile(victim, "keep me");
    ASSERT_EQ(symlink(victim.c_str(), out.c_str()), 0);
    ASSERT_TRUE(engine.passThrough.Start(PassDirection::SerialToNet, file, "c.bin").ok);
    testutil::SendAll(far, Header(5000) + std::string(5000, 'c'));
    ASSERT_TRUE(WaitFor([&] { return rec.Finished(); }, 5000));
    ExpectOneEnd(PassOutcome::End::OpenFailed, "Can't create the received file",
                 "The file was not stored: " + out + "\nToo many levels of symbolic links");
    EXPECT_EQ(testutil::ReadFile(victim), "keep me");
}

// A worker thread that cannot be started fails the start: nothing is armed and no run is open,
// so a program waiting for the run's end does not wait for ever.
TEST_F(PassThroughEngine, AWorkerThatCannotStartFailsTheStart) {
    ConnectToTestDevice();
    engine.passThrough.SetWorkerLauncher([](std::function<void()>, std::thread*) { return false; });
    const platform::Result r =
        engine.passThrough.Start(PassDirection::SerialToNet, Source("w.bin", "abc"), "w.bin");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.text, "Can't start the file send");
    EXPECT_FALSE(engine.passThrough.IsActive());
    EXPECT_FALSE(engine.passThrough.IsRunning());
    EXPECT_FALSE(engine.passThrough.IsCaptureArmed(false));
    EXPECT_FALSE(engine.passThrough.IsCaptureArmed(true));
}

// The file cannot be read after its header went out (a regular file whose read fails: the
// process's own memory at address 0 answers EIO): the run ends at once with "Can't read the
// file" and the reason, in either direction, instead of waiting for a device time-out that would
// blame the device.
TEST_F(PassThroughEngine, AFileThatCannotBeReadEndsTheRunAtOnce) {
    ConnectToTestDevice();
    engine.passThrough.SetStartDelay(0);
    engine.passThrough.SetTimeoutFromHeader(true);
    const std::string unreadable = "/proc/self/mem";
    for (PassDirection d : {PassDirection::SerialToNet, PassDirection::NetToSerial}) {
        rec.outcomes.clear();
        ASSERT_TRUE(engine.passThrough.Start(d, unreadable, "mem").ok);
        ASSERT_TRUE(WaitFor([&] { return rec.Finished(); }, 1500));
        EXPECT_EQ(rec.outcomes[0].end, PassOutcome::End::ReadFailed);
        EXPECT_EQ(rec.outcomes[0].text, "Can't read the file");
        EXPECT_NE(rec.outcomes[0].detail.find(unreadable + ": " + std::strerror(EIO)),
                  std::string::npos)
            << rec.outcomes[0].detail;
        EXPECT_FALSE(engine.passThrough.IsActive());
    }
}

// Two engines in one process, each with its own socat device, run their pass-throughs at the
// same time, in both directions; each verifies its own file and stores it in its own folder.
TEST(TwoEngines, RunTwoPassThroughsAtOnceThroughTwoDevices) {
    struct Station {
        testutil::TempDir dir;
        TerminalEngine engine;
        Recorder rec{engine.passThrough};
        std::unique_ptr<SocatDevice> device;
        std::string content;
    };
    Station stations[2];
    for (int k = 0; k < 2; ++k) {
        Station& st = stations[k];
        const int port = testutil::FreePort();
        st.device =
            std::make_unique<SocatDevice>(st.dir.File("COM1"), SocatDevice::Mode::Listen, port);
        ASSERT_TRUE(st.device->Ready());
        ASSERT_TRUE(st.engine.serial.Open(st.dir.File("COM1"), PortSettings()).ok);
        ASSERT_TRUE(st.engine.net.Connect("127.0.0.1", static_cast<unsigned>(port)).ok);
        ASSERT_TRUE(WaitFor([&] { return st.engine.net.IsConnected(); }));
        st.engine.passThrough.SetStartDelay(50);
        st.engine.passThrough.SetOutputDirectory(st.dir.path);
        st.content = testutil::RandomBytes(300000, 11 + k);
        testutil::WriteFile(st.dir.File("src.bin"), st.content);
    }
    for (PassDirection d : {PassDirection::SerialToNet, PassDirection::NetToSerial}) {
        for (Station& st : stations) {
            st.rec.outcomes.clear();
            ASSERT_TRUE(st.engine.passThrough.Start(d, st.dir.File("src.bin"), "src.bin").ok);
        }
        for (Station& st : stations) {
            ASSERT_TRUE(WaitFor([&] { return st.rec.Finished(); }, 30000));
            const PassOutcome& out = st.rec.outcomes[0];
            EXPECT_TRUE(out.Verified()) << static_cast<int>(out.end) << " " << out.text;
            EXPECT_EQ(out.path.rfind(st.dir.path, 0), 0u) << out.path;
            EXPECT_TRUE(testutil::ReadFile(out.path) == st.content);
        }
    }
}

// Through a real device server speaking RFC 2217 (ser2net's Telnet accepter): the rate asked over
// the link shows on its serial side, and files of random bytes and of nothing but 0xFF arrive
// byte-identical both ways, escaped on the wire and unescaped at the capture.
TEST(PassThroughRfc2217, FilesPassThroughSer2netBothWaysAndTheRateIsApplied) {
    testutil::TempDir dir;
    Ser2netDevice device(dir.File("COM1"));
    ASSERT_TRUE(device.Ready()) << device.Log();
    TerminalEngine engine;
    Recorder rec{engine.passThrough};
    std::vector<RemoteSettingsReport> reports;
    QObject::connect(&engine.net, &NetConsole::remoteSettingsChecked,
                     [&](const RemoteSettingsReport& r) { reports.push_back(r); });
    LineSettings s = PortSettings();
    s.baud = 38400;
    ASSERT_TRUE(engine.serial.Open(dir.File("COM1"), s).ok);
    RemotePortOptions options;
    options.framing = LinkFraming::Rfc2217;
    options.settings = s;
    engine.net.SetRemotePortOptions(options);
    ASSERT_TRUE(testutil::ConnectAndWait(engine.net, "127.0.0.1",
                                         static_cast<unsigned>(device.TelnetPort()))
                    .ok);
    ASSERT_TRUE(WaitFor([&] { return !reports.empty(); }, 4000));
    EXPECT_TRUE(reports[0].Ok()) << reports[0].FailureText();
    EXPECT_EQ(device.ServedSpeed(), 38400);
    engine.passThrough.SetStartDelay(50);
    engine.passThrough.SetOutputDirectory(dir.path);
    const struct {
        const char* name;
        std::string content;
    } files[] = {{"random", testutil::RandomBytes(200000, 5)},
                 {"all 0xFF", std::string(64 * 1024, '\xFF')}};
    for (const auto& f : files) {
        testutil::WriteFile(dir.File("src.bin"), f.content);
        for (PassDirection d : {PassDirection::SerialToNet, PassDirection::NetToSerial}) {
            SCOPED_TRACE(std::string(f.name) +
                         (d == PassDirection::SerialToNet ? " serial->net" : " net->serial"));
            rec.outcomes.clear();
            ASSERT_TRUE(engine.passThrough.Start(d, dir.File("src.bin"), "src.bin").ok);
            ASSERT_TRUE(WaitFor([&] { return rec.Finished(); }, 30000));
            const PassOutcome& out = rec.outcomes[0];
            EXPECT_TRUE(out.Verified()) << out.text << " " << out.diagnosis;
            EXPECT_TRUE(testutil::ReadFile(out.path) == f.content);
        }
    }
}
