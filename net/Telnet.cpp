#include "net/Telnet.h"

#include <cstring>
#include <string_view>

#include "platform/LineWords.h"

namespace telnet {

bool Receiver::InSubnegotiation() const {
    switch (state_) {
        case State::SbOption:
        case State::SbPayload:
        case State::SbIac:
        case State::SbSkip:
        case State::SbSkipIac:
            return true;
        default:
            return false;
    }
}

void Receiver::Feed(const uint8_t* bytes, size_t n, Bytes& data, std::vector<Event>& events) {
    size_t i = 0;
    while (i < n) {
        if (state_ == State::Data) {
            // The common case: a run of data up to the next IAC, copied in one go.
            const void* iac = std::memchr(bytes + i, IAC, n - i);
            const size_t end =
                iac ? static_cast<size_t>(static_cast<const uint8_t*>(iac) - bytes) : n;
            data.insert(data.end(), bytes + i, bytes + end);
            i = end;
            if (i < n) {
                state_ = State::Iac;
                ++i;
            }
            continue;
        }
        const uint8_t b = bytes[i++];
        switch (state_) {
            case State::Data:
                break;  // handled above
            case State::Iac:
                if (b == IAC) {
                    data.push_back(IAC);
                    state_ = State::Data;
                } else if (b >= WILL) {
                    verb_ = b;
                    state_ = State::Verb;
                } else if (b == SB) {
                    state_ = State::SbOption;
                } else {
                    // A two-byte command (NOP, DM, BRK, IP, AO, AYT, EC, EL, GA), a stray SE, or a
                    // code Telnet does not define: never data.
                    events.push_back({Event::Kind::Command, b, 0, {}});
                    state_ = State::Data;
                }
                break;
            case State::Verb:
                events.push_back({Event::Kind::Negotiation, verb_, b, {}});
                state_ = State::Data;
                break;
            case State::SbOption:
                option_ = b;
                payload_.clear();
                state_ = State::SbPayload;
                break;
            case State::SbPayload:
            case State::SbIac:
                if (state_ == State::SbPayload && b == IAC) {
                    state_ = State::SbIac;
                    break;
                }
                if (state_ == State::SbIac && b != IAC) {
                    if (b == SE) {
                        events.push_back({Event::Kind::Subnegotiation, 0, option_, payload_});
                        payload_.clear();
                        state_ = State::Data;
                    } else {
                        // IAC and a command inside a subnegotiation: the peer broke it off. The
                        // command is taken as such; what came before is dropped.
                        events.push_back({Event::Kind::Broken, 0, option_, {}});
                        ++dropped_;
                        payload_.clear();
                        state_ = State::Iac;
                        --i;
                    }
                    break;
                }
                // A payload byte (an IAC IAC pair gives one 0xFF).
                if (payload_.size() >= MAX_SUBNEGOTIATION) {
                    events.push_back({Event::Kind::Overflow, 0, option_, {}});
                    ++dropped_;
                    payload_.clear();
                    payload_.shrink_to_fit();
                    state_ = State::SbSkip;
                } else {
                    payload_.push_back(b);
                    state_ = State::SbPayload;
                }
                break;
            case State::SbSkip:
                if (b == IAC)
                    state_ = State::SbSkipIac;
                break;
            case State::SbSkipIac:
                if (b == IAC) {
                    state_ = State::SbSkip;
                } else if (b == SE) {
                    state_ = State::Data;
                } else {
                    state_ = State::Iac;
                    --i;
                }
                break;
        }
    }
}

void AppendEscaped(const uint8_t* bytes, size_t n, Bytes& out) {
    size_t i = 0;
    while (i < n) {
        const void* iac = std::memchr(bytes + i, IAC, n - i);
        const size_t end = iac ? static_cast<size_t>(static_cast<const uint8_t*>(iac) - bytes) : n;
        out.insert(out.end(), bytes + i, bytes + end);
        i = end;
        if (i < n) {
            out.push_back(IAC);
            out.push_back(IAC);
            ++i;
        }
    }
}

Bytes Negotiation(uint8_t verb, uint8_t option) {
    return {IAC, verb, option};
}

Bytes Subnegotiation(uint8_t option, const Bytes& payload) {
    Bytes out{IAC, SB, option};
    AppendEscaped(payload.data(), payload.size(), out);
    out.push_back(IAC);
    out.push_back(SE);
    return out;
}

}  // namespace telnet

