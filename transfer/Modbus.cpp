#include "transfer/Modbus.h"

#include <cstdio>

namespace modbus {

namespace {

constexpr size_t kShownItems = 10;  // values (or groups of 8 coils) a text shows before "… N more"

void Put16(Bytes& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v & 0xFF));
}

uint16_t Get16(std::span<const uint8_t> p, size_t at) {
    return static_cast<uint16_t>(p[at] << 8 | p[at + 1]);
}

Bytes PackBits(const std::vector<bool>& bits) {
    Bytes packed((bits.size() + 7) / 8, 0);
    for (size_t i = 0; i < bits.size(); ++i)
        if (bits[i])
            packed[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
    return packed;
}

std::vector<bool> UnpackBits(std::span<const uint8_t> bytes, size_t count) {
    std::vector<bool> bits(count);
    for (size_t i = 0; i < count; ++i)
        bits[i] = (bytes[i / 8] >> (i % 8)) & 1;
    return bits;
}

std::string Hex16(uint16_t v) {
    char s[8];
    std::snprintf(s, sizeof s, "0x%04X", v);
    return s;
}

std::string Hex8(uint8_t v) {
    char s[8];
    std::snprintf(s, sizeof s, "0x%02X", v);
    return s;
}

bool IsRead(uint8_t f) {
    return f >= ReadCoils && f <= ReadInputRegisters;
}
bool ReadsBits(uint8_t f) {
    return f == ReadCoils || f == ReadDiscreteInputs;
}
bool ReadsRegisters(uint8_t f) {
    return f == ReadHoldingRegisters || f == ReadInputRegisters || f == ReadWriteMultipleRegisters;
}

// The error prefix: "read coils request" / "read coils answer".
std::string What(uint8_t f, const char* side) {
    return std::string(FunctionName(f)) + " " + side;
}

std::string Outside(const std::string& what, const char* field, unsigned v, unsigned max) {
    return what + ": " + field + " " + std::to_string(v) + " is outside 1.." + std::to_string(max);
}

std::string CountOf(size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string WrongLength(const std::string& what, size_t have, size_t expected) {
    return what + ": " + CountOf(have, "byte", "bytes") + ", expected " + std::to_string(expected);
}

// A range that runs past the last address (0xFFFF) names no items a server can have.
std::string PastEnd(const std::string& what, uint16_t address, unsigned count) {
    if (address + count <= 0x10000u)
        return {};
    return what + ": " + std::to_string(count) + " items from " + Hex16(address) +
           " run past address 0xFFFF";
}

// Registers as "0x0001 0x0002 … 3 more".
std::string ListRegisters(const std::vector<uint16_t>& values) {
    std::string s;
    const size_t shown = std::min(values.size(), kShownItems);
    for (size_t i = 0; i < shown; ++i)
        s += (i ? " " : "") + Hex16(values[i]);
    if (values.size() > shown)
        s += " … " + std::to_string(values.size() - shown) + " more";
    return s;
}

// Bits as "10110011 01": 8 to a group, the first bit first; after 10 groups "… N more".
std::string ListBits(const std::vector<bool>& bits) {
    std::string s;
    const size_t shown = std::min(bits.size(), kShownItems * 8);
    for (size_t i = 0; i < shown; ++i) {
        if (i && i % 8 == 0)
            s += ' ';
        s += bits[i] ? '1' : '0';
    }
    if (bits.size() > shown)
        s += " … " + std::to_string(bits.size() - shown) + " more";
    return s;
}

std::string FunctionText(uint8_t f) {
    const char* name = FunctionName(f);
    return name ? std::string(name) : "function " + Hex8(f);
}

}  // namespace

const char* FunctionName(uint8_t function) {
    switch (function) {
        case ReadCoils:
            return "read coils";
        case ReadDiscreteInputs:
            return "read discrete inputs";
        case ReadHoldingRegisters:
            return "read holding registers";
        case ReadInputRegisters:
            return "read input registers";
        case WriteSingleCoil:
            return "write single coil";
        case WriteSingleRegister:
            return "write single register";
        case WriteMultipleCoils:
            return "write multiple coils";
        case WriteMultipleRegisters:
            return "write multiple registers";
        case ReadWriteMultipleRegisters:
            return "read/write multiple registers";
        default:
            return nullptr;
    }
}

const char* ExceptionName(uint8_t code) {
    switch (code) {
        case 0x01:
            return "Illegal Function";
        case 0x02:
            return "Illegal Data Address";
        case 0x03:
            return "Illegal Data Value";
        case 0x04:
            return "Server Device Failure";
        case 0x05:
            return "Acknowledge";
        case 0x06:
            return "Server Device Busy";
        case 0x08:
            return "Memory Parity Error";
        case 0x0A:
            return "Gateway Path Unavailable";
        case 0x0B:
            return "Gateway Target Device Failed to Respond";
        default:
            return nullptr;
    }
}

// --- Builders

Bytes ReadRequest(uint8_t function, uint16_t address, uint16_t count) {
    Bytes p{function};
    Put16(p, address);
    Put16(p, count);
    return p;
}

Bytes WriteSingleCoilRequest(uint16_t address, bool on) {
    Bytes p{WriteSingleCoil};
    Put16(p, address);
    Put16(p, on ? 0xFF00 : 0x0000);
    return p;
}

Bytes WriteSingleRegisterRequest(uint16_t address, uint16_t value) {
    Bytes p{WriteSingleRegister};
    Put16(p, address);
    Put16(p, value);
    return p;
}

std::optional<Bytes> WriteMultipleCoilsRequest(uint16_t address, const std::vector<bool>& bits) {
    const Bytes packed = PackBits(bits);
    if (6 + packed.size() > MAX_PDU)
        return std::nullopt;
    Bytes p{WriteMultipleCoils};
    Put16(p, address);
    Put16(p, static_cast<uint16_t>(bits.size()));
    p.push_back(static_cast<uint8_t>(packed.size()));
    p.insert(p.end(), packed.begin(), packed.end());
    return p;
}

std::optional<Bytes> WriteMultipleRegistersRequest(uint16_t address,
                                                   std::span<const uint16_t> values) {
    if (6 + 2 * values.size() > MAX_PDU)
        return std::nullopt;
    Bytes p{WriteMultipleRegisters};
    Put16(p, address);
    Put16(p, static_cast<uint16_t>(values.size()));
    p.push_back(static_cast<uint8_t>(2 * values.size()));
    for (uint16_t v : values)
        Put16(p, v);
    return p;
}

std::optional<Bytes> ReadWriteMultipleRegistersRequest(uint16_t readAddress, uint16_t readCount,
                                                       uint16_t writeAddress,
                                                       std::span<const uint16_t> values) {
    if (10 + 2 * values.size() > MAX_PDU)
        return std::nullopt;
    Bytes p{ReadWriteMultipleRegisters};
    Put16(p, readAddress);
    Put16(p, readCount);
    Put16(p, writeAddress);
    Put16(p, static_cast<uint16_t>(values.size()));
    p.push_back(static_cast<uint8_t>(2 * values.size()));
    for (uint16_t v : values)
        Put16(p, v);
    return p;
}

std::optional<Bytes> ReadBitsAnswer(uint8_t function, const std::vector<bool>& bits) {
    const Bytes packed = PackBits(bits);
    if (2 + packed.size() > MAX_PDU)
        return std::nullopt;
    Bytes p{function, static_cast<uint8_t>(packed.size())};
    p.insert(p.end(), packed.begin(), packed.end());
    return p;
}

std::optional<Bytes> ReadRegistersAnswer(uint8_t function, std::span<const uint16_t> values) {
    if (2 + 2 * values.size() > MAX_PDU)
        return std::nullopt;
    Bytes p{function, static_cast<uint8_t>(2 * values.size())};
    for (uint16_t v : values)
        Put16(p, v);
    return p;
}

Bytes WriteSingleCoilAnswer(uint16_t address, bool on) {
    return WriteSingleCoilRequest(address, on);
}

Bytes WriteSingleRegisterAnswer(uint16_t address, uint16_t value) {
    return WriteSingleRegisterRequest(address, value);
}

Bytes WriteMultipleAnswer(uint8_t function, uint16_t address, uint16_t count) {
    Bytes p{function};
    Put16(p, address);
    Put16(p, count);
    return p;
}

Bytes ExceptionAnswer(uint8_t function, uint8_t code) {
    return {static_cast<uint8_t>(function | EXCEPTION_BIT), code};
}

// --- Parsers

Parsed<Request> ParseRequest(std::span<const uint8_t> pdu) {
    if (pdu.empty())
        return {std::nullopt, "empty PDU"};
    const uint8_t f = pdu[0];
    if (!FunctionName(f))
        return {std::nullopt, "unknown function " + Hex8(f)};
    const std::string what = What(f, "request");
    const Expected expected = ExpectedLength(pdu, Direction::Request);
    if (expected.kind != Expected::Kind::Known)
        return {std::nullopt, what + ": " + CountOf(pdu.size(), "byte", "bytes") + ", too short"};
    if (pdu.size() != expected.length)
        return {std::nullopt, WrongLength(what, pdu.size(), expected.length)};

    Request r;
    r.function = f;
    r.address = Get16(pdu, 1);
    std::string error;
    if (IsRead(f)) {
        r.count = Get16(pdu, 3);
        const uint16_t max = ReadsBits(f) ? MAX_READ_BITS : MAX_READ_REGISTERS;
        if (r.count < 1 || r.count > max)
            return {std::nullopt, Outside(what, "count", r.count, max)};
        error = PastEnd(what, r.address, r.count);
    } else if (f == WriteSingleCoil) {
        const uint16_t v = Get16(pdu, 3);
        if (v != 0xFF00 && v != 0x0000)
            return {std::nullopt,
                    what + ": value " + Hex16(v) + " is neither 0xFF00 (on) nor " + "0x0000 (off)"};
        r.count = 1;
        r.bits = {v == 0xFF00};
    } else if (f == WriteSingleRegister) {
        r.count = 1;
        r.values = {Get16(pdu, 3)};
    } else if (f == WriteMultipleCoils || f == WriteMultipleRegisters) {
        r.count = Get16(pdu, 3);
        const bool coils = f == WriteMultipleCoils;
        const uint16_t max = coils ? MAX_WRITE_COILS : MAX_WRITE_REGISTERS;
        if (r.count < 1 || r.count > max)
            return {std::nullopt, Outside(what, "count", r.count, max)};
        const size_t byteCount = pdu[5];
        const size_t needed = coils ? (r.count + 7u) / 8 : 2u * r.count;
        if (byteCount != needed)
            return {std::nullopt, what + ": byte count " + std::to_string(byteCount) +
                                      " does not match count " + std::to_string(r.count) +
                                      " (expected " + std::to_string(needed) + ")"};
        if (coils)
            r.bits = UnpackBits(pdu.subspan(6), r.count);
        else
            for (size_t i = 0; i < r.count; ++i)
                r.values.push_back(Get16(pdu, 6 + 2 * i));
        error = PastEnd(what, r.address, r.count);
    } else {  // ReadWriteMultipleRegisters
        r.count = Get16(pdu, 3);
        r.writeAddress = Get16(pdu, 5);
        const uint16_t writes = Get16(pdu, 7);
        if (r.count < 1 || r.count > MAX_READ_REGISTERS)
            return {std::nullopt, Outside(what, "read count", r.count, MAX_READ_REGISTERS)};
        if (writes < 1 || writes > MAX_READ_WRITE_WRITES)
            return {std::nullopt, Outside(what, "write count", writes, MAX_READ_WRITE_WRITES)};
        const size_t byteCount = pdu[9];
        if (byteCount != 2u * writes)
            return {std::nullopt, what + ": byte count " + std::to_string(byteCount) +
                                      " does not match write count " + std::to_string(writes) +
                                      " (expected " + std::to_string(2 * writes) + ")"};
        for (size_t i = 0; i < writes; ++i)
            r.values.push_back(Get16(pdu, 10 + 2 * i));
        error = PastEnd(what, r.address, r.count);
        if (error.empty())
            error = PastEnd(what, r.writeAddress, writes);
    }
    if (!error.empty())
        return {std::nullopt, error};
    return {std::move(r), {}};
}

Parsed<Answer> ParseAnswer(std::span<const uint8_t> pdu) {
    if (pdu.empty())
        return {std::nullopt, "empty PDU"};
    const uint8_t f = pdu[0];
    Answer a;
    if (f & EXCEPTION_BIT) {
        a.function = f & ~EXCEPTION_BIT;
        const std::string what = "exception answer for " + FunctionText(a.function);
        if (pdu.size() != 2)
            return {std::nullopt, WrongLength(what, pdu.size(), 2)};
        if (pdu[1] == 0)
            return {std::nullopt, what + ": exception code 0"};
        a.exception = pdu[1];
        return {std::move(a), {}};
    }
    if (!FunctionName(f))
        return {std::nullopt, "unknown function " + Hex8(f)};
    const std::string what = What(f, "answer");
    const Expected expected = ExpectedLength(pdu, Direction::Answer);
    if (expected.kind != Expected::Kind::Known)
        return {std::nullopt, what + ": " + CountOf(pdu.size(), "byte", "bytes") + ", too short"};
    if (pdu.size() != expected.length)
        return {std::nullopt, WrongLength(what, pdu.size(), expected.length)};
    a.function = f;
    if (ReadsBits(f)) {
        const size_t byteCount = pdu[1];
        const size_t max = (MAX_READ_BITS + 7) / 8;
        if (byteCount < 1 || byteCount > max)
            return {std::nullopt, Outside(what, "byte count", byteCount, max)};
        a.bits = UnpackBits(pdu.subspan(2), 8 * byteCount);
    } else if (ReadsRegisters(f)) {
        const size_t byteCount = pdu[1];
        const size_t max = 2 * MAX_READ_REGISTERS;
        if (byteCount < 2 || byteCount > max || byteCount % 2)
            return {std::nullopt, what + ": byte count " + std::to_string(byteCount) +
                                      " is not an even number within 2.." + std::to_string(max)};
        for (size_t i = 0; i < byteCount / 2; ++i)
            a.values.push_back(Get16(pdu, 2 + 2 * i));
    } else if (f == WriteSingleCoil) {
        a.address = Get16(pdu, 1);
        const uint16_t v = Get16(pdu, 3);
        if (v != 0xFF00 && v != 0x0000)
            return {std::nullopt,
                    what + ": value " + Hex16(v) + " is neither 0xFF00 (on) nor " + "0x0000 (off)"};
        a.count = 1;
        a.bits = {v == 0xFF00};
    } else if (f == WriteSingleRegister) {
        a.address = Get16(pdu, 1);
        a.count = 1;
        a.values = {Get16(pdu, 3)};
    } else {  // WriteMultipleCoils, WriteMultipleRegisters
        a.address = Get16(pdu, 1);
        a.count = Get16(pdu, 3);
        const uint16_t max = f == WriteMultipleCoils ? MAX_WRITE_COILS : MAX_WRITE_REGISTERS;
        if (a.count < 1 || a.count > max)
            return {std::nullopt, Outside(what, "count", a.count, max)};
    }
    return {std::move(a), {}};
}

// --- Lengths

Expected ExpectedLength(std::span<const uint8_t> head, Direction direction) {
    using Kind = Expected::Kind;
    if (head.empty())
        return {Kind::NeedMore, 1};
    const uint8_t f = head[0];
    // The whole length once the byte count at `at` is there: at + 1 + that count.
    auto counted = [&](size_t at) -> Expected {
        if (head.size() <= at)
            return {Kind::NeedMore, at + 1};
        return {Kind::Known, at + 1 + head[at]};
    };
    if (direction == Direction::Request) {
        if (f >= ReadCoils && f <= WriteSingleRegister)
            return {Kind::Known, 5};
        if (f == WriteMultipleCoils || f == WriteMultipleRegisters)
            return counted(5);
        if (f == ReadWriteMultipleRegisters)
            return counted(9);
        return {Kind::UnknownFunction, 0};
    }
    if (f & EXCEPTION_BIT)
        return {Kind::Known, 2};
    if (ReadsBits(f) || ReadsRegisters(f))
        return counted(1);
    if (f == WriteSingleCoil || f == WriteSingleRegister || f == WriteMultipleCoils ||
        f == WriteMultipleRegisters)
        return {Kind::Known, 5};
    return {Kind::UnknownFunction, 0};
}

// --- Text

std::string Hex(std::span<const uint8_t> bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(bytes.size() * 3);
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i)
            s += ' ';
        s += digits[bytes[i] >> 4];
        s += digits[bytes[i] & 15];
    }
    return s;
}

