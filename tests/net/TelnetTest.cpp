// Telnet framing and the Com Port Control client: escaping, parsing in any chunking,
// negotiation answers, the exact bytes of each command, acknowledgements and notifications,
// and what a hostile peer can do to memory.
#include "net/Telnet.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using telnet::Bytes;
using telnet::Event;
using Kind = telnet::Event::Kind;
using Ack = ComPortClient::AckState;
using Setting = ComPortClient::Setting;
using OptionState = ComPortClient::OptionState;

constexpr uint8_t IAC = telnet::IAC, SB = telnet::SB, SE = telnet::SE, WILL = telnet::WILL,
                  WONT = telnet::WONT, DO = telnet::DO, DONT = telnet::DONT,
                  CPO = telnet::OPT_COM_PORT;

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

struct Parsed {
    Bytes data;
    std::vector<Event> events;
};

Parsed ParseInChunks(const Bytes& in, const std::vector<size_t>& cuts) {
    telnet::Receiver r;
    Parsed p;
    size_t from = 0;
    for (size_t cut : cuts) {
        r.Feed(in.data() + from, cut - from, p.data, p.events);
        from = cut;
    }
    r.Feed(in.data() + from, in.size() - from, p.data, p.events);
    return p;
}

TEST(Telnet, EscapingRoundTripsEveryByteValue) {
    Bytes all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<uint8_t>(i));
    all.insert(all.end(), {IAC, IAC, IAC});  // runs of 0xFF too
    Bytes wire;
    telnet::AppendEscaped(all.data(), all.size(), wire);
    EXPECT_EQ(wire.size(), all.size() + 4);
    // Every split point, and byte by byte.
    for (size_t cut = 0; cut <= wire.size(); ++cut) {
        const Parsed p = ParseInChunks(wire, {cut});
        ASSERT_EQ(p.data, all) << "cut at " << cut;
        ASSERT_TRUE(p.events.empty());
    }
    std::vector<size_t> every;
    for (size_t i = 1; i < wire.size(); ++i)
        every.push_back(i);
    EXPECT_EQ(ParseInChunks(wire, every).data, all);
}

TEST(Telnet, CommandsInsideDataParseAlikeInEveryChunking) {
    const Bytes wire = Cat({{'a', IAC, IAC, 'b'},
                            {IAC, WILL, 1},
                            {'c', 0},
                            {IAC, SB, CPO, 107, IAC, IAC, 0x31, IAC, SE},
                            {IAC, telnet::NOP},
                            {IAC, SB, CPO, IAC, SE},  // empty payload
                            {'\r', 0, '\r', '\n', IAC, DONT, 44, 'z'}});
    const Bytes data{'a', 0xFF, 'b', 'c', 0, '\r', 0, '\r', '\n', 'z'};
    const std::vector<Event> events{{Kind::Negotiation, WILL, 1, {}},
                                    {Kind::Subnegotiation, 0, CPO, {107, 0xFF, 0x31}},
                                    {Kind::Command, telnet::NOP, 0, {}},
                                    {Kind::Subnegotiation, 0, CPO, {}},
                                    {Kind::Negotiation, DONT, 44, {}}};
    for (size_t a = 0; a <= wire.size(); ++a) {
        for (size_t b = a; b <= wire.size(); ++b) {
            const Parsed p = ParseInChunks(wire, {a, b});
            ASSERT_EQ(p.data, data) << a << ", " << b;
            ASSERT_EQ(p.events, events) << a << ", " << b;
        }
    }
}

