// The traffic log as a capture file that Wireshark and tshark open (pcapng): one interface per
// link. The serial link's chunks are packets of their own on interface 0 ("serial", link type
// USER0, each marked inbound or outbound); the network link's are TCP segments or UDP datagrams
// on interface 1 ("network", raw IPv4) between the link's real addresses and ports, so that the
// dissectors that go by port (Modbus/TCP, Telnet with Com Port Control) decode them. Stamps are
// kept to the nanosecond (if_tsresol 9), from the chunk's wall-clock stamp.
//
// Pure bytes: the caller writes them out. Little-endian blocks, as the format allows either.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Traffic.h"

namespace pcapng {

// The interfaces, in the order the header declares them.
constexpr uint32_t SERIAL_INTERFACE = 0;
constexpr uint32_t NETWORK_INTERFACE = 1;
constexpr uint32_t NOTES_INTERFACE = 2;  // only once a note is written
// LINKTYPE_USER0: Wireshark shows the bytes, and decodes them as Modbus RTU when its "DLT User"
// table maps User 0 to "mbrtu".
constexpr uint16_t LINKTYPE_SERIAL = 147;
constexpr uint16_t LINKTYPE_RAW_IPV4 = 228;
constexpr uint16_t LINKTYPE_NOTES = 148;  // LINKTYPE_USER1
// The most payload one IPv4 packet carries (65535 less the IPv4 and TCP headers): longer chunks
// become several segments.
constexpr size_t MAX_TCP_PAYLOAD = 65535 - 20 - 20;

// One end of the network link: an IPv4 address and a port, both in host order.
struct Endpoint {
    uint32_t address = 0;
    uint16_t port = 0;
    bool operator==(const Endpoint&) const = default;
};

// The network link as the log knows it when a chunk crosses it: our end, the device's end and
// the protocol. A link not known (no link, or not IPv4) is logged between 0.0.0.0 ports 0.
struct NetLink {
    Endpoint local;
    Endpoint peer;
    bool udp = false;
    bool operator==(const NetLink&) const = default;
};

// Parses a dotted IPv4 address ("127.0.0.1") into host order; 0 when it is not one.
uint32_t ParseIpv4(const std::string& text);

class Writer {
public:
    // The section header (naming `application`) and both interface descriptions: the first
    // bytes of the file.
    static std::string Header(const std::string& application);

    // Appends the blocks for one chunk to `out`: one packet for a serial chunk, one or more for
    // a network chunk (a TCP link's first chunk is preceded by a made-up handshake, so that
    // Wireshark follows the stream from its start; sequence numbers then count every byte each
    // way). A non-empty `comment` goes on the first packet appended (the packet comment that
    // Wireshark shows above the packet's layers).
    void Append(std::string& out, platform::TrafficKind kind, int64_t wallNs,
                const unsigned char* bytes, size_t n, const NetLink& link,
                const std::string& comment = {});
    // Appends `comment` where no chunk's packet follows to carry it (the end of the capture):
    // as an empty packet on an interface of its own, "notes" (link type USER1), declared before
    // its first note. The packet comment is what Wireshark shows; no link's bytes are made up.
    void AppendNote(std::string& out, int64_t wallNs, const std::string& comment);

private:
    // Puts `comment` (when not empty) on the packet and empties it. A packet without a
    // direction (a note) has no flags.
    enum class Direction { Inbound, Outbound, None };
    void AppendPacket(std::string& out, uint32_t interface, Direction direction, int64_t wallNs,
                      const std::string& packet, std::string& comment);
    std::string Ipv4(const Endpoint& from, const Endpoint& to, uint8_t protocol,
                     const std::string& payload);
    std::string Tcp(const Endpoint& from, const Endpoint& to, uint32_t seq, uint32_t ack,
                    uint8_t flags, const unsigned char* bytes, size_t n);
    std::string Udp(const Endpoint& from, const Endpoint& to, const unsigned char* bytes, size_t n);

    NetLink m_link;
    bool m_linkSeen = false;
    bool m_notesDeclared = false;
    uint32_t m_txSeq = 0;  // our next sequence number
    uint32_t m_rxSeq = 0;  // the peer's
    uint16_t m_ipId = 0;
};

}  // namespace pcapng
