// Measuring helpers shared by the benchmarks: CPU time, resident memory, plain writers and
// readers for the socat floors.
#pragma once

#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace bench {

inline double CpuSecondsSelf() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

inline double CpuSecondsOf(int pid) {
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

inline long RssKb() {
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

inline void WriteAll(int fd, const char* p, size_t n) {
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

inline size_t ReadCount(int fd, size_t total) {
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

// The program the runner's benchmarks run: VASKEL_BENCH_PROGRAM when set (another build to
// compare with), else the one built beside them.
inline std::string ProgramPath(const char* built) {
    const char* other = std::getenv("VASKEL_BENCH_PROGRAM");
    return other && *other ? other : built;
}

// The prefix that runs a program under strace, counting its system calls (every thread) into
// `file`. strace slows every call, so a traced run is a round of its own, never timed.
inline std::vector<std::string> StracePrefix(const std::string& file) {
    return {"/usr/bin/strace", "-f", "-c", "-o", file, "--"};
}

// The calls by name from strace's summary ("% time seconds usecs/call calls [errors] syscall"),
// with "total"; empty when the file is missing (strace not installed).
inline std::map<std::string, long> StraceCounts(const std::string& file) {
    std::map<std::string, long> calls;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        std::istringstream f(line);
        std::vector<std::string> t;
        for (std::string w; f >> w;)
            t.push_back(w);
        if (t.size() < 5 || t[0].find_first_not_of("0123456789.") != std::string::npos)
            continue;
        calls[t.back()] = std::atol(t[3].c_str());
    }
    return calls;
}

// "N per MiB (write a, read b, recv c, sched_yield d, poll e, futex f)": the kinds that move or
// wait for the bytes; recv counts recvfrom and recvmsg, poll counts ppoll.
inline std::string SyscallsPerMiB(const std::map<std::string, long>& calls, double mib) {
    if (calls.empty())
        return "not counted (strace missing?)";
    auto count = [&](std::initializer_list<const char*> names) {
        long n = 0;
        for (const char* name : names)
            if (auto it = calls.find(name); it != calls.end())
                n += it->second;
        return static_cast<double>(n) / mib;
    };
    char text[256];
    std::snprintf(text, sizeof text,
                  "%.0f per MiB (write %.0f, read %.0f, recv %.0f, sched_yield %.0f, poll %.0f, "
                  "futex %.0f)",
                  count({"total"}), count({"write", "writev"}), count({"read", "readv"}),
                  count({"recvfrom", "recvmsg"}), count({"sched_yield"}), count({"poll", "ppoll"}),
                  count({"futex"}));
    return text;
}

}  // namespace bench
