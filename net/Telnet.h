// Telnet framing (RFC 854/855) and the Com Port Control option (RFC 2217) as pure byte logic:
// no sockets, no timers, no threads. The receive side splits a stream into data bytes,
// negotiations and subnegotiations in any chunking; the send side escapes data and builds
// commands; ComPortClient keeps the client's side of the option and of each setting it sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/ModemState.h"
#include "serial/LineSettings.h"

namespace telnet {

using Bytes = std::vector<uint8_t>;

// Command codes (RFC 854).
constexpr uint8_t IAC = 255;
constexpr uint8_t DONT = 254;
constexpr uint8_t DO = 253;
constexpr uint8_t WONT = 252;
constexpr uint8_t WILL = 251;
constexpr uint8_t SB = 250;
constexpr uint8_t GA = 249;
constexpr uint8_t NOP = 241;
constexpr uint8_t SE = 240;

// Options this client knows.
constexpr uint8_t OPT_BINARY = 0;
constexpr uint8_t OPT_SUPPRESS_GO_AHEAD = 3;
constexpr uint8_t OPT_COM_PORT = 44;

// The longest subnegotiation payload kept (option byte not counted). RFC 2217's longest
// message is a signature text; anything beyond this is a broken or hostile peer.
constexpr size_t MAX_SUBNEGOTIATION = 1024;

struct Event {
    enum class Kind {
        Negotiation,     // verb (WILL, WONT, DO, DONT) and option
        Subnegotiation,  // option and payload, IAC IAC already undone
        Command,         // a two-byte command (NOP, GA, BRK, ...): verb
        Overflow,        // a subnegotiation of option grew beyond MAX_SUBNEGOTIATION: dropped
        Broken,          // a subnegotiation of option was cut by IAC and another command: dropped
    };
    Kind kind = Kind::Command;
    uint8_t verb = 0;
    uint8_t option = 0;
    Bytes payload;

    bool operator==(const Event&) const = default;
};

// The receive side. Feed accepts any chunking: a command split between chunks is completed by
// the next one. Memory stays bounded whatever the peer sends: a subnegotiation keeps at most
// MAX_SUBNEGOTIATION bytes, the rest of it is skipped up to its IAC SE.
//
// CR NUL and CR LF are passed on unchanged: the terminal shows and checks what arrives; the
// binary option, which both sides use for 8-bit data, has no CR rule at all.
class Receiver {
public:
    // Appends the data bytes of `bytes` to `data` and what else arrived to `events`.
    void Feed(const uint8_t* bytes, size_t n, Bytes& data, std::vector<Event>& events);
    // Back to the start of a stream (a new connection).
    void Reset() { *this = Receiver(); }

    // True between IAC SB and its IAC SE: nothing that arrives there is data.
    bool InSubnegotiation() const;
    // Subnegotiations dropped because they overflowed or were cut, since the start.
    uint64_t DroppedSubnegotiations() const { return dropped_; }

private:
    enum class State { Data, Iac, Verb, SbOption, SbPayload, SbIac, SbSkip, SbSkipIac };
    State state_ = State::Data;
    uint8_t verb_ = 0;
    uint8_t option_ = 0;
    Bytes payload_;
    uint64_t dropped_ = 0;
};

// Appends `n` data bytes to `out` with every 0xFF doubled.
void AppendEscaped(const uint8_t* bytes, size_t n, Bytes& out);
// IAC verb option.
Bytes Negotiation(uint8_t verb, uint8_t option);
// IAC SB option payload IAC SE, 0xFF in the payload doubled.
Bytes Subnegotiation(uint8_t option, const Bytes& payload);

}  // namespace telnet

