#include "display/SentLines.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "display/ConsoleFormat.h"

namespace {

// Sent lines among a history with timestamps: each part keeps the marks the whole history has
// (a chunk right after a pause), never more; the hex rows keep their columns across a sent row.
TEST(SentLines, PartsKeepTheirTimestampsAndColumns) {
    const std::string received = "OK\r\nREADY!";  // chunks "OK\r\n", "REA" and "DY!"
    const auto* bytes = reinterpret_cast<const unsigned char*>(received.data());
    const int n = static_cast<int>(received.size());
    const int64_t gap = 20'000'000;
    const int64_t t0 = 1'700'000'000'000'000'000, t1 = t0 + 50'000'000;
    const std::vector<CRingBuffer::ChunkStart> starts = {
        {0, {1'000'000'000, t0}}, {4, {1'050'000'000, t1}}, {7, {1'051'000'000, t1 + 1'000'000}}};
    const std::string seventeen(17, 'A');  // more than one row
    const std::string s0 = FormatTimestamp(t0), s1 = FormatTimestamp(t1);
    const struct {
        std::vector<SentLine> sent;
        bool stamps;
        bool hex;
        std::string shown;
    } cases[] = {
        {{{4, "AT\r\n"}}, true, false, s0 + " OK\r\n[sent] AT\\r\\n\r\n" + s1 + " READY!"},
        {{{0, "\x01\x7F"}, {n, "x"}},
         false,
         false,
         "[sent] \\x01\\x7F\r\nOK\r\nREADY!\r\n[sent] x\r\n"},
        // The unmarked chunk start at 7 stays unmarked after the sent line before it.
        {{{6, "AT"}}, true, false, s0 + " OK\r\n" + s1 + " RE\r\n[sent] AT\r\nADY!"},
        {{{6, "AT"}},
         true,
         true,
         s0 + "\r\n0000 4F4B0D0A\r\n" + s1 +
             "\r\n0004          5245\r\nsent 4154\r\n0006              4144 5921"},
        {{{2, seventeen}},
         false,
         true,
         "0000 4F4B\r\nsent 41414141 41414141 41414141 41414141\r\nsent 41\r\n"
         "0002     0D0A 52454144 5921"},
        // A note (a decoded frame) after the bytes before it, then a sent line at the same place.
        {{{4, "[modbus] frame", true}, {4, "AT", false}},
         false,
         false,
         "OK\r\n[modbus] frame\r\n[sent] AT\r\nREADY!"},
        {{{2, "[modbus] frame", true}},
         false,
         true,
         "0000 4F4B\r\n[modbus] frame\r\n0002     0D0A 52454144 5921"},
    };
    for (const auto& c : cases) {
        std::string out = "stale";
        FormatWithSent(bytes, n, c.stamps ? &starts : nullptr, gap, c.sent, c.hex, out);
        EXPECT_EQ(out, c.shown);
    }
}

}  // namespace
