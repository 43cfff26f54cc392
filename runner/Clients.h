// More than one TCP client on the device server's port at once (--clients): the runner's own
// plain sockets beside the engine's link, each with a thread of its own that reads everything
// that arrives (so that a device server that feeds its clients in step is never held up by one
// of them) and sends a file when asked; and the check that finds a file behind its header in a
// byte stream and compares it with the sent file as it arrives.
//
// Threads only post values: each client's state and its check are behind their own lock, and the
// session reads snapshots of them.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/Traffic.h"
#include "transfer/Capture.h"

// What a device server said to a client it closed, as one line of text: the printable bytes of
// `bytes` with line ends and the blanks around them cut ("Port already in use"); empty when the
// bytes are not text.
std::string SaidText(const std::string& bytes);

// Finds a file behind its 18-byte header in a byte stream and compares the file with the sent
// one while it arrives. Bytes outside a file (before the header, after the file) are kept, the
// last kSaidBytes of them, as what the peer said. Any thread; every call under its own lock.
class StreamCheck {
public:
    static constexpr size_t kSaidBytes = 256;

    struct Tally {
        bool armed = false;
        int64_t announced = -1;  // the header's length; -1 until it is read
        int64_t stored = 0;      // file bytes that arrived
        int64_t sent = -1;       // the sent file's length
        std::optional<int64_t> firstMismatch;
        int64_t headerNs = 0;    // steady clock: when the header's last byte arrived (0: not yet)
        int64_t lastFileNs = 0;  // when the last file byte arrived (0: none yet)
        int64_t lastNs = 0;      // when any byte last arrived since it was armed (0: none)
        // Every announced byte arrived.
        bool Complete() const { return announced >= 0 && stored == announced; }
        bool Verified() const { return Complete() && !firstMismatch && stored == sent; }
    };

    // From now on a file behind its header is expected and compared with `sentPath`; false with
    // the reason when that file cannot be read. What was said so far is kept.
    bool Arm(const std::string& sentPath, std::string* error);
    // No file is expected any more.
    void Disarm();
    // Bytes that arrived at `ns` (steady clock, nanoseconds).
    void Feed(const unsigned char* bytes, size_t n, int64_t ns);
    Tally Get() const;
    // The bytes that arrived outside a file, the last kSaidBytes of them.
    std::string Said() const;

private:
    void Outside(const unsigned char* bytes, size_t n);

    mutable std::mutex m_lock;
    Tally m_tally;
    int m_state = 0;     // 0 marker, 1 length, 2 data, 3 done
    std::string m_held;  // marker or length bytes held
    std::unique_ptr<CSourceCompare> m_compare;
    std::string m_said;
};

// One extra client: a plain TCP socket to the device server and its thread. The thread connects
// (within CONNECT_TIMEOUT_MS), then reads everything that arrives into its check, and sends a
// file behind its header when asked, reading all the while.
class ExtraClient {
public:
    enum class Link { Connecting, Up, Failed, Closed };
    struct Status {
        Link link = Link::Connecting;
        // Failed: the connect's reason; Closed: "closed the link" or the read's error.
        std::string reason;
        int64_t closedNs = 0;  // steady clock: when the link closed (0: it has not)
    };
    struct Sending {
        bool started = false;  // Send was asked
        bool done = false;     // the whole file went out, or the send failed
        std::string error;     // empty unless it failed
        int64_t headerNs = 0;  // steady clock: right before the header's first write (0: not yet)
    };

    // `number`: the client's number (2 to N), for the reasons it gives.
    explicit ExtraClient(int number) : m_number(number) {}
    ~ExtraClient();
    ExtraClient(const ExtraClient&) = delete;
    ExtraClient& operator=(const ExtraClient&) = delete;

    // Starts the thread, which connects to `address` (dotted IPv4) and `port`; false with the
    // reason when no socket or thread could be had.
    bool Start(const std::string& address, unsigned port, std::string* error);
    // Sends `path` behind its header after `delayMs`, on the thread; false when a send is
    // under way or the link is not up.
    bool Send(const std::string& path, int delayMs);

    int Number() const { return m_number; }
    Status GetStatus() const;
    Sending GetSending() const;
    StreamCheck& Check() { return m_check; }

private:
    void Main(std::string address, unsigned port);
    // Connects; false (the status says why) when it failed or a stop came.
    bool Connect(const std::string& address, unsigned port);
    void Close(const std::string& reason);
    void Wake();

    const int m_number;
    int m_fd = -1;    // the socket: made by Start, used by the thread, closed by the destructor
    int m_wake = -1;  // an eventfd: Send and the destructor wake the thread with it
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    StreamCheck m_check;
    mutable std::mutex m_lock;  // guards m_status, m_sending and the job
    Status m_status;
    Sending m_sending;
    std::string m_jobPath;
    int m_jobDelayMs = 0;
    bool m_jobNew = false;
};

// Sees the engine's traffic while extra clients run: the serial side's received bytes go to its
// check (a file an extra client sent), the first serial write after Arm is when a file's header
// left, and the last bytes the engine's own link received are kept for what the device server
// said to it. Told by the link threads.
class ClientsProbe : public platform::ITrafficObserver {
public:
    void Traffic(platform::TrafficKind kind, const platform::Stamp& at, const unsigned char* bytes,
                 size_t n) override;
    // From now on the next serial write is taken as a header leaving.
    void ArmSerialWrite() { m_serialWriteNs.store(-1); }
    // When it left (steady ns); 0 when it has not.
    int64_t SerialWriteNs() const {
        const int64_t ns = m_serialWriteNs.load();
        return ns < 0 ? 0 : ns;
    }
    StreamCheck& Serial() { return m_serial; }
    // The last bytes the engine's link received.
    std::string NetTail() const;

private:
    StreamCheck m_serial;
    std::atomic<int64_t> m_serialWriteNs{0};  // -1: armed, waiting for the write
    mutable std::mutex m_lock;
    std::string m_netTail;
};
