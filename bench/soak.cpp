// Soak: both consoles flooded by the device while a 1 MiB pass-through runs every minute in
// alternating directions. Prints per minute the resident memory, the open descriptors and the CPU
// time, and every pass-through's verdict. Aim: memory and descriptors flat, every verdict
// identical.
//   build/default/bench/soak [--minutes N] [--period SECONDS]   (30 minutes of 60 seconds)
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "bench/BenchUtil.h"
#include "support/NetConnect.h"
#include "support/TestUtil.h"
#include "transfer/TerminalEngine.h"

namespace {

// The device: passes bytes both ways between the pty (the program's port) and its TCP link, and
// floods each side the program is not capturing on with a pattern of its own (about 1 MB/s per
// side, so that the pass-through still gets its share of the two cores).
class Device {
public:
    Device(int pty, int tcp) : m_thread([=, this] { Run(pty, tcp); }) {}
    ~Device() {
        m_stop = true;
        m_thread.join();
    }
    std::atomic<bool> floodSerial{true}, floodNet{true};

private:
    void Run(int pty, int tcp) {
        const std::string noise = testutil::RandomBytes(1024, 3);
        QElapsedTimer clock;
        clock.start();
        long budget = 0;
        while (!m_stop) {
            pollfd p[2] = {{pty, POLLIN, 0}, {tcp, POLLIN, 0}};
            poll(p, 2, 1);
            for (int i = 0; i < 2; ++i) {
                if (!(p[i].revents & POLLIN))
                    continue;
                char buf[65536];
                const ssize_t n = ::read(p[i].fd, buf, sizeof buf);
                if (n > 0)
                    WriteAll(i == 0 ? tcp : pty, buf, static_cast<size_t>(n));
            }
            const long allowed = clock.elapsed();  // ~1 KB per ms per side
            for (; budget < allowed; ++budget) {
                if (floodSerial)
                    WriteAll(pty, noise.data(), noise.size());
                if (floodNet)
                    WriteAll(tcp, noise.data(), noise.size());
            }
        }
    }
    void WriteAll(int fd, const char* p, size_t n) {
        while (n > 0 && !m_stop) {
            const ssize_t w = ::write(fd, p, n);
            if (w > 0) {
                p += w;
                n -= static_cast<size_t>(w);
            } else {
                usleep(500);
            }
        }
    }
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    int minutes = 30, period = 60;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--minutes") == 0)
            minutes = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--period") == 0)
            period = std::max(5, std::atoi(argv[i + 1]));
    }

    testutil::TempDir dir, source;
    testutil::PtyPair pty;
    int port = 0;
    const int listener = testutil::ListenLoopback(&port);
    TerminalEngine engine;
    engine.passThrough.SetOutputDirectory(dir.path);
    engine.passThrough.SetStartDelay(0);
    LineSettings settings;  // 230400 8N1, no flow control
    settings.baud = 230400;
    if (!engine.serial.Open(pty.slavePath, settings) ||
        !testutil::ConnectAndWait(engine.net, "127.0.0.1", static_cast<unsigned>(port))) {
        std::printf("could not bring up both links\n");
        return 1;
    }
    const int far = testutil::AcceptWithin(listener, 2000);
    // The consoles only keep their histories here; the window's renders are not part of this.
    QObject::connect(
        &engine.serial, &SerialConsole::received, &engine, [&] { engine.serial.TakeRefresh(); },
        Qt::QueuedConnection);
    const std::string payload = source.File("payload.bin");
    testutil::WriteFile(payload, testutil::RandomBytes(1 << 20, 11));
    Device device(pty.master, far);

    std::printf("soak: %d min, both consoles flooded, a 1 MiB pass-through every minute\n",
                minutes);
    std::printf("minute  rss_kB  fds  cpu_s  verdict\n");
    int identical = 0, runs = 0;
    for (int minute = 1; minute <= minutes; ++minute) {
        const PassDirection d =
            minute % 2 ? PassDirection::SerialToNet : PassDirection::NetToSerial;
        // The device keeps flooding the console that is not capturing.
        device.floodNet = d != PassDirection::SerialToNet;
        device.floodSerial = d != PassDirection::NetToSerial;
        testutil::Pump(300);  // what was in flight on the capturing side reaches its console
        QEventLoop loop;
        PassOutcome outcome;
        auto c = QObject::connect(&engine.passThrough, &PassThrough::finished, &loop,
                                  [&](const PassOutcome& out) {
                                      outcome = out;
                                      loop.quit();
                                  });
        QElapsedTimer minuteClock;
        minuteClock.start();
        engine.passThrough.Start(d, payload, "payload.bin");
        QTimer::singleShot(period * 1000 - 2000, &loop, &QEventLoop::quit);
        loop.exec();
        QObject::disconnect(c);
        ++runs;
        const bool same = outcome.end == PassOutcome::End::Completed && outcome.Verified();
        identical += same ? 1 : 0;
        ::unlink(outcome.path.c_str());
        device.floodNet = true;
        device.floodSerial = true;
        testutil::Pump(
            static_cast<int>(std::max<qint64>(0, period * 1000 - minuteClock.elapsed())));
        std::printf("%6d  %6ld  %3d  %5.1f  %s %s\n", minute, bench::RssKb(),
                    testutil::OpenFdCount(), bench::CpuSecondsSelf(),
                    d == PassDirection::SerialToNet ? "serial->net" : "net->serial",
                    same ? "identical" : "NOT IDENTICAL");
        std::fflush(stdout);
    }
    std::printf("%d of %d pass-throughs identical\n", identical, runs);
    ::close(far);
    ::close(listener);
    return identical == runs ? 0 : 1;
}