TEST(Telnet, HostileSubnegotiations) {
    // Unterminated: nothing after IAC SB is data, and what is kept stays within the cap.
    {
        telnet::Receiver r;
        Parsed p;
        const Bytes head{'x', IAC, SB, CPO};
        r.Feed(head.data(), head.size(), p.data, p.events);
        const Bytes junk(1 << 20, 'j');
        r.Feed(junk.data(), junk.size(), p.data, p.events);
        EXPECT_EQ(p.data, Bytes{'x'});
        EXPECT_TRUE(r.InSubnegotiation());
        ASSERT_EQ(p.events.size(), 1u);
        EXPECT_EQ(p.events[0].kind, Kind::Overflow);
        EXPECT_EQ(r.DroppedSubnegotiations(), 1u);
        // Its end returns to data.
        const Bytes tail{IAC, IAC, IAC, SE, 'y'};
        r.Feed(tail.data(), tail.size(), p.data, p.events);
        EXPECT_EQ(p.data, (Bytes{'x', 'y'}));
        EXPECT_FALSE(r.InSubnegotiation());
    }
    // Exactly the cap is kept; one more byte overflows.
    for (const size_t size : {telnet::MAX_SUBNEGOTIATION, telnet::MAX_SUBNEGOTIATION + 1}) {
        const Bytes wire =
            Cat({{IAC, SB, CPO}, Bytes(size, IAC), Bytes(size, IAC), {IAC, SE, 'k'}});
        // The payload above is IAC IAC pairs: `size` bytes of 0xFF once unescaped.
        const Parsed p = ParseInChunks(wire, {});
        ASSERT_EQ(p.events.size(), 1u);
        EXPECT_EQ(p.events[0].kind,
                  size == telnet::MAX_SUBNEGOTIATION ? Kind::Subnegotiation : Kind::Overflow);
        EXPECT_EQ(p.data, Bytes{'k'});
    }
    // Broken off by another command: that command counts, the subnegotiation is dropped.
    {
        const Parsed p = ParseInChunks({IAC, SB, CPO, 1, 2, IAC, WILL, 3, 'd'}, {});
        EXPECT_EQ(p.events, (std::vector<Event>{{Kind::Broken, 0, CPO, {}},
                                                {Kind::Negotiation, WILL, 3, {}}}));
        EXPECT_EQ(p.data, Bytes{'d'});
    }
}

