// The reconnect test: the network link is closed and made again, cycle after cycle, and after
// each connect a short block must pass both ways at once. Optionally the serial side sends while
// no client is connected, and the next client is watched for those bytes.
#pragma once

#include <QJsonObject>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Traffic.h"

// The block each cycle sends each way, in bytes.
constexpr int kReconnectBlock = 256;
// How long each way's block may take to arrive whole after the connect, in milliseconds.
constexpr int kReconnectPassMs = 2000;
// How long the serial side's bytes sent while away are given to reach the device server before
// the next connect, in milliseconds.
constexpr int kReconnectAwaySettleMs = 300;

// One cycle: connect, a block serial to network, a block network to serial.
struct ReconnectCycle {
    int number = 0;  // 1-based
    bool connected = false;
    double connectSeconds = 0;  // from the connect's start to the link being up
    std::string connectError;   // when !connected: what the connect said, with the reason
    bool serialToNet = false;   // the block arrived whole and unchanged within the limit
    bool netToSerial = false;
    int64_t serialToNetBytes = 0;  // of the block, what arrived (the away bytes not counted)
    int64_t netToSerialBytes = 0;
    // With --while-away: the bytes the serial side sent before this cycle's connect while no
    // client was connected, and how many of them the device server handed to this client.
    int64_t awaySent = 0;
    int64_t awayKept = 0;
    bool Ok() const { return connected && serialToNet && netToSerial; }
};

// "cycle 2/5: connected in 0.21 ms, data passed at once both ways; kept 100 of 100 bytes sent
// while away" (and what failed otherwise).
std::string ReconnectCycleText(const ReconnectCycle& c, int cycles);
QJsonObject ReconnectCycleJson(const ReconnectCycle& c);

// Collects what arrives on each link while a cycle runs; told by the link threads.
class ReconnectProbe : public platform::ITrafficObserver {
public:
    void Traffic(platform::TrafficKind kind, const platform::Stamp& at, const unsigned char* bytes,
                 size_t n) override;
    // Empties both buffers.
    void Clear();
    std::string Serial() const;
    std::string Net() const;

private:
    mutable std::mutex m_lock;
    std::string m_serial, m_net;  // at most a few blocks each: the rest is not kept
};
