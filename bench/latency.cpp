// vaskel-passthrough's latency test through socat, next to a minimal probe: plain POSIX calls on
// the same kind of bridge that write one frame on one side and read it on the other, stamping
// both with CLOCK_MONOTONIC right at the system calls (just before the write, just after the
// read, as the program does), one frame per interval. The program's figures describe the device
// only when they stay close to the probe's (aim: p50 and p99 within 1.2 times the probe's plus
// 50 us). Beside them the runner's own floor (MeasureLatencyFloor: the program's read paths with
// only the kernel in between), the part of every figure that is not the device's. Then the
// traffic log's cost: a pass-through with --log next to one without, the log's size, and the
// program's CPU time and system calls per MiB with and without it (the calls from one more run
// of each under strace, not timed).
//   build/default/bench/latency [frames] [rounds] [MiB]   (frames 0 or MiB 0: that part left out)
// VASKEL_BENCH_PROGRAM=<another vaskel-passthrough> measures that build instead.
#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/BenchUtil.h"
#include "runner/Latency.h"
#include "support/SocatDevice.h"
#include "support/TestUtil.h"

extern char** environ;

namespace {

constexpr int FRAME = 16;
constexpr int INTERVAL_MS = 10;

int64_t MonoNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct Figures {
    double p50 = 0, p99 = 0;  // ms
    bool ok = false;
};

double Rank(std::vector<double> v, double q) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t i = static_cast<size_t>(std::ceil(q * static_cast<double>(v.size())));
    return v[std::clamp<size_t>(i, 1, v.size()) - 1];
}

// The probe: one frame at a time, written whole on one side, read until complete on the other.
Figures Probe(int frames, bool serialToNet, const std::string& dir) {
    Figures f;
    const int port = testutil::FreePort();
    SocatDevice socat(dir + "PROBE", SocatDevice::Mode::Listen, port);
    const int tty = ::open((dir + "PROBE").c_str(), O_RDWR | O_NOCTTY);
    termios tio{};
    tcgetattr(tty, &tio);
    cfmakeraw(&tio);
    tcsetattr(tty, TCSANOW, &tio);
    int tcp = -1;
    for (int i = 0; i < 100 && tcp < 0; ++i)
        if ((tcp = testutil::ConnectLoopback(port)) < 0)
            usleep(20000);
    if (tty < 0 || tcp < 0)
        return f;
    const int out = serialToNet ? tty : tcp, in = serialToNet ? tcp : tty;
    std::vector<double> ms;
    unsigned char frame[FRAME], buf[4096];
    for (int k = 0; k < frames; ++k) {
        std::memset(frame, k & 0xFF, sizeof frame);
        const int64_t written = MonoNs();
        bench::WriteAll(out, reinterpret_cast<const char*>(frame), sizeof frame);
        size_t got = 0;
        int64_t read = 0;
        while (got < sizeof frame) {
            pollfd p{in, POLLIN, 0};
            if (poll(&p, 1, 2000) <= 0)
                break;
            const ssize_t n = ::read(in, buf, sizeof buf);
            if (n <= 0)
                break;
            read = MonoNs();
            got += static_cast<size_t>(n);
        }
        if (got != sizeof frame)
            break;
        ms.push_back(static_cast<double>(read - written) / 1e6);
        const int64_t next = written + static_cast<int64_t>(INTERVAL_MS) * 1000000;
        while (MonoNs() < next)
            usleep(static_cast<useconds_t>(std::max<int64_t>(1, (next - MonoNs()) / 1000)));
    }
    ::close(tcp);
    ::close(tty);
    f.ok = static_cast<int>(ms.size()) == frames;
    f.p50 = Rank(ms, 0.50);
    f.p99 = Rank(ms, 0.99);
    return f;
}

