// Modbus frames around a PDU (transfer/Modbus.h): RTU on a serial line (unit address, PDU,
// CRC-16/MODBUS low byte first; frames delimited by silence) and MBAP on TCP (a 7-byte header
// with a length). A framer for each that is fed received bytes in whatever chunks they came and
// yields whole frames. Pure byte logic: times are passed in (nanoseconds of a steady clock), no
// I/O.
//
// The text of a frame adds its envelope to the PDU's text (Describe in Modbus.h):
//   RTU   "unit 1 read holding registers 0x006B count 3 (CRC good)"
//         "unit 17 exception 0x0B Gateway Target Device Failed to Respond for read holding
//          registers (CRC bad: 0x1234, expected 0xABCD)"
//         the CRC as a 16-bit value; its low byte is the first on the wire. Within the
//         parentheses then, when they apply, ", gap inside: 2.0 characters, 2.29 ms" (the
//         longest silence between two of its bytes, when one was over 1.5 characters, or over
//         750 us above 19200 baud) and ", cut at 256 bytes" (no frame end within 256 bytes).
//         A piece shorter than a frame: "3 bytes, too short for a frame: 01 03 00".
//   MBAP  "tid 7 unit 1 write multiple registers 0x0010 values 0x0001 0x0002 0x0003"
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "transfer/Modbus.h"

namespace modbus {

// The longest RTU frame: unit address, 253 bytes of PDU, 2 of CRC.
constexpr size_t MAX_RTU_FRAME = 256;
// The shortest: unit address, function code, CRC.
constexpr size_t MIN_RTU_FRAME = 4;

// CRC-16/MODBUS (transfer/Checksum.h) over `bytes`.
uint16_t Crc16(std::span<const uint8_t> bytes);

struct RtuFrame {
    uint8_t unit = 0;
    Bytes pdu;
    uint16_t crc = 0;          // as received
    uint16_t expectedCrc = 0;  // computed over the unit address and the PDU
    bool CrcGood() const { return crc == expectedCrc; }

    // unit, PDU and the right CRC, low byte first.
    static Bytes Encode(uint8_t unit, std::span<const uint8_t> pdu);
    // A received frame's parts; nullopt below MIN_RTU_FRAME bytes.
    static std::optional<RtuFrame> Decode(std::span<const uint8_t> bytes);
    // The frame's bytes as received, its CRC as it came (good or bad).
    Bytes Wire() const;
};

// The serial line's timing. Below or at 19200 baud the silences follow the character time; above
// it they are fixed (750 us between characters, 1.75 ms between frames), as the serial line's
// Modbus rules have it, since a fast line's character times are shorter than timers can keep.
// A baud of 0 counts as 1, bits per character are taken within 1..32.
struct LineRate {
    uint32_t baud = 9600;
    int bitsPerCharacter = 11;  // start + 8 data + parity or second stop + stop; 10 without

    int64_t CharacterNs() const;
    int64_t FrameSilenceNs() const;  // 3.5 characters: ends a frame
    int64_t GapNs() const;           // 1.5 characters: the most allowed inside a frame
};

// One piece of the received stream as the framer cut it. Every byte fed comes out in exactly one
// piece, in order.
struct RtuPiece {
    enum class End {
        Length,   // the function's length was complete
        Silence,  // 3.5 characters of silence (seen by Feed or Flush)
        Cut,      // MAX_RTU_FRAME bytes without an end; the bytes after start a new piece
    };
    Bytes bytes;
    End end = End::Silence;
    std::optional<RtuFrame> frame;  // nullopt for a piece shorter than MIN_RTU_FRAME
    int64_t firstNs = 0;            // the time of the chunk that brought its first byte
    int64_t lastNs = 0;             // and of the chunk that brought its last one
    int64_t longestGapNs = 0;       // the longest silence between two of its chunks
    bool gapOver = false;           // a silence over 1.5 characters inside it
    int64_t characterNs = 0;        // the line's character time, for the text

    bool CrcGood() const { return frame && frame->CrcGood(); }
};

// Cuts the bytes of one direction of a serial line into RTU frames. A chunk's time is when its
// last byte was read; its first byte is taken to have started chunk size x character time before
// (the bytes came back to back), so a big chunk read late is not mistaken for a silence. A frame
// ends at a silence of 3.5 characters before a chunk, as soon as its function's length is complete
// (so two frames in one chunk come apart), at Flush once the silence has passed, or after
// MAX_RTU_FRAME bytes. Memory is bounded by MAX_RTU_FRAME pending bytes.
class RtuFramer {
public:
    RtuFramer(LineRate rate, Direction direction) : rate_(rate), direction_(direction) {}

    std::vector<RtuPiece> Feed(std::span<const uint8_t> chunk, int64_t nowNs);
    // Ends the pending frame when nowNs is 3.5 characters or more past its last byte.
    std::vector<RtuPiece> Flush(int64_t nowNs);
    // When Flush would end the pending frame; nullopt when nothing is pending.
    std::optional<int64_t> Deadline() const;
    size_t Pending() const { return pending_.bytes.size(); }
    void Reset() { pending_ = {}; }

private:
    void End(RtuPiece::End how, std::vector<RtuPiece>& out);

    LineRate rate_;
    Direction direction_;
    RtuPiece pending_;
};

// --- MBAP (Modbus TCP)

// The 7-byte header, then the PDU.
constexpr size_t MBAP_HEADER = 7;
// The length field counts the unit identifier and the PDU: 2 (a function code alone) to 254.
constexpr uint16_t MIN_MBAP_LENGTH = 2;
constexpr uint16_t MAX_MBAP_LENGTH = 1 + MAX_PDU;

struct MbapFrame {
    uint16_t transaction = 0;
    uint16_t protocol = 0;
    uint16_t length = 0;  // as received: 1 + pdu.size()
    uint8_t unit = 0;
    Bytes pdu;

    // Transaction id, protocol 0, length 1 + PDU, unit, PDU. A PDU over MAX_PDU bytes is encoded
    // as given (a test may send one) as long as its length fits the field; empty beyond 65534.
    static Bytes Encode(uint16_t transaction, uint8_t unit, std::span<const uint8_t> pdu);
};

// What the reassembler found: a frame, or a malformed header (`error` set, `dropped` bytes gone).
struct MbapEvent {
    std::optional<MbapFrame> frame;
    std::string error;
    size_t dropped = 0;
};

// Gathers one TCP stream's bytes into MBAP frames, whatever the reads' sizes. A header whose
// protocol is not 0 or whose length is outside 2..254 means the stream is not where a frame
// starts: the bytes buffered and the rest of that chunk are dropped and reported once, and the
// next chunk is read as the start of a frame (a peer answers one request at a time, so its next
// answer starts a read of its own). Memory is bounded by one frame (MBAP_HEADER + MAX_PDU bytes).
class MbapReassembler {
public:
    std::vector<MbapEvent> Feed(std::span<const uint8_t> chunk);
    size_t Buffered() const { return buffer_.size(); }
    void Reset() { buffer_.clear(); }

private:
    Bytes buffer_;
};

// --- Text (see the top of this file)

std::string Describe(const RtuPiece& piece, Direction direction);
std::string Describe(const MbapFrame& frame, Direction direction);

}  // namespace modbus
