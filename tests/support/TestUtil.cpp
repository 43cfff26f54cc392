#include "support/TestUtil.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace testutil {

bool WaitFor(const std::function<bool()>& cond, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!cond()) {
        if (timer.elapsed() > timeoutMs)
            return cond();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

void Pump(int ms) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
}

long MsSince(std::chrono::steady_clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count());
}

PtyPair::PtyPair() {
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    slavePath = name;
    // Raw on both sides so that every byte passes unchanged.
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
}

PtyPair::~PtyPair() {
    CloseMaster();
    if (slave >= 0)
        close(slave);
}

void PtyPair::CloseMaster() {
    if (master >= 0)
        close(master);
    master = -1;
}

void PtyPair::Write(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(master, bytes.data() + done, bytes.size() - done);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            pollfd p{master, POLLOUT, 0};
            poll(&p, 1, 100);
            continue;
        }
        if (n <= 0)
            throw std::runtime_error("pty write failed");
        done += static_cast<size_t>(n);
    }
}

std::string PtyPair::Read(size_t count, int timeoutMs) {
    std::string out;
    QElapsedTimer timer;
    timer.start();
    while (out.size() < count && timer.elapsed() < timeoutMs) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 20) > 0 && (p.revents & POLLIN)) {
            char buf[4096];
            ssize_t n = ::read(master, buf, std::min(sizeof buf, count - out.size()));
            if (n > 0)
                out.append(buf, static_cast<size_t>(n));
        }
        QCoreApplication::processEvents();
    }
    return out;
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/vaskel-test-XXXXXX";
    char* p = mkdtemp(tmpl);
    if (!p)
        throw std::runtime_error("mkdtemp failed");
    path = std::string(p) + "/";
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(rng() & 0xFF);
    return s;
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::vector<std::string> ListDir(const std::string& dir) {
    std::vector<std::string> names;
    for (auto& e : std::filesystem::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

FileSizeLimit::FileSizeLimit(unsigned long bytes) {
    rlimit saved{};
    if (getrlimit(RLIMIT_FSIZE, &saved) != 0)
        return;
    m_savedCur = saved.rlim_cur;
    m_savedMax = saved.rlim_max;
    m_savedHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit low = saved;
    low.rlim_cur = bytes;
    ok = setrlimit(RLIMIT_FSIZE, &low) == 0;
}

FileSizeLimit::~FileSizeLimit() {
    rlimit saved{};
    saved.rlim_cur = m_savedCur;
    saved.rlim_max = m_savedMax;
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, m_savedHandler ? m_savedHandler : SIG_DFL);
}

int OpenFdCount() {
    int count = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

}  // namespace testutil

#include <spawn.h>
#include <sys/wait.h>
#include <csignal>

extern char** environ;

namespace testutil {

ChildProcess::~ChildProcess() {
    if (Running()) {
        Kill(SIGKILL);
        Wait(5000);
    }
}

bool ChildProcess::Start(const std::vector<std::string>& argv,
                         const std::vector<std::string>& env) {
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
        std::string entry(*e);
        const std::string name = entry.substr(0, entry.find('='));
        bool overridden = false;
        for (const auto& extra : env)
            overridden |= extra.substr(0, extra.find('=')) == name;
        if (!overridden)
            envStrings.push_back(entry);
    }
    envStrings.insert(envStrings.end(), env.begin(), env.end());
    std::vector<char*> args, envp;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (auto& e : envStrings)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    m_status = -1;
    return posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), envp.data()) == 0;
}

int ChildProcess::Wait(int timeoutMs) {
    if (pid <= 0)
        return m_status;
    for (int waited = 0;; waited += 10) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            m_status = status;
            return status;
        }
        if (waited >= timeoutMs)
            return -1;
        usleep(10000);
    }
}

bool ChildProcess::Running() {
    return pid > 0 && Wait(0) == -1 && pid > 0;
}

void ChildProcess::Kill(int signal) {
    if (pid > 0)
        ::kill(pid, signal);
}

std::string RunCommand(const std::string& command, int* code) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        if (code)
            *code = -1;
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0)
        out.append(buf, n);
    const int status = pclose(pipe);
    if (code)
        *code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