namespace comport {

namespace {
Bytes Command(uint8_t code, uint8_t value) {
    return telnet::Subnegotiation(telnet::OPT_COM_PORT, {code, value});
}
}  // namespace

Bytes SetBaudRate(uint32_t baud) {
    return telnet::Subnegotiation(
        telnet::OPT_COM_PORT,
        {SET_BAUDRATE, static_cast<uint8_t>(baud >> 24), static_cast<uint8_t>(baud >> 16),
         static_cast<uint8_t>(baud >> 8), static_cast<uint8_t>(baud)});
}
Bytes SetDataSize(uint8_t bits) {
    return Command(SET_DATASIZE, bits);
}
Bytes SetParity(uint8_t value) {
    return Command(SET_PARITY, value);
}
Bytes SetStopSize(uint8_t value) {
    return Command(SET_STOPSIZE, value);
}
Bytes SetControl(uint8_t value) {
    return Command(SET_CONTROL, value);
}
Bytes SetLinestateMask(uint8_t mask) {
    return Command(SET_LINESTATE_MASK, mask);
}
Bytes SetModemstateMask(uint8_t mask) {
    return Command(SET_MODEMSTATE_MASK, mask);
}
Bytes PurgeData(uint8_t which) {
    return Command(PURGE_DATA, which);
}

// The table's wire values are RFC 2217's.
static_assert(platform::WordsOf(Parity::None)->rfc2217 == PARITY_NONE &&
              platform::WordsOf(Parity::Odd)->rfc2217 == PARITY_ODD &&
              platform::WordsOf(Parity::Even)->rfc2217 == PARITY_EVEN &&
              platform::WordsOf(Parity::Mark)->rfc2217 == PARITY_MARK &&
              platform::WordsOf(Parity::Space)->rfc2217 == PARITY_SPACE);
static_assert(platform::WordsOf(FlowControl::None)->rfc2217 == CONTROL_FLOW_NONE &&
              platform::WordsOf(FlowControl::XonXoff)->rfc2217 == CONTROL_FLOW_XONXOFF &&
              platform::WordsOf(FlowControl::Hardware)->rfc2217 == CONTROL_FLOW_HARDWARE);

uint8_t ParityValue(Parity p) {
    const platform::ParityWords* row = platform::WordsOf(p);
    return row ? row->rfc2217 : PARITY_NONE;
}

uint8_t StopSizeValue(StopBits s) {
    return s == StopBits::Two ? STOPSIZE_2 : STOPSIZE_1;
}

uint8_t FlowValue(FlowControl f) {
    const platform::FlowWords* row = platform::WordsOf(f);
    return row ? row->rfc2217 : CONTROL_FLOW_NONE;
}

platform::ModemState DecodeModemState(uint8_t b) {
    platform::ModemState m;
    m.dcd = b & MODEM_DCD;
    m.ri = b & MODEM_RI;
    m.dsr = b & MODEM_DSR;
    m.cts = b & MODEM_CTS;
    m.deltaDcd = b & MODEM_DELTA_DCD;
    m.riTrailingEdge = b & MODEM_RI_TRAILING_EDGE;
    m.deltaDsr = b & MODEM_DELTA_DSR;
    m.deltaCts = b & MODEM_DELTA_CTS;
    return m;
}

LineState LineState::From(uint8_t b) {
    LineState l;
    l.timeout = b & LINE_TIMEOUT;
    l.txShiftEmpty = b & LINE_TX_SHIFT_EMPTY;
    l.txHoldingEmpty = b & LINE_TX_HOLDING_EMPTY;
    l.breakDetected = b & LINE_BREAK;
    l.framingError = b & LINE_FRAMING_ERROR;
    l.parityError = b & LINE_PARITY_ERROR;
    l.overrun = b & LINE_OVERRUN;
    l.dataReady = b & LINE_DATA_READY;
    return l;
}

}  // namespace comport

using telnet::Bytes;