TEST(Telnet, CommandBytes) {
    struct Case {
        const char* name;
        Bytes got;
        Bytes want;
    };
    const Case cases[] = {
        {"negotiation", telnet::Negotiation(WILL, CPO), {IAC, WILL, 44}},
        {"subnegotiation escapes",
         telnet::Subnegotiation(CPO, {0, 0xFF, 1}),
         {IAC, SB, 44, 0, IAC, IAC, 1, IAC, SE}},
        {"baud", comport::SetBaudRate(115200), {IAC, SB, 44, 1, 0x00, 0x01, 0xC2, 0x00, IAC, SE}},
        {"baud with 0xFF",
         comport::SetBaudRate(0x00FF00FF),
         {IAC, SB, 44, 1, 0x00, IAC, IAC, 0x00, IAC, IAC, IAC, SE}},
        {"data size", comport::SetDataSize(7), {IAC, SB, 44, 2, 7, IAC, SE}},
        {"parity even",
         comport::SetParity(comport::ParityValue(Parity::Even)),
         {IAC, SB, 44, 3, 3, IAC, SE}},
        {"parity space",
         comport::SetParity(comport::ParityValue(Parity::Space)),
         {IAC, SB, 44, 3, 5, IAC, SE}},
        {"stop size 2",
         comport::SetStopSize(comport::StopSizeValue(StopBits::Two)),
         {IAC, SB, 44, 4, 2, IAC, SE}},
        {"flow none",
         comport::SetControl(comport::FlowValue(FlowControl::None)),
         {IAC, SB, 44, 5, 1, IAC, SE}},
        {"flow xon/xoff",
         comport::SetControl(comport::FlowValue(FlowControl::XonXoff)),
         {IAC, SB, 44, 5, 2, IAC, SE}},
        {"flow hardware",
         comport::SetControl(comport::FlowValue(FlowControl::Hardware)),
         {IAC, SB, 44, 5, 3, IAC, SE}},
        {"break on", comport::SetControl(comport::CONTROL_BREAK_ON), {IAC, SB, 44, 5, 5, IAC, SE}},
        {"break off",
         comport::SetControl(comport::CONTROL_BREAK_OFF),
         {IAC, SB, 44, 5, 6, IAC, SE}},
        {"dtr on", comport::SetControl(comport::CONTROL_DTR_ON), {IAC, SB, 44, 5, 8, IAC, SE}},
        {"dtr off", comport::SetControl(comport::CONTROL_DTR_OFF), {IAC, SB, 44, 5, 9, IAC, SE}},
        {"rts on", comport::SetControl(comport::CONTROL_RTS_ON), {IAC, SB, 44, 5, 11, IAC, SE}},
        {"rts off", comport::SetControl(comport::CONTROL_RTS_OFF), {IAC, SB, 44, 5, 12, IAC, SE}},
        {"linestate mask", comport::SetLinestateMask(0x9E), {IAC, SB, 44, 10, 0x9E, IAC, SE}},
        {"modemstate mask", comport::SetModemstateMask(0xFF), {IAC, SB, 44, 11, IAC, IAC, IAC, SE}},
        {"purge both", comport::PurgeData(comport::PURGE_BOTH), {IAC, SB, 44, 12, 3, IAC, SE}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.got, c.want) << c.name;
}

// Received bytes for `c` at `now`.
ComPortClient::Output Feed(ComPortClient& c, const Bytes& in, int64_t now = 0) {
    return c.Receive(in.data(), in.size(), now);
}

TEST(Telnet, NegotiationAnswers) {
    struct Case {
        const char* name;
        bool asked;
        Bytes in;
        Bytes reply;
        OptionState state;
    };
    const Case cases[] = {
        {"server agrees", true, {IAC, DO, CPO}, {}, OptionState::Agreed},
        {"server refuses", true, {IAC, DONT, CPO}, {}, OptionState::Refused},
        {"server asks first", false, {IAC, DO, CPO}, {IAC, WILL, CPO}, OptionState::Agreed},
        {"agreement repeated", true, {IAC, DO, CPO, IAC, DO, CPO}, {}, OptionState::Agreed},
        {"agreement withdrawn",
         true,
         {IAC, DO, CPO, IAC, DONT, CPO},
         {IAC, WONT, CPO},
         OptionState::Refused},
        {"unknown options refused",
         true,
         {IAC, WILL, 1, IAC, DO, 24},
         {IAC, DONT, 1, IAC, WONT, 24},
         OptionState::Asking},
        {"refusals not answered", true, {IAC, WONT, 1, IAC, DONT, 24}, {}, OptionState::Asking},
        {"binary and SGA taken once",
         true,
         {IAC, WILL, 0, IAC, DO, 0, IAC, WILL, 3, IAC, WILL, 0, IAC, DO, 3, IAC, DO, 3},
         {IAC, DO, 0, IAC, WILL, 0, IAC, DO, 3, IAC, WILL, 3},
         OptionState::Asking},
        {"binary withdrawn",
         true,
         {IAC, WILL, 0, IAC, WONT, 0, IAC, WONT, 0},
         {IAC, DO, 0, IAC, DONT, 0},
         OptionState::Asking},
        {"server WILL com port refused",
         true,
         {IAC, WILL, CPO},
         {IAC, DONT, CPO},
         OptionState::Asking},
    };
    for (const Case& c : cases) {
        ComPortClient client;
        if (c.asked) {
            EXPECT_EQ(client.Start(0), (Bytes{IAC, WILL, CPO}));
        }
        const auto out = Feed(client, c.in);
        EXPECT_EQ(out.reply, c.reply) << c.name;
        EXPECT_EQ(client.Option(), c.state) << c.name;
        EXPECT_TRUE(out.data.empty()) << c.name;
    }
}

Bytes Reply(uint8_t code, const Bytes& value) {
    Bytes p = value;
    p.insert(p.begin(), static_cast<uint8_t>(code + comport::SERVER_OFFSET));
    return telnet::Subnegotiation(CPO, p);
}

TEST(Telnet, Acknowledgements) {
    const LineSettings settings{115200, 7, Parity::Even, StopBits::Two, FlowControl::Hardware};
    const Bytes allAcked =
        Cat({Reply(comport::SET_BAUDRATE, {0x00, 0x01, 0xC2, 0x00}),
             Reply(comport::SET_DATASIZE, {7}), Reply(comport::SET_PARITY, {3}),
             Reply(comport::SET_STOPSIZE, {2}), Reply(comport::SET_CONTROL, {3})});
    struct Case {
        const char* name;
        Bytes negotiation;  // the server's answer to WILL COM-PORT-OPTION
        Bytes answers;      // then its acknowledgements, at 1 s
        int64_t checkAt;    // CheckTimeouts at this time
        Ack baud, dataBits, parity, stopBits, flow;
        uint32_t baudAnswered;
        OptionState option;
    };
    const Case cases[] = {
        {"all acknowledged",
         {IAC, DO, CPO},
         allAcked,
         5000,
         Ack::Acknowledged,
         Ack::Acknowledged,
         Ack::Acknowledged,
         Ack::Acknowledged,
         Ack::Acknowledged,
         115200,
         OptionState::Agreed},
        {"other rate and no data size",
         {IAC, DO, CPO},
         Cat({Reply(comport::SET_BAUDRATE, {0x00, 0x00, 0xE1, 0x00}),
              Reply(comport::SET_PARITY, {3}), Reply(comport::SET_STOPSIZE, {1}),
              Reply(comport::SET_CONTROL, {3})}),
         3000,
         Ack::AcknowledgedOther,
         Ack::TimedOut,
         Ack::Acknowledged,
         Ack::AcknowledgedOther,
         Ack::Acknowledged,
         57600,
         OptionState::Agreed},
        {"still within 2 s",
         {IAC, DO, CPO},
         {},
         1999,
         Ack::Pending,
         Ack::Pending,
         Ack::Pending,
         Ack::Pending,
         Ack::Pending,
         0,
         OptionState::Agreed},
        {"nothing within 2 s",
         {IAC, DO, CPO},
         {},
         2000,
         Ack::TimedOut,
         Ack::TimedOut,
         Ack::TimedOut,
         Ack::TimedOut,
         Ack::TimedOut,
         0,
         OptionState::Agreed},
        {"option refused",
         {IAC, DONT, CPO},
         allAcked,
         5000,
         Ack::Refused,
         Ack::Refused,
         Ack::Refused,
         Ack::Refused,
         Ack::Refused,
         0,
         OptionState::Refused},
        {"option never answered",
         {},
         {},
         2000,
         Ack::TimedOut,
         Ack::TimedOut,
         Ack::TimedOut,
         Ack::TimedOut,
         Ack::TimedOut,
         0,
         OptionState::NoAnswer},
    };
    for (const Case& c : cases) {
        ComPortClient client;
        client.Start(0);
        // Asked before the server agreed: held back, then sent in order on its DO.
        EXPECT_TRUE(client.Apply(settings, 0).empty()) << c.name;
        const auto first = Feed(client, c.negotiation, 0);
        const Bytes sent =
            Cat({comport::SetBaudRate(115200), comport::SetDataSize(7), comport::SetParity(3),
                 comport::SetStopSize(2), comport::SetControl(3)});
        EXPECT_EQ(first.reply, c.option == OptionState::Agreed ? sent : Bytes{}) << c.name;
        Feed(client, c.answers, 1000);
        client.CheckTimeouts(c.checkAt);
        EXPECT_EQ(client.Option(), c.option) << c.name;
        EXPECT_EQ(client.AckOf(Setting::Baud).state, c.baud) << c.name;
        EXPECT_EQ(client.AckOf(Setting::DataBits).state, c.dataBits) << c.name;
        EXPECT_EQ(client.AckOf(Setting::Parity).state, c.parity) << c.name;
        EXPECT_EQ(client.AckOf(Setting::StopBits).state, c.stopBits) << c.name;
        EXPECT_EQ(client.AckOf(Setting::Flow).state, c.flow) << c.name;
        EXPECT_EQ(client.AckOf(Setting::Baud).answered, c.baudAnswered) << c.name;
    }
}

TEST(Telnet, SettingsAfterTheOptionFailed) {
    struct Case {
        const char* name;
        Bytes negotiation;
        int64_t checkAt;
        OptionState option;
        Ack after;
    };
    const Case cases[] = {
        {"refused", {IAC, DONT, CPO}, 0, OptionState::Refused, Ack::Refused},
        {"never answered", {}, 2000, OptionState::NoAnswer, Ack::TimedOut},
    };
    for (const Case& c : cases) {
        ComPortClient client;
        client.Start(0);
        Feed(client, c.negotiation);
        EXPECT_EQ(client.CheckTimeouts(c.checkAt), c.checkAt > 0) << c.name;
        EXPECT_FALSE(client.CheckTimeouts(c.checkAt + 1)) << c.name;
        EXPECT_EQ(client.Option(), c.option) << c.name;
        EXPECT_TRUE(client.Apply(LineSettings{}, 3000).empty()) << c.name;
        EXPECT_TRUE(client.SetDtr(true, 3000).empty()) << c.name;
        EXPECT_TRUE(client.RequestNotifications(true).empty()) << c.name;
        EXPECT_EQ(client.AckOf(Setting::Baud).state, c.after) << c.name;
        EXPECT_EQ(client.AckOf(Setting::Dtr).state, c.after) << c.name;
    }
}

TEST(Telnet, ControlAcknowledgementsGoToTheirLine) {
    ComPortClient client;
    client.Start(0);
    Feed(client, {IAC, DO, CPO});
    EXPECT_EQ(client.SetDtr(true, 0), comport::SetControl(comport::CONTROL_DTR_ON));
    EXPECT_EQ(client.SetRts(false, 0), comport::SetControl(comport::CONTROL_RTS_OFF));
    EXPECT_EQ(client.SetBreak(true, 0), comport::SetControl(comport::CONTROL_BREAK_ON));
    // RTS answered with another value, DTR and break as asked; the order does not matter.
    Feed(client, Cat({Reply(comport::SET_CONTROL, {11}), Reply(comport::SET_CONTROL, {5}),
                      Reply(comport::SET_CONTROL, {8})}));
    EXPECT_EQ(client.AckOf(Setting::Dtr).state, Ack::Acknowledged);
    EXPECT_EQ(client.AckOf(Setting::Break).state, Ack::Acknowledged);
    EXPECT_EQ(client.AckOf(Setting::Rts).state, Ack::AcknowledgedOther);
    EXPECT_EQ(client.AckOf(Setting::Rts).answered, 11u);
    EXPECT_EQ(client.AckOf(Setting::Flow).state, Ack::None);
}

TEST(Telnet, Notifications) {
    ComPortClient client;
    client.Start(0);
    Feed(client, {IAC, DO, CPO});
    EXPECT_EQ(client.RequestNotifications(true),
              Cat({comport::SetModemstateMask(0xFF), comport::SetLinestateMask(0x9E)}));
    const auto out =
        Feed(client, Cat({{'<'},
                          Reply(comport::NOTIFY_MODEMSTATE, {0xB1}),  // DCD, DSR, CTS, delta CTS
                          Reply(comport::NOTIFY_MODEMSTATE, {0x4C}),  // RI, delta DCD, RI edge
                          Reply(comport::NOTIFY_LINESTATE, {0x1A}),   // break, framing, overrun
                          Reply(comport::NOTIFY_LINESTATE, {0xE5}),
                          Reply(comport::SIGNATURE, {'s', 'r', 'v'}),
                          Reply(comport::FLOWCONTROL_SUSPEND, {}),
                          {'>'}}));
    EXPECT_EQ(out.data, (Bytes{'<', '>'}));
    platform::ModemState m1;
    m1.dcd = m1.dsr = m1.cts = m1.deltaCts = true;
    platform::ModemState m2;
    m2.ri = m2.deltaDcd = m2.riTrailingEdge = true;
    EXPECT_EQ(out.notifications.modem, (std::vector<platform::ModemState>{m1, m2}));
    comport::LineState l1;
    l1.breakDetected = l1.framingError = l1.overrun = true;
    comport::LineState l2;
    l2.timeout = l2.txShiftEmpty = l2.txHoldingEmpty = l2.parityError = l2.dataReady = true;
    EXPECT_EQ(out.notifications.line, (std::vector<comport::LineState>{l1, l2}));
    EXPECT_EQ(client.LastModemState(), m2);
    EXPECT_EQ(client.Signature(), "srv");
    EXPECT_TRUE(client.Suspended());
    // The server asking for our signature gets it.
    EXPECT_EQ(Feed(client, Reply(comport::SIGNATURE, {})).reply,
              telnet::Subnegotiation(CPO, {0, 'V', 'a', 's', 'k', 'e', 'l'}));
}

}  // namespace

