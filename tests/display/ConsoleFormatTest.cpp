#include "display/ConsoleFormat.h"

#include <gtest/gtest.h>

#include <numeric>
#include <random>
#include <vector>

namespace {

std::string Hex(const std::vector<unsigned char>& bytes) {
    std::string out;
    FormatHexDump(bytes.data(), static_cast<int>(bytes.size()), out);
    return out;
}

std::vector<unsigned char> Range(int first, int count) {
    std::vector<unsigned char> v(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i)
        v[static_cast<size_t>(i)] = static_cast<unsigned char>((first + i) & 0xFF);
    return v;
}

TEST(ConsoleFormat, HexDumpLinesGroupsAndOffsets) {
    EXPECT_EQ(Hex(Range(0x41, 20)), "0000 41424344 45464748 494A4B4C 4D4E4F50\r\n0010 51525354");
    // Exactly 16 bytes: one line, no trailing break; 17: a second line with one byte.
    EXPECT_EQ(Hex(Range(0, 16)), "0000 00010203 04050607 08090A0B 0C0D0E0F");
    EXPECT_EQ(Hex(Range(0, 17)), "0000 00010203 04050607 08090A0B 0C0D0E0F\r\n0010 10");
    EXPECT_EQ(Hex({}), "");
    EXPECT_EQ(Hex({0xAB}), "0000 AB");
    EXPECT_EQ(Hex(Range(0xFA, 5)), "0000 FAFBFCFD FE");
}

TEST(ConsoleFormat, FullHistoryIs128LinesOf5372Characters) {
    const std::string dump = Hex(Range(0, 2047));
    EXPECT_EQ(dump.size(), 5372u);
    size_t lines = 1;
    for (size_t pos = 0; (pos = dump.find("\r\n", pos)) != std::string::npos; pos += 2)
        ++lines;
    EXPECT_EQ(lines, 128u);
    const std::string last = dump.substr(dump.rfind("\r\n") + 2);
    EXPECT_EQ(last.substr(0, 5), "07F0 ");
    EXPECT_EQ(last.size(), 5u + 30u + 3u);  // 15 bytes in groups of 4, 4, 4, 3
}

TEST(ConsoleFormat, TextFormDropsZeroBytesOnly) {
    const unsigned char bytes[] = {'A', 0x00, '\r', '\n', 0x07, 0x80, 0xFF, 'B'};
    std::string out;
    FormatConsoleText(bytes, sizeof bytes, out);
    EXPECT_EQ(out, std::string("A\r\n\x07\x80\xFF"
                               "B"));
}

TEST(ConsoleFormat, WidgetTextBreaksLinesOnceAndKeepsLatin1) {
    EXPECT_EQ(ConsoleWidgetText("a\r\nb\rc\nd"), QStringLiteral("a\nb\nc\nd"));
    EXPECT_EQ(ConsoleWidgetText("\r\n\r\n"), QStringLiteral("\n\n"));
    EXPECT_EQ(ConsoleWidgetText("x\r"), QStringLiteral("x\n"));
    const QString latin = ConsoleWidgetText(std::string("\xE9\xFF\x80", 3));
    ASSERT_EQ(latin.size(), 3);
    EXPECT_EQ(latin[0].unicode(), 0xE9);
    EXPECT_EQ(latin[1].unicode(), 0xFF);
    EXPECT_EQ(latin[2].unicode(), 0x80);
    // A hex dump shows as rows without empty lines between.
    EXPECT_EQ(ConsoleWidgetText(Hex(Range(0, 17))).count(QLatin1Char('\n')), 1);
}

TEST(ConsoleFormat, WidgetTextDecodesWellFormedUtf8AndKeepsOtherBytesAsLatin1) {
    // Expected text as UTF-16 units.
    struct Case {
        const char* what;
        std::string bytes;
        std::u16string shown;
    };
    const Case cases[] = {
        {"Korean, 3-byte sequences", "\xED\x95\x9C\xEA\xB8\x80", u"\uD55C\uAE00"},
        {"2-byte sequence", "caf\xC3\xA9", u"caf\u00E9"},
        {"emoji, 4 bytes, a surrogate pair", "\xF0\x9F\x98\x80!", u"\U0001F600!"},
        {"largest code point", "\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
        {"past U+10FFFF", "\xF4\x90\x80\x80", u"\u00F4\u0090\u0080\u0080"},
        {"truncated at the end", "a\xED\x95", u"a\u00ED\u0095"},
        {"truncated 4-byte at the end", "\xF0\x9F\x98", u"\u00F0\u009F\u0098"},
        {"overlong C0 80", "\xC0\x80x", u"\u00C0\u0080x"},
        {"overlong E0 80 AF", "\xE0\x80\xAF", u"\u00E0\u0080\u00AF"},
        {"lone continuation byte", "\x80\xED\x95\x9C\xBF", u"\u0080\uD55C\u00BF"},
        {"surrogate ED A0 80", "\xED\xA0\x80", u"\u00ED\u00A0\u0080"},
        {"0xFF", "\xFF\xC3\xA9", u"\u00FF\u00E9"},
        {"sequence broken by CR LF", "\xEA\xB8\r\n\xEA\xB8\x80", u"\u00EA\u00B8\n\uAE00"},
        {"mixed with line breaks", "\xED\x95\x9C\r\n\xF0\x9F\x98\x80\r\xC3\xA9\n",
         u"\uD55C\n\U0001F600\n\u00E9\n"},
        {"more stray bytes than sequence bytes", "\x80\x81\x82\xC3\xA9",
         u"\u0080\u0081\u0082\u00C3\u00A9"},
        {"as many stray bytes as sequence bytes", "\x80\x81\xC3\xA9", u"\u0080\u0081\u00E9"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ConsoleWidgetText(c.bytes), QString::fromStdU16String(c.shown)) << c.what;
}

TEST(ConsoleFormat, RandomBytesShowAsLatin1Only) {
    // Random bytes hold well-formed sequences by chance; shown decoded they would bring up
    // characters of every script, each one a glyph the font engine keeps. Every seed, history
    // length and starting point shows within Latin-1, one character per byte.
    std::mt19937 rng(7);
    for (const int length : {64, 512, 2047}) {
        for (int run = 0; run < 50; ++run) {
            std::string bytes;
            for (int i = 0; i < length; ++i)
                if (const auto b = static_cast<char>(rng() & 0xFF); b != '\r' && b != 0)
                    bytes += b;
            const QString shown = ConsoleWidgetText(bytes);
            ASSERT_EQ(shown.size(), static_cast<qsizetype>(bytes.size())) << length;
            for (qsizetype i = 0; i < shown.size(); ++i)
                ASSERT_EQ(shown[i].unicode(), static_cast<unsigned char>(bytes[size_t(i)]))
                    << length << " at " << i;
        }
    }
}

}  // namespace
