#include "display/ConsoleFormat.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

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

bool ChunkStartMarked(const std::vector<CRingBuffer::ChunkStart>& starts, size_t k, int64_t gapNs) {
    if (k == 0)
        return true;  // the first chunk start of the history
    return starts[k].at.steadyNs - starts[k - 1].at.steadyNs >= gapNs;
}

namespace {

constexpr int64_t NS_PER_S = 1'000'000'000;
constexpr int64_t NS_PER_MS = 1'000'000;

// Picks the marked chunk starts in order, and writes their timestamps. The local time is
// converted once per second of wall clock: a flood brings many chunk starts to a second.
class StampMarks {
public:
    StampMarks(const std::vector<CRingBuffer::ChunkStart>& starts, int64_t gapNs)
        : m_starts(starts), m_gapNs(gapNs) {
        Advance();
    }
    // Index of the next marked chunk start, or -1 when there is none.
    int Next() const { return m_next < m_starts.size() ? m_starts[m_next].index : -1; }
    // Where the chunk of the next marked start ends: the next chunk start, or n.
    int NextEnd(int n) const {
        return m_next + 1 < m_starts.size() ? std::min(m_starts[m_next + 1].index, n) : n;
    }
    // Appends the timestamp of the next marked start and moves on to the one after.
    void AppendAndAdvance(std::string& out) {
        Append(m_starts[m_next].at.wallNs, out);
        ++m_next;
        Advance();
    }

    void Append(int64_t wallNs, std::string& out) {
        const int64_t s = wallNs >= 0 ? wallNs / NS_PER_S : (wallNs - NS_PER_S + 1) / NS_PER_S;
        if (s != m_second || !m_hmsValid) {
            m_second = s;
            m_hmsValid = true;
            const time_t t = static_cast<time_t>(s);
            tm parts{};
            if (!localtime_r(&t, &parts))
                parts = tm{};
            std::snprintf(m_hms, sizeof m_hms, "%02d:%02d:%02d", parts.tm_hour % 100,
                          parts.tm_min % 100, parts.tm_sec % 100);
        }
        const auto ms = static_cast<int>((wallNs - s * NS_PER_S) / NS_PER_MS);  // 0..999
        out += '[';
        out.append(m_hms, 8);
        out += '.';
        out += static_cast<char>('0' + ms / 100);
        out += static_cast<char>('0' + ms / 10 % 10);
        out += static_cast<char>('0' + ms % 10);
        out += ']';
    }

private:
    // Moves m_next to the first start from m_next on that is marked.
    void Advance() {
        while (m_next < m_starts.size() && !ChunkStartMarked(m_starts, m_next, m_gapNs))
            ++m_next;
    }

    const std::vector<CRingBuffer::ChunkStart>& m_starts;
    int64_t m_gapNs;
    size_t m_next = 0;
    int64_t m_second = 0;
    bool m_hmsValid = false;
    char m_hms[16] = {};  // "HH:MM:SS" and room for any int the compiler may assume
};

bool EndsLine(const std::string& out) {
    return out.empty() || out.back() == '\n' || out.back() == '\r';
}

}  // namespace

std::string FormatTimestamp(int64_t wallNs) {
    std::vector<CRingBuffer::ChunkStart> none;
    StampMarks marks(none, 0);
    std::string out;
    marks.Append(wallNs, out);
    return out;
}

void FormatConsoleText(const unsigned char* bytes, int n,
                       const std::vector<CRingBuffer::ChunkStart>& starts, int64_t gapNs,
                       std::string& out) {
    StampMarks marks(starts, gapNs);
    if (marks.Next() < 0 || marks.Next() >= n) {
        FormatConsoleText(bytes, n, out);
        return;
    }
    out.clear();
    out.reserve(static_cast<size_t>(n) + 64);
    int i = 0;
    while (i < n) {
        // The plain run up to the next mark, zero bytes left out.
        int next = marks.Next();
        if (next < i)
            next = -1;  // starts out of order or out of range are never marked twice
        const int end = next < 0 || next > n ? n : next;
        for (; i < end; ++i)
            if (bytes[i] != 0)
                out += static_cast<char>(bytes[i]);
        if (i >= n)
            break;
        // A marked chunk start: its own line, its time first. Line breaks that lead the chunk
        // end the line before (a device that ends its lines at the start of the next message,
        // or a CR LF cut between two reads), unless they are all the chunk holds.
        const int chunkEnd = marks.NextEnd(n);
        int first = i;  // the chunk's first byte that is no line break
        while (first < chunkEnd &&
               (bytes[first] == '\r' || bytes[first] == '\n' || bytes[first] == 0))
            ++first;
        if (first < chunkEnd) {
            for (; i < first; ++i)
                if (bytes[i] != 0)
                    out += static_cast<char>(bytes[i]);
        }
        if (!EndsLine(out))
            out += "\r\n";
        marks.AppendAndAdvance(out);
        out += ' ';
    }
}

namespace {

// Appends the rows of bytes[0..n), which stand at `base` in the history: each row led by its
// offset in the history, a row that a marked chunk starts (or the part's first row, when the
// part starts inside a row) with its earlier columns blank. A line break goes before the first
// row when out is not empty.
void AppendHexRows(const unsigned char* bytes, int n, int base, StampMarks& marks,
                   std::string& out) {
    static const char digits[] = "0123456789ABCDEF";
    out.reserve(out.size() + static_cast<size_t>(n / 16 + 2) * 42 + 64);
    auto offset = [&](int at) {
        out += digits[(at >> 12) & 0xF];
        out += digits[(at >> 8) & 0xF];
        out += digits[(at >> 4) & 0xF];
        out += digits[at & 0xF];
        out += ' ';
    };
    for (int i = 0; i < n; ++i) {
        const int at = base + i;
        const int column = at % 16;
        const bool marked = i == marks.Next();
        if (marked || i == 0) {
            if (!out.empty())
                out += "\r\n";
            if (marked) {
                marks.AppendAndAdvance(out);
                while (marks.Next() >= 0 && marks.Next() <= i)
                    marks.AppendAndAdvance(out);  // never in a Snapshot; kept harmless
                out += "\r\n";
            }
            offset(at);
            // Blanks where the row's earlier bytes would stand.
            for (int k = 0; k < column; ++k) {
                if (k > 0 && k % 4 == 0)
                    out += ' ';
                out += "  ";
            }
            if (column > 0 && column % 4 == 0)
                out += ' ';
        } else if (column == 0) {
            out += "\r\n";
            offset(at);
        } else if (column % 4 == 0) {
            out += ' ';
        }
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0xF];
    }
}

}  // namespace

void FormatHexDump(const unsigned char* bytes, int n,
                   const std::vector<CRingBuffer::ChunkStart>& starts, int64_t gapNs,
                   std::string& out) {
    StampMarks marks(starts, gapNs);
    if (marks.Next() < 0 || marks.Next() >= n) {
        FormatHexDump(bytes, n, out);
        return;
    }
    out.clear();
    AppendHexRows(bytes, n, 0, marks, out);
}

void AppendHexDumpPart(const unsigned char* bytes, int n, int base,
                       const std::vector<CRingBuffer::ChunkStart>& marked, std::string& out) {
    StampMarks marks(marked, 0);
    AppendHexRows(bytes, n, base, marks, out);
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
