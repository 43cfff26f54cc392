#include "transfer/Pcapng.h"

#include <algorithm>

namespace pcapng {

namespace {

constexpr uint32_t BLOCK_SECTION_HEADER = 0x0A0D0D0A;
constexpr uint32_t BLOCK_INTERFACE = 1;
constexpr uint32_t BLOCK_ENHANCED_PACKET = 6;
constexpr uint32_t BYTE_ORDER_MAGIC = 0x1A2B3C4D;
constexpr uint16_t OPT_END = 0;
constexpr uint16_t OPT_COMMENT = 1;
constexpr uint16_t OPT_SHB_USERAPPL = 4;
constexpr uint16_t OPT_IF_NAME = 2;
constexpr uint16_t OPT_IF_TSRESOL = 9;
constexpr uint16_t OPT_EPB_FLAGS = 2;
constexpr uint32_t EPB_INBOUND = 1;
constexpr uint32_t EPB_OUTBOUND = 2;
constexpr uint32_t SNAPLEN = 262144;
constexpr uint8_t PROTO_TCP = 6;
constexpr uint8_t PROTO_UDP = 17;
constexpr uint8_t TCP_SYN = 0x02;
constexpr uint8_t TCP_PSH = 0x08;
constexpr uint8_t TCP_ACK = 0x10;
// The handshake's made-up initial sequence numbers: the data then starts at 1 each way, the
// numbers Wireshark shows as relative ones anyway.
constexpr uint32_t INITIAL_SEQ = 0;

void Le16(std::string& out, uint16_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>(v >> 8));
}
void Le32(std::string& out, uint32_t v) {
    Le16(out, static_cast<uint16_t>(v & 0xFFFF));
    Le16(out, static_cast<uint16_t>(v >> 16));
}
void Be16(std::string& out, uint16_t v) {
    out.push_back(static_cast<char>(v >> 8));
    out.push_back(static_cast<char>(v & 0xFF));
}
void Be32(std::string& out, uint32_t v) {
    Be16(out, static_cast<uint16_t>(v >> 16));
    Be16(out, static_cast<uint16_t>(v & 0xFFFF));
}
void Pad4(std::string& out) {
    while (out.size() % 4)
        out.push_back('\0');
}
void Option(std::string& out, uint16_t code, const std::string& value) {
    Le16(out, code);
    Le16(out, static_cast<uint16_t>(value.size()));
    out += value;
    Pad4(out);
}

// A block: type, total length, body (already a multiple of 4 bytes), total length again.
std::string Block(uint32_t type, const std::string& body) {
    std::string out;
    const auto total = static_cast<uint32_t>(12 + body.size());
    Le32(out, type);
    Le32(out, total);
    out += body;
    Le32(out, total);
    return out;
}

// The Internet checksum (RFC 1071) of `data`, continuing from `sum`.
uint32_t SumWords(const std::string& data, uint32_t sum = 0) {
    for (size_t i = 0; i + 1 < data.size(); i += 2)
        sum += static_cast<uint8_t>(data[i]) << 8 | static_cast<uint8_t>(data[i + 1]);
    if (data.size() % 2)
        sum += static_cast<uint8_t>(data.back()) << 8;
    return sum;
}
uint16_t Fold(uint32_t sum) {
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum & 0xFFFF);
}

// The transport checksum: over the IPv4 pseudo header and the segment.
uint16_t TransportChecksum(const Endpoint& from, const Endpoint& to, uint8_t protocol,
                           const std::string& segment) {
    std::string pseudo;
    Be32(pseudo, from.address);
    Be32(pseudo, to.address);
    pseudo.push_back('\0');
    pseudo.push_back(static_cast<char>(protocol));
    Be16(pseudo, static_cast<uint16_t>(segment.size()));
    return Fold(SumWords(segment, SumWords(pseudo)));
}

// A block's time stamp: nanoseconds since the epoch (if_tsresol 9), none before it.
uint64_t Timestamp(int64_t wallNs) {
    return static_cast<uint64_t>(std::max<int64_t>(wallNs, 0));
}

