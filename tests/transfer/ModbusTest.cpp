// Modbus PDUs against the protocol documents' examples, the protocol's limits, the lengths that
// end serial frames, the RTU framer's silences and lengths, MBAP reassembly in any chunking and
// the window's one-line texts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transfer/Modbus.h"
#include "transfer/ModbusFraming.h"

namespace {

using modbus::Bytes;
using modbus::Direction;
using Kind = modbus::Expected::Kind;
using End = modbus::RtuPiece::End;
constexpr Direction REQ = Direction::Request;
constexpr Direction ANS = Direction::Answer;

// "01 03 00 6B" to bytes.
Bytes H(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 3)
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A PDU written field by field, for what the builders refuse to build.
Bytes Raw(std::initializer_list<int> bytes, size_t zeros = 0) {
    Bytes out;
    for (int b : bytes)
        out.push_back(static_cast<uint8_t>(b));
    out.resize(out.size() + zeros, 0);
    return out;
}

TEST(Modbus, ProtocolExamplesBuildParseAndDescribe) {
    const std::vector<uint16_t> twoRegs = {0x000A, 0x0102};
    const std::vector<uint16_t> threeFF = {0x00FF, 0x00FF, 0x00FF};
    const std::vector<bool> tenCoils = {1, 0, 1, 1, 0, 0, 1, 1, 1, 0};
    // 0xCD 0x6B 0x05: coils 20..38 of the read coils example, lowest bit first.
    std::vector<bool> nineteen;
    for (uint8_t byte : {0xCD, 0x6B, 0x05})
        for (int bit = 0; bit < 8 && nineteen.size() < 19; ++bit)
            nineteen.push_back((byte >> bit) & 1);
    struct Row {
        Direction dir;
        Bytes built;
        const char* wire;
        const char* text;
    } rows[] = {
        {REQ, modbus::ReadRequest(1, 0x13, 19), "01 00 13 00 13", "read coils 0x0013 count 19"},
        {ANS, *modbus::ReadBitsAnswer(1, nineteen), "01 03 CD 6B 05",
         "answer: coils 10110011 11010110 10100000"},
        {REQ, modbus::ReadRequest(2, 0xC4, 22), "02 00 C4 00 16",
         "read discrete inputs 0x00C4 count 22"},
        {REQ, modbus::ReadRequest(3, 0x6B, 3), "03 00 6B 00 03",
         "read holding registers 0x006B count 3"},
        {ANS, *modbus::ReadRegistersAnswer(3, std::vector<uint16_t>{0x022B, 0, 0x64}),
         "03 06 02 2B 00 00 00 64", "answer: 3 registers 0x022B 0x0000 0x0064"},
        {REQ, modbus::ReadRequest(4, 8, 1), "04 00 08 00 01",
         "read input registers 0x0008 count 1"},
        {ANS, *modbus::ReadRegistersAnswer(4, std::vector<uint16_t>{10}), "04 02 00 0A",
         "answer: 1 register 0x000A"},
        {REQ, modbus::WriteSingleCoilRequest(0xAC, true), "05 00 AC FF 00",
         "write single coil 0x00AC on"},
        {ANS, modbus::WriteSingleCoilAnswer(0xAC, false), "05 00 AC 00 00",
         "answer: write single coil 0x00AC off"},
        {REQ, modbus::WriteSingleRegisterRequest(1, 3), "06 00 01 00 03",
         "write single register 0x0001 value 0x0003"},
        {ANS, modbus::WriteSingleRegisterAnswer(1, 3), "06 00 01 00 03",
         "answer: write single register 0x0001 value 0x0003"},
        {REQ, *modbus::WriteMultipleCoilsRequest(0x13, tenCoils), "0F 00 13 00 0A 02 CD 01",
         "write multiple coils 0x0013 count 10 bits 10110011 10"},
        {ANS, modbus::WriteMultipleAnswer(15, 0x13, 10), "0F 00 13 00 0A",
         "answer: write multiple coils 0x0013 count 10"},
        {REQ, *modbus::WriteMultipleRegistersRequest(1, twoRegs), "10 00 01 00 02 04 00 0A 01 02",
         "write multiple registers 0x0001 values 0x000A 0x0102"},
        {ANS, modbus::WriteMultipleAnswer(16, 1, 2), "10 00 01 00 02",
         "answer: write multiple registers 0x0001 count 2"},
        {REQ, *modbus::ReadWriteMultipleRegistersRequest(3, 6, 0x0E, threeFF),
         "17 00 03 00 06 00 0E 00 03 06 00 FF 00 FF 00 FF",
         "read/write multiple registers read 0x0003 count 6 write 0x000E values 0x00FF 0x00FF "
         "0x00FF"},
        {ANS, modbus::ExceptionAnswer(1, 2), "81 02",
         "exception 0x02 Illegal Data Address for read coils"},
        {ANS, modbus::ExceptionAnswer(3, 0x0B), "83 0B",
         "exception 0x0B Gateway Target Device Failed to Respond for read holding registers"},
        {ANS, modbus::ExceptionAnswer(0x41, 7), "C1 07",
         "exception 0x07 (unknown code) for function 0x41"},
    };
    for (const Row& row : rows) {
        const Bytes wire = H(row.wire);
        EXPECT_EQ(row.built, wire) << row.wire;
        const modbus::Expected e = modbus::ExpectedLength(wire, row.dir);
        EXPECT_EQ(e.kind, Kind::Known) << row.wire;
        EXPECT_EQ(e.length, wire.size()) << row.wire;
        if (row.dir == REQ)
            EXPECT_EQ(modbus::ParseRequest(wire).error, "") << row.wire;
        else
            EXPECT_EQ(modbus::ParseAnswer(wire).error, "") << row.wire;
        EXPECT_EQ(modbus::Describe(wire, row.dir), row.text) << row.wire;
    }
    // The parsed fields of the multi-field requests.
    const auto rw = modbus::ParseRequest(H(rows[15].wire));
    ASSERT_TRUE(rw.value);
    EXPECT_EQ(rw.value->address, 3);
    EXPECT_EQ(rw.value->count, 6);
    EXPECT_EQ(rw.value->writeAddress, 0x0E);
    EXPECT_EQ(rw.value->values, threeFF);
    const auto coils = modbus::ParseRequest(H(rows[11].wire));
    ASSERT_TRUE(coils.value);
    EXPECT_EQ(coils.value->bits, tenCoils);
    // The serial frame of the read holding registers example, and the unit 17 one.
    EXPECT_EQ(modbus::RtuFrame::Encode(1, H(rows[3].wire)), H("01 03 00 6B 00 03 74 17"));
    EXPECT_EQ(modbus::RtuFrame::Encode(17, H(rows[3].wire)), H("11 03 00 6B 00 03 76 87"));
    EXPECT_EQ(modbus::MbapFrame::Encode(7, 1, H(rows[3].wire)),
              H("00 07 00 00 00 06 01 03 00 6B 00 03"));
}

TEST(Modbus, LimitsAndMalformedPdusRejected) {
    struct Row {
        Direction dir;
        Bytes pdu;
        std::string error;  // empty: accepted
    } rows[] = {
        {REQ, modbus::ReadRequest(3, 0, 125), ""},
        {REQ, modbus::ReadRequest(3, 0, 126),
         "read holding registers request: count 126 is outside 1..125"},
        {REQ, modbus::ReadRequest(4, 0, 0),
         "read input registers request: count 0 is outside 1..125"},
        {REQ, modbus::ReadRequest(1, 0, 2000), ""},
        {REQ, modbus::ReadRequest(2, 0, 2001),
         "read discrete inputs request: count 2001 is outside 1..2000"},
        {REQ, modbus::ReadRequest(3, 0xFFFF, 1), ""},
        {REQ, modbus::ReadRequest(3, 0xFFFF, 2),
         "read holding registers request: 2 items from 0xFFFF run past address 0xFFFF"},
        {REQ, *modbus::WriteMultipleRegistersRequest(0, std::vector<uint16_t>(123)), ""},
        {REQ, Raw({16, 0, 0, 0, 124, 248}, 248),
         "write multiple registers request: count 124 is outside 1..123"},
        {REQ, Raw({16, 0, 0, 0, 0, 0}),
         "write multiple registers request: count 0 is outside 1..123"},
        {REQ, H("10 00 01 00 02 03 00 0A 01"),
         "write multiple registers request: byte count 3 does not match count 2 (expected 4)"},
        {REQ, H("10 00 01 00 02 04 00 0A 01"),
         "write multiple registers request: 9 bytes, expected 10"},
        {REQ, *modbus::WriteMultipleCoilsRequest(0, std::vector<bool>(1968)), ""},
        {REQ, *modbus::WriteMultipleCoilsRequest(0, std::vector<bool>(1969)),
         "write multiple coils request: count 1969 is outside 1..1968"},
        {REQ, H("0F 00 13 00 0A 01 CD"),
         "write multiple coils request: byte count 1 does not match count 10 (expected 2)"},
        {REQ, H("05 00 AC 12 34"),
         "write single coil request: value 0x1234 is neither 0xFF00 (on) nor 0x0000 (off)"},
        {REQ, H("06 00 01 00"), "write single register request: 4 bytes, expected 5"},
        {REQ, *modbus::ReadWriteMultipleRegistersRequest(0, 125, 0, std::vector<uint16_t>(121)),
         ""},
        {REQ, *modbus::ReadWriteMultipleRegistersRequest(0, 126, 0, std::vector<uint16_t>(1)),
         "read/write multiple registers request: read count 126 is outside 1..125"},
        {REQ, Raw({23, 0, 0, 0, 1, 0, 0, 0, 122, 244}, 244),
         "read/write multiple registers request: write count 122 is outside 1..121"},
        {REQ, H("17 00 00 00 01 00 00 00 01 04 00 01 00 02"),
         "read/write multiple registers request: byte count 4 does not match write count 1 "
         "(expected 2)"},
        {REQ, H("0F 00 13"), "write multiple coils request: 3 bytes, too short"},
        {REQ, H("41 00"), "unknown function 0x41"},
        {REQ, {}, "empty PDU"},
        {ANS, *modbus::ReadRegistersAnswer(3, std::vector<uint16_t>(125)), ""},
        {ANS, Raw({3, 252}, 252),
         "read holding registers answer: byte count 252 is not an even number within 2..250"},
        {ANS, H("03 05 00 01 00 02 00"),
         "read holding registers answer: byte count 5 is not an even number within 2..250"},
        {ANS, H("03 04 00 01"), "read holding registers answer: 4 bytes, expected 6"},
        {ANS, H("01 00"), "read coils answer: byte count 0 is outside 1..250"},
        {ANS, H("10 00 01 00 00"), "write multiple registers answer: count 0 is outside 1..123"},
        {ANS, H("83"), "exception answer for read holding registers: 1 byte, expected 2"},
        {ANS, H("83 00"), "exception answer for read holding registers: exception code 0"},
        {ANS, H("2B 0E"), "unknown function 0x2B"},
    };
    for (const Row& row : rows) {
        const std::string error = row.dir == REQ ? modbus::ParseRequest(row.pdu).error
                                                 : modbus::ParseAnswer(row.pdu).error;
        EXPECT_EQ(error, row.error) << modbus::Hex(row.pdu);
        if (!row.error.empty() && row.error.rfind("unknown", 0) && !row.pdu.empty()) {
            EXPECT_EQ(modbus::Describe(row.pdu, row.dir), "invalid " + row.error);
        }
    }
    // What does not fit one PDU is not built.
    EXPECT_FALSE(modbus::WriteMultipleRegistersRequest(0, std::vector<uint16_t>(124)));
    EXPECT_FALSE(modbus::WriteMultipleCoilsRequest(0, std::vector<bool>(1977)));
    EXPECT_FALSE(modbus::ReadBitsAnswer(1, std::vector<bool>(2009)));
    EXPECT_FALSE(modbus::ReadWriteMultipleRegistersRequest(0, 1, 0, std::vector<uint16_t>(122)));
}

TEST(Modbus, ExpectedLengthFromTheFirstBytes) {
    struct Row {
        Direction dir;
        const char* head;
        Kind kind;
        size_t length;
    } rows[] = {
        {REQ, "", Kind::NeedMore, 1},
        {REQ, "03", Kind::Known, 5},
        {REQ, "06 00", Kind::Known, 5},
        {REQ, "10 00 01 00 02", Kind::NeedMore, 6},
        {REQ, "10 00 01 00 02 04", Kind::Known, 10},
        {REQ, "0F 00 01 00 0A 02", Kind::Known, 8},
        {REQ, "17 00 03 00 06 00 0E 00 03", Kind::NeedMore, 10},
        {REQ, "17 00 03 00 06 00 0E 00 03 06", Kind::Known, 16},
        {REQ, "83", Kind::UnknownFunction, 0},
        {REQ, "2B 0E", Kind::UnknownFunction, 0},
        {ANS, "03", Kind::NeedMore, 2},
        {ANS, "03 06", Kind::Known, 8},
        {ANS, "01 FF", Kind::Known, 257},
        {ANS, "17 0C", Kind::Known, 14},
        {ANS, "05", Kind::Known, 5},
        {ANS, "10", Kind::Known, 5},
        {ANS, "83", Kind::Known, 2},
        {ANS, "AB", Kind::Known, 2},
        {ANS, "2B", Kind::UnknownFunction, 0},
    };
    for (const Row& row : rows) {
        const modbus::Expected e = modbus::ExpectedLength(H(row.head), row.dir);
        EXPECT_EQ(e.kind, row.kind) << row.head;
        EXPECT_EQ(e.length, row.length) << row.head;
    }
}

struct Step {
    Bytes chunk;  // empty: a Flush
    int64_t ns;
};
struct Piece {
    Bytes bytes;
    End end;
    bool crcGood;
    bool gapOver;
};

TEST(Modbus, RtuFramerEndsFramesBySilenceAndByLength) {
    // 9600 baud, 11 bits: a character is 1 145 833 ns, 1.5 of them 1 718 750 ns, 3.5 of them
    // 4 010 416 ns. Above 19200 baud: 750 us and 1.75 ms.
    constexpr int64_t C = 1'145'833;
    const modbus::LineRate slow{9600, 11};
    const modbus::LineRate fast{115200, 11};
    constexpr int64_t CF = 95'486;                 // 115200 baud, 11 bits
    const Bytes a = H("01 03 00 6B 00 03 74 17");  // read holding registers request
    const Bytes ans = modbus::RtuFrame::Encode(1, H("03 06 02 2B 00 00 00 64"));  // its answer
    const Bytes exc = modbus::RtuFrame::Encode(1, H("83 02"));
    const Bytes odd = modbus::RtuFrame::Encode(1, H("41 01 02"));  // a function not known here
    const Bytes noise(300, 0x41);
    auto cut = [](const Bytes& b, size_t from, size_t n) {
        return Bytes(b.begin() + from, b.begin() + from + n);
    };
    struct Case {
        const char* name;
        modbus::LineRate rate;
        Direction dir;
        std::vector<Step> steps;
        std::vector<Piece> pieces;
    } cases[] = {
        {"two frames in one chunk part by length",
         slow,
         REQ,
         {{Cat(a, a), 0}},
         {{a, End::Length, true, false}, {a, End::Length, true, false}}},
        {"an answer's length comes from its byte count",
         slow,
         ANS,
         {{Cat(ans, cut(exc, 0, 3)), 0}, {cut(exc, 3, 2), 2 * C + C / 2}},
         {{ans, End::Length, true, false}, {exc, End::Length, true, false}}},
        {"a gap of 2 characters is flagged, not a frame end",
         slow,
         REQ,
         {{cut(a, 0, 3), 10'000'000}, {cut(a, 3, 5), 10'000'000 + 7 * C}},
         {{a, End::Length, true, true}}},
        {"a gap of 1.5 characters is not flagged",
         slow,
         REQ,
         {{cut(a, 0, 3), 0}, {cut(a, 3, 5), 5 * C + 1'718'750}},
         {{a, End::Length, true, false}}},
        {"a big chunk read late is no silence",
         slow,
         REQ,
         {{cut(a, 0, 1), 0}, {cut(a, 1, 7), 7 * C + C}},
         {{a, End::Length, true, false}}},
        {"unknown function: 3.5 characters end it at the next chunk",
         slow,
         REQ,
         {{odd, 0}, {odd, 6 * C + 4'010'417}},
         {{odd, End::Silence, true, false}}},
        {"unknown function: 3.4 characters join, Flush ends it once 3.5 have passed",
         slow,
         REQ,
         {{cut(odd, 0, 2), 0},
          {cut(odd, 2, 4), 4 * C + 3'895'832},
          {{}, 4 * C + 3'895'832 + 4'010'415},
          {{}, 4 * C + 3'895'832 + 4'010'416}},
         {{odd, End::Silence, true, true}}},
        {"a truncated frame ends by silence with a bad CRC",
         slow,
         REQ,
         {{cut(a, 0, 4), 0}, {a, 20'000'000}},
         {{cut(a, 0, 4), End::Silence, false, false}, {a, End::Length, true, false}}},
        {"a lone byte is too short for a frame",
         slow,
         REQ,
         {{H("FF"), 0}, {{}, 5'000'000}},
         {{H("FF"), End::Silence, false, false}}},
        {"115200: 1 ms joins (flagged), 1.75 ms parts",
         fast,
         REQ,
         {{cut(odd, 0, 3), 0},
          {cut(odd, 3, 3), 3 * CF + 1'000'000},
          {odd, 3 * CF + 1'000'000 + 6 * CF + 1'750'000}},
         {{odd, End::Silence, true, true}}},
        {"115200: 1.74 ms joins (3.5 characters would be 0.33 ms)",
         fast,
         REQ,
         {{cut(odd, 0, 3), 0}, {cut(odd, 3, 3), 3 * CF + 1'740'000}, {{}, 1'000'000'000}},
         {{odd, End::Silence, true, true}}},
        {"no end within 256 bytes: cut, the rest starts anew",
         slow,
         REQ,
         {{noise, 0}, {{}, 1'000'000'000}},
         {{cut(noise, 0, 256), End::Cut, false, false},
          {cut(noise, 256, 44), End::Silence, false, false}}},
    };
    for (const Case& c : cases) {
        modbus::RtuFramer framer(c.rate, c.dir);
        std::vector<modbus::RtuPiece> got;
        Bytes fed;
        for (const Step& s : c.steps) {
            auto out = s.chunk.empty() ? framer.Flush(s.ns) : framer.Feed(s.chunk, s.ns);
            got.insert(got.end(), out.begin(), out.end());
            fed = Cat(fed, s.chunk);
            EXPECT_LE(framer.Pending(), modbus::MAX_RTU_FRAME) << c.name;
        }
        Bytes pieces;
        for (const auto& p : got)
            pieces = Cat(pieces, p.bytes);
        EXPECT_EQ(Cat(pieces, Bytes(fed.end() - framer.Pending(), fed.end())), fed) << c.name;
        ASSERT_EQ(got.size(), c.pieces.size()) << c.name;
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].bytes, c.pieces[i].bytes) << c.name << " #" << i;
            EXPECT_EQ(got[i].end, c.pieces[i].end) << c.name << " #" << i;
            EXPECT_EQ(got[i].CrcGood(), c.pieces[i].crcGood) << c.name << " #" << i;
            EXPECT_EQ(got[i].gapOver, c.pieces[i].gapOver) << c.name << " #" << i;
        }
    }
}

TEST(Modbus, MbapReassemblyInAnyChunkingAndRecovery) {
    const Bytes f1 = modbus::MbapFrame::Encode(1, 1, modbus::ReadRequest(3, 0, 10));
    const Bytes f2 = modbus::MbapFrame::Encode(
        2, 17, *modbus::ReadRegistersAnswer(3, std::vector<uint16_t>(125, 0xBEEF)));
    const Bytes f3 = modbus::MbapFrame::Encode(0xFFFF, 255, modbus::ExceptionAnswer(3, 0x0B));
    const Bytes all = Cat(Cat(f1, f2), f3);
    for (size_t chunk : {size_t{1}, size_t{2}, size_t{7}, size_t{100}, all.size()}) {
        modbus::MbapReassembler r;
        std::vector<modbus::MbapFrame> frames;
        for (size_t i = 0; i < all.size(); i += chunk) {
            const size_t n = std::min(chunk, all.size() - i);
            for (auto& e : r.Feed(std::span(all).subspan(i, n))) {
                EXPECT_EQ(e.error, "") << chunk;
                ASSERT_TRUE(e.frame) << chunk;
                frames.push_back(*e.frame);
            }
            EXPECT_LE(r.Buffered(), modbus::MBAP_HEADER + modbus::MAX_PDU);
        }
        ASSERT_EQ(frames.size(), 3u) << chunk;
        EXPECT_EQ(frames[0].transaction, 1);
        EXPECT_EQ(frames[1].unit, 17);
        EXPECT_EQ(frames[1].length, 253);
        EXPECT_EQ(frames[2].transaction, 0xFFFF);
        EXPECT_EQ(frames[2].pdu, H("83 0B"));
        EXPECT_EQ(r.Buffered(), 0u);
    }

    // A malformed header drops what is buffered and the rest of its read, once; the next read
    // starts a frame again.
    struct Row {
        const char* header;
        const char* error;
    } rows[] = {
        {"00 07 00 05 00 06",
         "MBAP header 00 07 00 05 00 06 has protocol 5, not 0 (Modbus); dropped 18 bytes up to "
         "the end of this read (is the peer speaking Modbus TCP?)"},
        {"00 07 00 00 00 00",
         "MBAP header 00 07 00 00 00 00 has length 0, outside 2..254; dropped 18 bytes up to the "
         "end of this read (is the peer speaking Modbus TCP?)"},
        {"00 07 00 00 00 01", nullptr},
        {"00 07 00 00 00 FF", nullptr},
        {"00 07 00 00 01 2C", nullptr},
    };
    for (const Row& row : rows) {
        modbus::MbapReassembler r;
        EXPECT_TRUE(r.Feed(H("00 07 00")).empty());
        const auto bad = r.Feed(Cat(H(std::string(row.header).substr(9)), f1));
        ASSERT_EQ(bad.size(), 1u) << row.header;
        EXPECT_FALSE(bad[0].frame) << row.header;
        EXPECT_EQ(bad[0].dropped, 6 + f1.size()) << row.header;
        if (row.error)
            EXPECT_EQ(bad[0].error, row.error);
        else
            EXPECT_NE(bad[0].error.find("has length"), std::string::npos) << bad[0].error;
        EXPECT_EQ(r.Buffered(), 0u);
        const auto good = r.Feed(f3);
        ASSERT_EQ(good.size(), 1u) << row.header;
        ASSERT_TRUE(good[0].frame) << row.header;
        EXPECT_EQ(good[0].frame->pdu, H("83 0B"));
    }
}

TEST(Modbus, WindowLines) {
    auto rtu = [](const Bytes& bytes) {
        modbus::RtuPiece piece;
        piece.bytes = bytes;
        piece.frame = modbus::RtuFrame::Decode(bytes);
        piece.characterNs = modbus::LineRate{9600, 11}.CharacterNs();
        return piece;
    };
    std::vector<uint16_t> counting(125);
    for (size_t i = 0; i < counting.size(); ++i)
        counting[i] = static_cast<uint16_t>(i + 1);

    modbus::RtuPiece gappy = rtu(H("01 03 00 6B 00 03 74 17"));
    gappy.gapOver = true;
    gappy.longestGapNs = 2'291'666;
    modbus::RtuPiece cut = rtu(Bytes(256, 0x41));
    cut.end = End::Cut;
    struct Row {
        modbus::RtuPiece piece;
        Direction dir;
        std::string text;
    } rows[] = {
        {rtu(modbus::RtuFrame::Encode(1, modbus::ReadRequest(3, 0, 10))), REQ,
         "unit 1 read holding registers 0x0000 count 10 (CRC good)"},
        {rtu(modbus::RtuFrame::Encode(
             1, *modbus::ReadRegistersAnswer(3, std::span(counting).first(10)))),
         ANS,
         "unit 1 answer: 10 registers 0x0001 0x0002 0x0003 0x0004 0x0005 0x0006 0x0007 0x0008 "
         "0x0009 0x000A (CRC good)"},
        {rtu(modbus::RtuFrame::Encode(1, *modbus::ReadRegistersAnswer(3, counting))), ANS,
         "unit 1 answer: 125 registers 0x0001 0x0002 0x0003 0x0004 0x0005 0x0006 0x0007 0x0008 "
         "0x0009 0x000A … 115 more (CRC good)"},
        {rtu(H("11 83 0B 34 12")), ANS,
         "unit 17 exception 0x0B Gateway Target Device Failed to Respond for read holding "
         "registers (CRC bad: 0x1234, expected 0x3201)"},
        {gappy, REQ,
         "unit 1 read holding registers 0x006B count 3 (CRC good, gap inside: 2.0 characters, "
         "2.29 ms)"},
        {cut, REQ,
         "unit 65 unknown function 0x41, 252 data bytes (CRC bad: 0x4141, expected 0x03C9, cut at "
         "256 bytes)"},
        {rtu(H("01 03 00")), REQ, "3 bytes, too short for a frame: 01 03 00"},
        {rtu(modbus::RtuFrame::Encode(1, modbus::ReadRequest(3, 0, 200))), REQ,
         "unit 1 invalid read holding registers request: count 200 is outside 1..125 (CRC good)"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(modbus::Describe(row.piece, row.dir), row.text);

    modbus::MbapFrame tcp;
    tcp.transaction = 7;
    tcp.unit = 1;
    tcp.pdu = *modbus::WriteMultipleRegistersRequest(0x10, std::vector<uint16_t>{1, 2, 3});
    EXPECT_EQ(modbus::Describe(tcp, REQ),
              "tid 7 unit 1 write multiple registers 0x0010 values 0x0001 0x0002 0x0003");
    std::vector<bool> many(1968, true);
    tcp.pdu = *modbus::WriteMultipleCoilsRequest(0, many);
    EXPECT_EQ(modbus::Describe(tcp, REQ),
              "tid 7 unit 1 write multiple coils 0x0000 count 1968 bits 11111111 11111111 11111111 "
              "11111111 11111111 11111111 11111111 11111111 11111111 11111111 … 1888 more");
}

}  // namespace
