// The Modbus RTU framer and MBAP reassembler on any received stream in any chunking and timing,
// and the PDU parsers, builders and texts on every frame they yield. Input layout:
// byte 0: bits 0-2 choose the baud (1200, 9600, 19200, 38400, 115200, 4800, 57600, 300),
//         bit 3 the bits per character (10 or 11), bit 4 the direction (request or answer);
// then records of [length][gap][length bytes]: gap bits 0-6 are the silence before the chunk in
// eighths of a character (0 to 15.9 characters), gap bit 7 calls Flush at the chunk's start.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "transfer/Modbus.h"
#include "transfer/ModbusFraming.h"

namespace {

using modbus::Bytes;
using modbus::Direction;

void Check(bool ok) {
    if (!ok)
        std::abort();
}

void CheckText(const std::string& text) {
    Check(!text.empty());
    Check(text.find('\n') == std::string::npos);
}

// A parsed PDU built again from its fields gives its bytes (the padding bits of a coil list
// aside, which carry nothing).
void CheckRoundTrip(std::span<const uint8_t> pdu, Direction dir) {
    CheckText(modbus::Describe(pdu, dir));
    if (dir == Direction::Request) {
        const auto parsed = modbus::ParseRequest(pdu);
        Check(parsed.value.has_value() == parsed.error.empty());
        if (!parsed.value)
            return;
        const modbus::Request& r = *parsed.value;
        std::optional<Bytes> again;
        switch (r.function) {
            case modbus::WriteSingleCoil:
                again = modbus::WriteSingleCoilRequest(r.address, r.bits.at(0));
                break;
            case modbus::WriteSingleRegister:
                again = modbus::WriteSingleRegisterRequest(r.address, r.values.at(0));
                break;
            case modbus::WriteMultipleCoils:
                again = modbus::WriteMultipleCoilsRequest(r.address, r.bits);
                break;
            case modbus::WriteMultipleRegisters:
                again = modbus::WriteMultipleRegistersRequest(r.address, r.values);
                break;
            case modbus::ReadWriteMultipleRegisters:
                again = modbus::ReadWriteMultipleRegistersRequest(r.address, r.count,
                                                                  r.writeAddress, r.values);
                break;
            default:
                again = modbus::ReadRequest(r.function, r.address, r.count);
        }
        Check(again.has_value());
        Bytes expected(pdu.begin(), pdu.end());
        if (r.function == modbus::WriteMultipleCoils && r.count % 8)
            expected.back() &= static_cast<uint8_t>((1u << (r.count % 8)) - 1);
        Check(*again == expected);
        return;
    }
    const auto parsed = modbus::ParseAnswer(pdu);
    Check(parsed.value.has_value() == parsed.error.empty());
    if (!parsed.value)
        return;
    const modbus::Answer& a = *parsed.value;
    std::optional<Bytes> again;
    if (a.exception) {
        again = modbus::ExceptionAnswer(a.function, a.exception);
    } else {
        switch (a.function) {
            case modbus::ReadCoils:
            case modbus::ReadDiscreteInputs:
                again = modbus::ReadBitsAnswer(a.function, a.bits);
                break;
            case modbus::WriteSingleCoil:
                again = modbus::WriteSingleCoilAnswer(a.address, a.bits.at(0));
                break;
            case modbus::WriteSingleRegister:
                again = modbus::WriteSingleRegisterAnswer(a.address, a.values.at(0));
                break;
            case modbus::WriteMultipleCoils:
            case modbus::WriteMultipleRegisters:
                again = modbus::WriteMultipleAnswer(a.function, a.address, a.count);
                break;
            default:
                again = modbus::ReadRegistersAnswer(a.function, a.values);
        }
    }
    Check(again.has_value());
    Check(std::equal(again->begin(), again->end(), pdu.begin(), pdu.end()));
}

void CheckPiece(const modbus::RtuPiece& p, Direction dir) {
    Check(!p.bytes.empty() && p.bytes.size() <= modbus::MAX_RTU_FRAME);
    Check(p.frame.has_value() == (p.bytes.size() >= modbus::MIN_RTU_FRAME));
    if (p.frame) {
        // Every frame gives back its bytes as received, and with its own CRC only when good.
        Check(p.frame->Wire() == p.bytes);
        Check((modbus::RtuFrame::Encode(p.frame->unit, p.frame->pdu) == p.bytes) == p.CrcGood());
        CheckRoundTrip(p.frame->pdu, dir);
    }
    if (p.end == modbus::RtuPiece::End::Length) {
        const modbus::Expected e = modbus::ExpectedLength(std::span(p.bytes).subspan(1), dir);
        Check(e.kind == modbus::Expected::Kind::Known && e.length + 3 == p.bytes.size());
    }
    if (p.end == modbus::RtuPiece::End::Cut)
        Check(p.bytes.size() == modbus::MAX_RTU_FRAME);
    Check(p.firstNs <= p.lastNs);
    CheckText(modbus::Describe(p, dir));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    static constexpr uint32_t bauds[] = {1200, 9600, 19200, 38400, 115200, 4800, 57600, 300};
    const modbus::LineRate rate{bauds[data[0] & 7], (data[0] & 8) ? 10 : 11};
    const Direction dir = (data[0] & 16) ? Direction::Answer : Direction::Request;

    modbus::RtuFramer framer(rate, dir);
    modbus::MbapReassembler mbap;
    Bytes stream, framed;
    size_t mbapAccounted = 0;
    int64_t now = 1'000'000'000;
    auto take = [&](std::vector<modbus::RtuPiece> pieces) {
        for (const auto& p : pieces) {
            CheckPiece(p, dir);
            framed.insert(framed.end(), p.bytes.begin(), p.bytes.end());
        }
    };

    size_t i = 1;
    while (i + 2 <= size) {
        const size_t len = std::min<size_t>(data[i], size - i - 2);
        const uint8_t gap = data[i + 1];
        const std::span<const uint8_t> chunk(data + i + 2, len);
        i += 2 + len;

        now += (gap & 0x7F) * rate.CharacterNs() / 8;
        if (gap & 0x80)
            take(framer.Flush(now));
        now += static_cast<int64_t>(len) * rate.CharacterNs();
        take(framer.Feed(chunk, now));
        stream.insert(stream.end(), chunk.begin(), chunk.end());
        Check(framer.Pending() < modbus::MAX_RTU_FRAME);

        for (const modbus::MbapEvent& e : mbap.Feed(chunk)) {
            Check(e.frame.has_value() == e.error.empty());
            if (e.frame) {
                const modbus::MbapFrame& f = *e.frame;
                Check(f.protocol == 0);
                Check(f.length == 1 + f.pdu.size());
                Check(f.length >= modbus::MIN_MBAP_LENGTH && f.length <= modbus::MAX_MBAP_LENGTH);
                Check(e.dropped == 0);
                mbapAccounted += modbus::MBAP_HEADER + f.pdu.size();
                CheckText(modbus::Describe(f, dir));
                CheckRoundTrip(f.pdu, dir);
            } else {
                Check(e.dropped >= 6);
                mbapAccounted += e.dropped;
            }
        }
        Check(mbap.Buffered() < modbus::MBAP_HEADER + modbus::MAX_PDU);
        // Every byte is in a frame, reported dropped or still buffered.
        Check(mbapAccounted + mbap.Buffered() == stream.size());
    }

    // The pending frame ends exactly at its deadline, and then every byte was in one piece.
    if (const auto deadline = framer.Deadline()) {
        Check(framer.Flush(*deadline - 1).empty());
        take(framer.Flush(*deadline));
    }
    Check(framer.Pending() == 0);
    Check(framed == stream);

    // Any bytes as a PDU of either direction parse, describe and build again consistently.
    const std::span<const uint8_t> rest(data + 1, size - 1);
    CheckRoundTrip(rest.first(std::min<size_t>(rest.size(), modbus::MAX_PDU + 2)),
                   Direction::Request);
    CheckRoundTrip(rest.first(std::min<size_t>(rest.size(), modbus::MAX_PDU + 2)),
                   Direction::Answer);
    return 0;
}
