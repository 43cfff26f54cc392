#include "transfer/Checksum.h"

#include <array>
#include <cctype>

namespace checksum {

namespace {

// CRC-16/MODBUS: polynomial 0x8005 reflected (0xA001), initial 0xFFFF, no final XOR.
uint32_t Crc16Modbus(const unsigned char* bytes, size_t n) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
    }
    return crc;
}

// CRC-16/IBM-3740 (the "CCITT-FALSE" of many protocols): polynomial 0x1021, not reflected,
// initial 0xFFFF, no final XOR.
uint32_t Crc16Ccitt(const unsigned char* bytes, size_t n) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        crc ^= static_cast<uint16_t>(bytes[i] << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                                 : static_cast<uint16_t>(crc << 1);
    }
    return crc;
}

// CRC-32/ISO-HDLC (Ethernet, zip): polynomial 0x04C11DB7 reflected (0xEDB88320), initial and
// final XOR 0xFFFFFFFF. Table driven: scripts may append it to long data in a tight repeat.
uint32_t Crc32(const unsigned char* bytes, size_t n) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int bit = 0; bit < 8; ++bit)
                c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i)
        crc = table[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

uint32_t Sum8(const unsigned char* bytes, size_t n) {
    unsigned sum = 0;
    for (size_t i = 0; i < n; ++i)
        sum += bytes[i];
    return sum & 0xFF;
}

// Modbus ASCII's longitudinal redundancy check: the two's complement of the 8-bit sum, so that
// the sum of the data and the check is zero.
uint32_t Lrc(const unsigned char* bytes, size_t n) {
    return (0x100 - Sum8(bytes, n)) & 0xFF;
}

uint32_t Xor8(const unsigned char* bytes, size_t n) {
    unsigned char x = 0;
    for (size_t i = 0; i < n; ++i)
        x ^= bytes[i];
    return x;
}

constexpr Kind kKinds[] = {
    {"crc16-modbus", 2, Order::LowFirst, Crc16Modbus, 0x4B37},
    {"crc16-ccitt", 2, Order::HighFirst, Crc16Ccitt, 0x29B1},
    {"crc32", 4, Order::LowFirst, Crc32, 0xCBF43926},
    {"lrc", 1, Order::LowFirst, Lrc, 0x23},
    {"xor", 1, Order::LowFirst, Xor8, 0x31},
    {"sum8", 1, Order::LowFirst, Sum8, 0xDD},
};

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

}  // namespace

std::span<const Kind> Table() {
    return kKinds;
}

std::optional<Choice> Find(std::string_view name) {
    const std::string lower = Lower(name);
    std::string_view base = lower;
    std::optional<Order> order;
    if (base.ends_with("-be") || base.ends_with("-le")) {
        order = base.ends_with("-be") ? Order::HighFirst : Order::LowFirst;
        base.remove_suffix(3);
    }
    for (const Kind& kind : kKinds) {
        if (base != kind.name)
            continue;
        if (order && kind.width == 1)
            return std::nullopt;
        return Choice{&kind, order.value_or(kind.order)};
    }
    return std::nullopt;
}

std::string NameOf(const Choice& choice) {
    if (!choice.kind)
        return {};
    std::string name = choice.kind->name;
    if (choice.kind->width > 1 && choice.order != choice.kind->order)
        name += choice.order == Order::HighFirst ? "-be" : "-le";
    return name;
}

std::string KnownNames() {
    std::string names;
    for (const Kind& kind : kKinds) {
        if (!names.empty())
            names += ", ";
        names += kind.name;
    }
    return names;
}

std::string Bytes(const Choice& choice, std::string_view data) {
    if (!choice.kind)
        return {};
    const uint32_t value =
        choice.kind->compute(reinterpret_cast<const unsigned char*>(data.data()), data.size());
    const int width = choice.kind->width;
    std::string out(static_cast<size_t>(width), '\0');
    for (int i = 0; i < width; ++i) {
        // Byte i counted from the low end.
        const char byte = static_cast<char>((value >> (8 * i)) & 0xFF);
        const int at = choice.order == Order::LowFirst || width == 1 ? i : width - 1 - i;
        out[static_cast<size_t>(at)] = byte;
    }
    return out;
}

std::string Append(const Choice& choice, std::string_view data) {
    std::string out(data);
    out += Bytes(choice, data);
    return out;
}

}  // namespace checksum
