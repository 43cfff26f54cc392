#include "net/Fields.h"

#include <cstddef>

namespace {

// Length of the blank (as QChar::isSpace counts one) encoded at the front of `s`, 0 if none.
size_t BlankAtFront(std::string_view s) {
    if (s.empty())
        return 0;
    const auto c0 = static_cast<unsigned char>(s[0]);
    if (c0 == ' ' || (c0 >= '\t' && c0 <= '\r'))
        return 1;
    if (s.size() >= 2 && c0 == 0xC2) {
        const auto c1 = static_cast<unsigned char>(s[1]);
        return c1 == 0x85 || c1 == 0xA0 ? 2 : 0;  // U+0085, U+00A0
    }
    if (s.size() < 3)
        return 0;
    const auto c1 = static_cast<unsigned char>(s[1]);
    const auto c2 = static_cast<unsigned char>(s[2]);
    if (c0 == 0xE1 && c1 == 0x9A && c2 == 0x80)  // U+1680
        return 3;
    if (c0 == 0xE2 && c1 == 0x80 &&  // U+2000..U+200A, U+2028, U+2029, U+202F
        ((c2 >= 0x80 && c2 <= 0x8A) || c2 == 0xA8 || c2 == 0xA9 || c2 == 0xAF))
        return 3;
    if (c0 == 0xE2 && c1 == 0x81 && c2 == 0x9F)  // U+205F
        return 3;
    if (c0 == 0xE3 && c1 == 0x80 && c2 == 0x80)  // U+3000
        return 3;
    return 0;
}

// Length of the blank encoded at the end of `s`, 0 if none: the longest blank's encoding is at
// most 3 bytes, and a well-formed encoding ending there is the only way to read those bytes.
size_t BlankAtBack(std::string_view s) {
    for (size_t len = 1; len <= 3 && len <= s.size(); ++len)
        if (BlankAtFront(s.substr(s.size() - len)) == len)
            return len;
    return 0;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

std::optional<unsigned> ParseUnsignedField(std::string_view text) {
    while (size_t n = BlankAtFront(text))
        text.remove_prefix(n);
    while (size_t n = BlankAtBack(text))
        text.remove_suffix(n);
    if (text.empty() || text.size() > 10)
        return std::nullopt;
    unsigned long long value = 0;
    for (char c : text) {
        if (!IsDigit(c))
            return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 0xFFFFFFFFull)
        return std::nullopt;
    return static_cast<unsigned>(value);
}

bool IsDottedAddressText(std::string_view text) {
    int dots = 0;
    int digits = 0;  // in the current number
    for (char c : text) {
        if (c == '.') {
            if (++dots > 3)
                return false;
            digits = 0;
        } else if (!IsDigit(c) || ++digits > 3) {
            return false;
        }
    }
    return true;
}

std::optional<uint32_t> ParseIPv4(std::string_view text) {
    uint32_t address = 0;
    int octets = 0;
    size_t i = 0;
    while (true) {
        const size_t start = i;
        unsigned octet = 0;
        while (i < text.size() && IsDigit(text[i]) && i - start < 3)
            octet = octet * 10 + static_cast<unsigned>(text[i++] - '0');
        const size_t len = i - start;
        if (len == 0 || octet > 255 || (len > 1 && text[start] == '0'))
            return std::nullopt;
        address = (address << 8) | octet;
        if (++octets == 4)
            break;
        if (i >= text.size() || text[i] != '.')
            return std::nullopt;
        ++i;
    }
    if (i != text.size())
        return std::nullopt;
    return address;
}
