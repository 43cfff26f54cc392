#include "app/ModbusNotes.h"

#include <climits>
#include <span>

#include "transfer/ModbusFraming.h"

namespace {

constexpr const char* NOTE_PREFIX = "[modbus] ";

// How a PDU reads best: as what it parses as (a console on a shared line sees both requests and
// answers), else as `likely`.
modbus::Direction ReadAs(std::span<const uint8_t> pdu, modbus::Direction likely) {
    const bool request = modbus::ParseRequest(pdu).value.has_value();
    const bool answer = modbus::ParseAnswer(pdu).value.has_value();
    if (request != answer)
        return request ? modbus::Direction::Request : modbus::Direction::Answer;
    return likely;
}

modbus::LineRate RateOf(const LineSettings& line) {
    modbus::LineRate rate;
    rate.baud = line.baud;
    rate.bitsPerCharacter = 1 + line.dataBits + (line.parity == Parity::None ? 0 : 1) +
                            (line.stopBits == StopBits::One ? 1 : 2);
    return rate;
}

// The chunks of the history from its first start on, each with its read stamp.
template <class Visit>
void ForEachChunk(const unsigned char* bytes, int n,
                  const std::vector<CRingBuffer::ChunkStart>& starts, Visit visit) {
    for (size_t k = 0; k < starts.size(); ++k) {
        const int from = starts[k].index;
        const int to = k + 1 < starts.size() ? starts[k + 1].index : n;
        if (from < to)
            visit(std::span<const uint8_t>(bytes + from, static_cast<size_t>(to - from)),
                  starts[k].at.steadyNs);
    }
}

struct RtuReading {
    std::vector<ModbusNote> notes;  // each at its frame's end
    std::vector<bool> good;         // each note's frame has a good CRC
    bool pending = false;
};

RtuReading ReadRtu(modbus::Direction direction, const unsigned char* bytes, int n,
                   const std::vector<CRingBuffer::ChunkStart>& starts, const LineSettings& line,
                   int64_t nowNs) {
    RtuReading reading;
    if (starts.empty())
        return reading;
    modbus::RtuFramer framer(RateOf(line), direction);
    // Every byte fed comes out in exactly one piece, in order: a piece ends where the bytes
    // taken so far end.
    int at = starts.front().index;
    auto take = [&](const std::vector<modbus::RtuPiece>& pieces) {
        for (const modbus::RtuPiece& piece : pieces) {
            at += static_cast<int>(piece.bytes.size());
            reading.good.push_back(piece.CrcGood());
            const modbus::Direction as =
                piece.frame ? ReadAs(piece.frame->pdu, direction) : direction;
            reading.notes.push_back({at, NOTE_PREFIX + modbus::Describe(piece, as)});
        }
    };
    ForEachChunk(bytes, n, starts,
                 [&](std::span<const uint8_t> chunk, int64_t ns) { take(framer.Feed(chunk, ns)); });
    take(framer.Flush(nowNs));
    reading.pending = framer.Pending() > 0;
    return reading;
}

void ReadMbap(const unsigned char* bytes, int n, const std::vector<CRingBuffer::ChunkStart>& starts,
              std::vector<ModbusNote>& out) {
    if (starts.empty())
        return;
    modbus::MbapReassembler reassembler;
    int at = starts.front().index;
    ForEachChunk(bytes, n, starts, [&](std::span<const uint8_t> chunk, int64_t) {
        const size_t bufferedBefore = reassembler.Buffered();
        size_t used = 0;
        for (const modbus::MbapEvent& event : reassembler.Feed(chunk)) {
            if (event.frame) {
                const modbus::MbapFrame& frame = *event.frame;
                used += modbus::MBAP_HEADER - 1 + frame.length;
                out.push_back(
                    {at + static_cast<int>(used - bufferedBefore),
                     NOTE_PREFIX +
                         modbus::Describe(frame, ReadAs(frame.pdu, modbus::Direction::Request))});
            } else {
                used += event.dropped;
                out.push_back({at + static_cast<int>(std::min(used - bufferedBefore, chunk.size())),
                               NOTE_PREFIX + event.error});
            }
        }
        at += static_cast<int>(chunk.size());
    });
}

}  // namespace

bool FindModbusNotes(ModbusDecode mode, const unsigned char* bytes, int n,
                     const std::vector<CRingBuffer::ChunkStart>& starts, const LineSettings& line,
                     int64_t nowNs, std::vector<ModbusNote>& out) {
    out.clear();
    if (mode == ModbusDecode::Tcp) {
        ReadMbap(bytes, n, starts, out);
        return false;
    }
    if (mode != ModbusDecode::Rtu)
        return false;
    const RtuReading requests = ReadRtu(modbus::Direction::Request, bytes, n, starts, line, nowNs);
    const RtuReading answers = ReadRtu(modbus::Direction::Answer, bytes, n, starts, line, nowNs);
    // The two readings cut the bytes alike at every silence and differ only between two places
    // where both end a frame (a request read as an answer has another length). Between each two
    // such places the reading with more good CRCs is shown (requests on a tie): a console on a
    // shared line, which receives both, shows each frame the way it checks.
    size_t r = 0, a = 0;
    while (r < requests.notes.size() || a < answers.notes.size()) {
        const size_t r0 = r, a0 = a;
        int rGood = 0, aGood = 0;
        // Take the frame that ends first (both when they end alike) until both end at one byte.
        for (;;) {
            const int rAt = r < requests.notes.size() ? requests.notes[r].index : INT_MAX;
            const int aAt = a < answers.notes.size() ? answers.notes[a].index : INT_MAX;
            if (rAt == INT_MAX && aAt == INT_MAX)
                break;
            if (rAt <= aAt)
                rGood += requests.good[r++] ? 1 : 0;
            if (aAt <= rAt)
                aGood += answers.good[a++] ? 1 : 0;
            if (rAt == aAt)
                break;
        }
        const bool useAnswers = aGood > rGood;
        const RtuReading& shown = useAnswers ? answers : requests;
        for (size_t k = useAnswers ? a0 : r0; k < (useAnswers ? a : r); ++k)
            out.push_back(shown.notes[k]);
    }
    return requests.pending || answers.pending;
}
