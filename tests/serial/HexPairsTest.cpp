#include "serial/HexPairs.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

TEST(HexPairs, WholePairsDecode) {
    const struct {
        std::string line;
        Bytes bytes;
    } cases[] = {
        {"01 03 00 0A", {0x01, 0x03, 0x00, 0x0A}},
        {"0103000a", {0x01, 0x03, 0x00, 0x0A}},
        {"  fF\t7e  ", {0xFF, 0x7E}},
        {"", {}},
        {"   ", {}},
    };
    for (const auto& c : cases) {
        Bytes out{0xEE};
        EXPECT_EQ(ParseHexPairs(c.line, out), std::nullopt) << c.line;
        EXPECT_EQ(out, c.bytes) << c.line;
    }
}

TEST(HexPairs, TheFirstWrongPairIsNamedWithItsPosition) {
    const struct {
        std::string line;
        std::string pair;
        size_t position;
        bool half;
    } cases[] = {
        {"0G", "0G", 2, false},
        {"01 G1", "G1", 4, false},
        {"0x0A", "0x", 2, false},
        {"01 0 02", "0", 4, true},
        {"010", "0", 3, true},
        {"01,02", ",0", 3, false},
        {"01 - 02", "-", 4, false},
        // Positions count characters: "é" is two bytes but one character.
        {"é0 01", "é0", 1, false},
        {"01 0é", "0é", 5, false},
    };
    for (const auto& c : cases) {
        Bytes out;
        const std::optional<HexPairsError> error = ParseHexPairs(c.line, out);
        ASSERT_TRUE(error) << c.line;
        EXPECT_EQ(error->pair, c.pair) << c.line;
        EXPECT_EQ(error->position, c.position) << c.line;
        EXPECT_EQ(error->half, c.half) << c.line;
    }
}

}  // namespace
