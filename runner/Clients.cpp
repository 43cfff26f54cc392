#include "runner/Clients.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "net/NetConsole.h"
#include "transfer/FileSend.h"

namespace {

int64_t NowNs() {
    return platform::Stamp::Now().steadyNs;
}

// The extra clients send in chunks of this size: large enough that the writes cost little, as
// small as the device server's buffers are.
constexpr size_t kClientSendChunk = 4096;

}  // namespace

std::string SaidText(const std::string& bytes) {
    std::string text;
    for (unsigned char c : bytes) {
        if (c == '\r' || c == '\n' || c == '\t')
            c = ' ';
        if (c < 0x20 || c > 0x7E)
            return {};
        text += static_cast<char>(c);
    }
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return {};
    text = text.substr(first, text.find_last_not_of(' ') - first + 1);
    // Runs of blanks (a line end between two lines) read as one.
    text.erase(
        std::unique(text.begin(), text.end(), [](char a, char b) { return a == ' ' && b == ' '; }),
        text.end());
    return text;
}

bool StreamCheck::Arm(const std::string& sentPath, std::string* error) {
    auto compare = std::make_unique<CSourceCompare>();
    if (!compare->Open(sentPath)) {
        *error = sentPath + ": " + compare->LastError();
        return false;
    }
    std::lock_guard lock(m_lock);
    m_tally = Tally{};
    m_tally.armed = true;
    m_tally.sent = compare->SourceSize();
    m_state = 0;
    m_held.clear();
    m_compare = std::move(compare);
    return true;
}

void StreamCheck::Disarm() {
    std::lock_guard lock(m_lock);
    m_tally.armed = false;
    m_compare.reset();
}

void StreamCheck::Outside(const unsigned char* bytes, size_t n) {
    const size_t keep = std::min(n, kSaidBytes);
    m_said.append(reinterpret_cast<const char*>(bytes + n - keep), keep);
    if (m_said.size() > kSaidBytes)
        m_said.erase(0, m_said.size() - kSaidBytes);
}

void StreamCheck::Feed(const unsigned char* bytes, size_t n, int64_t ns) {
    std::lock_guard lock(m_lock);
    if (!m_tally.armed || m_state == 3) {
        Outside(bytes, n);
        return;
    }
    m_tally.lastNs = ns;
    size_t i = 0;
    while (i < n && m_state < 2) {
        m_held += static_cast<char>(bytes[i++]);
        if (m_state == 0) {
            // The marker's first byte comes again only as its last, so of a held prefix that
            // stops matching only the byte that broke it can begin a marker.
            const size_t k = m_held.size() - 1;
            if (static_cast<unsigned char>(m_held[k]) != g_abFileMarker[k]) {
                const unsigned char last = static_cast<unsigned char>(m_held[k]);
                Outside(reinterpret_cast<const unsigned char*>(m_held.data()), k);
                m_held.clear();
                if (last == g_abFileMarker[0])
                    m_held += static_cast<char>(last);
                else
                    Outside(&last, 1);
            } else if (m_held.size() == FILE_MARKER_SIZE) {
                m_held.clear();
                m_state = 1;
            }
        } else if (m_held.size() == 4) {
            uint32_t length = 0;
            for (char c : m_held)
                length = (length << 8) | static_cast<unsigned char>(c);
            m_held.clear();
            m_tally.announced = length;
            m_tally.headerNs = ns;
            m_state = length == 0 ? 3 : 2;
        }
    }
    if (m_state != 2 || i >= n)
        return;
    const size_t take = static_cast<size_t>(
        std::min<int64_t>(static_cast<int64_t>(n - i), m_tally.announced - m_tally.stored));
    m_compare->Feed(bytes + i, static_cast<int>(take));
    m_tally.stored += static_cast<int64_t>(take);
    m_tally.lastFileNs = ns;
    if (m_tally.stored == m_tally.announced) {
        m_compare->Complete(m_tally.stored);
        m_state = 3;
        if (i + take < n)
            Outside(bytes + i + take, n - i - take);
    }
    m_tally.firstMismatch = m_compare->FirstMismatch();
}