std::string Describe(std::span<const uint8_t> pdu, Direction direction) {
    if (pdu.empty())
        return "empty PDU";
    const uint8_t f = pdu[0];
    const bool exception = direction == Direction::Answer && (f & EXCEPTION_BIT);
    if (!exception && !FunctionName(f))
        return "unknown function " + Hex8(f) + ", " +
               CountOf(pdu.size() - 1, "data byte", "data bytes");

    if (direction == Direction::Request) {
        const Parsed<Request> parsed = ParseRequest(pdu);
        if (!parsed.value)
            return "invalid " + parsed.error;
        const Request& r = *parsed.value;
        const std::string head = std::string(FunctionName(f)) + " " + Hex16(r.address);
        switch (f) {
            case WriteSingleCoil:
                return head + (r.bits[0] ? " on" : " off");
            case WriteSingleRegister:
                return head + " value " + Hex16(r.values[0]);
            case WriteMultipleCoils:
                return head + " count " + std::to_string(r.count) + " bits " + ListBits(r.bits);
            case WriteMultipleRegisters:
                return head + " values " + ListRegisters(r.values);
            case ReadWriteMultipleRegisters:
                return std::string(FunctionName(f)) + " read " + Hex16(r.address) + " count " +
                       std::to_string(r.count) + " write " + Hex16(r.writeAddress) + " values " +
                       ListRegisters(r.values);
            default:
                return head + " count " + std::to_string(r.count);
        }
    }

    const Parsed<Answer> parsed = ParseAnswer(pdu);
    if (!parsed.value)
        return "invalid " + parsed.error;
    const Answer& a = *parsed.value;
    if (a.exception) {
        const char* name = ExceptionName(a.exception);
        return "exception " + Hex8(a.exception) + " " + (name ? name : "(unknown code)") + " for " +
               FunctionText(a.function);
    }
    switch (f) {
        case ReadCoils:
            return "answer: coils " + ListBits(a.bits);
        case ReadDiscreteInputs:
            return "answer: discrete inputs " + ListBits(a.bits);
        case WriteSingleCoil:
            return "answer: write single coil " + Hex16(a.address) + (a.bits[0] ? " on" : " off");
        case WriteSingleRegister:
            return "answer: write single register " + Hex16(a.address) + " value " +
                   Hex16(a.values[0]);
        case WriteMultipleCoils:
        case WriteMultipleRegisters:
            return "answer: " + std::string(FunctionName(f)) + " " + Hex16(a.address) + " count " +
                   std::to_string(a.count);
        default:
            return "answer: " + std::to_string(a.values.size()) +
                   (a.values.size() == 1 ? " register " : " registers ") + ListRegisters(a.values);
    }
}

}  // namespace modbus