namespace {
void Append(Bytes& out, const Bytes& more) {
    out.insert(out.end(), more.begin(), more.end());
}

// The signature this client gives when the server asks for it.
constexpr char CLIENT_SIGNATURE[] = "Vaskel";
}  // namespace

const char* ComPortClient::SettingName(Setting s) {
    switch (s) {
        case Setting::Baud:
            return "baud rate";
        case Setting::DataBits:
            return "data bits";
        case Setting::Parity:
            return "parity";
        case Setting::StopBits:
            return "stop bits";
        case Setting::Flow:
            return "flow control";
        case Setting::Dtr:
            return "DTR";
        case Setting::Rts:
            return "RTS";
        case Setting::Break:
            return "break";
    }
    return "";
}

Bytes ComPortClient::Start(int64_t nowMs) {
    option_ = OptionState::Asking;
    askedMs_ = nowMs;
    return telnet::Negotiation(telnet::WILL, telnet::OPT_COM_PORT);
}

Bytes ComPortClient::Send(Setting s, uint32_t value, int64_t nowMs) {
    const int k = static_cast<int>(s);
    acks_[k] = Ack{AckState::Pending, value, 0, nowMs, -1, false};
    queued_[k] = false;
    switch (option_) {
        case OptionState::Agreed:
            break;
        case OptionState::NotAsked:
        case OptionState::Asking:
            queued_[k] = true;  // sent once the server agrees
            return {};
        case OptionState::Refused:
            acks_[k].state = AckState::Refused;
            return {};
        case OptionState::NoAnswer:
            // Told as not answered, but kept: a server that agrees late still gets it.
            acks_[k].state = AckState::TimedOut;
            queued_[k] = true;
            return {};
    }
    switch (s) {
        case Setting::Baud:
            return comport::SetBaudRate(value);
        case Setting::DataBits:
            return comport::SetDataSize(static_cast<uint8_t>(value));
        case Setting::Parity:
            return comport::SetParity(static_cast<uint8_t>(value));
        case Setting::StopBits:
            return comport::SetStopSize(static_cast<uint8_t>(value));
        case Setting::Flow:
        case Setting::Dtr:
        case Setting::Rts:
        case Setting::Break:
            return comport::SetControl(static_cast<uint8_t>(value));
    }
    return {};
}

Bytes ComPortClient::SendPending(int64_t nowMs) {
    Bytes out;
    for (int k = 0; k < SETTING_COUNT; ++k) {
        if (queued_[k])
            Append(out, Send(static_cast<Setting>(k), acks_[k].requested, nowMs));
    }
    return out;
}

void ComPortClient::RefuseAll() {
    for (int k = 0; k < SETTING_COUNT; ++k) {
        if (acks_[k].state == AckState::Pending)
            acks_[k].state = AckState::Refused;
        queued_[k] = false;
    }
}

Bytes ComPortClient::Apply(const LineSettings& s, int64_t nowMs) {
    Bytes out;
    Append(out, Send(Setting::Baud, s.baud, nowMs));
    Append(out, Send(Setting::DataBits, static_cast<uint32_t>(s.dataBits), nowMs));
    Append(out, Send(Setting::Parity, comport::ParityValue(s.parity), nowMs));
    Append(out, Send(Setting::StopBits, comport::StopSizeValue(s.stopBits), nowMs));
    Append(out, Send(Setting::Flow, comport::FlowValue(s.flow), nowMs));
    return out;
}

Bytes ComPortClient::SetDtr(bool on, int64_t nowMs) {
    return Send(Setting::Dtr, on ? comport::CONTROL_DTR_ON : comport::CONTROL_DTR_OFF, nowMs);
}

Bytes ComPortClient::SetRts(bool on, int64_t nowMs) {
    return Send(Setting::Rts, on ? comport::CONTROL_RTS_ON : comport::CONTROL_RTS_OFF, nowMs);
}

Bytes ComPortClient::SetBreak(bool on, int64_t nowMs) {
    return Send(Setting::Break, on ? comport::CONTROL_BREAK_ON : comport::CONTROL_BREAK_OFF, nowMs);
}