// Each bit of a modem-state notification is one line's level or one line's change mark, read
// through the one modem-state type: the wire's bit values, line by line.
TEST(Telnet, ModemStateBitsDecodeToTheirLines) {
    using platform::ModemLine;
    struct Case {
        uint8_t bit;
        ModemLine line;
        bool level;  // the bit is the line's level, not its change mark
    };
    const Case cases[] = {
        {0x80, ModemLine::Dcd, true},  {0x40, ModemLine::Ri, true},   {0x20, ModemLine::Dsr, true},
        {0x10, ModemLine::Cts, true},  {0x08, ModemLine::Dcd, false}, {0x04, ModemLine::Ri, false},
        {0x02, ModemLine::Dsr, false}, {0x01, ModemLine::Cts, false},
    };
    for (const Case& c : cases) {
        const platform::ModemState m = comport::DecodeModemState(c.bit);
        for (ModemLine line : platform::kModemInputs) {
            const bool mine = line == c.line;
            EXPECT_EQ(m.Level(line), mine && c.level) << int(c.bit) << " " << ModemLineName(line);
            EXPECT_EQ(m.Changed(line), mine && !c.level)
                << int(c.bit) << " " << ModemLineName(line);
        }
        EXPECT_FALSE(m.dtr || m.rts) << int(c.bit);  // the byte does not carry the outputs
    }
}
