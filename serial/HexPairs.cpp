#include "serial/HexPairs.h"

#include <algorithm>

#include "serial/EncodeSendLine.h"

namespace {

bool Blank(char c) {
    return c == ' ' || c == '\t';
}

// Byte length of the UTF-8 character that starts with `lead`; a stray byte counts as one.
size_t CharLength(unsigned char lead) {
    if (lead >= 0xF0 && lead <= 0xF4)
        return 4;
    if (lead >= 0xE0)
        return lead <= 0xEF ? 3 : 1;
    if (lead >= 0xC2)
        return 2;
    return 1;
}

}  // namespace

std::optional<HexPairsError> ParseHexPairs(std::string_view line, std::vector<unsigned char>& out) {
    out.clear();
    out.reserve(line.size() / 2);
    size_t i = 0;
    size_t position = 1;  // of line[i], in characters
    // The next character from byte i, whole, and its length in bytes.
    auto character = [&](size_t at) {
        const size_t len =
            std::min(CharLength(static_cast<unsigned char>(line[at])), line.size() - at);
        return line.substr(at, len);
    };
    while (i < line.size()) {
        if (Blank(line[i])) {
            ++i;
            ++position;
            continue;
        }
        const int high = HexDigitValue(line[i]);
        const std::string_view first = character(i);
        if (high < 0) {
            // A stray character: shown with the one after it when that is part of the same word.
            std::string pair(first);
            const size_t next = i + first.size();
            if (next < line.size() && !Blank(line[next]))
                pair += character(next);
            return HexPairsError{pair, position, false};
        }
        const size_t next = i + 1;
        if (next == line.size() || Blank(line[next]))
            return HexPairsError{std::string(first), position, true};
        const int low = HexDigitValue(line[next]);
        if (low < 0)
            return HexPairsError{std::string(first) + std::string(character(next)), position + 1,
                                 false};
        out.push_back(static_cast<unsigned char>(high * 16 + low));
        i += 2;
        position += 2;
    }
    return std::nullopt;
}
