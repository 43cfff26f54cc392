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

struct RemotePortOptions {
    LinkFraming framing = LinkFraming::Raw;
    // Asked of the device server as soon as a link comes up; none leaves its port as it is.
    std::optional<LineSettings> settings;
    // Ask for every modem line change and the line's error, break and time-out states.
    bool notifications = true;

    bool operator==(const RemotePortOptions&) const = default;
};

// What became of the serial settings asked of a device server, once every answer is in (or its
// 2 s are over).
struct RemoteSettingsReport {
    using Setting = ComPortClient::Setting;
    using AckState = ComPortClient::AckState;

    ComPortClient::OptionState option = ComPortClient::OptionState::NotAsked;
    struct Item {
        Setting setting = Setting::Baud;
        AckState state = AckState::None;
        uint32_t requested = 0;  // in RFC 2217 values
        uint32_t answered = 0;
    };
    std::vector<Item> items;

    // The option was agreed and every setting applied as asked.
    bool Ok() const;
    // The server never agreed to the option (it refused it, or never answered).
    bool NotRfc2217() const;
    // One line per failure, e.g. "parity: the device server applied odd instead of even",
    // "baud rate: no answer within 2 s"; a server without the option gives one line only.
    std::vector<std::string> Failures() const;
    // The failures joined with "; " (empty when Ok).
    std::string FailureText() const;

    // A value in words: 115200, "even", "1.5", "hardware", ...
    static std::string ValueName(Setting s, uint32_t value);
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

    // The most the UI thread may leave waiting; a typed line that would go beyond it is refused.
    static constexpr size_t MAX_WAITING = 64 * 1024;

    // UI thread. Sends `n` bytes now (MSG_DONTWAIT) as far as the socket takes them and nothing
    // waits; whatever is left waits. False on a socket error (errno in *err); nothing waits then.
    bool Post(int fd, const uint8_t* bytes, size_t n, int* err);
    // UI thread. Sends what waits, unless the worker is in a send. False on a socket error.
    bool Flush(int fd, int* err);
    // Worker thread. Sends what waits, then `data` escaped as Telnet data, all of it, waiting for
    // room, until done, an error or the abort. Returns the count of data bytes (before escaping)
    // sent completely; *err as SendAllOnSocket's.
    int SendData(int fd, const uint8_t* data, int n, const platform::AbortSignal& abort, int* err);

    size_t Waiting() const;

private:
    platform::ITrafficObserver* const m_observer;
    mutable std::mutex m_lock;  // guards m_busy and m_waiting
    bool m_busy = false;        // the worker is in a send
    telnet::Bytes m_waiting;
};
