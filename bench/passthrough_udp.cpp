// vaskel-passthrough --udp moving a file through socat in both directions (a pty on its serial
// side, UDP-DATAGRAM with a fixed peer on its network side), next to plain tools doing the same
// over the same kind of bridge: a C writer and reader, 255-byte writes with a yield to the pty
// and 1024-byte datagrams to the device, as the program sends them. The datagrams to the device
// go unpaced by default, or both at PACE bytes a second; the pty is written as fast as it takes
// the bytes. Prints both throughputs, the ratio, and what did not arrive.
//   build/default/bench/passthrough_udp [MiB] [PACE]
// VASKEL_BENCH_PROGRAM=<another vaskel-passthrough> measures that build instead.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

#include "bench/BenchUtil.h"
#include "support/TestUtil.h"

extern char** environ;

namespace {

using namespace bench;

constexpr size_t kDatagram = 1024;  // the program's file datagrams
constexpr size_t kSerialChunk = 255;
constexpr int kSilenceMs = 2000;  // the end of a transfer that lost bytes

struct Figures {
    double seconds = 0;
    size_t bytes = 0;  // arrived
    bool ok = false;   // every byte arrived (the program: verified)
    double Rate() const { return seconds > 0 ? bytes / seconds / (1 << 20) : 0; }
};

// socat as a UDP device server: `com` its pty, sending to `peer` from `device`.
struct UdpSocat {
    UdpSocat(const std::string& com, int peer, int device) {
        started = process.Start({"socat", "PTY,link=" + com + ",raw,echo=0",
                                 "UDP-DATAGRAM:127.0.0.1:" + std::to_string(peer) +
                                     ",bind=127.0.0.1:" + std::to_string(device)});
        struct stat st {};
        started = started && testutil::WaitFor([&] { return ::lstat(com.c_str(), &st) == 0; });
    }
    ~UdpSocat() {
        process.Kill(15);
        process.Wait(3000);
    }
    testutil::ChildProcess process;
    bool started = false;
};

sockaddr_in Loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// Reads `fd` until `total` bytes or kSilenceMs without any; the bytes read, the time of the last.
size_t ReadUntilSilent(int fd, size_t total, std::chrono::steady_clock::time_point* last) {
    std::vector<char> buf(1 << 16);
    size_t got = 0;
    while (got < total) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, kSilenceMs) <= 0)
            break;
        const ssize_t r = ::read(fd, buf.data(), buf.size());
        if (r <= 0)
            break;
        got += static_cast<size_t>(r);
        *last = std::chrono::steady_clock::now();
    }
    return got;
}

// Waits until the next piece of `n` bytes may go at `pace` bytes a second (0: at once).
void Pace(double pace, std::chrono::steady_clock::time_point& next, size_t n) {
    if (pace <= 0)
        return;
    std::this_thread::sleep_until(next);
    next += std::chrono::nanoseconds(static_cast<int64_t>(1e9 * n / pace));
}

