// Checksums appended to what is sent: one table of the kinds a device protocol uses, each with
// its width, its byte order on the wire and the catalogue's check value (the checksum of the
// nine bytes "123456789"), so that a test can hold every row to its published value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace checksum {

// How a checksum wider than one byte goes on the wire.
enum class Order { LowFirst, HighFirst };

struct Kind {
    const char* name;  // "crc16-modbus", "crc16-ccitt", "crc32", "lrc", "xor", "sum8"
    int width;         // bytes on the wire: 1, 2 or 4
    Order order;       // the kind's own byte order (ignored for one byte)
    uint32_t (*compute)(const unsigned char* bytes, size_t n);
    uint32_t check;  // the value over "123456789"
};

// Every kind, in the order the user sees them listed.
std::span<const Kind> Table();

// A kind as chosen: its own byte order, or the order a "-be" (high byte first) or "-le" (low byte
// first) suffix asks for. Only the 16- and 32-bit kinds take a suffix.
struct Choice {
    const Kind* kind = nullptr;
    Order order = Order::LowFirst;
    bool operator==(const Choice&) const = default;
};

// "crc16-modbus", "crc32-be", "CRC16-CCITT-le" (case ignored); nullopt for a name that is no
// kind, or a suffix on a one-byte kind.
std::optional<Choice> Find(std::string_view name);
// The choice's name as Find takes it: the kind's name, with "-be"/"-le" only when the order is
// not the kind's own.
std::string NameOf(const Choice& choice);
// "crc16-modbus, crc16-ccitt, crc32, lrc, xor, sum8": for messages that list what is known.
std::string KnownNames();

// The checksum of `data` as it goes on the wire (width bytes, in the chosen order).
std::string Bytes(const Choice& choice, std::string_view data);
// `data` followed by its checksum.
std::string Append(const Choice& choice, std::string_view data);

}  // namespace checksum
