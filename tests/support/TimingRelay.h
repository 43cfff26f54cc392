// A device server with timing of its own, played by the test: a thread copies bytes both ways
// between a pty master (the program's serial port) and a TCP socket, and in either direction can
// hold every chunk for a fixed time, drop one frame's bytes, send one frame twice, invert a byte,
// or keep the bytes back to let them go in bursts; and can greet with a boot banner first.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <thread>
#include <vector>

// What happens to the bytes of one direction. Frames are counted by offset from the relay's
// start in that direction: frame K is bytes [K * frameSize, (K + 1) * frameSize).
struct RelayTiming {
    int delayMs = 0;           // every chunk goes on this long after it was read
    int frameSize = 16;        // for dropFrame and repeatFrame
    int64_t dropFrame = -1;    // this frame's bytes are read and dropped
    int64_t repeatFrame = -1;  // this frame goes on twice, the copy right after it
    int burstMs = 0;           // > 0: bytes are held and go out together every burstMs
    int64_t flipAt = -1;       // the byte at this offset is inverted
    int bannerBytes = 0;       // this many bytes of text go out first, before anything relayed
};

// Takes over the TCP socket (closes it); the pty stays the caller's.
class TimingRelay {
public:
    TimingRelay(int ptyMaster, int tcp, RelayTiming toNet = {}, RelayTiming toSerial = {})
        : m_thread([=, this] { Run(ptyMaster, tcp, toNet, toSerial); }) {}
    ~TimingRelay() {
        m_stop = true;
        m_thread.join();
    }
    TimingRelay(const TimingRelay&) = delete;
    TimingRelay& operator=(const TimingRelay&) = delete;

private:
    using Clock = std::chrono::steady_clock;
    struct Pending {
        Clock::time_point due;
        std::vector<unsigned char> bytes;
    };
    struct Way {
        RelayTiming t;
        int64_t offset = 0;  // bytes read so far
        std::vector<unsigned char> repeat;
        std::deque<Pending> queue;
        Clock::time_point start;
    };

    // The chunk as it goes on: the dropped frame's bytes left out, the repeated frame doubled.
    static std::vector<unsigned char> Shape(Way& w, const unsigned char* buf, size_t n) {
        std::vector<unsigned char> out;
        const int64_t size = w.t.frameSize;
        for (size_t i = 0; i < n; ++i, ++w.offset) {
            const int64_t frame = w.offset / size;
            if (frame == w.t.dropFrame)
                continue;
            const unsigned char byte = w.offset == w.t.flipAt ? buf[i] ^ 0xFF : buf[i];
            out.push_back(byte);
            if (frame == w.t.repeatFrame) {
                w.repeat.push_back(byte);
                if (w.offset % size == size - 1)
                    out.insert(out.end(), w.repeat.begin(), w.repeat.end());
            }
        }
        return out;
    }

    Clock::time_point Due(const Way& w, Clock::time_point now) const {
        if (w.t.burstMs <= 0)
            return now + std::chrono::milliseconds(w.t.delayMs);
        // The next burst boundary after now.
        const auto burst = std::chrono::milliseconds(w.t.burstMs);
        const auto since = now - w.start;
        return w.start + (since / burst + 1) * burst + std::chrono::milliseconds(w.t.delayMs);
    }

    static void WriteAll(int fd, const std::vector<unsigned char>& bytes,
                         const std::atomic<bool>& stop) {
        for (size_t done = 0; done < bytes.size() && !stop;) {
            const ssize_t k = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (k > 0)
                done += static_cast<size_t>(k);
            else
                usleep(500);
        }
    }

    void Run(int pty, int tcp, const RelayTiming& toNet, const RelayTiming& toSerial) {
        Way ways[2];  // [0] pty -> tcp, [1] tcp -> pty
        ways[0].t = toNet;
        ways[1].t = toSerial;
        ways[0].start = ways[1].start = Clock::now();
        for (int i = 0; i < 2; ++i) {
            const std::string line = "U-Boot 2019.04 (Jan 01 2026) serial console ready\r\n";
            std::vector<unsigned char> banner;
            while (static_cast<int>(banner.size()) < ways[i].t.bannerBytes)
                banner.push_back(static_cast<unsigned char>(line[banner.size() % line.size()]));
            WriteAll(i == 0 ? tcp : pty, banner, m_stop);
        }
        bool tcpOpen = true;
        while (!m_stop) {
            // Send what is due; wait no longer than until the next chunk is.
            Clock::time_point now = Clock::now();
            int timeoutMs = 20;
            for (int i = 0; i < 2; ++i) {
                Way& w = ways[i];
                std::vector<unsigned char> due;
                while (!w.queue.empty() && w.queue.front().due <= now) {
                    due.insert(due.end(), w.queue.front().bytes.begin(),
                               w.queue.front().bytes.end());
                    w.queue.pop_front();
                }
                // A burst goes out in one write.
                if (!due.empty() && tcpOpen)
                    WriteAll(i == 0 ? tcp : pty, due, m_stop);
                if (!w.queue.empty()) {
                    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
                        w.queue.front().due - now);
                    timeoutMs = std::min<int>(timeoutMs, static_cast<int>(left.count() / 1000));
                }
            }
            pollfd p[2] = {{pty, POLLIN, 0}, {tcpOpen ? tcp : -1, POLLIN, 0}};
            if (poll(p, 2, std::max(timeoutMs, 0)) <= 0)
                continue;
            now = Clock::now();
            for (int i = 0; i < 2; ++i) {
                if (!(p[i].revents & (POLLIN | POLLHUP)))
                    continue;
                unsigned char buf[8192];
                const ssize_t n = ::read(p[i].fd, buf, sizeof buf);
                if (n == 0 && i == 1) {
                    ::close(tcp);
                    tcpOpen = false;
                }
                if (n <= 0) {
                    if (i == 0)
                        usleep(1000);  // a pty whose slave is not open yet reports HUP
                    continue;
                }
                Way& w = ways[i];
                std::vector<unsigned char> out = Shape(w, buf, static_cast<size_t>(n));
                if (out.empty())
                    continue;
                if (w.t.delayMs == 0 && w.t.burstMs <= 0 && w.queue.empty()) {
                    if (tcpOpen)
                        WriteAll(i == 0 ? tcp : pty, out, m_stop);
                } else {
                    w.queue.push_back({Due(w, now), std::move(out)});
                }
            }
        }
        if (tcpOpen)
            ::close(tcp);
    }

    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