// Runs the program to the end; its JSON report, its wall time (s).
QJsonObject Spawn(std::vector<std::string> args, const std::string& json, double* wall, int* code,
                  double* cpu = nullptr) {
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, json.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int64_t start = MonoNs();
    *code = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        return {};
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage ru{};
    wait4(pid, &status, 0, &ru);
    if (cpu)
        *cpu = ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
               (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    *wall = static_cast<double>(MonoNs() - start) / 1e9;
    *code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return QJsonDocument::fromJson(QByteArray::fromStdString(testutil::ReadFile(json))).object();
}

Figures Runner(int frames, bool serialToNet, const std::string& dir) {
    Figures f;
    const int port = testutil::FreePort();
    SocatDevice socat(dir + "COM1", SocatDevice::Mode::Listen, port);
    double wall = 0;
    int code = 0;
    const QJsonObject report =
        Spawn({bench::ProgramPath(VASKEL_PASSTHROUGH), "--serial", dir + "COM1", "--connect",
               "127.0.0.1:" + std::to_string(port), "--test", "latency", "--frames",
               std::to_string(frames), "--frame-size", std::to_string(FRAME), "--interval",
               std::to_string(INTERVAL_MS), "--direction",
               serialToNet ? "serial-to-net" : "net-to-serial", "--json"},
              dir + "latency.json", &wall, &code);
    const QJsonObject latency = report["runs"].toArray().at(0).toObject()["latency_ms"].toObject();
    f.p50 = latency["p50"].toDouble();
    f.p99 = latency["p99"].toDouble();
    f.ok = code == 0;
    return f;
}

struct Pass {
    double wall = 0, seconds = 0, cpu = 0;
    bool ok = false;
};

// `traceTo`: the run goes under strace, counting its system calls into that file.
Pass LoggedPassThrough(size_t mib, const std::string& log, const std::string& dir,
                       const std::string& traceTo = "") {
    Pass p;
    const int port = testutil::FreePort();
    SocatDevice socat(dir + "COM2", SocatDevice::Mode::Listen, port);
    std::vector<std::string> args = {bench::ProgramPath(VASKEL_PASSTHROUGH),
                                     "--serial",
                                     dir + "COM2",
                                     "--connect",
                                     "127.0.0.1:" + std::to_string(port),
                                     "--random",
                                     std::to_string(mib) + "M",
                                     "--direction",
                                     "serial-to-net",
                                     "--start-delay",
                                     "0",
                                     "--json"};
    if (!log.empty()) {
        args.push_back("--log");
        args.push_back(log);
    }
    if (!traceTo.empty()) {
        std::vector<std::string> traced = bench::StracePrefix(traceTo);
        traced.insert(traced.end(), args.begin(), args.end());
        args = std::move(traced);
    }
    int code = 0;
    const QJsonObject report = Spawn(args, dir + "pass.json", &p.wall, &code, &p.cpu);
    p.seconds = report["runs"].toArray().at(0).toObject()["seconds"].toDouble();
    p.ok = code == 0;
    return p;
}

// The least disturbed of `rounds` runs, each percentile on its own: other load on the machine
// only ever adds to a latency.
template <class Fn>
Figures Best(int rounds, Fn fn) {
    Figures best = fn();
    for (int i = 1; i < rounds; ++i) {
        const Figures f = fn();
        if (!f.ok)
            continue;
        if (!best.ok) {
            best = f;
            continue;
        }
        best.p50 = std::min(best.p50, f.p50);
        best.p99 = std::min(best.p99, f.p99);
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    const int frames = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    const size_t mib = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 64;
    testutil::TempDir dir;

    std::printf(
        "one-way latency through socat, %d frames of %d bytes every %d ms, best p50 and p99 of "
        "%d rounds\n",
        frames, FRAME, INTERVAL_MS, rounds);
    // The runner's floor, best of the rounds as the others: 200 frames of the same size at 1 ms
    // through each of its read paths.
    Figures floorOf[2];  // [0] the network read path, [1] the serial one
    if (frames > 0) {
        LatencyFloor best;
        for (int i = 0; i < rounds; ++i) {
            const LatencyFloor f = MeasureLatencyFloor(FRAME, 200, 1);
            if (i == 0)
                best = f;
            const LatencyFloorSide* sides[2] = {&f.network, &f.serial};
            for (int s = 0; s < 2; ++s) {
                if (!sides[s]->measured)
                    continue;
                Figures& b = floorOf[s];
                b.p50 = b.ok ? std::min(b.p50, sides[s]->latency.p50) : sides[s]->latency.p50;
                b.p99 = b.ok ? std::min(b.p99, sides[s]->latency.p99) : sides[s]->latency.p99;
                b.ok = true;
            }
        }
        std::printf("%s (first round)\n", LatencyFloorText(best).c_str());
    }
    for (bool serialToNet : {true, false}) {
        if (frames <= 0)
            break;
        const Figures prog = Best(rounds, [&] { return Runner(frames, serialToNet, dir.path); });
        const Figures probe = Best(rounds, [&] { return Probe(frames, serialToNet, dir.path); });
        const Figures& floor = floorOf[serialToNet ? 0 : 1];
        auto within = [](double v, double floor) { return v <= 1.2 * floor + 0.05; };
        std::printf("%s:\n", serialToNet ? "serial -> network" : "network -> serial");
        std::printf("  program p50 %.3f ms, p99 %.3f ms%s\n", prog.p50, prog.p99,
                    prog.ok ? "" : " (RUN FAILED)");
        std::printf("  probe   p50 %.3f ms, p99 %.3f ms%s\n", probe.p50, probe.p99,
                    probe.ok ? "" : " (FRAMES MISSING)");
        std::printf("  floor   p50 %.3f ms, p99 %.3f ms%s (the runner's %s read path alone)\n",
                    floor.p50, floor.p99, floor.ok ? "" : " (NOT MEASURED)",
                    serialToNet ? "network" : "serial");
        std::printf("  p50 %.2fx the probe (%s), p99 %.2fx (%s); aim <= 1.2x + 0.05 ms\n",
                    prog.p50 / probe.p50, within(prog.p50, probe.p50) ? "within" : "over",
                    prog.p99 / probe.p99, within(prog.p99, probe.p99) ? "within" : "over");
    }

    if (mib == 0)
        return 0;
    const std::string log = dir.File("traffic.log");
    Pass plain, logged;
    off_t logSize = 0;
    for (int i = 0; i < rounds; ++i) {
        const Pass a = LoggedPassThrough(mib, "", dir.path);
        const Pass b = LoggedPassThrough(mib, log, dir.path);
        struct stat st {};
        if (::stat(log.c_str(), &st) == 0)
            logSize = st.st_size;
        ::unlink(log.c_str());
        if (a.ok && (!plain.ok || a.wall < plain.wall))
            plain = a;
        if (b.ok && (!logged.ok || b.wall < logged.wall))
            logged = b;
    }
    std::printf("traffic log, %zu MiB pass-through serial -> network, best of %d:\n", mib, rounds);
    std::printf("  without --log %.3f s (run %.3f s)%s; with --log %.3f s (run %.3f s)%s\n",
                plain.wall, plain.seconds, plain.ok ? "" : " (FAILED)", logged.wall, logged.seconds,
                logged.ok ? "" : " (FAILED)");
    std::printf("  ratio %.2f (aim <= 1.3); the log holds %.1f MiB\n", logged.wall / plain.wall,
                static_cast<double>(logSize) / (1024.0 * 1024));
    const double m = static_cast<double>(mib);
    std::printf(
        "  CPU of the program: %.2f s without the log, %.2f s with it (%.1f / %.1f ms "
        "per MiB, ratio %.2f)\n",
        plain.cpu, logged.cpu, plain.cpu * 1e3 / m, logged.cpu * 1e3 / m, logged.cpu / plain.cpu);
    const std::string plainTrace = dir.File("strace-plain.txt");
    const std::string loggedTrace = dir.File("strace-logged.txt");
    const Pass plainTraced = LoggedPassThrough(mib, "", dir.path, plainTrace);
    const Pass loggedTraced = LoggedPassThrough(mib, log, dir.path, loggedTrace);
    ::unlink(log.c_str());
    std::printf("  system calls without the log: %s%s\n",
                bench::SyscallsPerMiB(bench::StraceCounts(plainTrace), m).c_str(),
                plainTraced.ok ? "" : " (traced run FAILED)");
    std::printf("  system calls with the log:    %s%s\n",
                bench::SyscallsPerMiB(bench::StraceCounts(loggedTrace), m).c_str(),
                loggedTraced.ok ? "" : " (traced run FAILED)");
    return 0;
}
