// vaskel-passthrough through ser2net serving a pty: the same file both ways over ser2net's raw TCP
// port and over its Telnet port with the Com Port Control option (--rfc2217: settings asked and
// checked, every byte Telnet data), once with random bytes and once with all 0xFF, the worst case
// for Telnet framing (every byte doubled on the wire, both ways). Prints each direction's time
// (the program's own figure: header leaving to last byte stored), the Telnet/raw ratio and the
// program's CPU time per MiB; next to it the same bytes moved by plain tools over each port
// (a writer and a counting reader, Telnet escaping done and undone as the program does), which
// shows what ser2net's Telnet mode costs by itself. Raw and Telnet runs alternate in each round,
// so that both see the same load on the machine.
//   build/default/bench/passthrough_rfc2217 [MiB] [rounds]
#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <QElapsedTimer>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>

#include <thread>

#include "bench/BenchUtil.h"
#include "net/Telnet.h"
#include "support/Ser2netDevice.h"
#include "support/TestUtil.h"

extern char** environ;

namespace {

struct Figures {
    double seconds[2] = {0, 0};  // serial to network, network to serial
    double cpu = 0;              // CPU seconds of the program, both runs and the set-up
    bool ok = false;
};

// One program run, both directions, against `port`.
Figures Run(const std::string& com, int port, bool rfc2217, const std::vector<std::string>& data,
            const std::string& dir) {
    Figures f;
    const std::string json = dir + "report.json";
    std::vector<std::string> args = {VASKEL_PASSTHROUGH,
                                     "--serial",
                                     com,
                                     "--connect",
                                     "127.0.0.1:" + std::to_string(port),
                                     "--direction",
                                     "both",
                                     "--json",
                                     "--start-delay",
                                     "0"};
    if (rfc2217)
        args.push_back("--rfc2217");
    args.insert(args.end(), data.begin(), data.end());
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, json.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return f;
    int status = 0;
    rusage ru{};
    wait4(pid, &status, 0, &ru);
    f.cpu =
        ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    const QJsonObject report =
        QJsonDocument::fromJson(QByteArray::fromStdString(testutil::ReadFile(json))).object();
    const QJsonArray runs = report["runs"].toArray();
    f.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && runs.size() == 2;
    for (int i = 0; i < runs.size() && i < 2; ++i) {
        f.seconds[i] = runs[i].toObject()["seconds"].toDouble();
        f.ok = f.ok && runs[i].toObject()["result"] == "verified";
    }
    // ser2net refuses a client that comes within about 60 ms after the last one left.
    usleep(200 * 1000);
    return f;
}

// Counts the data bytes arriving on `fd` until `total` came, Telnet removed when `telnet`.
size_t ReadData(int fd, size_t total, bool telnet) {
    std::vector<uint8_t> buf(1 << 16);
    telnet::Receiver receiver;
    telnet::Bytes data;
    std::vector<telnet::Event> events;
    size_t got = 0;
    while (got < total) {
        const ssize_t r = ::read(fd, buf.data(), buf.size());
        if (r <= 0)
            break;
        if (!telnet) {
            got += static_cast<size_t>(r);
            continue;
        }
        data.clear();
        receiver.Feed(buf.data(), static_cast<size_t>(r), data, events);
        got += data.size();
    }
    return got;
}

// The same bytes with plain tools: written in bulk on one side of ser2net, counted on the other.
Figures Plain(const std::string& com, int port, bool telnetPort, const std::string& data) {
    Figures f;
    const int tty = ::open(com.c_str(), O_RDWR | O_NOCTTY);
    termios tio{};
    tcgetattr(tty, &tio);
    cfmakeraw(&tio);
    tcsetattr(tty, TCSANOW, &tio);
    const int tcp = testutil::ConnectLoopback(port);
    usleep(100 * 1000);  // ser2net opens the served end once the client is there
    std::string escaped;
    if (telnetPort) {
        telnet::Bytes out;
        telnet::AppendEscaped(reinterpret_cast<const uint8_t*>(data.data()), data.size(), out);
        escaped.assign(out.begin(), out.end());
    }
    for (int d = 0; d < 2; ++d) {
        const bool serialToNet = d == 0;
        const std::string& wire = serialToNet || !telnetPort ? data : escaped;
        QElapsedTimer timer;
        timer.start();
        std::thread writer(
            [&] { bench::WriteAll(serialToNet ? tty : tcp, wire.data(), wire.size()); });
        const size_t got =
            ReadData(serialToNet ? tcp : tty, data.size(), serialToNet && telnetPort);
        writer.join();
        f.seconds[d] = timer.nsecsElapsed() / 1e9;
        f.ok = (d == 0 || f.ok) && got == data.size();
    }
    ::close(tcp);
    ::close(tty);
    usleep(200 * 1000);
    return f;
}

// Per direction, the fastest of the verified runs (the least disturbed by other load).
void KeepBest(Figures& best, const Figures& f) {
    if (!f.ok) {
        if (!best.ok)
            best = f;
        return;
    }
    if (!best.ok) {
        best = f;
        return;
    }
    for (int d = 0; d < 2; ++d)
        best.seconds[d] = std::min(best.seconds[d], f.seconds[d]);
    best.cpu = std::min(best.cpu, f.cpu);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    const size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    testutil::TempDir dir;
    const std::string com = dir.File("COM1");
    Ser2netDevice device(com);
    if (!device.Ready()) {
        std::fprintf(stderr, "ser2net did not start:\n%s\n", device.Log().c_str());
        return 1;
    }
    const std::string ff = dir.File("ff.bin");
    const std::string ffBytes(mib << 20, '\xff');
    testutil::WriteFile(ff, ffBytes);
    std::string randomBytes(mib << 20, '\0');
    for (size_t i = 0; i < randomBytes.size(); ++i)
        randomBytes[i] = static_cast<char>((i * 2654435761u) >> 13);
    const std::string size = std::to_string(mib) + "M";
    const struct {
        const char* name;
        std::vector<std::string> data;
        const std::string& plain;
    } kinds[] = {
        {"random bytes", {"--random", size, "--seed", "5"}, randomBytes},
        {"all 0xFF", {"--file", ff}, ffBytes},
    };
    std::printf("vaskel-passthrough, %zu MiB through ser2net serving a pty, best of %d\n", mib,
                rounds);
    for (const auto& kind : kinds) {
        Figures raw, telnet, plainRaw, plainTelnet;
        for (int i = 0; i < rounds; ++i) {
            KeepBest(raw, Run(com, device.RawPort(), false, kind.data, dir.path + "/"));
            KeepBest(telnet, Run(com, device.TelnetPort(), true, kind.data, dir.path + "/"));
            KeepBest(plainRaw, Plain(com, device.RawPort(), false, kind.plain));
            KeepBest(plainTelnet, Plain(com, device.TelnetPort(), true, kind.plain));
        }
        std::printf("%s:\n", kind.name);
        const char* names[2] = {"serial -> network", "network -> serial"};
        const auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
        for (int d = 0; d < 2; ++d) {
            std::printf("  %s: raw %.3f s%s | rfc2217 %.3f s%s | ratio %.2f (aim <= 1.1)\n",
                        names[d], raw.seconds[d], raw.ok ? "" : " (NOT VERIFIED)",
                        telnet.seconds[d], telnet.ok ? "" : " (NOT VERIFIED)",
                        ratio(telnet.seconds[d], raw.seconds[d]));
            std::printf("    plain tools: raw %.3f s%s | telnet %.3f s%s | ratio %.2f\n",
                        plainRaw.seconds[d], plainRaw.ok ? "" : " (INCOMPLETE)",
                        plainTelnet.seconds[d], plainTelnet.ok ? "" : " (INCOMPLETE)",
                        ratio(plainTelnet.seconds[d], plainRaw.seconds[d]));
        }
        const double m = 2.0 * static_cast<double>(mib);
        std::printf(
            "  CPU per MiB (both directions, set-up included): raw %.1f ms, rfc2217 %.1f ms\n",
            raw.cpu * 1e3 / m, telnet.cpu * 1e3 / m);
    }
    return 0;
}