StreamCheck::Tally StreamCheck::Get() const {
    std::lock_guard lock(m_lock);
    return m_tally;
}

std::string StreamCheck::Said() const {
    std::lock_guard lock(m_lock);
    return m_said;
}

ExtraClient::~ExtraClient() {
    m_stop.store(true);
    Wake();
    if (m_thread.joinable())
        m_thread.join();
    if (m_fd >= 0)
        ::close(m_fd);
    if (m_wake >= 0)
        ::close(m_wake);
}

void ExtraClient::Wake() {
    if (m_wake >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_wake, &one, sizeof one);
    }
}

bool ExtraClient::Start(const std::string& address, unsigned port, std::string* error) {
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    m_wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_fd < 0 || m_wake < 0) {
        *error = std::string("no socket: ") + std::strerror(errno);
        return false;
    }
    try {
        m_thread = std::thread([this, address, port] { Main(address, port); });
    } catch (const std::system_error& e) {
        *error = std::string("no thread: ") + e.what();
        return false;
    }
    return true;
}

bool ExtraClient::Connect(const std::string& address, unsigned port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    std::string reason;
    if (::inet_pton(AF_INET, address.c_str(), &to.sin_addr) != 1) {
        reason = "not an IPv4 address: " + address;
    } else if (::connect(m_fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 &&
               errno != EINPROGRESS) {
        reason = std::strerror(errno);
    } else {
        pollfd fds[2] = {{m_fd, POLLOUT, 0}, {m_wake, POLLIN, 0}};
        const int64_t deadline = NowNs() + int64_t{CONNECT_TIMEOUT_MS} * 1000000;
        for (;;) {
            const int64_t left = (deadline - NowNs()) / 1000000;
            if (m_stop.load())
                return false;
            if (left <= 0) {
                reason = "no answer within " + std::to_string(CONNECT_TIMEOUT_MS / 1000) + " s";
                break;
            }
            const int r = ::poll(fds, 2, static_cast<int>(left));
            if (r < 0 && errno != EINTR) {
                reason = std::strerror(errno);
                break;
            }
            if (r > 0 && fds[0].revents != 0) {
                int error = 0;
                socklen_t len = sizeof error;
                ::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &len);
                if (error != 0)
                    reason = std::strerror(error);
                break;
            }
        }
    }
    std::lock_guard lock(m_lock);
    if (!reason.empty()) {
        m_status.link = Link::Failed;
        m_status.reason = reason;
        return false;
    }
    m_status.link = Link::Up;
    return true;
}

void ExtraClient::Close(const std::string& reason) {
    std::lock_guard lock(m_lock);
    m_status.link = Link::Closed;
    m_status.reason = reason;
    m_status.closedNs = NowNs();
    if (m_sending.started && !m_sending.done) {
        m_sending.done = true;
        m_sending.error = reason;
    }
}

bool ExtraClient::Send(const std::string& path, int delayMs) {
    {
        std::lock_guard lock(m_lock);
        if (m_status.link != Link::Up || (m_sending.started && !m_sending.done))
            return false;
        m_sending = Sending{};
        m_sending.started = true;
        m_jobPath = path;
        m_jobDelayMs = delayMs;
        m_jobNew = true;
    }
    Wake();
    return true;
}

ExtraClient::Status ExtraClient::GetStatus() const {
    std::lock_guard lock(m_lock);
    return m_status;
}

ExtraClient::Sending ExtraClient::GetSending() const {
    std::lock_guard lock(m_lock);
    return m_sending;
}

