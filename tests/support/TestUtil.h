// Helpers shared by the engine and dialog tests (Qt Core only): event pumping, pty pairs,
// temporary directories, child processes, loopback sockets.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace testutil {

// Processes Qt events until cond() is true or timeoutMs have passed; returns cond().
bool WaitFor(const std::function<bool()>& cond, int timeoutMs = 5000);
// Processes Qt events for ms milliseconds.
void Pump(int ms);
// Milliseconds since `start` on the steady clock.
long MsSince(std::chrono::steady_clock::time_point start);

// What a run of sends that the far side stops taking came to.
template <class Result>
struct SendRun {
    bool returned = false;  // every send returned within the time allowed
    Result last;            // the last send's result
    long longestMs = 0;     // the longest single send
};

// Calls send() up to `times` times, until one fails, on a thread of its own, so that a send that
// waits for ever fails the test instead of hanging it: when the sends have not finished within
// five seconds, unblock() (which must end the wait, say by closing the far side) runs first.
template <class Result>
SendRun<Result> SendUntilRefused(int times, const std::function<Result()>& send,
                                 const std::function<void()>& unblock) {
    using Clock = std::chrono::steady_clock;
    SendRun<Result> run;
    std::atomic<bool> done{false};
    std::thread sender([&] {
        for (int i = 0; i < times && (i == 0 || run.last.ok); ++i) {
            const auto start = Clock::now();
            run.last = send();
            run.longestMs = std::max(run.longestMs, MsSince(start));
        }
        done = true;
    });
    const auto start = Clock::now();
    while (!done && Clock::now() - start < std::chrono::seconds(5))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    run.returned = done.load();
    if (!run.returned)
        unblock();
    sender.join();
    return run;
}

// A pseudo-terminal pair: the program opens `slavePath` (the serial port), the test plays the
// device on `master`.
struct PtyPair {
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;
    void CloseMaster();
    // Writes every byte to the master.
    void Write(const std::string& bytes);
    // Reads from the master until `count` bytes arrived or timeoutMs passed.
    std::string Read(size_t count, int timeoutMs = 3000);
    int master = -1;
    int slave = -1;  // kept open by the pair only until the program opens the port
    std::string slavePath;
};

// A fresh directory under /tmp, removed with its content at the end.
struct TempDir {
    TempDir();
    ~TempDir();
    std::string path;  // with a trailing '/'
    std::string File(const std::string& name) const { return path + name; }
};

std::string ReadFile(const std::string& path);
// n pseudo-random bytes, the same for the same seed.
std::string RandomBytes(size_t n, unsigned seed);
void WriteFile(const std::string& path, const std::string& content);
std::vector<std::string> ListDir(const std::string& dir);

// Number of open file descriptors of this process.
int OpenFdCount();

// While it lives, writes to regular files past `bytes` fail with EFBIG ("File too large") as a
// full disk fails them with ENOSPC: a write that crosses the limit stores the bytes below it.
// SIGXFSZ is ignored meanwhile; the limit and the signal's action are restored at the end.
class FileSizeLimit {
public:
    explicit FileSizeLimit(unsigned long bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    bool ok = false;

private:
    unsigned long m_savedCur = 0, m_savedMax = 0;
    void (*m_savedHandler)(int) = nullptr;
};

}  // namespace testutil

namespace testutil {

// A child process started from an argument list, with extra environment entries ("NAME=value").
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});
    // Waits up to timeoutMs for the child to end; its exit status (as waitpid gives), or -1.
    int Wait(int timeoutMs);
    bool Running();
    void Kill(int signal = 15);
    int pid = -1;

private:
    int m_status = -1;
};

// Runs a shell command, returns its standard output (and its exit code through *code).
std::string RunCommand(const std::string& command, int* code = nullptr);

// An X server of the test's own (Xvfb), for tests that need a real window.
class XvfbServer {
public:
    XvfbServer();
    ~XvfbServer();
    std::string display;  // ":N"; empty when the server did not start
private:
    std::string StartOnce();
    ChildProcess m_process;
};

}  // namespace testutil

namespace testutil {

// Plain loopback sockets for the test's side of a TCP link.
// port 0 in *port: any free one. `receiveBuffer` > 0: SO_RCVBUF set before the handshake (set
// after it, the buffer falls below the window already offered, and the kernel then drops
// segments, acknowledgements and all, stalling the peer's sending).
int ListenLoopback(int* port, int backlog = 8, int receiveBuffer = 0);
int AcceptWithin(int listener, int timeoutMs);         // -1 when nobody connected in time
int ConnectLoopback(int port, int receiveBuffer = 0);  // blocking connect, -1 on failure
void SendAll(int fd, const std::string& bytes);
// Receives until `count` bytes arrived, the peer closed, or timeoutMs passed (pumping events).
std::string RecvSome(int fd, size_t count, int timeoutMs = 3000);
// True when the peer has closed the connection (within timeoutMs).
bool PeerClosed(int fd, int timeoutMs = 2000);
int FreePort();

// A loopback listener whose accept queue is full: the kernel drops further handshakes, so a
// connect to `port` is neither made nor refused until the connector gives up. `full` is false
// when the kernel did not drop them (net.ipv4.tcp_abort_on_overflow set). `wantedPort` 0: any
// free one.
struct FullListener {
    explicit FullListener(int wantedPort = 0);
    ~FullListener();
    FullListener(const FullListener&) = delete;
    FullListener& operator=(const FullListener&) = delete;
    int fd = -1;
    int port = 0;
    bool full = false;
    std::vector<int> fillers;
};

}  // namespace testutil
