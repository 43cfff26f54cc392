// How the traffic log's writer puts chunks into its file: as text lines, or as a capture file
// that Wireshark opens (a name ending in ".pcapng"). The writer thread owns its format; nothing
// here is shared between threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "platform/Traffic.h"
#include "transfer/Pcapng.h"

// One line of the log, without its line feed:
//   "HH:MM:SS.ffffff SECONDS KIND COUNT HEX |TEXT|"
// local time of day to the microsecond, seconds since the log started (six decimals), the link
// and direction ("serial-rx", ...), the byte count, each byte as two hex digits separated by
// spaces, and the bytes as text between bars, with every byte outside 0x20..0x7E shown as '.'.
std::string TrafficLogLine(platform::TrafficKind kind, const platform::Stamp& at, int64_t startNs,
                           const unsigned char* bytes, size_t n);
// The line that gives the date, first in the log (the day it started) and again before the
// first chunk after each local midnight: "date YYYY-MM-DD".
std::string TrafficLogDateLine(int64_t wallNs);

namespace trafficlog {

// Bytes built in place, without clearing what is about to be written over.
class TextBuffer {
public:
    // Room for `n` more bytes (and a spare one past them); returns where they go.
    char* Room(size_t n);
    void Commit(char* end) { m_size = static_cast<size_t>(end - m_data.get()); }
    void Append(const char* s, size_t n) {
        char* p = Room(n);
        std::memcpy(p, s, n);
        Commit(p + n);
    }
    void Append(const std::string& s) { Append(s.data(), s.size()); }
    const char* Data() const { return m_data.get(); }
    size_t Size() const { return m_size; }
    void Clear() { m_size = 0; }

private:
    std::unique_ptr<char[]> m_data;
    size_t m_size = 0;
    size_t m_cap = 0;
};

// One chunk as the writer hands it on.
struct Chunk {
    platform::TrafficKind kind = platform::TrafficKind::SerialRx;
    platform::Stamp at;
    const unsigned char* bytes = nullptr;
    size_t n = 0;
    // The network link as it was when the chunk crossed (network chunks only).
    pcapng::NetLink link;
};

class Format {
public:
    virtual ~Format() = default;
    // The file's first bytes, for a log started at `start`.
    virtual void Begin(TextBuffer& out, const platform::Stamp& start) = 0;
    // One chunk, after `notLoggedBefore` bytes (0: none) that the log had no room for.
    virtual void Add(TextBuffer& out, const Chunk& chunk, uint64_t notLoggedBefore) = 0;
    // `n` bytes the log had no room for after its last chunk, told as it ends at `at`.
    virtual void NotLoggedAtEnd(TextBuffer& out, uint64_t n, const platform::Stamp& at) = 0;
};

// A capture file is asked for by a name that ends in ".pcapng", in any case.
bool IsCaptureFileName(const std::string& path);

// The text lines (see TrafficLogLine), or for a capture file name the capture: both links'
// chunks as packets (see Pcapng.h). Bytes the log had no room for are told in a packet comment
// on the next packet, "N bytes not logged here" ("1 byte ..."), and at the end, where no packet
// follows, on an empty packet of the "notes" interface: "N bytes not logged here (at the end of
// the log, on either link)".
std::unique_ptr<Format> MakeFormat(const std::string& path);

}  // namespace trafficlog