Bytes ComPortClient::RequestNotifications(bool on) {
    if (option_ != OptionState::Agreed)
        return {};
    // Every modem line; of the line state only the error, break and time-out bits: the
    // transmitter-empty and data-ready bits would change with every character.
    constexpr uint8_t lineMask = comport::LINE_TIMEOUT | comport::LINE_BREAK |
                                 comport::LINE_FRAMING_ERROR | comport::LINE_PARITY_ERROR |
                                 comport::LINE_OVERRUN;
    Bytes out = comport::SetModemstateMask(on ? 0xFF : 0);
    Append(out, comport::SetLinestateMask(on ? lineMask : 0));
    return out;
}

bool ComPortClient::CheckTimeouts(int64_t nowMs) {
    bool changed = false;
    if (option_ == OptionState::Asking && nowMs - askedMs_ >= timeoutMs_) {
        option_ = OptionState::NoAnswer;
        changed = true;
        // What waited for the option stays queued: a late DO still sends it.
        for (int k = 0; k < SETTING_COUNT; ++k) {
            if (queued_[k])
                acks_[k].state = AckState::TimedOut;
        }
    }
    for (int k = 0; k < SETTING_COUNT; ++k) {
        if (acks_[k].state == AckState::Pending && !queued_[k] &&
            nowMs - acks_[k].sentMs >= timeoutMs_) {
            acks_[k].state = AckState::TimedOut;
            changed = true;
        }
    }
    return changed;
}

ComPortClient::Output ComPortClient::Receive(const uint8_t* bytes, size_t n, int64_t nowMs) {
    Output out;
    std::vector<telnet::Event> events;
    receiver_.Feed(bytes, n, out.data, events);
    for (const telnet::Event& e : events) {
        if (e.kind == telnet::Event::Kind::Negotiation) {
            const OptionState before = option_;
            OnNegotiation(e.verb, e.option, out);
            if (option_ != before) {
                out.changed = true;
                if (option_ == OptionState::Agreed) {
                    out.late = out.late || before == OptionState::NoAnswer;
                    Append(out.reply, SendPending(nowMs));
                } else if (option_ == OptionState::Refused) {
                    RefuseAll();
                }
            }
        } else if (e.kind == telnet::Event::Kind::Subnegotiation) {
            OnSubnegotiation(e, nowMs, out);
        }
    }
    return out;
}

void ComPortClient::OnNegotiation(uint8_t verb, uint8_t option, Output& out) {
    using namespace telnet;
    // Each request is answered only when it would change the state, and an answer to one of
    // ours is never answered again (RFC 854's rules), so no exchange can loop.
    if (option == OPT_COM_PORT && (verb == DO || verb == DONT)) {
        if (verb == DO) {
            if (option_ == OptionState::NotAsked || option_ == OptionState::Refused)
                Append(out.reply, Negotiation(WILL, OPT_COM_PORT));  // the server asks first
            option_ = OptionState::Agreed;
        } else if (option_ == OptionState::Agreed) {
            Append(out.reply, Negotiation(WONT, OPT_COM_PORT));
            option_ = OptionState::Refused;
        } else if (option_ == OptionState::Asking || option_ == OptionState::NoAnswer) {
            option_ = OptionState::Refused;
        }
        return;
    }
    // Binary transmission and suppress-go-ahead are agreed to on both sides: they change
    // nothing in how this client frames data. Everything else is refused.
    bool* us = option == OPT_BINARY              ? &usBinary_
               : option == OPT_SUPPRESS_GO_AHEAD ? &usSga_
                                                 : nullptr;
    bool* him = option == OPT_BINARY              ? &himBinary_
                : option == OPT_SUPPRESS_GO_AHEAD ? &himSga_
                                                  : nullptr;
    switch (verb) {
        case WILL:
            if (!him)
                Append(out.reply, Negotiation(DONT, option));
            else if (!*him) {
                *him = true;
                Append(out.reply, Negotiation(DO, option));
            }
            break;
        case WONT:
            if (him && *him) {
                *him = false;
                Append(out.reply, Negotiation(DONT, option));
            }
            break;
        case DO:
            if (!us)
                Append(out.reply, Negotiation(WONT, option));
            else if (!*us) {
                *us = true;
                Append(out.reply, Negotiation(WILL, option));
            }
            break;
        case DONT:
            if (us && *us) {
                *us = false;
                Append(out.reply, Negotiation(WONT, option));
            }
            break;
        default:
            break;
    }
}