void ExtraClient::Main(std::string address, unsigned port) {
    if (!Connect(address, port))
        return;
    std::vector<unsigned char> in(64 * 1024);
    // The send under way: the file, when its header goes, and what waits to be written.
    int file = -1;
    int64_t startNs = 0;  // 0: the header has gone
    std::vector<unsigned char> out;
    size_t outAt = 0;
    bool sending = false;
    const auto endSend = [&](const std::string& error) {
        if (file >= 0)
            ::close(file);
        file = -1;
        sending = false;
        out.clear();
        outAt = 0;
        std::lock_guard lock(m_lock);
        m_sending.done = true;
        m_sending.error = error;
    };
    while (!m_stop.load()) {
        {
            std::unique_lock lock(m_lock);
            if (m_jobNew) {
                m_jobNew = false;
                const std::string path = m_jobPath;
                const int delayMs = m_jobDelayMs;
                lock.unlock();
                file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
                if (file < 0) {
                    endSend(path + ": " + std::strerror(errno));
                } else {
                    sending = true;
                    startNs = NowNs() + int64_t{delayMs} * 1000000;
                    const off_t size = ::lseek(file, 0, SEEK_END);
                    ::lseek(file, 0, SEEK_SET);
                    out.assign(FILE_HEADER_SIZE, 0);
                    BuildFileHeader(static_cast<uint32_t>(std::max<off_t>(0, size)), out.data());
                    outAt = 0;
                }
            }
        }
        int timeoutMs = -1;
        bool writeNow = false;
        if (sending) {
            const int64_t now = NowNs();
            if (startNs != 0 && now < startNs) {
                timeoutMs = static_cast<int>((startNs - now + 999999) / 1000000);
            } else {
                if (startNs != 0) {
                    startNs = 0;
                    std::lock_guard lock(m_lock);
                    m_sending.headerNs = NowNs();
                }
                writeNow = true;
            }
        }
        pollfd fds[2] = {{m_fd, static_cast<short>(POLLIN | (writeNow ? POLLOUT : 0)), 0},
                         {m_wake, POLLIN, 0}};
        if (::poll(fds, 2, timeoutMs) < 0 && errno != EINTR)
            break;
        if (fds[1].revents & POLLIN) {
            uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = ::read(m_wake, &count, sizeof count);
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = ::recv(m_fd, in.data(), in.size(), 0);
            if (n > 0) {
                m_check.Feed(in.data(), static_cast<size_t>(n), NowNs());
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                Close(n == 0 ? "the device server closed the link" : std::strerror(errno));
                break;
            }
        }
        if (writeNow && (fds[0].revents & POLLOUT)) {
            if (outAt == out.size()) {
                out.resize(kClientSendChunk);
                const ssize_t got = ::read(file, out.data(), out.size());
                if (got <= 0) {
                    endSend(got < 0 ? std::string("can't read the file: ") + std::strerror(errno)
                                    : std::string());
                    continue;
                }
                out.resize(static_cast<size_t>(got));
                outAt = 0;
            }
            const ssize_t w = ::send(m_fd, out.data() + outAt, out.size() - outAt, MSG_NOSIGNAL);
            if (w > 0) {
                outAt += static_cast<size_t>(w);
            } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
                Close(std::strerror(errno));
                break;
            }
        }
    }
    if (file >= 0)
        ::close(file);
}

void ClientsProbe::Traffic(platform::TrafficKind kind, const platform::Stamp& at,
                           const unsigned char* bytes, size_t n) {
    switch (kind) {
        case platform::TrafficKind::SerialRx:
            m_serial.Feed(bytes, n, at.steadyNs);
            break;
        case platform::TrafficKind::SerialTx: {
            int64_t armed = -1;
            m_serialWriteNs.compare_exchange_strong(armed, at.steadyNs);
            break;
        }
        case platform::TrafficKind::NetRx: {
            // Only the tail of a large chunk can be kept.
            const size_t keep = std::min(n, StreamCheck::kSaidBytes);
            std::lock_guard lock(m_lock);
            m_netTail.append(reinterpret_cast<const char*>(bytes + n - keep), keep);
            if (m_netTail.size() > StreamCheck::kSaidBytes)
                m_netTail.erase(0, m_netTail.size() - StreamCheck::kSaidBytes);
            break;
        }
        case platform::TrafficKind::NetTx:
            break;
    }
}

std::string ClientsProbe::NetTail() const {
    std::lock_guard lock(m_lock);
    return m_netTail;
}