// An interface description: its link type and name, time stamps in nanoseconds.
std::string InterfaceBlock(uint16_t linktype, const char* name) {
    std::string idb;
    Le16(idb, linktype);
    Le16(idb, 0);
    Le32(idb, SNAPLEN);
    Option(idb, OPT_IF_NAME, name);
    Option(idb, OPT_IF_TSRESOL, std::string(1, '\x09'));  // nanoseconds
    Option(idb, OPT_END, {});
    return Block(BLOCK_INTERFACE, idb);
}

void PutBe16(std::string& s, size_t at, uint16_t v) {
    s[at] = static_cast<char>(v >> 8);
    s[at + 1] = static_cast<char>(v & 0xFF);
}

}  // namespace

uint32_t ParseIpv4(const std::string& text) {
    uint32_t address = 0;
    int parts = 0;
    size_t at = 0;
    while (parts < 4) {
        size_t end = at;
        unsigned value = 0;
        while (end < text.size() && end - at < 4 && text[end] >= '0' && text[end] <= '9')
            value = value * 10 + static_cast<unsigned>(text[end++] - '0');
        if (end == at || end - at > 3 || value > 255)
            return 0;
        address = address << 8 | value;
        ++parts;
        if (parts < 4) {
            if (end >= text.size() || text[end] != '.')
                return 0;
            at = end + 1;
        } else if (end != text.size()) {
            return 0;
        }
    }
    return address;
}

std::string Writer::Header(const std::string& application) {
    std::string shb;
    Le32(shb, BYTE_ORDER_MAGIC);
    Le16(shb, 1);  // version 1.0
    Le16(shb, 0);
    Le32(shb, 0xFFFFFFFF);  // section length: not given
    Le32(shb, 0xFFFFFFFF);
    Option(shb, OPT_SHB_USERAPPL, application);
    Option(shb, OPT_END, {});

    std::string out = Block(BLOCK_SECTION_HEADER, shb);
    out += InterfaceBlock(LINKTYPE_SERIAL, "serial");
    out += InterfaceBlock(LINKTYPE_RAW_IPV4, "network");
    return out;
}

void Writer::AppendPacket(std::string& out, uint32_t interface, Direction direction, int64_t wallNs,
                          const std::string& packet, std::string& comment) {
    const uint64_t ts = Timestamp(wallNs);
    std::string epb;
    Le32(epb, interface);
    Le32(epb, static_cast<uint32_t>(ts >> 32));
    Le32(epb, static_cast<uint32_t>(ts & 0xFFFFFFFF));
    Le32(epb, static_cast<uint32_t>(packet.size()));
    Le32(epb, static_cast<uint32_t>(packet.size()));
    epb += packet;
    Pad4(epb);
    if (!comment.empty()) {
        Option(epb, OPT_COMMENT, comment);
        comment.clear();
    }
    if (direction != Direction::None) {
        std::string flags;
        Le32(flags, direction == Direction::Inbound ? EPB_INBOUND : EPB_OUTBOUND);
        Option(epb, OPT_EPB_FLAGS, flags);
    }
    Option(epb, OPT_END, {});
    out += Block(BLOCK_ENHANCED_PACKET, epb);
}

void Writer::AppendNote(std::string& out, int64_t wallNs, const std::string& comment) {
    if (!m_notesDeclared) {
        m_notesDeclared = true;
        out += InterfaceBlock(LINKTYPE_NOTES, "notes");
    }
    std::string note = comment;
    AppendPacket(out, NOTES_INTERFACE, Direction::None, wallNs, {}, note);
}

std::string Writer::Ipv4(const Endpoint& from, const Endpoint& to, uint8_t protocol,
                         const std::string& payload) {
    std::string ip;
    ip.push_back('\x45');  // version 4, 20-byte header
    ip.push_back('\0');
    Be16(ip, static_cast<uint16_t>(20 + payload.size()));
    Be16(ip, m_ipId++);
    Be16(ip, 0x4000);      // don't fragment
    ip.push_back('\x40');  // TTL 64
    ip.push_back(static_cast<char>(protocol));
    Be16(ip, 0);  // checksum, below
    Be32(ip, from.address);
    Be32(ip, to.address);
    PutBe16(ip, 10, Fold(SumWords(ip)));
    return ip + payload;
}

