// Pass-through of a 64 MiB file through socat in both directions: the program's time from the
// header leaving to the captured file being closed, next to the same bytes through the same kind
// of socat bridge with plain tools on both ends; CPU time per MiB of the program and of socat;
// resident memory before and after. Runs the engine alone, as a headless program would.
//   build/default/bench/passthrough [MiB]
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

#include "bench/BenchUtil.h"
#include "support/NetConnect.h"
#include "support/SocatDevice.h"
#include "support/TestUtil.h"
#include "transfer/TerminalEngine.h"

namespace {

using namespace bench;

// The same bytes through a fresh socat bridge with plain tools: a raw writer on one side, a
// counting reader on the other. Returns seconds, and socat's CPU seconds through *socatCpu.
double PlainBridge(const std::string& data, bool serialToNet, const std::string& dir,
                   double* socatCpu) {
    const int port = testutil::FreePort();
    SocatDevice socat(dir + "PLAIN", SocatDevice::Mode::Listen, port);
    const int tty = ::open((dir + "PLAIN").c_str(), O_RDWR | O_NOCTTY);
    termios tio{};
    tcgetattr(tty, &tio);
    cfmakeraw(&tio);
    tcsetattr(tty, TCSANOW, &tio);
    int tcp = -1;
    for (int i = 0; i < 100 && tcp < 0; ++i) {
        tcp = testutil::ConnectLoopback(port);
        if (tcp < 0)
            usleep(20000);
    }
    const double cpu0 = CpuSecondsOf(socat.Pid());
    QElapsedTimer timer;
    timer.start();
    std::thread writer([&] { WriteAll(serialToNet ? tty : tcp, data.data(), data.size()); });
    const size_t got = ReadCount(serialToNet ? tcp : tty, data.size());
    writer.join();
    const double seconds = timer.nsecsElapsed() / 1e9;
    *socatCpu = CpuSecondsOf(socat.Pid()) - cpu0;
    ::close(tcp);
    ::close(tty);
    if (got != data.size())
        std::printf("  plain bridge lost bytes: %zu of %zu\n", got, data.size());
    return seconds;
}

// The program's engine, without a window, against socat as the device.
void Run(size_t mib) {
    testutil::TempDir dir, source;
    const int port = testutil::FreePort();
    SocatDevice device(dir.File("COM1"), SocatDevice::Mode::Listen, port);
    TerminalEngine engine;
    engine.passThrough.SetStartDelay(0);
    engine.passThrough.SetOutputDirectory(dir.path);
    LineSettings settings;  // 115200 8N1, no flow control
    settings.baud = 115200;
    if (!engine.serial.Open(dir.File("COM1"), settings) ||
        !testutil::ConnectAndWait(engine.net, "127.0.0.1", port)) {
        std::printf("could not bring up both links\n");
        return;
    }
    std::string data(mib << 20, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>((i * 2654435761u) >> 13);
    testutil::WriteFile(source.File("payload.bin"), data);
    const double mibs = static_cast<double>(mib);
    std::printf("pass-through of %zu MiB through socat\n", mib);
    for (PassDirection direction : {PassDirection::SerialToNet, PassDirection::NetToSerial}) {
        const bool serialToNet = direction == PassDirection::SerialToNet;
        const long rss0 = RssKb();
        const double cpu0 = CpuSecondsSelf(), socat0 = CpuSecondsOf(device.Pid());
        QEventLoop loop;
        PassOutcome outcome;
        QObject::connect(&engine.passThrough, &PassThrough::finished, &loop,
                         [&](const PassOutcome& out) {
                             outcome = out;
                             loop.quit();
                         });
        QElapsedTimer timer;
        timer.start();
        engine.passThrough.Start(direction, source.File("payload.bin"), "payload.bin");
        loop.exec();
        const double seconds = (timer.nsecsElapsed() / 1e6 - END_PAUSE_MS) / 1e3;
        const double cpu = CpuSecondsSelf() - cpu0, socatCpu = CpuSecondsOf(device.Pid()) - socat0;
        const long rss1 = RssKb();
        const bool same =
            outcome.end == PassOutcome::End::Completed && testutil::ReadFile(outcome.path) == data;
        ::unlink(outcome.path.c_str());
        double plainSocatCpu = 0;
        const double plain = PlainBridge(data, serialToNet, dir.path, &plainSocatCpu);
        std::printf("%s: program %.2f s, plain tools %.2f s, wall ratio %.2f (aim <= 1.5)%s\n",
                    serialToNet ? "serial -> network" : "network -> serial", seconds, plain,
                    seconds / plain, same ? "" : "  FILE DIFFERS");
        std::printf("  CPU per MiB: program %.1f ms, socat %.1f ms (plain run: socat %.1f ms)\n",
                    cpu * 1e3 / mibs, socatCpu * 1e3 / mibs, plainSocatCpu * 1e3 / mibs);
        std::printf("  resident memory: %ld kB before, %ld kB after\n", rss0, rss1);
    }
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    Run(argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64);
    return 0;
}
