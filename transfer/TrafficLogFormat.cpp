#include "transfer/TrafficLogFormat.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace trafficlog {

char* TextBuffer::Room(size_t n) {
    if (m_size + n + 1 > m_cap) {
        const size_t cap = std::max(m_cap * 2, m_size + n + 1);
        auto grown = std::make_unique<char[]>(cap);
        if (m_size > 0)  // an empty buffer has no storage yet
            std::memcpy(grown.get(), m_data.get(), m_size);
        m_data = std::move(grown);
        m_cap = cap;
    }
    return m_data.get() + m_size;
}

}  // namespace trafficlog

namespace {

using trafficlog::TextBuffer;

constexpr int64_t NS_PER_S = 1000000000;

// Each byte's " XY" (the fourth character is a spare, overwritten by the next byte), and how it
// shows between the bars: made once, so that a line costs a few table reads per byte.
struct ByteTables {
    char hex[256][4];
    char text[256];
    ByteTables() {
        const char* digits = "0123456789ABCDEF";
        for (int b = 0; b < 256; ++b) {
            hex[b][0] = ' ';
            hex[b][1] = digits[b >> 4];
            hex[b][2] = digits[b & 15];
            hex[b][3] = ' ';
            text[b] = b >= 0x20 && b <= 0x7E ? static_cast<char>(b) : '.';
        }
    }
};
const ByteTables g_tables;

// The local time of day of `wallNs` as "HH:MM:SS", with the day it falls on; the conversion is
// kept for the second it was made for, as chunks come many to a second.
struct LocalClock {
    int64_t second = INT64_MIN;
    char hms[9] = {};
    tm parts{};

