// Measuring helpers shared by the benchmarks: CPU time, resident memory, plain writers and
// readers for the socat floors.
#pragma once

#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
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

}  // namespace bench