void ComPortClient::Answer(Setting s, uint32_t value, int64_t nowMs, Output& out) {
    Ack& a = acks_[static_cast<int>(s)];
    // Only an answer to a request counts; a late one still tells what the server applied.
    if (a.state != AckState::Pending && a.state != AckState::TimedOut)
        return;
    if (queued_[static_cast<int>(s)])
        return;  // not sent yet: this answers nothing of ours
    a.late = a.state == AckState::TimedOut;
    a.answeredAfterMs = nowMs - a.sentMs;
    a.answered = value;
    a.state = value == a.requested ? AckState::Acknowledged : AckState::AcknowledgedOther;
    out.changed = true;
    // The serial settings are reported; DTR, RTS and break show in the option's state only.
    const bool reported = s == Setting::Baud || s == Setting::DataBits || s == Setting::Parity ||
                          s == Setting::StopBits || s == Setting::Flow;
    out.late = out.late || (a.late && reported);
}

void ComPortClient::OnSubnegotiation(const telnet::Event& e, int64_t nowMs, Output& out) {
    using namespace comport;
    if (e.option != telnet::OPT_COM_PORT || e.payload.empty())
        return;
    const uint8_t code = e.payload[0];
    const size_t argc = e.payload.size() - 1;
    const uint8_t* arg = e.payload.data() + 1;
    if (code == SERVER_OFFSET + SIGNATURE) {
        if (argc == 0) {
            Bytes sig(1, SIGNATURE);
            for (const char c : std::string_view(CLIENT_SIGNATURE))
                sig.push_back(static_cast<uint8_t>(c));
            Append(out.reply, telnet::Subnegotiation(telnet::OPT_COM_PORT, sig));
        } else {
            signature_.assign(reinterpret_cast<const char*>(arg), argc);
        }
        return;
    }
    if (code == SERVER_OFFSET + SET_BAUDRATE) {
        if (argc == 4)
            Answer(Setting::Baud,
                   uint32_t(arg[0]) << 24 | uint32_t(arg[1]) << 16 | uint32_t(arg[2]) << 8 | arg[3],
                   nowMs, out);
        return;
    }
    if (code == SERVER_OFFSET + FLOWCONTROL_SUSPEND || code == SERVER_OFFSET + FLOWCONTROL_RESUME) {
        suspended_ = code == SERVER_OFFSET + FLOWCONTROL_SUSPEND;  // these carry no value
        return;
    }
    if (argc != 1)
        return;  // every other message carries one byte
    const uint8_t v = arg[0];
    switch (code) {
        case SERVER_OFFSET + SET_DATASIZE:
            Answer(Setting::DataBits, v, nowMs, out);
            break;
        case SERVER_OFFSET + SET_PARITY:
            Answer(Setting::Parity, v, nowMs, out);
            break;
        case SERVER_OFFSET + SET_STOPSIZE:
            Answer(Setting::StopBits, v, nowMs, out);
            break;
        case SERVER_OFFSET + SET_CONTROL:
            // The value tells which control it answers: 0-3 flow, 4-6 break, 7-9 DTR, 10-12 RTS.
            if (v <= CONTROL_FLOW_HARDWARE)
                Answer(Setting::Flow, v, nowMs, out);
            else if (v <= CONTROL_BREAK_OFF)
                Answer(Setting::Break, v, nowMs, out);
            else if (v <= CONTROL_DTR_OFF)
                Answer(Setting::Dtr, v, nowMs, out);
            else if (v <= CONTROL_RTS_OFF)
                Answer(Setting::Rts, v, nowMs, out);
            break;
        case SERVER_OFFSET + NOTIFY_LINESTATE:
            out.notifications.line.push_back(LineState::From(v));
            break;
        case SERVER_OFFSET + NOTIFY_MODEMSTATE:
            modem_ = DecodeModemState(v);
            out.notifications.modem.push_back(*modem_);
            break;
        default:
            break;  // mask and purge answers, and codes RFC 2217 does not define
    }
}
