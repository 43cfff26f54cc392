// The device server's side of a flood, on a connected socket of the test's: it never reads, and
// sends requests that each need a reply (IAC DO of an option nobody knows, Com Port Control
// signature requests) until it is destroyed or the link is gone.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include "net/Telnet.h"

class FloodingDeviceServer {
public:
    explicit FloodingDeviceServer(int fd) : m_fd(fd) {
        m_thread = std::thread([this] {
            telnet::Bytes burst;
            for (int i = 0; i < 512; ++i) {
                const telnet::Bytes one =
                    i % 2 ? telnet::Negotiation(telnet::DO, 99)
                          : telnet::Subnegotiation(telnet::OPT_COM_PORT, {comport::SIGNATURE});
                burst.insert(burst.end(), one.begin(), one.end());
            }
            while (!m_stop) {
                if (::send(m_fd, burst.data(), burst.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 &&
                    errno != EAGAIN && errno != EWOULDBLOCK)
                    return;  // the link is gone
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
    }
    ~FloodingDeviceServer() {
        m_stop = true;
        m_thread.join();
    }
    FloodingDeviceServer(const FloodingDeviceServer&) = delete;
    FloodingDeviceServer& operator=(const FloodingDeviceServer&) = delete;

private:
    int m_fd;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