Figures Plain(const std::string& data, bool serialToNet, double pace, const std::string& dir) {
    Figures f;
    const int peer = testutil::FreePort(), device = testutil::FreePort();
    const int udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in self = Loopback(peer), to = Loopback(device);
    ::bind(udp, reinterpret_cast<const sockaddr*>(&self), sizeof self);
    // The program's receive buffer, as far as net.core.rmem_max allows.
    const int size = 4 * 1024 * 1024;
    ::setsockopt(udp, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    UdpSocat socat(dir + "PLAIN", peer, device);
    if (!socat.started)
        return f;
    const int tty = ::open((dir + "PLAIN").c_str(), O_RDWR | O_NOCTTY);
    termios tio{};
    tcgetattr(tty, &tio);
    cfmakeraw(&tio);
    tcsetattr(tty, TCSANOW, &tio);
    const auto start = std::chrono::steady_clock::now();
    auto last = start;
    std::thread writer([&] {
        auto next = std::chrono::steady_clock::now();
        const size_t chunk = serialToNet ? kSerialChunk : kDatagram;
        for (size_t at = 0; at < data.size(); at += chunk) {
            const size_t n = std::min(chunk, data.size() - at);
            Pace(pace, next, n);
            if (serialToNet) {
                WriteAll(tty, data.data() + at, n);
                sched_yield();
            } else {
                while (::sendto(udp, data.data() + at, n, 0, reinterpret_cast<const sockaddr*>(&to),
                                sizeof to) < 0 &&
                       (errno == EAGAIN || errno == ENOBUFS || errno == EINTR)) {
                    pollfd p{udp, POLLOUT, 0};
                    ::poll(&p, 1, 50);
                }
            }
        }
    });
    f.bytes = ReadUntilSilent(serialToNet ? udp : tty, data.size(), &last);
    writer.join();
    f.seconds = std::chrono::duration<double>(last - start).count();
    f.ok = f.bytes == data.size();
    ::close(tty);
    ::close(udp);
    return f;
}

Figures Program(size_t mib, bool serialToNet, double pace, const std::string& dir) {
    Figures f;
    const int peer = testutil::FreePort(), device = testutil::FreePort();
    UdpSocat socat(dir + "COM1", peer, device);
    if (!socat.started)
        return f;
    const std::string json = dir + "report.json";
    std::vector<std::string> args = {ProgramPath(VASKEL_PASSTHROUGH),
                                     "--serial",
                                     dir + "COM1",
                                     "--udp",
                                     "127.0.0.1:" + std::to_string(device),
                                     "--udp-local",
                                     std::to_string(peer),
                                     "--udp-pace",
                                     pace > 0 ? std::to_string(static_cast<long>(pace)) : "off",
                                     "--random",
                                     std::to_string(mib) + "M",
                                     "--direction",
                                     serialToNet ? "serial-to-net" : "net-to-serial",
                                     "--json",
                                     "--start-delay",
                                     "0"};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, json.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        return f;
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    ::waitpid(pid, &status, 0);
    const QJsonObject report =
        QJsonDocument::fromJson(QByteArray::fromStdString(testutil::ReadFile(json))).object();
    const QJsonObject run = report["runs"].toArray().at(0).toObject();
    f.seconds = run["seconds"].toDouble();
    f.bytes = static_cast<size_t>(run["bytes_stored"].toInteger());
    f.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && run["result"] == "verified";
    if (!f.ok)
        std::printf("  program: %s\n", run["message"].toString().toStdString().c_str());
    if (const QJsonValue finding = run["datagrams"]["finding"]; finding.isString())
        std::printf("  program: udp: %s\n", finding.toString().toStdString().c_str());
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    const size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 16;
    const double pace = argc > 2 ? std::strtod(argv[2], nullptr) : 0;
    testutil::TempDir dir;
    // The program's --random pattern is its own; the plain tools send bytes of the same count.
    std::string data(mib << 20, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>((i * 2654435761u) >> 13);
    std::printf(
        "vaskel-passthrough --udp, %zu MiB through socat (pty <-> UDP-DATAGRAM), %s\n", mib,
        pace > 0 ? ("both paced to " + std::to_string(static_cast<long>(pace)) + " bytes/s").c_str()
                 : "unpaced");
    for (bool serialToNet : {true, false}) {
        const std::string way = serialToNet ? "serial -> network" : "network -> serial";
        std::printf("%s:\n", way.c_str());
        // The serial side is written as fast as the pty takes it, by the program and the plain
        // writer alike; the pace is that of the datagrams to the device.
        const Figures prog = Program(mib, serialToNet, pace, dir.path);
        const Figures plain = Plain(data, serialToNet, serialToNet ? 0 : pace, dir.path);
        std::printf(
            "  program %.3f s, %.2f MiB/s%s | plain C %.3f s, %.2f MiB/s%s\n", prog.seconds,
            prog.Rate(),
            prog.ok ? "" : (" (NOT VERIFIED, " + std::to_string(prog.bytes) + " stored)").c_str(),
            plain.seconds, plain.Rate(),
            plain.ok ? ""
                     : (" (" + std::to_string(data.size() - plain.bytes) + " bytes lost)").c_str());
        std::printf("  throughput ratio program/plain %.2f\n",
                    plain.Rate() > 0 ? prog.Rate() / plain.Rate() : 0.0);
    }
    return 0;
}
