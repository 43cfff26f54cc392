// Pass-through of a 64 MiB file through socat in both directions: the program's time from the
// header leaving to the captured file being closed, next to the same bytes through the same kind
// of socat bridge with plain tools on both ends; CPU time per MiB of the program and of socat;
// resident memory before and after.
//   build/default/bench/passthrough [MiB]
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>
#include <cstdio>
#include <thread>

#include "support/DialogFixture.h"
#include "tests/e2e/SocatDevice.h"
#include "transfer/FileSend.h"

namespace {

constexpr int END_PAUSES_MS = 200;  // the two 100 ms pauses that end every capture

double CpuSecondsSelf() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

double CpuSecondsOf(int pid) {
    FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (!f)
        return 0;
    char buf[1024] = {};
    size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = 0;
    const char* p = std::strrchr(buf, ')');
    unsigned long utime = 0, stime = 0;
    // Fields after the command: state ppid pgrp session tty tpgid flags minflt cminflt majflt
    // cmajflt utime stime.
    std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime);
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long RssKb() {
    FILE* f = std::fopen("/proc/self/status", "r");
    char line[256];
    long kb = 0;
    while (f && std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "VmRSS: %ld", &kb) == 1)
            break;
    if (f)
        std::fclose(f);
    return kb;
}

void WriteAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EAGAIN) {
            pollfd pf{fd, POLLOUT, 0};
            poll(&pf, 1, 100);
            continue;
        }
        if (w <= 0)
            return;
        p += w;
        n -= static_cast<size_t>(w);
    }
}

size_t ReadCount(int fd, size_t total) {
    std::vector<char> buf(1 << 16);
    size_t got = 0;
    while (got < total) {
        ssize_t r = ::read(fd, buf.data(), buf.size());
        if (r <= 0)
            break;
        got += static_cast<size_t>(r);
    }
    return got;
}

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

class Bench : public DialogFixture {
public:
    void TestBody() override {}
    void Run(size_t mib) {
        SetUp();
        SetSendStartDelay(0);
        const int port = testutil::FreePort();
        SetText(IDC_IP_ADDRESS, "127.0.0.1");
        SetText(IDC_EDIT_IP_PORT, std::to_string(port));
        SocatDevice device(dir.File("COM1"), SocatDevice::Mode::Listen, port);
        Click(IDC_BUTTON_OPEN);
        Click(IDC_BUTTON_IP_CONNECT);
        if (!dlg->m_bSerialOpen || !dlg->m_bNetConnected) {
            std::printf("could not bring up both links\n");
            return;
        }
        std::string data(mib << 20, '\0');
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<char>((i * 2654435761u) >> 13);
        testutil::WriteFile(source.File("payload.bin"), data);
        const double mibs = static_cast<double>(mib);
        std::printf("pass-through of %zu MiB through socat\n", mib);
        for (int button : {IDC_BTN_FILE_SEND_SERIAL, IDC_BTN_FILE_SEND_NETWORK}) {
            const bool serialToNet = button == IDC_BTN_FILE_SEND_SERIAL;
            seam.nextFile = platform::FileChoice{source.File("payload.bin"), "payload.bin"};
            const long rss0 = RssKb();
            const double cpu0 = CpuSecondsSelf(), socat0 = CpuSecondsOf(device.Pid());
            QElapsedTimer timer;
            timer.start();
            Click(button);
            const double seconds = (timer.nsecsElapsed() / 1e6 - END_PAUSES_MS) / 1e3;
            const double cpu = CpuSecondsSelf() - cpu0,
                         socatCpu = CpuSecondsOf(device.Pid()) - socat0;
            const long rss1 = RssKb();
            const std::string captured = dir.File(CaptureName());
            const bool same = testutil::ReadFile(captured) == data;
            ::unlink(captured.c_str());
            double plainSocatCpu = 0;
            const double plain = PlainBridge(data, serialToNet, dir.path, &plainSocatCpu);
            std::printf("%s: program %.2f s, plain tools %.2f s, wall ratio %.2f (aim <= 1.5)%s\n",
                        serialToNet ? "serial -> network" : "network -> serial", seconds, plain,
                        seconds / plain, same ? "" : "  FILE DIFFERS");
            std::printf(
                "  CPU per MiB: program %.1f ms, socat %.1f ms (plain run: socat %.1f ms)\n",
                cpu * 1e3 / mibs, socatCpu * 1e3 / mibs, plainSocatCpu * 1e3 / mibs);
            std::printf("  resident memory: %ld kB before, %ld kB after\n", rss0, rss1);
        }
        TearDown();
    }
    std::string CaptureName() {
        for (const std::string& name : testutil::ListDir(dir.path))
            if (name.size() > 16 && name.substr(15) == "_payload.bin")
                return name;
        return "";
    }
    testutil::TempDir source;
};

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
    Bench bench;
    bench.Run(mib);
    return 0;
}
