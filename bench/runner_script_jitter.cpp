// A script's timed repeat through vaskel-passthrough and socat (`repeat N every 1ms` around one
// `send serial`), next to a plain C loop that writes the same bytes to a socat pty on the same
// schedule: clock_nanosleep to absolute deadlines, each write's start stamped with
// CLOCK_MONOTONIC. Both are judged alike: the mean period and the 99th percentile (nearest rank)
// of |period - 1 ms| over consecutive starts (the program's from its JSON report: each pass's
// start, its send being the pass's first step). Aim: the program's p99 jitter within 1.2 times
// the C loop's plus 50 us.
//   build/default/bench/runner_script_jitter [passes] [rounds]
// VASKEL_BENCH_PROGRAM=<another vaskel-passthrough> measures that build instead.
#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <fcntl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchUtil.h"
#include "support/SocatDevice.h"
#include "support/TestUtil.h"

namespace {

constexpr int64_t PERIOD_NS = 1000000;
constexpr const char* PAYLOAD = "0123456789abcdef";  // 16 bytes a pass

struct Figures {
    double meanPeriodMs = 0, p99JitterMs = 0;
    int passes = 0;
    bool ok = false;
};

int64_t MonoNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Mean period and p99 of |period - PERIOD_NS| over consecutive stamps, in ms.
Figures Judge(const std::vector<int64_t>& starts) {
    Figures f;
    f.passes = static_cast<int>(starts.size());
    if (starts.size() < 2)
        return f;
    std::vector<int64_t> jitter;
    for (size_t i = 1; i < starts.size(); ++i)
        jitter.push_back(std::llabs(starts[i] - starts[i - 1] - PERIOD_NS));
    std::sort(jitter.begin(), jitter.end());
    const size_t rank = static_cast<size_t>(std::ceil(0.99 * static_cast<double>(jitter.size())));
    f.p99JitterMs = static_cast<double>(jitter[std::max<size_t>(rank, 1) - 1]) / 1e6;
    f.meanPeriodMs = static_cast<double>(starts.back() - starts.front()) /
                     static_cast<double>(starts.size() - 1) / 1e6;
    f.ok = true;
    return f;
}

// The C loop: PAYLOAD to a socat pty every millisecond on absolute deadlines; the TCP side is
// drained so that socat never holds the writer back.
Figures CLoop(int passes, const std::string& dir) {
    const int port = testutil::FreePort();
    SocatDevice socat(dir + "PLAIN", SocatDevice::Mode::Listen, port);
    const int tty = ::open((dir + "PLAIN").c_str(), O_RDWR | O_NOCTTY);
    if (tty < 0)
        return {};
    termios tio{};
    tcgetattr(tty, &tio);
    cfmakeraw(&tio);
    tcsetattr(tty, TCSANOW, &tio);
    int tcp = -1;
    for (int i = 0; i < 100 && tcp < 0; ++i)
        if ((tcp = testutil::ConnectLoopback(port)) < 0)
            usleep(20000);
    if (tcp < 0) {
        ::close(tty);
        return {};
    }
    std::atomic<bool> done{false};
    std::thread drain([&] {
        char buf[4096];
        while (!done.load()) {
            pollfd pf{tcp, POLLIN, 0};
            if (::poll(&pf, 1, 50) > 0 && ::read(tcp, buf, sizeof buf) <= 0)
                break;
        }
    });
    std::vector<int64_t> starts;
    starts.reserve(static_cast<size_t>(passes));
    const size_t n = std::char_traits<char>::length(PAYLOAD);
    const int64_t first = MonoNs() + 10 * PERIOD_NS;
    for (int k = 0; k < passes; ++k) {
        const int64_t due = first + k * PERIOD_NS;
        const timespec at{static_cast<time_t>(due / 1000000000),
                          static_cast<long>(due % 1000000000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
        }
        starts.push_back(MonoNs());
        bench::WriteAll(tty, PAYLOAD, n);
    }
    done = true;
    drain.join();
    ::close(tcp);
    ::close(tty);
    return Judge(starts);
}

// The program: the same schedule as a script, its figures from its JSON report.
Figures Program(int passes, const std::string& dir, const std::string& program) {
    const int port = testutil::FreePort();
    SocatDevice socat(dir + "COM1", SocatDevice::Mode::Listen, port);
    testutil::WriteFile(dir + "jitter.vsk", "repeat " + std::to_string(passes) +
                                                " every 1ms\n  send serial \"" + PAYLOAD +
                                                "\"\nend\n");
    testutil::ChildProcess child;
    const std::string command = "exec '" + program + "' --serial '" + dir +
                                "COM1' --connect 127.0.0.1:" + std::to_string(port) +
                                " --script '" + dir + "jitter.vsk' --json >'" + dir +
                                "out.json' 2>'" + dir + "err.txt'";
    if (!child.Start({"/bin/sh", "-c", command}, {}))
        return {};
    const int status = child.Wait(passes + 60000);
    if (status != 0) {
        std::fprintf(stderr, "vaskel-passthrough ended with status %d: %s\n", status,
                     testutil::ReadFile(dir + "err.txt").c_str());
        return {};
    }
    const QJsonObject report =
        QJsonDocument::fromJson(QByteArray::fromStdString(testutil::ReadFile(dir + "out.json")))
            .object();
    const QJsonObject rep = report["script"].toObject()["repeats"].toArray()[0].toObject();
    Figures f;
    f.passes = rep["passes"].toInt();
    f.meanPeriodMs = rep["mean_period_ms"].toDouble();
    f.p99JitterMs = rep["p99_jitter_ms"].toDouble();
    f.ok = f.passes == passes && rep["mean_period_ms"].isDouble();
    return f;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int passes = argc > 1 ? std::max(2, std::atoi(argv[1])) : 10000;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const std::string program = bench::ProgramPath(VASKEL_PASSTHROUGH);
    testutil::TempDir tmp;
    const std::string dir = tmp.path + "/";
    std::printf("repeat %d every 1ms, send serial \"%s\" (16 bytes), %d round(s)\n", passes,
                PAYLOAD, rounds);
    std::vector<double> runnerP99, loopP99;
    for (int round = 1; round <= rounds; ++round) {
        // Alternated, so that a busy moment of the machine falls on both alike.
        const Figures loop = CLoop(passes, dir);
        const Figures runner = Program(passes, dir, program);
        if (!loop.ok || !runner.ok) {
            std::printf("round %d: failed (C loop %s, program %s)\n", round,
                        loop.ok ? "ok" : "failed", runner.ok ? "ok" : "failed");
            return 1;
        }
        std::printf("round %d: program: mean period %.4f ms, p99 jitter %.4f ms (%d passes)\n",
                    round, runner.meanPeriodMs, runner.p99JitterMs, runner.passes);
        std::printf("round %d: C loop : mean period %.4f ms, p99 jitter %.4f ms (%d passes)\n",
                    round, loop.meanPeriodMs, loop.p99JitterMs, loop.passes);
        runnerP99.push_back(runner.p99JitterMs);
        loopP99.push_back(loop.p99JitterMs);
    }
    const double runner = Median(runnerP99), loop = Median(loopP99);
    const double limit = 1.2 * loop + 0.050;
    std::printf("median p99 jitter: program %.4f ms, C loop %.4f ms, ratio %.2f\n", runner, loop,
                loop > 0 ? runner / loop : 0.0);
    std::printf("aim: program p99 jitter <= 1.2 x C loop + 0.050 ms = %.4f ms: %s\n", limit,
                runner <= limit ? "met" : "not met");
    return 0;
}
