// A UDP network between the program and a UDP device server that is not quite a wire, played by
// the test: a thread forwards datagrams both ways between two loopback sockets and can drop one,
// send one twice, or swap one with the next, in either direction.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>

// What happens to one direction's datagrams, counted from 1 in the order they reach the relay.
struct UdpFaults {
    int64_t drop = -1;    // this one is not passed on
    int64_t repeat = -1;  // this one is passed on twice
    int64_t swap = -1;    // this one is held and passed on after the next
};

class UdpRelay {
public:
    // The program sends to ProgramSidePort() and receives on `programPort`; the device server
    // sends to DeviceSidePort() and receives on `devicePort`.
    UdpRelay(unsigned programPort, unsigned devicePort, UdpFaults toDevice = {},
             UdpFaults toProgram = {})
        : m_program(Bind()), m_device(Bind()) {
        m_thread = std::thread([=, this] { Run(programPort, devicePort, toDevice, toProgram); });
    }
    ~UdpRelay() {
        m_stop = true;
        m_thread.join();
        ::close(m_program);
        ::close(m_device);
    }
    UdpRelay(const UdpRelay&) = delete;
    UdpRelay& operator=(const UdpRelay&) = delete;

    unsigned ProgramSidePort() const { return PortOf(m_program); }
    unsigned DeviceSidePort() const { return PortOf(m_device); }
    // Datagrams that reached the relay: [0] from the program, [1] from the device.
    int64_t Seen(int side) const { return m_seen[side].load(); }

private:
    static int Bind() {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = Loopback(0);
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        // Room for a whole file's datagrams in flight: the test judges the relay's faults only.
        const int size = 4 << 20;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        return fd;
    }
    static sockaddr_in Loopback(unsigned port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return a;
    }
    static unsigned PortOf(int fd) {
        sockaddr_in a{};
        socklen_t n = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
        return ntohs(a.sin_port);
    }
    void Run(unsigned programPort, unsigned devicePort, UdpFaults toDevice, UdpFaults toProgram) {
        const sockaddr_in to[2] = {Loopback(devicePort), Loopback(programPort)};
        const int out[2] = {m_device, m_program};
        const UdpFaults faults[2] = {toDevice, toProgram};
        std::optional<std::string> held[2];
        const auto send = [&](int i, const std::string& d) {
            ::sendto(out[i], d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to[i]),
                     sizeof to[i]);
        };
        while (!m_stop) {
            pollfd p[2] = {{m_program, POLLIN, 0}, {m_device, POLLIN, 0}};
            if (::poll(p, 2, 20) <= 0)
                continue;
            for (int i = 0; i < 2; ++i) {
                if (!(p[i].revents & POLLIN))
                    continue;
                char buf[65536];
                const ssize_t n = ::recv(p[i].fd, buf, sizeof buf, 0);
                if (n < 0)
                    continue;
                const std::string d(buf, static_cast<size_t>(n));
                const int64_t k = ++m_seen[i];
                const UdpFaults& f = faults[i];
                if (k == f.drop)
                    continue;
                if (k == f.swap) {
                    held[i] = d;
                    continue;
                }
                send(i, d);
                if (k == f.repeat)
                    send(i, d);
                if (held[i]) {
                    send(i, *held[i]);
                    held[i].reset();
                }
            }
        }
    }

    const int m_program, m_device;
    std::atomic<bool> m_stop{false};
    std::atomic<int64_t> m_seen[2] = {0, 0};
    std::thread m_thread;
};