std::string Writer::Tcp(const Endpoint& from, const Endpoint& to, uint32_t seq, uint32_t ack,
                        uint8_t flags, const unsigned char* bytes, size_t n) {
    std::string tcp;
    Be16(tcp, from.port);
    Be16(tcp, to.port);
    Be32(tcp, seq);
    Be32(tcp, ack);
    tcp.push_back('\x50');  // 20-byte header
    tcp.push_back(static_cast<char>(flags));
    Be16(tcp, 0xFFFF);  // window
    Be16(tcp, 0);       // checksum, below
    Be16(tcp, 0);       // urgent pointer
    tcp.append(reinterpret_cast<const char*>(bytes), n);
    PutBe16(tcp, 16, TransportChecksum(from, to, PROTO_TCP, tcp));
    return Ipv4(from, to, PROTO_TCP, tcp);
}

std::string Writer::Udp(const Endpoint& from, const Endpoint& to, const unsigned char* bytes,
                        size_t n) {
    std::string udp;
    Be16(udp, from.port);
    Be16(udp, to.port);
    Be16(udp, static_cast<uint16_t>(8 + n));
    Be16(udp, 0);
    udp.append(reinterpret_cast<const char*>(bytes), n);
    uint16_t sum = TransportChecksum(from, to, PROTO_UDP, udp);
    PutBe16(udp, 6, sum == 0 ? 0xFFFF : sum);  // 0 means "no checksum" in UDP
    return Ipv4(from, to, PROTO_UDP, udp);
}

void Writer::Append(std::string& out, platform::TrafficKind kind, int64_t wallNs,
                    const unsigned char* bytes, size_t n, const NetLink& link,
                    const std::string& comment) {
    using platform::TrafficKind;
    std::string note = comment;  // emptied by the first packet
    const bool inbound = kind == TrafficKind::SerialRx || kind == TrafficKind::NetRx;
    const Direction way = inbound ? Direction::Inbound : Direction::Outbound;
    if (kind == TrafficKind::SerialRx || kind == TrafficKind::SerialTx) {
        AppendPacket(out, SERIAL_INTERFACE, way, wallNs,
                     std::string(reinterpret_cast<const char*>(bytes), n), note);
        return;
    }
    const Endpoint& from = inbound ? link.peer : link.local;
    const Endpoint& to = inbound ? link.local : link.peer;
    if (link.udp) {
        // One chunk is one datagram; a datagram never exceeds what one IPv4 packet holds.
        const size_t most = 65535 - 20 - 8;
        for (size_t at = 0; at < n || (n == 0 && at == 0); at += most)
            AppendPacket(out, NETWORK_INTERFACE, way, wallNs,
                         Udp(from, to, bytes + at, std::min(most, n - at)), note);
        return;
    }
    if (!m_linkSeen || !(link == m_link)) {
        // A new TCP link: its handshake, made up at the first chunk's time.
        m_link = link;
        m_linkSeen = true;
        m_txSeq = INITIAL_SEQ;
        m_rxSeq = INITIAL_SEQ;
        AppendPacket(out, NETWORK_INTERFACE, Direction::Outbound, wallNs,
                     Tcp(link.local, link.peer, m_txSeq++, 0, TCP_SYN, nullptr, 0), note);
        AppendPacket(out, NETWORK_INTERFACE, Direction::Inbound, wallNs,
                     Tcp(link.peer, link.local, m_rxSeq++, m_txSeq, TCP_SYN | TCP_ACK, nullptr, 0),
                     note);
        AppendPacket(out, NETWORK_INTERFACE, Direction::Outbound, wallNs,
                     Tcp(link.local, link.peer, m_txSeq, m_rxSeq, TCP_ACK, nullptr, 0), note);
    }
    uint32_t& seq = inbound ? m_rxSeq : m_txSeq;
    const uint32_t ack = inbound ? m_txSeq : m_rxSeq;
    for (size_t at = 0; at < n; at += MAX_TCP_PAYLOAD) {
        const size_t part = std::min(MAX_TCP_PAYLOAD, n - at);
        AppendPacket(out, NETWORK_INTERFACE, way, wallNs,
                     Tcp(from, to, seq, ack, TCP_PSH | TCP_ACK, bytes + at, part), note);
        seq += static_cast<uint32_t>(part);
    }
}

}  // namespace pcapng
