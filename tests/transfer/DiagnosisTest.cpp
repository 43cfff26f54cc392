// Recognising what kind of difference a mismatching capture shows.
#include <gtest/gtest.h>

#include <span>

#include "support/TestUtil.h"
#include "transfer/Diagnosis.h"

namespace {

std::span<const unsigned char> Span(const std::string& s) {
    return {reinterpret_cast<const unsigned char*>(s.data()), s.size()};
}

// Every `from` byte becomes `to`.
std::string Replace(const std::string& s, const std::string& from, const std::string& to) {
    std::string out;
    for (size_t i = 0; i < s.size();) {
        if (s.compare(i, from.size(), from) == 0) {
            out += to;
            i += from.size();
        } else {
            out += s[i++];
        }
    }
    return out;
}

// Lines of text, as a terminal user sends them.
std::string Text(const std::string& eol) {
    std::string t;
    for (int i = 0; i < 2000; ++i)
        t += "line " + std::to_string(i) + " of the sent text" + eol;
    return t;
}

std::string TopBitCleared(std::string s) {
    for (char& c : s)
        c = static_cast<char>(c & 0x7F);
    return s;
}

TEST(Diagnosis, RecognisesEachKindOfDifference) {
    const std::string data = testutil::RandomBytes(64 * 1024, 5);
    const std::string other = testutil::RandomBytes(64 * 1024, 6);
    std::string flipped = data;
    flipped[777] = static_cast<char>(~flipped[777]);
    struct Case {
        const char* name;
        std::string sent, stored;
        std::string expected;  // the start of the text; empty: nothing recognised
    } cases[] = {
        // A capture ends at the announced length: a longer stream is stored cut to it.
        {"Telnet doubling", data, Replace(data, "\xFF", "\xFF\xFF").substr(0, data.size()),
         "every 0xFF byte arrived doubled: the device server speaks Telnet on this port (use "
         "RFC 2217 or set the port to raw TCP)"},
        {"LF to CR LF", Text("\n"), Replace(Text("\n"), "\n", "\r\n").substr(0, Text("\n").size()),
         "CR/LF translated: every LF became CR LF"},
        // A shorter stream leaves a short capture.
        {"CR LF to LF", Text("\r\n"), Text("\n"), "CR/LF translated: every CR LF became LF"},
        {"top bit cleared", data, TopBitCleared(data),
         "the top bit of every byte was cleared: 7 data bits somewhere on the way"},
        {"one byte dropped", data, data.substr(0, 1000) + data.substr(1001),
         "1 byte dropped at byte 1000, found by re-aligning; the rest matches"},
        {"three bytes inserted", data,
         (data.substr(0, 5000) + "abc" + data.substr(5000)).substr(0, data.size()),
         "3 bytes inserted at byte 5000, found by re-aligning; the rest matches"},
        {"dropped in two places", data,
         data.substr(0, 100) + data.substr(102, 9000) + data.substr(9200),
         "bytes dropped or inserted in 2 places (100 dropped, 0 inserted), the first: 2 bytes "
         "dropped at byte 100"},
        {"dropped in more places than are told", data,
         [&] {
             std::string s;
             for (size_t i = 0; i < data.size(); i += 1000)
                 s += data.substr(i + 1, 999);
             return s;
         }(),
         "bytes dropped or inserted in 16 or more places (16 dropped, 0 inserted), the first: 1 "
         "byte dropped at byte 0, found by re-aligning"},
        {"dropped, then changed", data,
         data.substr(0, 300) + data.substr(301, 5000) + other.substr(0, 100),
         "1 byte dropped at byte 300; other differences after it"},
        {"cut at 65536", testutil::RandomBytes(100000, 7),
         testutil::RandomBytes(100000, 7).substr(0, 65536),
         "the data stops after exactly 65536 bytes (64 KiB), a round size"},
        {"cut at another size", data, data.substr(0, 20000), ""},
        {"random difference", data, other, ""},
        {"one byte changed", data, flipped, ""},
        {"equal", data, data, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string text = DiagnoseDifference(Span(c.sent), Span(c.stored));
        if (c.expected.empty())
            EXPECT_EQ(text, "");
        else
            EXPECT_EQ(text.rfind(c.expected, 0), 0u) << text;
    }
}

// Large files are read only around the first difference, and the places are file offsets.
TEST(Diagnosis, ReadsTheFilesAroundTheFirstDifference) {
    testutil::TempDir dir;
    const size_t size = 3 * 1024 * 1024, at = 2 * 1024 * 1024 + 12345;
    const std::string sent = testutil::RandomBytes(size, 9);
    testutil::WriteFile(dir.File("sent"), sent);
    testutil::WriteFile(dir.File("stored"), sent.substr(0, at) + sent.substr(at + 1));
    EXPECT_EQ(DiagnoseFiles(dir.File("sent"), dir.File("stored"), at),
              "1 byte dropped at byte " + std::to_string(at) +
                  ", found by re-aligning; the rest matches");
    testutil::WriteFile(dir.File("cut"), sent.substr(0, 2 * 1024 * 1024));
    EXPECT_EQ(DiagnoseFiles(dir.File("sent"), dir.File("cut"), 2 * 1024 * 1024),
              "the data stops after exactly 2097152 bytes (2 MiB), a round size: a buffer or a "
              "limit on the way");
    EXPECT_EQ(DiagnoseFiles(dir.File("sent"), dir.File("missing"), 0), "");
}

}  // namespace
