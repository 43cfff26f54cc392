#include "transfer/ModbusFraming.h"

#include <algorithm>
#include <cstdio>
#include <limits>

#include "transfer/Checksum.h"

namespace modbus {

namespace {

// Times are int64 nanoseconds from the caller; their differences are worked out wider and kept
// within int64, so no time the caller passes overflows.
int64_t Clamp(__int128 v) {
    constexpr __int128 lo = std::numeric_limits<int64_t>::min();
    constexpr __int128 hi = std::numeric_limits<int64_t>::max();
    return static_cast<int64_t>(std::clamp(v, lo, hi));
}

std::string Hex16(uint16_t v) {
    char s[8];
    std::snprintf(s, sizeof s, "0x%04X", v);
    return s;
}

}  // namespace

uint16_t Crc16(std::span<const uint8_t> bytes) {
    static const checksum::Kind* const kind = checksum::Find("crc16-modbus")->kind;
    return static_cast<uint16_t>(kind->compute(bytes.data(), bytes.size()));
}

// --- RTU frame

namespace {

Bytes Assemble(uint8_t unit, std::span<const uint8_t> pdu, std::optional<uint16_t> crc) {
    Bytes out;
    out.reserve(pdu.size() + 3);
    out.push_back(unit);
    out.insert(out.end(), pdu.begin(), pdu.end());
    const uint16_t value = crc ? *crc : Crc16(out);
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>(value >> 8));
    return out;
}

}  // namespace

Bytes RtuFrame::Encode(uint8_t unit, std::span<const uint8_t> pdu) {
    return Assemble(unit, pdu, std::nullopt);
}

std::optional<RtuFrame> RtuFrame::Decode(std::span<const uint8_t> bytes) {
    if (bytes.size() < MIN_RTU_FRAME)
        return std::nullopt;
    RtuFrame f;
    const size_t n = bytes.size();
    f.unit = bytes[0];
    f.pdu.assign(bytes.begin() + 1, bytes.end() - 2);
    f.crc = static_cast<uint16_t>(bytes[n - 2] | bytes[n - 1] << 8);
    f.expectedCrc = Crc16(bytes.first(n - 2));
    return f;
}

Bytes RtuFrame::Wire() const {
    return Assemble(unit, pdu, crc);
}

// --- Line timing

int64_t LineRate::CharacterNs() const {
    const int64_t bits = std::clamp(bitsPerCharacter, 1, 32);
    return bits * 1'000'000'000 / std::max<uint32_t>(baud, 1);
}

int64_t LineRate::FrameSilenceNs() const {
    if (baud > 19200)
        return 1'750'000;
    const int64_t bits = std::clamp(bitsPerCharacter, 1, 32);
    return 7 * bits * 1'000'000'000 / (2 * int64_t{std::max<uint32_t>(baud, 1)});
}

int64_t LineRate::GapNs() const {
    if (baud > 19200)
        return 750'000;
    const int64_t bits = std::clamp(bitsPerCharacter, 1, 32);
    return 3 * bits * 1'000'000'000 / (2 * int64_t{std::max<uint32_t>(baud, 1)});
}

// --- RTU framer

void RtuFramer::End(RtuPiece::End how, std::vector<RtuPiece>& out) {
    pending_.end = how;
    pending_.frame = RtuFrame::Decode(pending_.bytes);
    pending_.characterNs = rate_.CharacterNs();
    out.push_back(std::move(pending_));
    pending_ = {};
}

std::vector<RtuPiece> RtuFramer::Feed(std::span<const uint8_t> chunk, int64_t nowNs) {
    std::vector<RtuPiece> out;
    if (chunk.empty())
        return out;
    if (!pending_.bytes.empty()) {
        // The chunk's first byte began its size in characters before its last was read.
        const __int128 sent = __int128{rate_.CharacterNs()} * static_cast<__int128>(chunk.size());
        const int64_t silence = std::max<int64_t>(0, Clamp(nowNs - sent - pending_.lastNs));
        if (silence >= rate_.FrameSilenceNs()) {
            End(RtuPiece::End::Silence, out);
        } else {
            pending_.longestGapNs = std::max(pending_.longestGapNs, silence);
            pending_.gapOver = pending_.gapOver || silence > rate_.GapNs();
        }
    }
    for (const uint8_t byte : chunk) {
        if (pending_.bytes.empty())
            pending_.firstNs = nowNs;
        pending_.bytes.push_back(byte);
        pending_.lastNs = nowNs;
        const size_t n = pending_.bytes.size();
        if (n >= 2) {
            const Expected e = ExpectedLength(std::span(pending_.bytes).subspan(1), direction_);
            if (e.kind == Expected::Kind::Known && n == 1 + e.length + 2) {
                End(RtuPiece::End::Length, out);
                continue;
            }
        }
        if (n == MAX_RTU_FRAME)
            End(RtuPiece::End::Cut, out);
    }
    return out;
}

