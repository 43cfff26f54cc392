#include "display/ConsoleFormat.h"

void FormatHexDump(const unsigned char* bytes, int n, std::string& out) {
    static const char digits[] = "0123456789ABCDEF";
    out.clear();
    // Per line of 16: "\r\n" + "XXXX " + 4 groups of 8 digits + 3 spaces = 42 characters.
    out.reserve(static_cast<size_t>(n / 16 + 1) * 42);
    for (int i = 0; i < n; ++i) {
        if (i % 16 == 0) {
            if (i > 0)
                out += "\r\n";
            out += digits[(i >> 12) & 0xF];
            out += digits[(i >> 8) & 0xF];
            out += digits[(i >> 4) & 0xF];
            out += digits[i & 0xF];
            out += ' ';
        } else if (i % 4 == 0) {
            out += ' ';
        }
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0xF];
    }
}

void FormatConsoleText(const unsigned char* bytes, int n, std::string& out) {
    out.clear();
    out.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
        if (bytes[i] != 0)
            out += static_cast<char>(bytes[i]);
}

namespace {

// Length of the well-formed UTF-8 sequence that starts at text[i] (2, 3 or 4 bytes), with its
// code point in *cp; 0 when the byte there starts none: an ASCII byte, a continuation byte, a lead
// byte of an overlong form (C0, C1, E0 80..9F, F0 80..8F), of a surrogate (ED A0..BF), of a code
// point past U+10FFFF (F4 90.., F5..FF), or a sequence cut short by the end of the text.
int Utf8Sequence(const std::string& text, size_t i, char32_t* cp) {
    const size_t n = text.size();
    const auto lead = static_cast<unsigned char>(text[i]);
    int len;
    unsigned char lo = 0x80, hi = 0xBF;  // the range allowed for the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        len = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        len = 3;
        if (lead == 0xE0)
            lo = 0xA0;
        else if (lead == 0xED)
            hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        len = 4;
        if (lead == 0xF0)
            lo = 0x90;
        else if (lead == 0xF4)
            hi = 0x8F;
    } else {
        return 0;
    }
    if (n - i < static_cast<size_t>(len))
        return 0;
    const auto second = static_cast<unsigned char>(text[i + 1]);
    if (second < lo || second > hi)
        return 0;
    char32_t value = lead & (0x7F >> len);
    value = (value << 6) | (second & 0x3F);
    for (int k = 2; k < len; ++k) {
        const auto next = static_cast<unsigned char>(text[i + static_cast<size_t>(k)]);
        if ((next & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (next & 0x3F);
    }
    *cp = value;
    return len;
}

// Whether a text reads as UTF-8: at least as many of its bytes from 0x80 up belong to
// well-formed sequences as stand outside them. Text from a device that speaks UTF-8 passes, even
// with a cut-off sequence at either end or a stray byte; binary data and random bytes fail by far
// (in random bytes about one in six bytes from 0x80 up happens to form a sequence).
bool ReadsAsUtf8(const std::string& text) {
    size_t inSequences = 0, outside = 0;
    const size_t n = text.size();
    for (size_t i = 0; i < n; ++i) {
        if (static_cast<unsigned char>(text[i]) < 0x80)
            continue;
        char32_t cp;
        const int len = Utf8Sequence(text, i, &cp);
        if (len == 0) {
            ++outside;
        } else {
            inSequences += static_cast<size_t>(len);
            i += static_cast<size_t>(len) - 1;
        }
    }
    return inSequences >= outside;
}

}  // namespace

QString ConsoleWidgetText(const std::string& text) {
    // Binary data shows byte by byte, so that the characters the console asks the font engine
    // for stay within Latin-1: decoding the sequences that random bytes happen to hold would
    // bring up characters of every script, and the font engine keeps every glyph it has drawn
    // and every fallback font it has loaded for them, for the life of the program.
    const bool decode = ReadsAsUtf8(text);
    // Never longer than the text: a sequence of 2 to 4 bytes gives 1 or 2 UTF-16 units, any
    // other byte gives 1, and CR LF gives 1.
    QString out(static_cast<qsizetype>(text.size()), Qt::Uninitialized);
    QChar* dst = out.data();
    const size_t n = text.size();
    for (size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (c == '\r') {
                *dst++ = QLatin1Char('\n');
                if (i + 1 < n && text[i + 1] == '\n')
                    ++i;
            } else {
                *dst++ = QChar(c);
            }
            continue;
        }
        char32_t cp;
        const int len = decode && c >= 0xC2 ? Utf8Sequence(text, i, &cp) : 0;
        if (len == 0) {
            *dst++ = QChar(c);  // Latin-1: code point = byte value
        } else if (cp < 0x10000) {
            *dst++ = QChar(static_cast<char16_t>(cp));
            i += static_cast<size_t>(len) - 1;
        } else {
            *dst++ = QChar(QChar::highSurrogate(cp));
            *dst++ = QChar(QChar::lowSurrogate(cp));
            i += static_cast<size_t>(len) - 1;
        }
    }
    out.truncate(dst - out.data());
    return out;
}
