// A rack through socat: vaskel-passthrough with eight stations moving MiB each way through eight
// socat bridges at once, next to eight plain movers (read and write loops, no checking) moving
// the same bytes through eight such bridges at once; and one station alone, to show how the
// rack scales. Prints wall times, the ratio, and the runner's CPU time per MiB and peak memory.
//   build/default/bench/stations [stations] [MiB]
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <thread>

#include "bench/BenchUtil.h"
#include "support/SocatDevice.h"
#include "support/TestUtil.h"

extern char** environ;

namespace {

using namespace bench;

struct Bridge {
    std::string com;
    int port = 0;
    std::unique_ptr<SocatDevice> socat;
};

std::vector<Bridge> Bridges(int n, const std::string& dir, const std::string& tag) {
    std::vector<Bridge> out(static_cast<size_t>(n));
    for (int k = 0; k < n; ++k) {
        Bridge& b = out[static_cast<size_t>(k)];
        b.com = dir + tag + std::to_string(k);
        b.port = testutil::FreePort();
        b.socat = std::make_unique<SocatDevice>(b.com, SocatDevice::Mode::Listen, b.port);
    }
    return out;
}

// The floor: each bridge's bytes written into one side and read from the other, serial to
// network and then back, every bridge at once; in bulk (chunked false), or in the program's own
// chunks (255 bytes with a yield after each to the serial side, 512 bytes to the network).
double PlainMovers(const std::vector<Bridge>& bridges, const std::string& data, bool chunked) {
    QElapsedTimer timer;
    timer.start();
    std::vector<std::thread> threads;
    for (const Bridge& b : bridges)
        threads.emplace_back([&b, &data, chunked] {
            const int tty = ::open(b.com.c_str(), O_RDWR | O_NOCTTY);
            termios tio{};
            tcgetattr(tty, &tio);
            cfmakeraw(&tio);
            tcsetattr(tty, TCSANOW, &tio);
            int tcp = -1;
            for (int i = 0; i < 100 && tcp < 0; ++i)
                if ((tcp = testutil::ConnectLoopback(b.port)) < 0)
                    usleep(20000);
            for (const bool toNet : {true, false}) {
                std::thread writer([&] {
                    const size_t chunk = !chunked ? data.size() : toNet ? 255 : 512;
                    for (size_t at = 0; at < data.size(); at += chunk) {
                        WriteAll(toNet ? tty : tcp, data.data() + at,
                                 std::min(chunk, data.size() - at));
                        if (chunked && toNet)
                            sched_yield();
                    }
                });
                ReadCount(toNet ? tcp : tty, data.size());
                writer.join();
            }
            ::close(tcp);
            ::close(tty);
        });
    for (std::thread& t : threads)
        t.join();
    return timer.nsecsElapsed() / 1e9;
}

struct RunnerFigures {
    double seconds = 0;
    double cpu = 0;
    long maxRssKb = 0;
    int code = -1;
};

RunnerFigures Runner(const std::vector<Bridge>& bridges, int mib, const std::string& dir) {
    std::vector<std::string> args = {VASKEL_PASSTHROUGH, "--random", std::to_string(mib) + "M",
                                     "--start-delay",    "0",        "--json"};
    for (size_t k = 0; k < bridges.size(); ++k) {
        args.push_back("--station");
        args.push_back("st" + std::to_string(k + 1) + "," + bridges[k].com +
                       ",127.0.0.1:" + std::to_string(bridges[k].port));
    }
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string json = dir + "rack.json";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, json.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    RunnerFigures f;
    QElapsedTimer timer;
    timer.start();
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        return f;
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage ru{};
    wait4(pid, &status, 0, &ru);
    f.seconds = timer.nsecsElapsed() / 1e9;
    f.cpu =
        ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    f.maxRssKb = ru.ru_maxrss;
    f.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int stations = argc > 1 ? std::atoi(argv[1]) : 8;
    const int mib = argc > 2 ? std::atoi(argv[2]) : 8;
    testutil::TempDir tmp;
    const std::string dir = tmp.path + "/";
    const std::string data = testutil::RandomBytes(static_cast<size_t>(mib) << 20, 5);

    const auto plainBridges = Bridges(stations, dir, "PLAIN");
    const double plain = PlainMovers(plainBridges, data, false);
    const auto chunkBridges = Bridges(stations, dir, "CHUNK");
    const double chunked = PlainMovers(chunkBridges, data, true);
    const auto rackBridges = Bridges(stations, dir, "COM");
    const RunnerFigures rack = Runner(rackBridges, mib, dir);
    const auto oneBridge = Bridges(1, dir, "ONE");
    const RunnerFigures one = Runner(oneBridge, mib, dir);

    const double moved = 2.0 * mib * stations;
    std::printf("%d stations, %d MiB each way through socat\n", stations, mib);
    std::printf("  plain movers in bulk, all at once:          %.3f s\n", plain);
    std::printf("  plain movers in the program's chunks, all at once: %.3f s\n", chunked);
    std::printf(
        "  runner, all at once:         %.3f s (exit %d): %.2f x the chunked movers, "
        "%.2f x the bulk movers\n",
        rack.seconds, rack.code, rack.seconds / chunked, rack.seconds / plain);
    std::printf("  runner CPU: %.3f s, %.1f ms per MiB moved; peak memory %ld kB\n", rack.cpu,
                rack.cpu * 1000 / moved, rack.maxRssKb);
    std::printf("  one station alone:           %.3f s (exit %d); %d at once take %.2f x as long\n",
                one.seconds, one.code, stations, rack.seconds / one.seconds);
    return rack.code == 0 && one.code == 0 ? 0 : 1;
}