XvfbServer::XvfbServer() {
    // Should the server have gone by the time it is checked, a new one is started, on whatever
    // number is free then.
    for (int attempt = 0; attempt < 3 && display.empty(); ++attempt) {
        if (attempt > 0) {
            m_process.Kill(SIGTERM);
            m_process.Wait(5000);
        }
        display = StartOnce();
        int code = -1;
        if (!display.empty())
            RunCommand("xdpyinfo -display " + display + " >/dev/null 2>&1", &code);
        if (code != 0 || !m_process.Running())
            display.clear();
    }
}

std::string XvfbServer::StartOnce() {
    // -displayfd: the server takes a display number that is free at that moment (never a fixed
    // one, which a server of a parallel test could hold) and writes it, then a newline, once it
    // accepts clients. Only the write end goes to the server.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return {};
    const int toServer = fcntl(fds[1], F_DUPFD, 3);  // the same pipe, inherited
    close(fds[1]);
    if (toServer < 0) {
        close(fds[0]);
        return {};
    }
    // -noreset: the server stays as it is when its last client leaves. Otherwise the check
    // above, by disconnecting, makes it tear down and rebuild everything (running the keymap
    // compiler again) just as the program under test connects; on a loaded machine that
    // rebuild is slow and can fail, and the program then finds no server on the display.
    const bool started =
        m_process.Start({"Xvfb", "-displayfd", std::to_string(toServer), "-noreset", "-screen", "0",
                         "1280x1024x24", "-nolisten", "tcp"});
    close(toServer);
    std::string text;
    QElapsedTimer clock;
    clock.start();
    // The whole line: the number may come in more than one piece.
    while (started && text.find('\n') == std::string::npos) {
        const qint64 left = 10000 - clock.elapsed();
        pollfd p{fds[0], POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
            break;
        char buf[32];
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0)
            break;  // the server ended before it was ready
        text.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    if (text.empty() || text.find('\n') == std::string::npos)
        return {};
    return ":" + std::to_string(std::atoi(text.c_str()));
}

XvfbServer::~XvfbServer() {
    m_process.Kill(SIGTERM);
    m_process.Wait(5000);
}

}  // namespace testutil

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace testutil {

int ListenLoopback(int* port, int backlog, int receiveBuffer) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (receiveBuffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(*port));
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, backlog) != 0) {
        close(fd);
        return -1;
    }
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    *port = ntohs(a.sin_port);
    return fd;
}

int AcceptWithin(int listener, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        pollfd p{listener, POLLIN, 0};
        if (poll(&p, 1, 10) > 0)
            return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        QCoreApplication::processEvents();
    }
    return -1;
}

int ConnectLoopback(int port, int receiveBuffer) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void SendAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            throw std::runtime_error("send failed");
        done += static_cast<size_t>(n);
    }
}

std::string RecvSome(int fd, size_t count, int timeoutMs) {
    std::string out;
    QElapsedTimer timer;
    timer.start();
    while (out.size() < count && timer.elapsed() < timeoutMs) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10) > 0) {
            char buf[65536];
            ssize_t n = recv(fd, buf, std::min(sizeof buf, count - out.size()), 0);
            if (n <= 0)
                break;
            out.append(buf, static_cast<size_t>(n));
        }
        QCoreApplication::processEvents();
    }
    return out;
}

bool PeerClosed(int fd, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10) > 0) {
            char c;
            ssize_t n = recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN))
                return true;
            if (n > 0) {
                recv(fd, &c, 1, 0);  // discard data; keep looking for the close
                continue;
            }
        }
        QCoreApplication::processEvents();
    }
    return false;
}

int FreePort() {
    int port = 0;
    int fd = ListenLoopback(&port);
    close(fd);
    return port;
}

}  // namespace testutil

namespace testutil {

FullListener::FullListener(int wantedPort) : port(wantedPort) {
    fd = ListenLoopback(&port, 0);
    if (fd < 0)
        return;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    // Connections that nobody accepts fill the queue; the first one still waiting after 200 ms
    // shows that handshakes are being dropped.
    for (int i = 0; i < 16 && !full; ++i) {
        const int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        fillers.push_back(c);
        connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
        pollfd p{c, POLLOUT, 0};
        full = poll(&p, 1, 200) == 0;
    }
}

FullListener::~FullListener() {
    for (int c : fillers)
        close(c);
    if (fd >= 0)
        close(fd);
}

}  // namespace testutil
