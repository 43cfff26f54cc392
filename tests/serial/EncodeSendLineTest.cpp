#include "serial/EncodeSendLine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<unsigned char> Encode(std::string_view text, int capacity = 1024) {
    std::vector<unsigned char> out(static_cast<size_t>(capacity) + 16, 0xEE);
    const int n = EncodeSendLine(text, out.data(), capacity);
    for (size_t i = static_cast<size_t>(capacity); i < out.size(); ++i)
        EXPECT_EQ(out[i], 0xEE) << "wrote beyond the capacity";
    out.resize(static_cast<size_t>(n));
    return out;
}

using Bytes = std::vector<unsigned char>;

TEST(EncodeSendLine, EscapesOfTheSerialConsole) {
    EXPECT_EQ(Encode("AT\\x0D"), (Bytes{0x41, 0x54, 0x0D}));
    EXPECT_EQ(Encode("\\x0d\\x0A"), (Bytes{0x0D, 0x0A}));
    EXPECT_EQ(Encode("ab\\x4"), (Bytes{'a', 'b', 0x04}));
    EXPECT_EQ(Encode("\\x4Z"), (Bytes{0x04, 0x5A}));
    EXPECT_EQ(Encode("\\x4\\x41"), (Bytes{0x04, 0x5C, 0x78, 0x34, 0x31}));
    EXPECT_EQ(Encode("\\xG1"), (Bytes{'\\', 'x', 'G', '1'}));
    EXPECT_EQ(Encode("\\x"), (Bytes{0x5C, 0x78}));
    EXPECT_EQ(Encode("a\\b"), (Bytes{'a', '\\', 'b'}));
    EXPECT_EQ(Encode("\\\\x41"), (Bytes{0x5C, 0x41}));
    EXPECT_EQ(Encode(""), Bytes{});
    // Only \x exists: \r and \n are sent as their two characters.
    EXPECT_EQ(Encode("\\r\\n"), (Bytes{'\\', 'r', '\\', 'n'}));
}

TEST(EncodeSendLine, EscapesOfTheNetworkConsole) {
    EXPECT_EQ(Encode("\\x41\\x42"), (Bytes{0x41, 0x42}));
    EXPECT_EQ(Encode("\\x4"), (Bytes{0x04}));
    EXPECT_EQ(Encode("\\x4G"), (Bytes{0x04, 'G'}));
    EXPECT_EQ(Encode("\\xZ1"), (Bytes{'\\', 'x', 'Z', '1'}));
    EXPECT_EQ(Encode("\\X 1"), (Bytes{'\\', 'X', ' ', '1'}));
    EXPECT_EQ(Encode("ab\\"), (Bytes{'a', 'b', '\\'}));
    EXPECT_EQ(Encode("\\XfF"), (Bytes{0xFF}));
}

TEST(EncodeSendLine, NonAsciiGoesOutAsUtf8AndNeverOverflows) {
    // 1024 characters of three UTF-8 bytes each: all 3072 bytes fit a buffer as large as the
    // line, and a smaller buffer is filled to its end and no further.
    std::string line;
    for (int i = 0; i < 1024; ++i)
        line += "\xED\x95\x9C";  // U+D55C
    auto full = Encode(line, static_cast<int>(line.size()));
    ASSERT_EQ(full.size(), line.size());
    EXPECT_TRUE(std::equal(full.begin(), full.end(), line.begin(), [](unsigned char a, char b) {
        return a == static_cast<unsigned char>(b);
    }));
    EXPECT_EQ(Encode(line, 1024).size(), 1024u);
    EXPECT_EQ(Encode("\\x41\\x42", 1), (Bytes{0x41}));
    EXPECT_EQ(Encode("\\x4Z", 1), (Bytes{0x04}));
    EXPECT_EQ(Encode("abc", 0), Bytes{});
}

}  // namespace
