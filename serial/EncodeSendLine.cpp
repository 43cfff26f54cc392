#include "serial/EncodeSendLine.h"

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

int EncodeSendLine(std::string_view text, unsigned char* out, int capacity) {
    const size_t L = text.size();
    size_t i = 0;
    int k = 0;
    auto emit = [&](unsigned char b) {
        if (k >= capacity)
            return false;
        out[k++] = b;
        return true;
    };
    while (i < L) {
        const bool escape =
            text[i] == '\\' && i + 3 <= L && (text[i + 1] == 'x' || text[i + 1] == 'X');
        if (!escape) {
            if (!emit(static_cast<unsigned char>(text[i])))
                break;
            ++i;
            continue;
        }
        const int h = HexDigitValue(text[i + 2]);
        if (h < 0) {
            // Not an escape after all: the backslash goes out, "x" and what follows are read
            // as ordinary characters.
            if (!emit('\\'))
                break;
            ++i;
            continue;
        }
        i += 3;
        if (i == L) {  // a trailing one-digit escape
            emit(static_cast<unsigned char>(h));
            break;
        }
        const int d = HexDigitValue(text[i]);
        if (d >= 0) {
            if (!emit(static_cast<unsigned char>(h * 16 + d)))
                break;
            ++i;
        } else {
            // One digit, then a character taken literally, even a backslash.
            if (!emit(static_cast<unsigned char>(h)) || !emit(static_cast<unsigned char>(text[i])))
                break;
            ++i;
        }
    }
    return k;
}

std::string_view LineEndingBytes(LineEnding ending) {
    switch (ending) {
        case LineEnding::None:
            break;
        case LineEnding::CR:
            return "\r";
        case LineEnding::LF:
            return "\n";
        case LineEnding::CRLF:
            return "\r\n";
    }
    return {};
}