std::vector<RtuPiece> RtuFramer::Flush(int64_t nowNs) {
    std::vector<RtuPiece> out;
    if (!pending_.bytes.empty() &&
        Clamp(__int128{nowNs} - pending_.lastNs) >= rate_.FrameSilenceNs())
        End(RtuPiece::End::Silence, out);
    return out;
}

std::optional<int64_t> RtuFramer::Deadline() const {
    if (pending_.bytes.empty())
        return std::nullopt;
    return Clamp(__int128{pending_.lastNs} + rate_.FrameSilenceNs());
}

// --- MBAP

Bytes MbapFrame::Encode(uint16_t transaction, uint8_t unit, std::span<const uint8_t> pdu) {
    if (pdu.size() > 0xFFFE)
        return {};
    const auto length = static_cast<uint16_t>(1 + pdu.size());
    Bytes out{
        static_cast<uint8_t>(transaction >> 8), static_cast<uint8_t>(transaction & 0xFF), 0,   0,
        static_cast<uint8_t>(length >> 8),      static_cast<uint8_t>(length & 0xFF),      unit};
    out.insert(out.end(), pdu.begin(), pdu.end());
    return out;
}

std::vector<MbapEvent> MbapReassembler::Feed(std::span<const uint8_t> chunk) {
    std::vector<MbapEvent> out;
    size_t i = 0;
    while (i < chunk.size()) {
        // Up to the length field first, then up to the frame's end.
        size_t want = 6;
        if (buffer_.size() >= 6)
            want = 6 + static_cast<size_t>(buffer_[4] << 8 | buffer_[5]);
        const size_t take = std::min(want - buffer_.size(), chunk.size() - i);
        buffer_.insert(buffer_.end(), chunk.begin() + i, chunk.begin() + i + take);
        i += take;
        if (buffer_.size() == 6) {
            const uint16_t protocol = static_cast<uint16_t>(buffer_[2] << 8 | buffer_[3]);
            const uint16_t length = static_cast<uint16_t>(buffer_[4] << 8 | buffer_[5]);
            std::string fault;
            if (protocol != 0)
                fault = "protocol " + std::to_string(protocol) + ", not 0 (Modbus)";
            else if (length < MIN_MBAP_LENGTH || length > MAX_MBAP_LENGTH)
                fault = "length " + std::to_string(length) + ", outside " +
                        std::to_string(MIN_MBAP_LENGTH) + ".." + std::to_string(MAX_MBAP_LENGTH);
            if (!fault.empty()) {
                MbapEvent e;
                e.dropped = buffer_.size() + (chunk.size() - i);
                e.error = "MBAP header " + Hex(buffer_) + " has " + fault + "; dropped " +
                          std::to_string(e.dropped) +
                          " bytes up to the end of this read (is the peer speaking Modbus TCP?)";
                out.push_back(std::move(e));
                buffer_.clear();
                return out;
            }
        }
        if (buffer_.size() > 6 && buffer_.size() == want) {
            MbapFrame f;
            f.transaction = static_cast<uint16_t>(buffer_[0] << 8 | buffer_[1]);
            f.protocol = static_cast<uint16_t>(buffer_[2] << 8 | buffer_[3]);
            f.length = static_cast<uint16_t>(buffer_[4] << 8 | buffer_[5]);
            f.unit = buffer_[6];
            f.pdu.assign(buffer_.begin() + MBAP_HEADER, buffer_.end());
            out.push_back({std::move(f), {}, 0});
            buffer_.clear();
        }
    }
    return out;
}

// --- Text

std::string Describe(const RtuPiece& piece, Direction direction) {
    if (!piece.frame)
        return std::to_string(piece.bytes.size()) + (piece.bytes.size() == 1 ? " byte" : " bytes") +
               ", too short for a frame: " + Hex(piece.bytes);
    const RtuFrame& f = *piece.frame;
    std::string s = "unit " + std::to_string(f.unit) + " " + Describe(f.pdu, direction);
    if (f.CrcGood())
        s += " (CRC good";
    else
        s += " (CRC bad: " + Hex16(f.crc) + ", expected " + Hex16(f.expectedCrc);
    if (piece.gapOver && piece.characterNs > 0) {
        char gap[64];
        std::snprintf(gap, sizeof gap, ", gap inside: %.1f characters, %.2f ms",
                      static_cast<double>(piece.longestGapNs) / piece.characterNs,
                      static_cast<double>(piece.longestGapNs) / 1e6);
        s += gap;
    }
    if (piece.end == RtuPiece::End::Cut)
        s += ", cut at " + std::to_string(MAX_RTU_FRAME) + " bytes";
    return s + ")";
}

std::string Describe(const MbapFrame& frame, Direction direction) {
    return "tid " + std::to_string(frame.transaction) + " unit " + std::to_string(frame.unit) +
           " " + Describe(frame.pdu, direction);
}

}  // namespace modbus
