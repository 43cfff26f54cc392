// vaskel-passthrough through ser2net (max-connections 3) with three TCP clients on the raw port
// against one. Serial to network the file goes out once and every client must receive it whole:
// the time is the slowest client's (header leaving to last byte stored), next to the one
// client's. Network to serial each client sends its own file in turn: the time is each client's
// own run, the mean of the three next to the one client's. One and three clients alternate in
// each round, so that both see the same load on the machine; each figure is the fastest of the
// verified rounds. Also prints the program's wall time for the whole session.
//   build/default/bench/passthrough_clients [MiB] [rounds]
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "bench/BenchUtil.h"
#include "support/Ser2netDevice.h"
#include "support/TestUtil.h"

extern char** environ;

namespace {

struct Figures {
    double serialToNet = 0;  // the slowest client's time serial to network
    double netToSerial = 0;  // the clients' mean run time network to serial
    double wall = 0;         // the whole program, start to exit
    bool ok = false;
};

Figures Run(const std::string& com, int port, int clients, size_t mib, const std::string& dir) {
    Figures f;
    const std::string json = dir + "report.json";
    std::vector<std::string> args = {bench::ProgramPath(VASKEL_PASSTHROUGH),
                                     "--serial",
                                     com,
                                     "--connect",
                                     "127.0.0.1:" + std::to_string(port),
                                     "--clients",
                                     std::to_string(clients),
                                     "--random",
                                     std::to_string(mib) + "M",
                                     "--start-delay",
                                     "0",
                                     "--json=" + json};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    QElapsedTimer timer;
    timer.start();
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        return f;
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    waitpid(pid, &status, 0);
    f.wall = timer.nsecsElapsed() / 1e9;
    const QJsonArray runs =
        QJsonDocument::fromJson(QByteArray::fromStdString(testutil::ReadFile(json)))
            .object()["runs"]
            .toArray();
    f.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && runs.size() == 2 * clients;
    int toSerial = 0;
    for (const QJsonValue& v : runs) {
        const QJsonObject run = v.toObject();
        f.ok = f.ok && run["result"] == "verified";
        if (run["direction"] == "serial-to-net") {
            f.serialToNet = std::max(f.serialToNet, run["seconds"].toDouble());
        } else {
            f.netToSerial += run["seconds"].toDouble();
            ++toSerial;
        }
    }
    if (toSerial > 0)
        f.netToSerial /= toSerial;
    // ser2net lets a port go a moment after its last client left.
    usleep(300 * 1000);
    return f;
}

// The floor: the same bytes written in bulk into the pty pair (the program's end) and counted by
// `clients` plain TCP readers on ser2net's raw port; the slowest reader's time.
double Plain(const std::string& com, int port, int clients, const std::string& data) {
    const int tty = ::open(com.c_str(), O_RDWR | O_NOCTTY);
    termios tio{};
    tcgetattr(tty, &tio);
    cfmakeraw(&tio);
    tcsetattr(tty, TCSANOW, &tio);
    std::vector<int> tcp;
    for (int k = 0; k < clients; ++k) {
        tcp.push_back(testutil::ConnectLoopback(port));
        // A reader that gets nothing gives up instead of waiting for ever.
        const timeval limit{10, 0};
        ::setsockopt(tcp.back(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
    usleep(100 * 1000);  // ser2net opens the served end once the client is there
    QElapsedTimer timer;
    timer.start();
    std::vector<std::thread> readers;
    std::vector<double> seconds(tcp.size(), 0);
    std::vector<size_t> got(tcp.size(), 0);
    for (size_t k = 0; k < tcp.size(); ++k)
        readers.emplace_back([&, k] {
            got[k] = bench::ReadCount(tcp[k], data.size());
            seconds[k] = timer.nsecsElapsed() / 1e9;
        });
    bench::WriteAll(tty, data.data(), data.size());
    for (std::thread& t : readers)
        t.join();
    for (int fd : tcp)
        ::close(fd);
    ::close(tty);
    usleep(300 * 1000);
    bool ok = true;
    for (size_t n : got)
        ok = ok && n == data.size();
    return ok ? *std::max_element(seconds.begin(), seconds.end()) : -1;
}

void KeepBest(Figures& best, const Figures& f) {
    if (!f.ok || !best.ok) {
        if (!best.ok)
            best = f;
        return;
    }
    best.serialToNet = std::min(best.serialToNet, f.serialToNet);
    best.netToSerial = std::min(best.netToSerial, f.netToSerial);
    best.wall = std::min(best.wall, f.wall);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    const size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 16;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    testutil::TempDir dir;
    const std::string com = dir.File("COM1");
    Ser2netDevice device(com, {.maxConnections = 3, .startServer = true});
    if (!device.Ready()) {
        std::fprintf(stderr, "ser2net did not start:\n%s\n", device.Log().c_str());
        return 1;
    }
    std::string data(mib << 20, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>((i * 2654435761u) >> 13);
    Figures one, three;
    double plainOne = 1e9, plainThree = 1e9;
    for (int i = 0; i < rounds; ++i) {
        KeepBest(one, Run(com, device.RawPort(), 1, mib, dir.path));
        KeepBest(three, Run(com, device.RawPort(), 3, mib, dir.path));
        if (const double s = Plain(com, device.RawPort(), 1, data); s > 0)
            plainOne = std::min(plainOne, s);
        if (const double s = Plain(com, device.RawPort(), 3, data); s > 0)
            plainThree = std::min(plainThree, s);
    }
    std::printf("vaskel-passthrough, %zu MiB through ser2net's raw port, best of %d\n", mib,
                rounds);
    std::printf(
        "serial -> network: 1 client %.3f s%s | 3 clients, slowest %.3f s%s | ratio %.2f "
        "(aim <= 1.2)\n",
        one.serialToNet, one.ok ? "" : " (NOT VERIFIED)", three.serialToNet,
        three.ok ? "" : " (NOT VERIFIED)", three.serialToNet / one.serialToNet);
    std::printf(
        "  floor, plain tools (bulk write, counting readers): 1 reader %.3f s | 3 readers, "
        "slowest %.3f s | ratio %.2f\n",
        plainOne, plainThree, plainThree / plainOne);
    std::printf(
        "network -> serial: 1 client %.3f s | 3 clients, mean run %.3f s | ratio %.2f "
        "(aim <= 1.2)\n",
        one.netToSerial, three.netToSerial, three.netToSerial / one.netToSerial);
    std::printf(
        "whole program: 1 client %.3f s | 3 clients %.3f s (3 files network to serial, "
        "one after the other)\n",
        one.wall, three.wall);
    return one.ok && three.ok ? 0 : 1;
}
