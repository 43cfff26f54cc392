#include "serial/HexPairs.h"

#include <gtest/gtest.h>

namespace {

// Whole pairs decode; otherwise the first wrong pair is named as typed, with the position (in
// characters) of its first wrong character.
TEST(HexPairs, PairsDecodeAndTheFirstWrongOneIsNamed) {
    const struct {
        std::string line;
        std::vector<unsigned char> bytes = {};  // when the line is whole pairs
        std::string pair = {};  // else: the wrong pair, where, and whether it is half
        size_t position = 0;
        bool half = false;
    } cases[] = {
        {"01 03 00 0A", {0x01, 0x03, 0x00, 0x0A}},
        {"0103000a", {0x01, 0x03, 0x00, 0x0A}},
        {"  fF\t7e  ", {0xFF, 0x7E}},
        {"   ", {}},
        {"0G", {}, "0G", 2},
        {"01 G1", {}, "G1", 4},
        {"0x0A", {}, "0x", 2},
        {"01 0 02", {}, "0", 4, true},
        {"010", {}, "0", 3, true},
        {"01,02", {}, ",0", 3},
        {"01 - 02", {}, "-", 4},
        {"é0 01", {}, "é0", 1},  // "é" is two bytes, one character
        {"01 0é", {}, "0é", 5},
    };
    for (const auto& c : cases) {
        std::vector<unsigned char> out{0xEE};
        const std::optional<HexPairsError> error = ParseHexPairs(c.line, out);
        EXPECT_EQ(error.has_value(), !c.pair.empty()) << c.line;
        if (!error) {
            EXPECT_EQ(out, c.bytes) << c.line;
            continue;
        }
        EXPECT_EQ(error->pair, c.pair) << c.line;
        EXPECT_EQ(error->position, c.position) << c.line;
        EXPECT_EQ(error->half, c.half) << c.line;
    }
}

}  // namespace
