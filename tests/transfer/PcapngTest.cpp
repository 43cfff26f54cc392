// The capture file read back by tshark, Wireshark's own reader: what it decodes is what a user
// opening the log will see.
#include <gtest/gtest.h>

#include "support/TestUtil.h"
#include "transfer/Pcapng.h"

namespace {

using platform::TrafficKind;

const unsigned char* U(const char* s) {
    return reinterpret_cast<const unsigned char*>(s);
}

std::string Tshark(const std::string& file, const std::string& args) {
    int code = -1;
    const std::string out =
        testutil::RunCommand("tshark -r " + file + " " + args + " 2>/dev/null", &code);
    EXPECT_EQ(code, 0) << "tshark could not read " << file;
    return out;
}

TEST(Pcapng, TsharkReadsBothLinksWithTheirStampsAddressesAndModbusFrames) {
    testutil::TempDir dir;
    const std::string file = dir.File("log.pcapng");
    pcapng::Writer writer;
    std::string out = pcapng::Writer::Header("Vaskel test");
    pcapng::NetLink tcp{
        {pcapng::ParseIpv4("127.0.0.1"), 40000}, {pcapng::ParseIpv4("127.0.0.2"), 502}, false};
    const int64_t t0 = 1796036645123456789;  // 2026-12-01, to the nanosecond
    // A Modbus/TCP request (read holding registers 0x006B, 3) and its answer, then a serial
    // chunk each way and a datagram on a UDP link.
    writer.Append(out, TrafficKind::NetTx, t0,
                  U("\x00\x07\x00\x00\x00\x06\x01\x03\x00\x6b\x00\x03"), 12, tcp);
    writer.Append(out, TrafficKind::SerialRx, t0 + 1000, U("\x01\x03\x00\x6b\x00\x03\x74\x17"), 8,
                  tcp);
    writer.Append(out, TrafficKind::SerialTx, t0 + 2000,
                  U("\x01\x03\x06\x02\x2b\x00\x00\x00\x64\x05\x7a"), 11, tcp);
    writer.Append(out, TrafficKind::NetRx, t0 + 3000,
                  U("\x00\x07\x00\x00\x00\x09\x01\x03\x06\x02\x2b\x00\x00\x00\x64"), 15, tcp);
    pcapng::NetLink udp{
        {pcapng::ParseIpv4("127.0.0.1"), 7411}, {pcapng::ParseIpv4("127.0.0.1"), 7412}, true};
    writer.Append(out, TrafficKind::NetTx, t0 + 4000, U("ping"), 4, udp);
    testutil::WriteFile(file, out);

    const std::string rows =
        Tshark(file,
               "-o tcp.check_checksum:TRUE -o udp.check_checksum:TRUE -T fields -E separator=, "
               "-e frame.interface_id -e frame.time_epoch -e ip.src -e tcp.srcport -e udp.srcport "
               "-e tcp.len -e mbtcp.trans_id -e modbus.func_code -e tcp.checksum.status "
               "-e udp.checksum.status -e data");
    // The handshake (3 packets), request, two serial chunks, answer, datagram.
    const std::string expected =
        "1,1796036645.123456789,127.0.0.1,40000,,0,,,1,,\n"
        "1,1796036645.123456789,127.0.0.2,502,,0,,,1,,\n"
        "1,1796036645.123456789,127.0.0.1,40000,,0,,,1,,\n"
        "1,1796036645.123456789,127.0.0.1,40000,,12,7,3,1,,\n"
        "0,1796036645.123457789,,,,,,,,,0103006b00037417\n"
        "0,1796036645.123458789,,,,,,,,,010306022b00000064057a\n"
        "1,1796036645.123459789,127.0.0.2,502,,15,7,3,1,,\n"
        "1,1796036645.123460789,127.0.0.1,,7411,,,,,1,70696e67\n";
    EXPECT_EQ(rows, expected);
    // Directions: the serial chunks are marked received and sent.
    EXPECT_EQ(Tshark(file, "-Y frame.interface_id==0 -T fields -e frame.packet_flags_direction"),
              "0x00000001\n0x00000002\n");
    // The streams' sequence numbers count every byte each way: no gaps, no retransmissions.
    EXPECT_EQ(Tshark(file, "-Y tcp.analysis.flags -T fields -e frame.number"), "");
}

TEST(Pcapng, Ipv4TextsParseOrGiveZero) {
    const std::pair<const char*, uint32_t> cases[] = {
        {"127.0.0.1", 0x7F000001},
        {"0.0.0.0", 0},
        {"255.255.255.255", 0xFFFFFFFF},
        {"256.0.0.1", 0},
        {"1.2.3", 0},
        {"1.2.3.4.5", 0},
        {"1..2.3", 0},
        {"localhost", 0},
        {"01.2.3.4", 0x01020304},
    };
    for (const auto& [text, address] : cases)
        EXPECT_EQ(pcapng::ParseIpv4(text), address) << text;
}

}  // namespace
