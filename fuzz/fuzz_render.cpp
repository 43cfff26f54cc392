// The console forms of a receive history. The input is the stream a link received: the newest
// 2047 bytes of it are the history (as CRingBuffer keeps them, which is checked as well), and
// the history goes through the hex dump, the text form and the widget text. The same input also
// cuts the stream into stamped chunks, and the history goes through both forms with the chunks'
// times: the text form is checked against a plain model of it, the hex dump is read back.
#include <QString>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <map>
#include <set>
#include <string>
#include <vector>

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

// Which chunk starts carry a time: the first, and each read at least `gapNs` after the one before.
std::set<int> MarkedStarts(const std::vector<CRingBuffer::ChunkStart>& starts, int64_t gapNs) {
    std::set<int> marked;
    for (size_t k = 0; k < starts.size(); ++k)
        if (k == 0 || starts[k].at.steadyNs - starts[k - 1].at.steadyNs >= gapNs)
            marked.insert(starts[k].index);
    return marked;
}

std::string Stamp(int64_t wallNs) {
    const time_t t = static_cast<time_t>(wallNs / 1000000000);
    tm parts{};
    localtime_r(&t, &parts);
    char s[32];
    std::snprintf(s, sizeof s, "[%02d:%02d:%02d.%03d]", parts.tm_hour, parts.tm_min, parts.tm_sec,
                  static_cast<int>(wallNs % 1000000000 / 1000000));
    return s;
}

// The text form with times, byte by byte: a marked start on a line of its own, time first.
std::string ModelStampedText(const unsigned char* bytes, int n,
                             const std::vector<CRingBuffer::ChunkStart>& starts, int64_t gapNs) {
    const std::set<int> marked = MarkedStarts(starts, gapNs);
    std::map<int, int64_t> wallAt;
    for (const auto& s : starts)
        wallAt[s.index] = s.at.wallNs;
    std::map<int, int> endOf;  // chunk start -> where the chunk ends
    for (size_t k = 0; k < starts.size(); ++k)
        endOf[starts[k].index] = k + 1 < starts.size() ? starts[k + 1].index : n;
    auto isBreak = [](unsigned char c) { return c == '\r' || c == '\n' || c == 0; };
    std::string out;
    std::string pending;  // a time waiting for the first byte after a chunk's leading breaks
    for (int i = 0; i < n; ++i) {
        if (marked.count(i) > 0) {
            bool breaksOnly = true;
            for (int k = i; k < endOf[i]; ++k)
                breaksOnly = breaksOnly && isBreak(bytes[k]);
            pending = Stamp(wallAt[i]) + " ";
            if (breaksOnly) {
                if (!out.empty() && out.back() != '\r' && out.back() != '\n')
                    out += "\r\n";
                out += pending;
                pending.clear();
            }
        }
        if (!pending.empty() && !isBreak(bytes[i])) {
            if (!out.empty() && out.back() != '\r' && out.back() != '\n')
                out += "\r\n";
            out += pending;
            pending.clear();
        }
        if (bytes[i] != 0)
            out += static_cast<char>(bytes[i]);
    }
    return out;
}

bool IsStampLine(const std::string& line) {
    if (line.size() != 14 || line[0] != '[' || line[3] != ':' || line[6] != ':' || line[9] != '.' ||
        line[13] != ']')
        return false;
    for (int k : {1, 2, 4, 5, 7, 8, 10, 11, 12})
        if (line[static_cast<size_t>(k)] < '0' || line[static_cast<size_t>(k)] > '9')
            return false;
    return true;
}

// Reads the dump with times back: a time line right before each row that a marked chunk
// starts, with that chunk's time; every byte at its offset, in the column it has in a full row.
void CheckStampedHexDump(const unsigned char* bytes, int n,
                         const std::vector<CRingBuffer::ChunkStart>& starts, int64_t gapNs,
                         const std::string& dump) {
    if (n == 0) {
        Check(dump.empty());
        return;
    }
    const std::set<int> marked = MarkedStarts(starts, gapNs);
    std::vector<std::string> lines;
    for (size_t at = 0;;) {
        const size_t end = dump.find("\r\n", at);
        lines.push_back(dump.substr(at, end == std::string::npos ? std::string::npos : end - at));
        if (end == std::string::npos)
            break;
        at = end + 2;
    }
    int next = 0;  // the next byte to find
    std::string pendingStamp;
    for (const std::string& line : lines) {
        if (IsStampLine(line)) {
            Check(pendingStamp.empty());
            pendingStamp = line;
            continue;
        }
        Check(line.size() >= 7);
        unsigned offset = 0;
        for (int k = 0; k < 4; ++k) {
            const int d = HexDigit(line[static_cast<size_t>(k)]);
            Check(d >= 0);
            offset = offset * 16 + static_cast<unsigned>(d);
        }
        Check(static_cast<int>(offset) == next && line[4] == ' ');
        if (!pendingStamp.empty()) {
            Check(marked.count(next) > 0);
            for (const auto& s : starts)
                if (s.index == next)
                    Check(pendingStamp == Stamp(s.at.wallNs));
            pendingStamp.clear();
        } else {
            Check(marked.count(next) == 0 && next % 16 == 0);
        }
        // Column c of a row stands at 5 + 2c + c / 4; blanks before the first byte.
        const int column0 = next % 16;
        const size_t first = 5 + 2 * static_cast<size_t>(column0) + column0 / 4;
        for (size_t k = 5; k < first; ++k)
            Check(line[k] == ' ');
        int column = column0;
        size_t pos = first;
        while (pos < line.size()) {
            Check(column < 16 && next < n);
            if (column > column0 && column % 4 == 0)
                Check(line[pos++] == ' ');
            Check(pos + 2 <= line.size());
            const int hi = HexDigit(line[pos]), lo = HexDigit(line[pos + 1]);
            Check(hi >= 0 && lo >= 0 && hi * 16 + lo == bytes[next]);
            pos += 2;
            ++column;
            ++next;
            // A row ends at a multiple of 16 or right before a marked start.
            if (pos < line.size())
                Check(marked.count(next) == 0);
        }
    }
    Check(pendingStamp.empty() && next == n);
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

    // The same stream as stamped chunks: each input byte from the second on ends a chunk when
    // its low bits say so, and the chunks' reads are apart by times from 0 to 63 ms. The gap is
    // 20 ms, or every chunk when the first byte says so.
    ring.Clear();
    int64_t steady = 0;
    int64_t wall = 1700000000LL * 1000000000LL;
    for (size_t i = 0; i < size;) {
        size_t len = 1;
        while (i + len < size && (data[i + len] & 7) != 0)
            ++len;
        const int64_t pause = static_cast<int64_t>(data[i] >> 2) * 1000000;
        steady += pause;
        wall += pause + 1234567;
        ring.Put(data + i, static_cast<int>(len), {steady, wall});
        i += len;
    }
    std::vector<CRingBuffer::ChunkStart> starts;
    Check(ring.Snapshot(history, starts) == n);
    for (size_t k = 0; k < starts.size(); ++k)
        Check(starts[k].index >= 0 && starts[k].index < n &&
              (k == 0 || starts[k].index > starts[k - 1].index));
    const int64_t gapNs = size > 0 && data[0] & 0x80 ? 0 : 20000000;
    FormatConsoleText(history, n, starts, gapNs, text);
    Check(text == ModelStampedText(history, n, starts, gapNs));
    FormatHexDump(history, n, starts, gapNs, dump);
    CheckStampedHexDump(history, n, starts, gapNs, dump);
    return 0;
}
