// The console forms of a receive history. The input is the stream a link received: the newest
// 2047 bytes of it are the history (as CRingBuffer keeps them, which is checked as well), and
// the history goes through the hex dump, the text form and the widget text.
#include <QString>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "display/ConsoleFormat.h"
#include "display/RingBuffer.h"

namespace {

void Check(bool ok) {
    if (!ok)
        std::abort();
}

// Characters of the hex dump of n bytes: per line its offset and a blank (5), two digits a byte,
// a blank between the groups of four that the line has, and "\r\n" between lines.
size_t HexDumpLength(size_t n) {
    if (n == 0)
        return 0;
    const size_t lines = (n + 15) / 16;
    const size_t last = n - 16 * (lines - 1);  // bytes on the last line, 1..16
    const size_t groupBlanks = 3 * (lines - 1) + (last + 3) / 4 - 1;
    return 2 * n + 5 * lines + 2 * (lines - 1) + groupBlanks;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads the dump back: every line starts with its offset, the bytes follow in order.
void CheckHexDump(const unsigned char* bytes, size_t n, const std::string& dump) {
    Check(dump.size() == HexDumpLength(n));
    size_t at = 0;
    for (size_t i = 0; i < n; ++i) {
        if (i % 16 == 0) {
            if (i > 0) {
                Check(dump.compare(at, 2, "\r\n") == 0);
                at += 2;
            }
            unsigned offset = 0;
            for (int k = 0; k < 4; ++k) {
                const int d = HexDigit(dump[at++]);
                Check(d >= 0);
                offset = offset * 16 + static_cast<unsigned>(d);
            }
            Check(offset == i);
            Check(dump[at++] == ' ');
        } else if (i % 4 == 0) {
            Check(dump[at++] == ' ');
        }
        const int hi = HexDigit(dump[at++]);
        const int lo = HexDigit(dump[at++]);
        Check(hi >= 0 && lo >= 0 && hi * 16 + lo == bytes[i]);
    }
    Check(at == dump.size());
}

// True when every byte belongs to a well-formed UTF-8 sequence (no overlong form, no surrogate,
// nothing past U+10FFFF).
bool IsUtf8(const std::string& s) {
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t len;
        uint32_t cp;
        if ((c & 0xE0) == 0xC0) {
            len = 2;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (s.size() - i < len)
            return false;
        for (size_t k = 1; k < len; ++k) {
            const auto t = static_cast<unsigned char>(s[i + k]);
            if ((t & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (t & 0x3F);
        }
        const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < least[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}

// CR LF, a lone CR and a lone LF each become one LF.
QString OneBreakEach(QString s) {
    s.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    s.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return s;
}

void CheckWidgetText(const std::string& text) {
    const QString shown = ConsoleWidgetText(text);
    Check(static_cast<size_t>(shown.size()) <= text.size());
    bool ascii = true;
    for (char c : text)
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) {
        // Only the line breaks change.
        Check(shown == OneBreakEach(QString::fromLatin1(text.data(), qsizetype(text.size()))));
    } else if (IsUtf8(text)) {
        // Well-formed UTF-8 shows as the characters it encodes.
        Check(shown == OneBreakEach(QString::fromUtf8(text.data(), qsizetype(text.size()))));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The ring as the receive path fills it: some bytes one by one, the rest in one block.
    static CRingBuffer ring;
    ring.Clear();
    const size_t single = size > 0 ? data[0] % 64 : 0;
    for (size_t i = 0; i < single && i < size; ++i)
        ring.Put(data[i]);
    if (size > single)
        ring.Put(data + single, static_cast<int>(size - single));

    const size_t kept = size < RING_BUFFER_CAPACITY ? size : RING_BUFFER_CAPACITY;
    const unsigned char* newest = data + (size - kept);
    unsigned char history[RING_BUFFER_CAPACITY];
    const int n = ring.Snapshot(history);
    Check(n == static_cast<int>(kept) && ring.GetCount() == n);
    for (size_t i = 0; i < kept; ++i)
        Check(history[i] == newest[i]);
    // Reading from the oldest byte with the cursor gives the same bytes.
    if (n > 0) {
        Check(ring.Seek(SEEK_OLDEST, 0));
        unsigned char b;
        for (int i = 0; i < n; ++i)
            Check(ring.Get(b) && b == history[i]);
        Check(!ring.Get(b));
    }

    std::string dump;
    FormatHexDump(history, n, dump);
    CheckHexDump(history, kept, dump);

    std::string text;
    FormatConsoleText(history, n, text);
    std::string expected;
    for (size_t i = 0; i < kept; ++i)
        if (history[i] != 0)
            expected += static_cast<char>(history[i]);
    Check(text == expected);

    CheckWidgetText(text);
    // The widget also meets zero bytes when a caller hands it raw bytes.
    CheckWidgetText(std::string(reinterpret_cast<const char*>(history), kept));
    return 0;
}
