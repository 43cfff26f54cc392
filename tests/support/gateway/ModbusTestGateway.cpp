// A Modbus TCP to RTU gateway for the tests, built on the principle most device servers use:
// Modbus TCP clients on a listening port, one RTU request at a time on the serial line (the others
// wait in a queue), an answer that ends with 3.5 characters of silence, and exception 0x0B when
// the addressed slave does not answer within the time-out. Units outside --routes get 0x0A at
// once. Broadcasts (unit 0) go out and get no answer. Switches make it misbehave the way faulty
// gateways do, so that the tests can see the runner name each fault.
//
// Kept apart from the program's own Modbus code on purpose (its own CRC and framing): a fault in
// the program must not be mirrored here and cancel out.
//
// Usage: modbus_test_gateway --serial PATH [--listen PORT] [--baud N] [--timeout MS]
//                            [--routes 1,2,17] [--fault wrong-tid|unchecked-crc|swap-units]
// Prints "listening on PORT" (the port chosen when --listen is 0 or not given) once it accepts.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

enum class Fault { None, WrongTid, UncheckedCrc, SwapUnits };

struct Options {
    std::string serial;
    int port = 0;
    int baud = 9600;
    int timeoutMs = 100;
    std::set<int> routes;  // empty: every unit has a path
    Fault fault = Fault::None;
};

uint16_t Crc16Modbus(const uint8_t* p, size_t n) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int b = 0; b < 8; ++b)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : (crc >> 1);
    }
    return crc;
}

// The silence that ends an RTU frame: 3.5 characters of 11 bits, fixed at 1.75 ms above 19200.
Clock::duration FrameSilence(int baud) {
    if (baud > 19200)
        return std::chrono::microseconds(1750);
    return std::chrono::microseconds(static_cast<int64_t>(3.5 * 11 * 1e6 / baud));
}

Clock::duration WireTime(size_t bytes, int baud) {
    return std::chrono::microseconds(static_cast<int64_t>(bytes * 11 * 1e6 / baud));
}

[[noreturn]] void Die(const std::string& what) {
    std::fprintf(stderr, "modbus_test_gateway: %s\n", what.c_str());
    std::exit(2);
}

Options Parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc)
            Die(a + " needs a value");
        const std::string v = argv[++i];
        if (a == "--serial") {
            o.serial = v;
        } else if (a == "--listen") {
            o.port = std::atoi(v.c_str());
        } else if (a == "--baud") {
            o.baud = std::atoi(v.c_str());
        } else if (a == "--timeout") {
            o.timeoutMs = std::atoi(v.c_str());
        } else if (a == "--routes") {
            for (size_t at = 0; at < v.size();) {
                const size_t comma = v.find(',', at);
                o.routes.insert(std::atoi(v.substr(at, comma - at).c_str()));
                at = comma == std::string::npos ? v.size() : comma + 1;
            }
        } else if (a == "--fault") {
            if (v == "wrong-tid")
                o.fault = Fault::WrongTid;
            else if (v == "unchecked-crc")
                o.fault = Fault::UncheckedCrc;
            else if (v == "swap-units")
                o.fault = Fault::SwapUnits;
            else
                Die("unknown fault " + v);
        } else {
            Die("unknown option " + a);
        }
    }
    if (o.serial.empty() || o.baud <= 0 || o.timeoutMs <= 0)
        Die("usage: --serial PATH [--listen PORT] [--baud N] [--timeout MS] [--routes LIST] "
            "[--fault wrong-tid|unchecked-crc|swap-units]");
    return o;
}

int OpenSerial(const Options& o) {
    const int fd = ::open(o.serial.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        Die("cannot open " + o.serial + ": " + std::strerror(errno));
    termios t{};
    if (::tcgetattr(fd, &t) == 0) {
        ::cfmakeraw(&t);
        ::cfsetspeed(&t, B9600);  // a pty takes any rate; the timing uses --baud
        ::tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

int Listen(int port, int& chosen) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 8) != 0)
        Die("cannot listen on port " + std::to_string(port) + ": " + std::strerror(errno));
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    chosen = ntohs(a.sin_port);
    return fd;
}