    void At(int64_t wallNs) {
        const int64_t s = wallNs >= 0 ? wallNs / NS_PER_S : (wallNs - NS_PER_S + 1) / NS_PER_S;
        if (s == second)
            return;
        second = s;
        const time_t t = static_cast<time_t>(s);
        localtime_r(&t, &parts);
        std::snprintf(hms, sizeof hms, "%02d:%02d:%02d", parts.tm_hour, parts.tm_min, parts.tm_sec);
    }
};

// Writes `v` in decimal at p, returns the end.
char* Decimal(char* p, uint64_t v) {
    char digits[20];
    int k = 0;
    do {
        digits[k++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (k > 0)
        *p++ = digits[--k];
    return p;
}

// Writes `v` (< 10^6) as six digits at p, returns the end.
char* SixDigits(char* p, int64_t v) {
    for (int k = 5; k >= 0; --k) {
        p[k] = static_cast<char>('0' + v % 10);
        v /= 10;
    }
    return p + 6;
}

void AppendLine(TextBuffer& out, LocalClock& clock, platform::TrafficKind kind,
                const platform::Stamp& at, int64_t startNs, const unsigned char* bytes, size_t n) {
    clock.At(at.wallNs);
    const int64_t micros = ((at.wallNs % NS_PER_S) + NS_PER_S) % NS_PER_S / 1000;
    const int64_t since = at.steadyNs - startNs;
    const char* kindName = platform::TrafficKindName(kind);
    const size_t kindLen = std::strlen(kindName);
    char* p = out.Room(64 + kindLen + n * 4 + 3);
    std::memcpy(p, clock.hms, 8);
    p[8] = '.';
    p = SixDigits(p + 9, micros);
    *p++ = ' ';
    // A chunk stamped a moment before the log started (queued just after) comes out negative.
    if (since < 0)
        *p++ = '-';
    const uint64_t sinceAbs =
        since < 0 ? 0 - static_cast<uint64_t>(since) : static_cast<uint64_t>(since);
    p = Decimal(p, sinceAbs / NS_PER_S);
    *p++ = '.';
    p = SixDigits(p, static_cast<int64_t>(sinceAbs % NS_PER_S / 1000));
    *p++ = ' ';
    std::memcpy(p, kindName, kindLen);
    p += kindLen;
    *p++ = ' ';
    p = Decimal(p, n);
    for (size_t i = 0; i < n; ++i) {
        std::memcpy(p, g_tables.hex[bytes[i]], 4);  // the spare fourth is overwritten next
        p += 3;
    }
    *p++ = ' ';
    *p++ = '|';
    for (size_t i = 0; i < n; ++i)
        p[i] = g_tables.text[bytes[i]];
    p += n;
    *p++ = '|';
    out.Commit(p);
}

std::string DateLine(const tm& parts) {
    char line[32];
    std::snprintf(line, sizeof line, "date %04d-%02d-%02d", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday);
    return line;
}

// "[N bytes not logged]", as the text log has always said it.
std::string NotLoggedLine(uint64_t n) {
    return "[" + std::to_string(n) + " bytes not logged]\n";
}

// "N bytes not logged here", "1 byte not logged here".
std::string NotLoggedHere(uint64_t n) {
    return std::to_string(n) + (n == 1 ? " byte" : " bytes") + " not logged here";
}

class TextFormat : public trafficlog::Format {
public:
    void Begin(TextBuffer& out, const platform::Stamp& start) override {
        m_startNs = start.steadyNs;
        m_clock.At(start.wallNs);
        m_yday = m_clock.parts.tm_yday;
        m_year = m_clock.parts.tm_year;
        out.Append(DateLine(m_clock.parts));
        out.Append("\n", 1);
    }
    void Add(TextBuffer& out, const trafficlog::Chunk& c, uint64_t notLoggedBefore) override {
        if (notLoggedBefore > 0)
            out.Append(NotLoggedLine(notLoggedBefore));
        m_clock.At(c.at.wallNs);
        if (m_clock.parts.tm_yday != m_yday || m_clock.parts.tm_year != m_year) {
            m_yday = m_clock.parts.tm_yday;
            m_year = m_clock.parts.tm_year;
            out.Append(DateLine(m_clock.parts));
            out.Append("\n", 1);
        }
        AppendLine(out, m_clock, c.kind, c.at, m_startNs, c.bytes, c.n);
        out.Append("\n", 1);
    }
    void NotLoggedAtEnd(TextBuffer& out, uint64_t n, const platform::Stamp&) override {
        out.Append(NotLoggedLine(n));
    }

private:
    LocalClock m_clock;
    int64_t m_startNs = 0;
    int m_yday = 0, m_year = 0;
};

class CaptureFormat : public trafficlog::Format {
public:
    void Begin(TextBuffer& out, const platform::Stamp&) override {
        out.Append(pcapng::Writer::Header("Vaskel traffic log"));
    }
    void Add(TextBuffer& out, const trafficlog::Chunk& c, uint64_t notLoggedBefore) override {
        m_blocks.clear();
        m_writer.Append(m_blocks, c.kind, c.at.wallNs, c.bytes, c.n, c.link,
                        notLoggedBefore > 0 ? NotLoggedHere(notLoggedBefore) : std::string());
        out.Append(m_blocks);
    }
    void NotLoggedAtEnd(TextBuffer& out, uint64_t n, const platform::Stamp& at) override {
        m_blocks.clear();
        m_writer.AppendNote(m_blocks, at.wallNs,
                            NotLoggedHere(n) + " (at the end of the log, on either link)");
        out.Append(m_blocks);
    }

private:
    pcapng::Writer m_writer;
    std::string m_blocks;  // one chunk's blocks, reused
};

}  // namespace

namespace trafficlog {

bool IsCaptureFileName(const std::string& path) {
    static constexpr char ext[] = ".pcapng";
    constexpr size_t len = sizeof ext - 1;
    if (path.size() < len)
        return false;
    for (size_t i = 0; i < len; ++i) {
        const char c = path[path.size() - len + i];
        if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != ext[i])
            return false;
    }
    return true;
}

std::unique_ptr<Format> MakeFormat(const std::string& path) {
    if (IsCaptureFileName(path))
        return std::make_unique<CaptureFormat>();
    return std::make_unique<TextFormat>();
}

}  // namespace trafficlog

std::string TrafficLogLine(platform::TrafficKind kind, const platform::Stamp& at, int64_t startNs,
                           const unsigned char* bytes, size_t n) {
    TextBuffer out;
    LocalClock clock;
    AppendLine(out, clock, kind, at, startNs, bytes, n);
    return std::string(out.Data(), out.Size());
}

std::string TrafficLogDateLine(int64_t wallNs) {
    LocalClock clock;
    clock.At(wallNs);
    return DateLine(clock.parts);
}
