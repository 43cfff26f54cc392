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

QString ConsoleWidgetText(const std::string& text) {
    QString out(static_cast<qsizetype>(text.size()), Qt::Uninitialized);
    QChar* dst = out.data();
    const size_t n = text.size();
    for (size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\r') {
            *dst++ = QLatin1Char('\n');
            if (i + 1 < n && text[i + 1] == '\n')
                ++i;
        } else {
            *dst++ = QChar(c);  // Latin-1: code point = byte value
        }
    }
    out.truncate(dst - out.data());
    return out;
}
