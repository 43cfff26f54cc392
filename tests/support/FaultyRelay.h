// A device server that is not quite a wire, played by the test: a thread copies bytes both ways
// between a pty master (the program's serial port) and a TCP socket, and can invert one byte,
// double every 0xFF, drop the tail or close the TCP link in either direction.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>

// What happens to the bytes of one direction; offsets count every byte of that direction from
// the relay's start (so file byte K of a pass-through is offset 18 + K, after the header).
struct RelayFaults {
    int64_t flipAt = -1;     // this byte is inverted
    int64_t passLimit = -1;  // after this many bytes the rest is read and dropped
    // After this many bytes the TCP socket is closed: a FIN, or a reset when the program's bytes
    // are still waiting unread in it (it was sending).
    int64_t closeAfter = -1;
    // Every 0xFF byte goes on twice, as a Telnet server escapes it.
    bool doubleFF = false;
};

// Takes over the TCP socket (closes it); the pty stays the caller's.
class FaultyRelay {
public:
    FaultyRelay(int ptyMaster, int tcp, RelayFaults toNet = {}, RelayFaults toSerial = {})
        : m_thread([=, this] { Run(ptyMaster, tcp, toNet, toSerial); }) {}
    ~FaultyRelay() {
        m_stop = true;
        m_thread.join();
    }
    FaultyRelay(const FaultyRelay&) = delete;
    FaultyRelay& operator=(const FaultyRelay&) = delete;

private:
    void Run(int pty, int tcp, const RelayFaults& toNet, const RelayFaults& toSerial) {
        int64_t passed[2] = {0, 0};  // [0] pty -> tcp, [1] tcp -> pty
        bool tcpOpen = true;
        while (!m_stop) {
            pollfd p[2] = {{pty, POLLIN, 0}, {tcpOpen ? tcp : -1, POLLIN, 0}};
            if (poll(p, 2, 20) <= 0)
                continue;
            for (int i = 0; i < 2; ++i) {
                if (!(p[i].revents & (POLLIN | POLLHUP)))
                    continue;
                if (!tcpOpen) {  // what the program still sends on its serial side is dropped
                    unsigned char sink[8192];
                    if (i == 0 && ::read(pty, sink, sizeof sink) < 0)
                        usleep(1000);
                    continue;
                }
                const RelayFaults& f = i == 0 ? toNet : toSerial;
                const int from = p[i].fd, to = i == 0 ? tcp : pty;
                unsigned char buf[8192];
                size_t want = sizeof buf;
                // Stop exactly at the byte after which the link closes.
                if (f.closeAfter >= 0)
                    want = std::min<size_t>(want, static_cast<size_t>(f.closeAfter - passed[i]));
                const ssize_t n = want > 0 ? ::read(from, buf, want) : 0;
                if (n == 0 && i == 1) {
                    ::close(tcp);  // the program closed its side
                    tcpOpen = false;
                }
                if (n <= 0)
                    continue;
                const int64_t start = passed[i];
                passed[i] += n;
                if (f.flipAt >= start && f.flipAt < passed[i])
                    buf[f.flipAt - start] ^= 0xFF;
                ssize_t keep = n;
                if (f.passLimit >= 0)
                    keep = static_cast<ssize_t>(std::clamp<int64_t>(f.passLimit - start, 0, n));
                unsigned char doubled[2 * sizeof buf];
                const unsigned char* out = buf;
                if (f.doubleFF) {
                    ssize_t m = 0;
                    for (ssize_t k = 0; k < keep; ++k) {
                        doubled[m++] = buf[k];
                        if (buf[k] == 0xFF)
                            doubled[m++] = 0xFF;
                    }
                    out = doubled;
                    keep = m;
                }
                for (ssize_t done = 0; done < keep && !m_stop;) {
                    const ssize_t w = ::write(to, out + done, static_cast<size_t>(keep - done));
                    if (w > 0)
                        done += w;
                    else
                        usleep(1000);
                }
                if (f.closeAfter >= 0 && passed[i] >= f.closeAfter) {
                    ::close(tcp);
                    tcpOpen = false;
                }
            }
        }
        if (tcpOpen)
            ::close(tcp);
    }

    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