// RFC 2217: the client's subcommands; the server answers with the same code + 100.
namespace comport {

using telnet::Bytes;

constexpr uint8_t SIGNATURE = 0;
constexpr uint8_t SET_BAUDRATE = 1;
constexpr uint8_t SET_DATASIZE = 2;
constexpr uint8_t SET_PARITY = 3;
constexpr uint8_t SET_STOPSIZE = 4;
constexpr uint8_t SET_CONTROL = 5;
constexpr uint8_t NOTIFY_LINESTATE = 6;
constexpr uint8_t NOTIFY_MODEMSTATE = 7;
constexpr uint8_t FLOWCONTROL_SUSPEND = 8;
constexpr uint8_t FLOWCONTROL_RESUME = 9;
constexpr uint8_t SET_LINESTATE_MASK = 10;
constexpr uint8_t SET_MODEMSTATE_MASK = 11;
constexpr uint8_t PURGE_DATA = 12;
constexpr uint8_t SERVER_OFFSET = 100;

// SET-PARITY values.
constexpr uint8_t PARITY_NONE = 1, PARITY_ODD = 2, PARITY_EVEN = 3, PARITY_MARK = 4,
                  PARITY_SPACE = 5;
// SET-STOPSIZE values.
constexpr uint8_t STOPSIZE_1 = 1, STOPSIZE_2 = 2, STOPSIZE_1_5 = 3;
// SET-CONTROL values (the outbound/both flow values; 0, 4, 7, 10 ask for the current state).
constexpr uint8_t CONTROL_FLOW_NONE = 1, CONTROL_FLOW_XONXOFF = 2, CONTROL_FLOW_HARDWARE = 3,
                  CONTROL_BREAK_ON = 5, CONTROL_BREAK_OFF = 6, CONTROL_DTR_ON = 8,
                  CONTROL_DTR_OFF = 9, CONTROL_RTS_ON = 11, CONTROL_RTS_OFF = 12;
// PURGE-DATA values: the device server's receive buffer, its transmit buffer, or both.
constexpr uint8_t PURGE_RECEIVE = 1, PURGE_TRANSMIT = 2, PURGE_BOTH = 3;

// Modem state bits (NOTIFY-MODEMSTATE, SET-MODEMSTATE-MASK).
constexpr uint8_t MODEM_DCD = 0x80, MODEM_RI = 0x40, MODEM_DSR = 0x20, MODEM_CTS = 0x10,
                  MODEM_DELTA_DCD = 0x08, MODEM_RI_TRAILING_EDGE = 0x04, MODEM_DELTA_DSR = 0x02,
                  MODEM_DELTA_CTS = 0x01;
// Line state bits (NOTIFY-LINESTATE, SET-LINESTATE-MASK).
constexpr uint8_t LINE_TIMEOUT = 0x80, LINE_TX_SHIFT_EMPTY = 0x40, LINE_TX_HOLDING_EMPTY = 0x20,
                  LINE_BREAK = 0x10, LINE_FRAMING_ERROR = 0x08, LINE_PARITY_ERROR = 0x04,
                  LINE_OVERRUN = 0x02, LINE_DATA_READY = 0x01;

// Whole commands, ready to send (IAC SB 44 ... IAC SE).
Bytes SetBaudRate(uint32_t baud);  // 4 bytes, network order; 0 asks for the current rate
Bytes SetDataSize(uint8_t bits);   // 5..8; 0 asks
Bytes SetParity(uint8_t value);
Bytes SetStopSize(uint8_t value);
Bytes SetControl(uint8_t value);
Bytes SetLinestateMask(uint8_t mask);
Bytes SetModemstateMask(uint8_t mask);
Bytes PurgeData(uint8_t which);

// The engine's settings in RFC 2217 values.
uint8_t ParityValue(Parity p);
uint8_t StopSizeValue(StopBits s);
uint8_t FlowValue(FlowControl f);

// A NOTIFY-MODEMSTATE byte as the one modem-state type: the levels of CTS, DSR, RI and DCD and
// their change bits; DTR and RTS, which the byte does not carry, are left false.
platform::ModemState DecodeModemState(uint8_t bits);

struct LineState {
    bool timeout = false, txShiftEmpty = false, txHoldingEmpty = false, breakDetected = false;
    bool framingError = false, parityError = false, overrun = false, dataReady = false;
    static LineState From(uint8_t bits);
    bool operator==(const LineState&) const = default;
};

}  // namespace comport

// The client's side of the Com Port Control option over one connection. Feed it every byte
// received and send every byte it returns; it never blocks and keeps no clock: time comes in
// as a millisecond count from any monotonic clock, and CheckTimeouts turns what waited for the
// answer time (ACK_TIMEOUT_MS unless set) into NoAnswer / TimedOut. An answer that comes after
// its time still counts: the setting is then marked as answered late.
class ComPortClient {
public:
    using Bytes = telnet::Bytes;
    // The answer time unless SetAnswerTimeoutMs chose another.
    static constexpr int64_t ACK_TIMEOUT_MS = 2000;

    enum class OptionState {
        NotAsked,
        Asking,    // WILL COM-PORT-OPTION sent, no answer yet
        Agreed,    // the server said DO
        Refused,   // the server said DONT (or withdrew its DO)
        NoAnswer,  // no answer within the answer time: not an RFC 2217 server (a DO that
                   // comes later still agrees, and the settings asked go out then)
    };

