// The capture file read back by tshark, Wireshark's own reader: what it decodes is what a user
// opening the log will see.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <sstream>
#include <thread>

#include "support/TestUtil.h"
#include "transfer/Pcapng.h"
#include "transfer/TrafficLog.h"
#include "transfer/TrafficLogFormat.h"

namespace {

using platform::TrafficKind;

const unsigned char* U(const char* s) {
    return reinterpret_cast<const unsigned char*>(s);
}

std::string FromHex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::vector<std::string> Rows(const std::string& text) {
    std::vector<std::string> rows;
    std::istringstream in(text);
    for (std::string row; std::getline(in, row);)
        rows.push_back(row);
    return rows;
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

// A running log with a capture file name: a thread per link feeds chunks while the network
// link is told once the first chunk has crossed it; what tshark reads back holds every chunk on
// its interface, each direction's bytes in order, the early chunk between 0.0.0.0 ports 0.
TEST(Pcapng, ATrafficLogNamedPcapngWritesBothLinksFromTwoThreads) {
    testutil::TempDir dir;
    const std::string file = dir.File("traffic.PcapNG");  // the extension in any case
    platform::Retirer retirer;
    TrafficLog log(retirer);
    std::atomic<bool> stopped{false};
    QObject::connect(&log, &TrafficLog::stopped, [&] { stopped = true; });
    ASSERT_TRUE(log.Start(file).ok);
    log.Traffic(TrafficKind::NetTx, platform::Stamp::Now(), U("early"), 5);
    const pcapng::NetLink link{
        {pcapng::ParseIpv4("127.0.0.1"), 40001}, {pcapng::ParseIpv4("127.0.0.3"), 7001}, false};
    log.SetNetLink(link);

    constexpr int CHUNKS = 200;
    std::map<TrafficKind, std::string> fed;
    const auto feed = [&log](TrafficKind a, TrafficKind b, std::string* toA, std::string* toB) {
        for (int k = 0; k < CHUNKS; ++k) {
            const std::string bytes =
                testutil::RandomBytes(static_cast<size_t>(1 + k % 37), static_cast<unsigned>(k));
            const TrafficKind kind = k % 3 == 0 ? b : a;
            *(kind == a ? toA : toB) += bytes;
            log.Traffic(kind, platform::Stamp::Now(), U(bytes.c_str()), bytes.size());
        }
    };
    std::string serialRx, serialTx, netRx, netTx;
    std::thread serial(feed, TrafficKind::SerialRx, TrafficKind::SerialTx, &serialRx, &serialTx);
    std::thread net(feed, TrafficKind::NetTx, TrafficKind::NetRx, &netTx, &netRx);
    serial.join();
    net.join();
    log.Stop();
    ASSERT_TRUE(testutil::WaitFor([&] { return stopped.load(); }));

    const std::vector<std::string> rows =
        Rows(Tshark(file,
                    "-T fields -E separator=, -e frame.interface_name "
                    "-e frame.packet_flags_direction -e ip.src -e tcp.srcport -e ip.dst "
                    "-e tcp.dstport -e tcp.payload -e data -e tcp.analysis.flags"));
    // The early chunk's handshake and segment, then the link's handshake and every chunk.
    ASSERT_EQ(rows.size(), 3u + 1u + 3u + 2u * CHUNKS);
    std::map<std::string, std::string> bytes;  // by interface and direction
    std::map<std::string, int> ends;           // addresses and ports, by direction
    for (size_t i = 0; i < rows.size(); ++i) {
        std::vector<std::string> f;
        std::istringstream in(rows[i]);
        for (std::string field; std::getline(in, field, ',');)
            f.push_back(field);
        f.resize(9);
        const std::string key = f[0] + (f[1] == "0x00000001" ? " in" : " out");
        bytes[key] += FromHex(f[0] == "serial" ? f[7] : f[6]);
        if (f[0] == "network")
            ++ends[key + " " + f[2] + ":" + f[3] + " > " + f[4] + ":" + f[5]];
        // The made-up link between two 0.0.0.0 ends is one stream whichever way: only the real
        // link's stream is free of analysis flags (no gaps, no retransmissions).
        if (f[2] != "0.0.0.0") {
            EXPECT_EQ(f[8], "") << "row " << i << ": " << rows[i];
        }
    }
    EXPECT_EQ(bytes["serial in"], serialRx);
    EXPECT_EQ(bytes["serial out"], serialTx);
    EXPECT_EQ(bytes["network in"], netRx);
    EXPECT_EQ(bytes["network out"], "early" + netTx);
    const int netRxChunks = (CHUNKS + 2) / 3;  // every third
    const std::map<std::string, int> expectedEnds = {
        {"network out 0.0.0.0:0 > 0.0.0.0:0", 3},  // SYN, ACK, "early"
        {"network in 0.0.0.0:0 > 0.0.0.0:0", 1},   // SYN-ACK
        {"network out 127.0.0.1:40001 > 127.0.0.3:7001", 2 + CHUNKS - netRxChunks},
        {"network in 127.0.0.3:7001 > 127.0.0.1:40001", 1 + netRxChunks},
    };
    EXPECT_EQ(ends, expectedEnds);
}

// Bytes the log had no room for show as packet comments: on the next packet, and at the end
// (where no packet follows) on an empty packet of a notes interface; the name decides the
// format.
TEST(Pcapng, BytesNotLoggedAreCommentsAndTheNameChoosesTheFormat) {
    testutil::TempDir dir;
    const std::string file = dir.File("gaps.pcapng");
    const auto format = trafficlog::MakeFormat(file);
    trafficlog::TextBuffer out;
    const platform::Stamp start = platform::Stamp::Now();
    format->Begin(out, start);
    const pcapng::NetLink udp{
        {pcapng::ParseIpv4("127.0.0.1"), 7411}, {pcapng::ParseIpv4("127.0.0.2"), 7412}, true};
    format->Add(out, {TrafficKind::SerialRx, start, U("ab"), 2, {}}, 0);
    format->Add(out, {TrafficKind::NetRx, start, U("cd"), 2, udp}, 1234);
    format->Add(out, {TrafficKind::SerialTx, start, U("ef"), 2, {}}, 1);
    format->NotLoggedAtEnd(out, 56, start);
    testutil::WriteFile(file, std::string(out.Data(), out.Size()));
    EXPECT_EQ(Tshark(file, "-T fields -E separator=, -e frame.interface_name -e frame.comment"),
              "serial,\n"
              "network,1234 bytes not logged here\n"
              "serial,1 byte not logged here\n"
              "notes,56 bytes not logged here (at the end of the log, on either link)\n");

    const std::pair<const char*, bool> names[] = {
        {"a.pcapng", true}, {"/tmp/x/A.PCAPNG", true}, {".pcapng", true}, {"a.pcapng.log", false},
        {"a.log", false},   {"pcapng", false},         {"a.pcap", false}, {"", false},
    };
    for (const auto& [name, capture] : names)
        EXPECT_EQ(trafficlog::IsCaptureFileName(name), capture) << name;
}

}  // namespace
