// The console forms with the times of the received chunks that follow a pause.
#include "display/ConsoleFormat.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

// 2023-11-14 22:13:20.123456789 UTC.
constexpr int64_t BASE_WALL_NS = 1'700'000'000'123'456'789;
constexpr int64_t MS = 1'000'000;

class TimestampFormat : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        m_savedTz = tz ? std::optional<std::string>(tz) : std::nullopt;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override {
        if (m_savedTz)
            setenv("TZ", m_savedTz->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    std::optional<std::string> m_savedTz;
};

// A chunk start `ms` milliseconds after the base, on both clocks.
struct Start {
    int index;
    int64_t ms;
};

std::vector<CRingBuffer::ChunkStart> Starts(const std::vector<Start>& list) {
    std::vector<CRingBuffer::ChunkStart> out;
    for (const Start& s : list)
        out.push_back({s.index, {s.ms * MS, BASE_WALL_NS + s.ms * MS}});
    return out;
}

std::string Text(const std::string& bytes, const std::vector<Start>& starts, int64_t gapMs) {
    std::string out;
    FormatConsoleText(reinterpret_cast<const unsigned char*>(bytes.data()),
                      static_cast<int>(bytes.size()), Starts(starts), gapMs * MS, out);
    return out;
}

std::string Hex(const std::string& bytes, const std::vector<Start>& starts, int64_t gapMs) {
    std::string out;
    FormatHexDump(reinterpret_cast<const unsigned char*>(bytes.data()),
                  static_cast<int>(bytes.size()), Starts(starts), gapMs * MS, out);
    return out;
}

std::string Letters(int count) {
    std::string s;
    for (int i = 0; i < count; ++i)
        s += static_cast<char>('A' + i % 26);
    return s;
}

TEST_F(TimestampFormat, TextStartsChunksAfterAPauseOnALineOfTheirOwn) {
    struct Case {
        const char* what;
        std::string bytes;
        std::vector<Start> starts;
        int64_t gapMs;
        std::string expected;
    };
    const std::string t0 = "[22:13:20.123] ";
    const Case cases[] = {
        {"no pause: one line", "abcdef", {{0, 0}, {3, 5}}, 20, t0 + "abcdef"},
        {"a pause", "abcdef", {{0, 0}, {3, 25}}, 20, t0 + "abc\r\n[22:13:20.148] def"},
        {"a pause of exactly the gap",
         "abcdef",
         {{0, 0}, {3, 20}},
         20,
         t0 + "abc\r\n[22:13:20.143] def"},
        {"gap 0: every chunk",
         "abc",
         {{0, 0}, {1, 0}, {2, 0}},
         0,
         t0 + "a\r\n" + t0 + "b\r\n" + t0 + "c"},
        {"the pause counts from the chunk before, not the mark",
         "abcd",
         {{0, 0}, {1, 15}, {2, 30}, {3, 50}},
         20,
         t0 + "abc\r\n[22:13:20.173] d"},
        {"a line already ended: no empty line",
         "ab\r\ncd",
         {{0, 0}, {4, 30}},
         20,
         t0 + "ab\r\n[22:13:20.153] cd"},
        {"a CR LF cut between chunks stays one break",
         "ab\r\ncd",
         {{0, 0}, {3, 30}},
         20,
         t0 + "ab\r\n[22:13:20.153] cd"},
        {"leading line breaks end the line before",
         "ab\r\ncd",
         {{0, 0}, {2, 30}},
         20,
         t0 + "ab\r\n[22:13:20.153] cd"},
        {"a chunk of line breaks only keeps them after its time",
         "ab\r\ncd",
         {{0, 0}, {2, 30}, {4, 31}},
         20,
         t0 + "ab\r\n[22:13:20.153] \r\ncd"},
        {"bytes before the first retained start", "xyabc", {{2, 0}}, 20, "xy\r\n" + t0 + "abc"},
        {"a zero byte at a chunk start vanishes",
         std::string("ab\0cd", 5),
         {{0, 0}, {2, 30}},
         20,
         t0 + "ab\r\n[22:13:20.153] cd"},
        {"milliseconds cut, not rounded, across a second",
         "abc",
         {{0, 876}, {1, 877}, {2, 900}},
         1,
         "[22:13:20.999] a\r\n[22:13:21.000] b\r\n[22:13:21.023] c"},
        {"no chunk start", "plain\r\ntext", {}, 20, "plain\r\ntext"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Text(c.bytes, c.starts, c.gapMs), c.expected) << c.what;
}

TEST_F(TimestampFormat, HexDumpMarksChunkStartsAndKeepsEveryByteInItsColumn) {
    struct Case {
        const char* what;
        int count;
        std::vector<Start> starts;
        std::string expected;
    };
    const std::string m0 = "[22:13:20.123]\r\n";
    const Case cases[] = {
        {"a mark at the first row",
         20,
         {{0, 0}},
         m0 + "0000 41424344 45464748 494A4B4C 4D4E4F50\r\n0010 51525354"},
        {"a chunk from a group start",
         20,
         {{0, 0}, {8, 25}},
         m0 + "0000 41424344 45464748\r\n[22:13:20.148]\r\n0008" + std::string(19, ' ') +
             "494A4B4C 4D4E4F50\r\n0010 51525354"},
        {"a chunk inside a group",
         8,
         {{0, 0}, {5, 25}},
         m0 + "0000 41424344 45\r\n[22:13:20.148]\r\n0005" + std::string(12, ' ') + "464748"},
        {"a chunk at a row start",
         17,
         {{0, 0}, {16, 25}},
         m0 + "0000 41424344 45464748 494A4B4C 4D4E4F50\r\n[22:13:20.148]\r\n0010 51"},
        {"no pause: no mark",
         17,
         {{0, 0}, {16, 5}},
         m0 + "0000 41424344 45464748 494A4B4C 4D4E4F50\r\n0010 51"},
        {"bytes before the first retained start",
         6,
         {{3, 0}},
         "0000 414243\r\n" + m0 + "0003" + std::string(7, ' ') + "44 4546"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Hex(Letters(c.count), c.starts, 20), c.expected) << c.what;
}

// Without a marked start both forms are the plain ones, byte for byte, on a full history.
TEST_F(TimestampFormat, NoChunkStartGivesThePlainForms) {
    std::mt19937 rng(7);
    unsigned char bytes[RING_BUFFER_CAPACITY];
    for (unsigned char& b : bytes)
        b = static_cast<unsigned char>(rng());
    std::string plain, stamped;
    FormatConsoleText(bytes, RING_BUFFER_CAPACITY, plain);
    FormatConsoleText(bytes, RING_BUFFER_CAPACITY, {}, 20 * MS, stamped);
    EXPECT_EQ(stamped, plain);
    FormatHexDump(bytes, RING_BUFFER_CAPACITY, plain);
    FormatHexDump(bytes, RING_BUFFER_CAPACITY, {}, 20 * MS, stamped);
    EXPECT_EQ(stamped, plain);
}

// The ring's chunk starts as a render takes them: a chunk whose head left the history has no
// mark, the oldest retained one has.
TEST_F(TimestampFormat, RingHistoryMarksItsRetainedChunkStarts) {
    CRingBuffer ring;
    const std::string first(2040, 'x');
    ring.Put(reinterpret_cast<const unsigned char*>(first.data()), 2040, {0, BASE_WALL_NS});
    ring.Put(reinterpret_cast<const unsigned char*>("abcd"), 4, {30 * MS, BASE_WALL_NS + 30 * MS});
    ring.Put(reinterpret_cast<const unsigned char*>("efgh"), 4, {60 * MS, BASE_WALL_NS + 60 * MS});
    unsigned char history[RING_BUFFER_CAPACITY];
    std::vector<CRingBuffer::ChunkStart> starts;
    const int n = ring.Snapshot(history, starts);
    std::string text;
    FormatConsoleText(history, n, starts, 20 * MS, text);
    EXPECT_EQ(text, std::string(2039, 'x') + "\r\n[22:13:20.153] abcd\r\n[22:13:20.183] efgh");
}

TEST_F(TimestampFormat, TimestampIsLocalTime) {
    EXPECT_EQ(FormatTimestamp(BASE_WALL_NS), "[22:13:20.123]");
    setenv("TZ", "JST-9", 1);
    tzset();
    EXPECT_EQ(FormatTimestamp(BASE_WALL_NS), "[07:13:20.123]");
    EXPECT_EQ(FormatTimestamp(BASE_WALL_NS).size(), TIMESTAMP_LENGTH);
}

}  // namespace
