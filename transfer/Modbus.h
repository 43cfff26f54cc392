// Modbus protocol data units (PDUs): the function code and its data, the part that is the same
// over a serial line (RTU, transfer/ModbusFraming.h) and over TCP (MBAP). Builders for the
// requests and answers of the common functions, parsers that hold a PDU to the protocol's limits,
// the length a PDU will have once its first bytes are known (what finds a frame's end on a serial
// line) and a one-line text for the window. Pure byte logic: no I/O, no time.
//
// Numbers on the wire are big-endian (high byte first). Addresses are the 0-based numbers of the
// PDU, not the 1-based "40001" numbering some devices document.
//
// The text of a PDU (Describe), by function; addresses and register values as 0x%04X, counts in
// decimal, coils as 0/1 in coil order (the first coil first), 8 to a group:
//   1  request  "read coils 0x0013 count 19"
//      answer   "answer: coils 10110011 11010110 10100000"   (all bits of the byte count; the
//               answer does not say how many were asked for, so the padding bits show too)
//   2           "read discrete inputs 0x00C4 count 22" / "answer: discrete inputs 10101100 ..."
//   3  request  "read holding registers 0x006B count 3"
//      answer   "answer: 3 registers 0x022B 0x0000 0x0064"   ("1 register 0x0001")
//   4           "read input registers 0x0008 count 1" / answer as for 3
//   5           "write single coil 0x00AC on" (off) / "answer: write single coil 0x00AC on"
//   6           "write single register 0x0001 value 0x0003" / "answer: write single register ..."
//   15 request  "write multiple coils 0x0013 count 10 bits 10110011 10"
//      answer   "answer: write multiple coils 0x0013 count 10"
//   16 request  "write multiple registers 0x0001 values 0x000A 0x0102"
//      answer   "answer: write multiple registers 0x0001 count 2"
//   23 request  "read/write multiple registers read 0x0003 count 6 write 0x000E values 0x00FF ..."
//      answer   as for 3
//   exception   "exception 0x02 Illegal Data Address for read holding registers"
//               ("exception 0x07 (unknown code) for ...", "... for function 0x41")
//   unknown     "unknown function 0x41, 3 data bytes"
//   invalid     "invalid " + the parser's error, e.g.
//               "invalid read holding registers request: count 200 is outside 1..125"
// Lists longer than 10 values (or 10 groups of coils) show the first 10 and "… N more".
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace modbus {

using Bytes = std::vector<uint8_t>;

// The function codes built and parsed here.
enum Function : uint8_t {
    ReadCoils = 1,
    ReadDiscreteInputs = 2,
    ReadHoldingRegisters = 3,
    ReadInputRegisters = 4,
    WriteSingleCoil = 5,
    WriteSingleRegister = 6,
    WriteMultipleCoils = 15,
    WriteMultipleRegisters = 16,
    ReadWriteMultipleRegisters = 23,
};
// An exception answer's function code is the request's with this bit set.
constexpr uint8_t EXCEPTION_BIT = 0x80;
// The largest PDU: 256 bytes of serial frame less the unit address and the CRC.
constexpr size_t MAX_PDU = 253;

// The protocol's limits on the quantities of one request.
constexpr uint16_t MAX_READ_BITS = 2000;         // functions 1, 2
constexpr uint16_t MAX_READ_REGISTERS = 125;     // functions 3, 4 and the read of 23
constexpr uint16_t MAX_WRITE_COILS = 1968;       // function 15
constexpr uint16_t MAX_WRITE_REGISTERS = 123;    // function 16
constexpr uint16_t MAX_READ_WRITE_WRITES = 121;  // the write of 23

// Which way a PDU goes: from the client (master) or back from the server (slave). The bytes alone
// do not tell: a request and an answer of the same function differ in layout.
enum class Direction { Request, Answer };

// "read holding registers" for 3 etc.; nullptr for a function not handled here.
const char* FunctionName(uint8_t function);
// "Illegal Data Address" for 0x02 etc.; nullptr for a code not listed.
const char* ExceptionName(uint8_t code);

// --- Builders. They encode what they are given, also quantities beyond the protocol's limits (a
// test may want to send those); only the list builders refuse (nullopt) a list whose PDU would not
// fit in MAX_PDU bytes or whose byte count would not fit its one byte.

// Functions 1 to 4: address of the first item and the number of items.
Bytes ReadRequest(uint8_t function, uint16_t address, uint16_t count);
// Function 5: the coil's state as 0xFF00 (on) or 0x0000 (off).
Bytes WriteSingleCoilRequest(uint16_t address, bool on);
// Function 6.
Bytes WriteSingleRegisterRequest(uint16_t address, uint16_t value);
// Function 15: the coils from `address` on, the first in the lowest bit of the first byte.
std::optional<Bytes> WriteMultipleCoilsRequest(uint16_t address, const std::vector<bool>& bits);
// Function 16.
std::optional<Bytes> WriteMultipleRegistersRequest(uint16_t address,
                                                   std::span<const uint16_t> values);
// Function 23: reads `readCount` registers from `readAddress` after writing `values` from
// `writeAddress`.
std::optional<Bytes> ReadWriteMultipleRegistersRequest(uint16_t readAddress, uint16_t readCount,
                                                       uint16_t writeAddress,
                                                       std::span<const uint16_t> values);

// The answer to 1 or 2: byte count, then the bits (padded with zeros to whole bytes).
std::optional<Bytes> ReadBitsAnswer(uint8_t function, const std::vector<bool>& bits);
// The answer to 3, 4 or 23: byte count, then the registers.
std::optional<Bytes> ReadRegistersAnswer(uint8_t function, std::span<const uint16_t> values);
// The answer to 5 and 6 is the request itself.
Bytes WriteSingleCoilAnswer(uint16_t address, bool on);
Bytes WriteSingleRegisterAnswer(uint16_t address, uint16_t value);
// The answer to 15 or 16: the address and the count written.
Bytes WriteMultipleAnswer(uint8_t function, uint16_t address, uint16_t count);
// An exception answer: the request's function | 0x80, then the code.
Bytes ExceptionAnswer(uint8_t function, uint8_t code);

// --- Parsers: a whole PDU to its fields, or the error text saying what is wrong.

struct Request {
    uint8_t function = 0;
    uint16_t address = 0;          // the first item read or written (23: the first read)
    uint16_t count = 0;            // items read or written (5, 6: 1; 23: registers read)
    uint16_t writeAddress = 0;     // 23: the first register written
    std::vector<uint16_t> values;  // registers written: 6 (one), 16, 23
    std::vector<bool> bits;        // coils written: 5 (one), 15 (count of them)
};

struct Answer {
    uint8_t function = 0;          // without the exception bit
    uint8_t exception = 0;         // non-zero: an exception answer with this code
    uint16_t address = 0;          // 5, 6, 15, 16: the echoed address
    uint16_t count = 0;            // 15, 16: the count written
    std::vector<uint16_t> values;  // 3, 4, 23: the registers read; 6: the value written
    std::vector<bool> bits;        // 1, 2: every bit of the byte count; 5: the coil's state
};

template <typename T>
struct Parsed {
    std::optional<T> value;
    std::string error;  // empty when value holds
};

// Errors name the function and the fault, e.g. "read holding registers request: count 200 is
// outside 1..125", "write multiple registers request: byte count 5 does not match count 3
// (expected 6)", "read coils request: 4 bytes, expected 5", "unknown function 0x41", "empty PDU".
Parsed<Request> ParseRequest(std::span<const uint8_t> pdu);
Parsed<Answer> ParseAnswer(std::span<const uint8_t> pdu);

// --- The PDU's whole length, from its first bytes.

struct Expected {
    enum class Kind {
        Known,            // `length` is the PDU's whole length
        NeedMore,         // the bytes so far do not tell yet; `length` is how many would
        UnknownFunction,  // a function whose layout is not known here: only silence ends it
    } kind = Kind::NeedMore;
    size_t length = 0;
};
Expected ExpectedLength(std::span<const uint8_t> head, Direction direction);

// --- Text.

// The PDU's one-line text (see the top of this file); never empty.
std::string Describe(std::span<const uint8_t> pdu, Direction direction);
// "01 03 00 6B": bytes in hex, for messages.
std::string Hex(std::span<const uint8_t> bytes);

}  // namespace modbus
