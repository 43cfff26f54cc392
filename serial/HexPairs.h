// Decoding of a send line typed as hex pairs ("01 03 00 0A", "0103000a"): two hex digits make a
// byte, upper or lower case; blanks (spaces, tabs) may stand between pairs, never inside one.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Where a line stops being hex pairs.
struct HexPairsError {
    // The offending pair as typed: its two characters, or the one that is left (a single digit
    // before a blank or at the end of the line, a character that is no hex digit).
    std::string pair;
    // 1-based position, in characters, of the first character that is wrong.
    size_t position = 0;
    // True when the pair is one hex digit without its second.
    bool half = false;
};

// Decodes `line` (UTF-8) into `out` (replaced). A line of blanks only gives no bytes. On an error
// `out` holds the bytes before it.
std::optional<HexPairsError> ParseHexPairs(std::string_view line, std::vector<unsigned char>& out);