    enum class Setting { Baud, DataBits, Parity, StopBits, Flow, Dtr, Rts, Break };
    static constexpr int SETTING_COUNT = 8;

    enum class AckState {
        None,               // never sent
        Pending,            // sent (or queued until the option is agreed), no answer yet
        Acknowledged,       // the server applied the value asked for
        AcknowledgedOther,  // the server answered with another value (`answered`)
        Refused,            // the option was refused: the setting cannot be made
        TimedOut,           // no answer within the answer time
    };

    struct Ack {
        AckState state = AckState::None;
        uint32_t requested = 0;  // in RFC 2217 values (baud in bits per second)
        uint32_t answered = 0;   // the server's value, once it answered
        int64_t sentMs = 0;
        // Once answered: how long the answer took, and whether it came after the answer time
        // (the setting had been marked TimedOut).
        int64_t answeredAfterMs = -1;
        bool late = false;
    };

    struct Notifications {
        std::vector<platform::ModemState> modem;
        std::vector<comport::LineState> line;
    };

    // What one chunk of received bytes gave.
    struct Output {
        Bytes data;   // the data bytes, Telnet removed
        Bytes reply;  // to be sent to the server now
        Notifications notifications;
        bool changed = false;  // the option state or an acknowledgement changed
        // An answer to a serial setting (baud rate, data size, parity, stop size, flow) came
        // after its answer time, or the option was agreed after its time (the settings asked
        // then went out in `reply`).
        bool late = false;
    };

    // WILL COM-PORT-OPTION. Starts the answer's time-out.
    Bytes Start(int64_t nowMs);
    // Processes received bytes.
    Output Receive(const uint8_t* bytes, size_t n, int64_t nowMs);
    // Marks what waited the answer time or longer as NoAnswer / TimedOut; true when anything did.
    bool CheckTimeouts(int64_t nowMs);
    // How long the option and each setting wait for their answer (at least 1 ms).
    void SetAnswerTimeoutMs(int64_t ms) { timeoutMs_ = ms > 0 ? ms : 1; }
    int64_t AnswerTimeoutMs() const { return timeoutMs_; }

    // Asks the server to apply `s` (rate, data size, parity, stop size, flow, in RFC 2217's
    // recommended order). Sent at once when the option is agreed; queued until the server
    // agrees while it is being asked; marked Refused when the option was refused or never
    // answered.
    Bytes Apply(const LineSettings& s, int64_t nowMs);
    Bytes SetDtr(bool on, int64_t nowMs);
    Bytes SetRts(bool on, int64_t nowMs);
    Bytes SetBreak(bool on, int64_t nowMs);
    // Asks for every modem and line state notification (masks 0xFF) or for none.
    Bytes RequestNotifications(bool on);

    OptionState Option() const { return option_; }
    const Ack& AckOf(Setting s) const { return acks_[static_cast<int>(s)]; }
    // The server's signature text, once it sent one.
    const std::string& Signature() const { return signature_; }
    // True while the server asked us to stop sending (FLOWCONTROL-SUSPEND).
    bool Suspended() const { return suspended_; }
    // The last modem state the server notified, if any.
    std::optional<platform::ModemState> LastModemState() const { return modem_; }

    // "baud rate", "data bits", "parity", "stop bits", "flow control", "DTR", "RTS", "break".
    static const char* SettingName(Setting s);

private:
    Bytes Send(Setting s, uint32_t value, int64_t nowMs);
    Bytes SendPending(int64_t nowMs);
    void RefuseAll();
    void OnNegotiation(uint8_t verb, uint8_t option, Output& out);
    void OnSubnegotiation(const telnet::Event& e, int64_t nowMs, Output& out);
    void Answer(Setting s, uint32_t value, int64_t nowMs, Output& out);

    telnet::Receiver receiver_;
    OptionState option_ = OptionState::NotAsked;
    int64_t askedMs_ = 0;
    int64_t timeoutMs_ = ACK_TIMEOUT_MS;
    Ack acks_[SETTING_COUNT];
    bool queued_[SETTING_COUNT] = {};
    // Options other than COM-PORT we have agreed to, per side: ours (WILL) and the server's (DO).
    bool usBinary_ = false, usSga_ = false, himBinary_ = false, himSga_ = false;
    std::string signature_;
    bool suspended_ = false;
    std::optional<platform::ModemState> modem_;
};
