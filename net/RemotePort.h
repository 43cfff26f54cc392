// The network link as a Telnet link with the Com Port Control option: how a link is framed, what
// became of the serial settings asked of the device server, and the gate that keeps every send
// on a Telnet link in order between the UI thread and a file-send worker.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "net/Telnet.h"
#include "platform/AbortSignal.h"
#include "serial/LineSettings.h"

// Raw TCP carries the bytes as they are; Rfc2217 frames them as Telnet data (0xFF doubled) and
// speaks the Com Port Control option beside them.
enum class LinkFraming { Raw, Rfc2217 };

// The transport of the network link: a TCP stream, or UDP datagrams (one per typed line or send).
enum class NetProtocol { Tcp, Udp };

struct RemotePortOptions {
    // TCP only (a UDP link is always raw).
    LinkFraming framing = LinkFraming::Raw;
    // Asked of the device server as soon as a link comes up; none leaves its port as it is.
    std::optional<LineSettings> settings;
    // Ask for every modem line change and the line's error, break and time-out states.
    bool notifications = true;
    // How long the option and each setting wait for the device server's answer.
    int answerTimeoutMs = static_cast<int>(ComPortClient::ACK_TIMEOUT_MS);
    NetProtocol protocol = NetProtocol::Tcp;
    // UDP only: the local port a client link binds (0: any free one).
    unsigned udpLocalPort = 0;

    bool operator==(const RemotePortOptions&) const = default;
};

// What became of the serial settings asked of a device server, once every answer is in (or its
// answer time is over).
struct RemoteSettingsReport {
    using Setting = ComPortClient::Setting;
    using AckState = ComPortClient::AckState;

    ComPortClient::OptionState option = ComPortClient::OptionState::NotAsked;
    struct Item {
        Setting setting = Setting::Baud;
        AckState state = AckState::None;
        uint32_t requested = 0;  // in RFC 2217 values
        uint32_t answered = 0;
        int64_t answeredAfterMs = -1;  // once answered
        bool late = false;             // answered after the answer time
    };
    std::vector<Item> items;
    // The answer time the link used.
    int64_t answerTimeoutMs = ComPortClient::ACK_TIMEOUT_MS;
    // Told again because an answer (or the option's agreement) came after its time: the report
    // told before is out of date.
    bool revised = false;

    // The option was agreed and every setting applied as asked (late answers included).
    bool Ok() const;
    // The server never agreed to the option (it refused it, or never answered).
    bool NotRfc2217() const;
    // One line per failure, e.g. "parity: the device server applied odd instead of even",
    // "baud rate 57600: no answer within 2 s"; a server without the option gives one line only.
    std::vector<std::string> Failures() const;
    // The failures joined with "; " (empty when Ok).
    std::string FailureText() const;
    // One line per setting whose answer came after the answer time: "baud rate: answered after
    // 3.3 s".
    std::vector<std::string> LateAnswers() const;

    // A value in words: 115200, "even", "1.5", "hardware", "on", ...
    static std::string ValueName(Setting s, uint32_t value);
    // What the device server did instead of what was asked: "applied odd instead of even" for a
    // serial setting, "answered off instead of on" for DTR, RTS and break.
    static std::string OtherValueText(Setting s, uint32_t answered, uint32_t requested);
    // "2 s" (whole seconds; "2.5 s" for a time in between)
    static std::string SecondsText(int64_t ms);
    // "no answer within 2 s"
    static std::string NoAnswerText(int64_t timeoutMs);
    // "answered after 3.3 s" (one decimal)
    static std::string AnsweredAfterText(int64_t ms);
};

// "not an RFC 2217 server"
extern const char* const NOT_RFC2217_SERVER;

// Sends on one Telnet link from two threads without mixing them: the UI thread posts commands
// and typed lines, never waiting; a file-send worker sends its data chunks, waiting for room.
// Whatever the UI thread posts while the worker is in a send, or while earlier bytes still wait,
// waits behind them and goes out before the worker's next chunk (or at the UI's next Flush).
// A chunk cut short by the abort never leaves half of an escaped 0xFF pair on the wire: the
// missing byte waits at the front and goes out first.
class LinkSendGate {
public:
    // Every send that moved bytes is told to `observer` (when given), which outlives the gate's
    // users.
    explicit LinkSendGate(platform::ITrafficObserver* observer = nullptr) : m_observer(observer) {}

    // The most that may wait, typed lines and Telnet commands and replies alike (plus, at most,
    // the one byte that completes a doubled 0xFF a worker's send left halved).
    static constexpr size_t MAX_WAITING = 64 * 1024;

    // UI thread. Sends `n` bytes now (MSG_DONTWAIT) as far as the socket takes them and nothing
    // waits; whatever is left waits. False on a socket error (errno in *err); nothing waits then.
    // False with ENOBUFS, nothing of the bytes sent or kept, when they would make more than
    // MAX_WAITING wait (counted as if none of them left now): the peer does not read.
    bool Post(int fd, const uint8_t* bytes, size_t n, int* err);
    // UI thread. Sends what waits, unless the worker is in a send. False on a socket error.
    bool Flush(int fd, int* err);
    // Worker thread. Sends what waits, then `data` escaped as Telnet data, all of it, waiting for
    // room, until done, an error or the abort. Returns the count of data bytes (before escaping)
    // sent completely; *err as SendAllOnSocket's.
    int SendData(int fd, const uint8_t* data, int n, const platform::AbortSignal& abort, int* err);

    // What waits, counting what the worker took from the queue and has not sent yet.
    size_t Waiting() const;

private:
    platform::ITrafficObserver* const m_observer;
    mutable std::mutex m_lock;  // guards m_busy, m_waiting and m_held
    bool m_busy = false;        // the worker is in a send
    telnet::Bytes m_waiting;
    size_t m_held = 0;  // queued bytes the worker took into its send, while it is in it
};
