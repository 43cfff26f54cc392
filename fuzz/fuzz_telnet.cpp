// The Telnet receiver against a plain reading of the same grammar, and the Com Port Control
// client, on any received stream. Input layout:
// byte 0 chooses the chunk length (0: the whole stream at once, else 1 to 255 bytes per Feed),
// byte 1 the milliseconds between chunks for the client (times 16); the rest is the stream.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "net/Telnet.h"

namespace {

void Check(bool ok) {
    if (!ok)
        std::abort();
}

struct Parsed {
    telnet::Bytes data;
    std::vector<telnet::Event> events;
};

Parsed Parse(const uint8_t* p, size_t n, size_t chunk) {
    telnet::Receiver r;
    Parsed out;
    for (size_t i = 0; i < n; i += chunk) {
        const size_t len = std::min(chunk, n - i);
        r.Feed(p + i, len, out.data, out.events);
    }
    return out;
}

// The same grammar read the plain way, on the whole stream with look-ahead: what the receiver
// must give, whatever its chunking. An incomplete command at the end gives nothing yet.
Parsed Reference(const uint8_t* s, size_t n) {
    using telnet::IAC;
    using Kind = telnet::Event::Kind;
    Parsed out;
    size_t i = 0;
    while (i < n) {
        if (s[i] != IAC) {
            out.data.push_back(s[i++]);
            continue;
        }
        if (i + 1 >= n)
            break;
        const uint8_t c = s[i + 1];
        if (c == IAC) {
            out.data.push_back(IAC);
            i += 2;
        } else if (c >= telnet::WILL) {
            if (i + 2 >= n)
                break;
            out.events.push_back({Kind::Negotiation, c, s[i + 2], {}});
            i += 3;
        } else if (c == telnet::SB) {
            if (i + 2 >= n)
                break;
            const uint8_t option = s[i + 2];
            telnet::Bytes payload;
            bool overflow = false;
            auto add = [&](uint8_t x) {
                if (overflow)
                    return;
                if (payload.size() == telnet::MAX_SUBNEGOTIATION) {
                    out.events.push_back({Kind::Overflow, 0, option, {}});
                    overflow = true;
                } else {
                    payload.push_back(x);
                }
            };
            size_t j = i + 3;
            for (;;) {
                if (j >= n)
                    return out;
                if (s[j] != IAC) {
                    add(s[j++]);
                    continue;
                }
                if (j + 1 >= n)
                    return out;
                const uint8_t y = s[j + 1];
                if (y == IAC) {
                    add(IAC);
                    j += 2;
                } else if (y == telnet::SE) {
                    if (!overflow)
                        out.events.push_back({Kind::Subnegotiation, 0, option, payload});
                    i = j + 2;
                    break;
                } else {
                    if (!overflow)
                        out.events.push_back({Kind::Broken, 0, option, {}});
                    i = j;  // the command that cut it is read next
                    break;
                }
            }
        } else {
            out.events.push_back({Kind::Command, c, 0, {}});
            i += 2;
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    const size_t chunk = data[0] ? data[0] : size;
    const int64_t step = int64_t{data[1]} * 16;
    const uint8_t* stream = data + 2;
    const size_t n = size - 2;

    // Any chunking parses like the whole stream at once.
    const Parsed whole = Parse(stream, n, n ? n : 1);
    const Parsed chunked = Parse(stream, n, chunk);
    Check(whole.data == chunked.data);
    Check(whole.events == chunked.events);
    const Parsed expected = Reference(stream, n);
    Check(whole.data == expected.data);
    Check(whole.events == expected.events);

    // Data never grows, and without IAC the stream is all data.
    Check(whole.data.size() <= n);
    bool hasIac = false;
    for (size_t i = 0; i < n; ++i)
        hasIac = hasIac || stream[i] == telnet::IAC;
    if (!hasIac)
        Check(whole.data == telnet::Bytes(stream, stream + n) && whole.events.empty());

    // The data carries no command: escaped and parsed again it comes back alone.
    telnet::Bytes wire;
    telnet::AppendEscaped(whole.data.data(), whole.data.size(), wire);
    const Parsed again = Parse(wire.data(), wire.size(), wire.size() ? wire.size() : 1);
    Check(again.data == whole.data && again.events.empty());

    // Kept subnegotiations stay within the cap.
    for (const telnet::Event& e : whole.events)
        Check(e.payload.size() <= telnet::MAX_SUBNEGOTIATION);

    // The client: the same data, and replies that are commands only, each at most one per
    // received command (the 5 held-back settings and the signature answer aside).
    ComPortClient client;
    client.Start(0);
    client.Apply(LineSettings{}, 0);
    int64_t now = 0;
    telnet::Bytes clientData, replies;
    for (size_t i = 0; i < n; i += chunk) {
        const size_t len = std::min(chunk, n - i);
        const ComPortClient::Output out = client.Receive(stream + i, len, now);
        clientData.insert(clientData.end(), out.data.begin(), out.data.end());
        replies.insert(replies.end(), out.reply.begin(), out.reply.end());
        client.CheckTimeouts(now);
        now += step;
    }
    Check(clientData == whole.data);
    const Parsed replyParsed =
        Parse(replies.data(), replies.size(), replies.size() ? replies.size() : 1);
    Check(replyParsed.data.empty());
    size_t signatureRequests = 0;
    for (const telnet::Event& e : whole.events)
        signatureRequests += e.kind == telnet::Event::Kind::Subnegotiation &&
                             e.payload.size() == 1 &&
                             e.payload[0] == comport::SERVER_OFFSET + comport::SIGNATURE;
    Check(replyParsed.events.size() <= whole.events.size() + 5);
    Check(replies.size() <= 3 * whole.events.size() + 64 + 12 * signatureRequests);
    return 0;
}