void WriteAll(int fd, const Bytes& b) {
    size_t at = 0;
    while (at < b.size()) {
        const ssize_t n = ::write(fd, b.data() + at, b.size() - at);
        if (n > 0) {
            at += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 100);
        } else {
            return;  // a client gone: its answer is dropped
        }
    }
}

struct Client {
    int fd = -1;
    Bytes in;
};

struct Request {
    int client = -1;
    uint16_t tid = 0;
    uint8_t unit = 0;
    Bytes pdu;
};

class Gateway {
public:
    explicit Gateway(Options o) : m_o(std::move(o)) {}

    void Run() {
        m_serial = OpenSerial(m_o);
        int chosen = 0;
        m_listener = Listen(m_o.port, chosen);
        std::printf("listening on %d\n", chosen);
        std::fflush(stdout);
        for (;;)
            Step();
    }

private:
    void Step() {
        std::vector<pollfd> fds{{m_listener, POLLIN, 0}, {m_serial, POLLIN, 0}};
        for (const Client& c : m_clients)
            fds.push_back({c.fd, POLLIN, 0});
        ::poll(fds.data(), fds.size(), WaitMs());
        if (fds[0].revents & POLLIN)
            Accept();
        if (fds[1].revents & POLLIN)
            ReadSerial();
        for (size_t i = 2; i < fds.size(); ++i)
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR))
                ReadClient(fds[i].fd);
        Advance();
    }

    int WaitMs() const {
        if (!m_busy && m_queue.empty())
            return -1;
        const auto until = !m_busy ? m_turnaroundUntil
                           : m_answer.empty()
                               ? m_deadline
                               : std::min(m_deadline, m_lastByte + FrameSilence(m_o.baud));
        const auto left = until - Clock::now();
        if (left <= Clock::duration::zero())
            return 0;
        // poll() counts whole milliseconds: round up so that a wake-up is never early.
        return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
    }

    void Accept() {
        const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK);
        if (fd < 0)
            return;
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        m_clients.push_back({fd, {}});
    }

    void CloseClient(int fd) {
        ::close(fd);
        std::erase_if(m_clients, [fd](const Client& c) { return c.fd == fd; });
        std::erase_if(m_queue, [fd](const Request& r) { return r.client == fd; });
        if (m_busy && m_current.client == fd)
            m_current.client = -1;  // the answer, when it comes, goes nowhere
    }

    void ReadClient(int fd) {
        auto it = std::find_if(m_clients.begin(), m_clients.end(),
                               [fd](const Client& c) { return c.fd == fd; });
        if (it == m_clients.end())
            return;
        uint8_t buf[4096];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) {
            if (n == 0 || (errno != EAGAIN && errno != EINTR))
                CloseClient(fd);
            return;
        }
        it->in.insert(it->in.end(), buf, buf + n);
        // MBAP: transaction id, protocol 0, length (unit + PDU), unit, PDU.
        while (it->in.size() >= 7) {
            const Bytes& in = it->in;
            const int protocol = in[2] << 8 | in[3];
            const int length = in[4] << 8 | in[5];
            if (protocol != 0 || length < 2 || length > 254) {
                CloseClient(fd);  // a stream out of step: a real gateway drops the client too
                return;
            }
            if (in.size() < static_cast<size_t>(6 + length))
                break;
            Request r;
            r.client = fd;
            r.tid = static_cast<uint16_t>(in[0] << 8 | in[1]);
            r.unit = in[6];
            r.pdu.assign(in.begin() + 7, in.begin() + 6 + length);
            it->in.erase(it->in.begin(), it->in.begin() + 6 + length);
            if (r.unit != 0 && !m_o.routes.empty() && !m_o.routes.count(r.unit))
                Exception(r, 0x0A);  // no path to that unit
            else
                m_queue.push_back(std::move(r));
        }
    }

    void Answer(const Request& r, const Bytes& pdu) {
        if (r.client < 0)
            return;
        const uint16_t tid =
            m_o.fault == Fault::WrongTid ? static_cast<uint16_t>(r.tid + 1) : r.tid;
        const size_t length = pdu.size() + 1;
        Bytes out{static_cast<uint8_t>(tid >> 8),    static_cast<uint8_t>(tid),    0,     0,
                  static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length), r.unit};
        out.insert(out.end(), pdu.begin(), pdu.end());
        WriteAll(r.client, out);
    }

    void Exception(const Request& r, uint8_t code) {
        const uint8_t function = r.pdu.empty() ? 0 : r.pdu[0];
        Answer(r, {static_cast<uint8_t>(function | 0x80), code});
    }

    uint8_t SerialUnit(uint8_t unit) const {
        if (m_o.fault != Fault::SwapUnits)
            return unit;
        return unit == 1 ? 2 : unit == 2 ? 1 : unit;  // requests routed to the wrong slave
    }

    void ReadSerial() {
        uint8_t buf[512];
        const ssize_t n = ::read(m_serial, buf, sizeof buf);
        if (n <= 0)
            return;
        if (!m_busy || m_broadcast)
            return;                 // nothing asked for: stray bytes are dropped
        if (m_answer.size() < 512)  // no RTU frame is longer than 256 bytes
            m_answer.insert(m_answer.end(), buf, buf + n);
        m_lastByte = Clock::now();
    }

    void Advance() {
        const auto now = Clock::now();
        if (m_busy && !m_answer.empty() && now >= m_lastByte + FrameSilence(m_o.baud))
            TakeAnswer();
        if (m_busy && now >= m_deadline) {
            if (!m_broadcast)
                Exception(m_current, 0x0B);  // the slave did not answer in time
            m_busy = false;
            m_answer.clear();
        }
        if (!m_busy && !m_queue.empty())
            SendNext();
    }

    // A frame ended by silence: the answer when it is whole and for the asked unit; otherwise
    // dropped, and the gateway waits on until its time-out.
    void TakeAnswer() {
        Bytes frame;
        frame.swap(m_answer);
        if (frame.size() < 4)
            return;
        const uint16_t crc = Crc16Modbus(frame.data(), frame.size() - 2);
        const bool crcGood =
            frame[frame.size() - 2] == (crc & 0xFF) && frame[frame.size() - 1] == (crc >> 8);
        if (!crcGood && m_o.fault != Fault::UncheckedCrc)
            return;
        if (frame[0] != SerialUnit(m_current.unit))
            return;
        Answer(m_current, Bytes(frame.begin() + 1, frame.end() - 2));
        m_busy = false;
        // The line rests 3.5 characters before the next request.
        m_turnaroundUntil = Clock::now() + FrameSilence(m_o.baud);
    }

    void SendNext() {
        if (Clock::now() < m_turnaroundUntil)
            return;
        m_current = std::move(m_queue.front());
        m_queue.pop_front();
        Bytes frame{SerialUnit(m_current.unit)};
        frame.insert(frame.end(), m_current.pdu.begin(), m_current.pdu.end());
        const uint16_t crc = Crc16Modbus(frame.data(), frame.size());
        frame.push_back(static_cast<uint8_t>(crc & 0xFF));
        frame.push_back(static_cast<uint8_t>(crc >> 8));
        WriteAll(m_serial, frame);
        m_busy = true;
        m_broadcast = m_current.unit == 0;
        m_answer.clear();
        // The time-out runs from the request's last character on the line. A broadcast waits a
        // turnaround delay (here a fifth of the time-out) before the next request.
        const auto onLine = Clock::now() + WireTime(frame.size(), m_o.baud);
        m_deadline = onLine + std::chrono::milliseconds(m_broadcast ? std::max(1, m_o.timeoutMs / 5)
                                                                    : m_o.timeoutMs);
    }

    Options m_o;
    int m_serial = -1;
    int m_listener = -1;
    std::vector<Client> m_clients;
    std::deque<Request> m_queue;
    bool m_busy = false;
    bool m_broadcast = false;
    Request m_current;
    Bytes m_answer;
    Clock::time_point m_lastByte{};
    Clock::time_point m_deadline{};
    Clock::time_point m_turnaroundUntil{};
};

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    Gateway(Parse(argc, argv)).Run();
}
