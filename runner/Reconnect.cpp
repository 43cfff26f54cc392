#include "runner/Reconnect.h"

#include <cstdio>

namespace {
// More than any cycle needs (its block plus what came while away is judged by length only
// beyond this).
constexpr size_t kKeepBytes = 1 << 20;
}  // namespace

std::string ReconnectCycleText(const ReconnectCycle& c, int cycles) {
    std::string text = "cycle " + std::to_string(c.number) + "/" + std::to_string(cycles) + ": ";
    if (!c.connected)
        return text + "not connected: " + c.connectError;
    // A connect on a LAN takes well under a millisecond: milliseconds, to two places.
    char ms[32];
    std::snprintf(ms, sizeof ms, "%.2f", c.connectSeconds * 1000);
    text += "connected in " + std::string(ms) + " ms, ";
    if (c.serialToNet && c.netToSerial)
        text += "data passed at once both ways";
    else
        text += std::string("data did not pass at once: ") +
                (c.serialToNet ? ""
                               : "serial-to-net " + std::to_string(c.serialToNetBytes) + " of " +
                                     std::to_string(kReconnectBlock) + " bytes") +
                (!c.serialToNet && !c.netToSerial ? ", " : "") +
                (c.netToSerial ? ""
                               : "net-to-serial " + std::to_string(c.netToSerialBytes) + " of " +
                                     std::to_string(kReconnectBlock) + " bytes") +
                " within " + std::to_string(kReconnectPassMs / 1000) + " s";
    if (c.awaySent > 0)
        text += c.awayKept == 0
                    ? "; the " + std::to_string(c.awaySent) + " bytes sent while away were dropped"
                    : "; kept " + std::to_string(c.awayKept) + " of " + std::to_string(c.awaySent) +
                          " bytes sent while away";
    return text;
}

QJsonObject ReconnectCycleJson(const ReconnectCycle& c) {
    return QJsonObject{
        {"cycle", c.number},
        {"connected", c.connected},
        {"connect_seconds", c.connected ? QJsonValue(c.connectSeconds) : QJsonValue()},
        {"connect_error",
         c.connected ? QJsonValue() : QJsonValue(QString::fromStdString(c.connectError))},
        {"serial_to_net", c.serialToNet},
        {"net_to_serial", c.netToSerial},
        {"serial_to_net_bytes", static_cast<qint64>(c.serialToNetBytes)},
        {"net_to_serial_bytes", static_cast<qint64>(c.netToSerialBytes)},
        {"away_sent", static_cast<qint64>(c.awaySent)},
        {"away_kept", static_cast<qint64>(c.awayKept)},
        {"ok", c.Ok()},
    };
}

void ReconnectProbe::Traffic(platform::TrafficKind kind, const platform::Stamp&,
                             const unsigned char* bytes, size_t n) {
    if (kind != platform::TrafficKind::SerialRx && kind != platform::TrafficKind::NetRx)
        return;
    std::lock_guard lock(m_lock);
    std::string& into = kind == platform::TrafficKind::SerialRx ? m_serial : m_net;
    into.append(reinterpret_cast<const char*>(bytes),
                std::min(n, kKeepBytes - std::min(kKeepBytes, into.size())));
}

void ReconnectProbe::Clear() {
    std::lock_guard lock(m_lock);
    m_serial.clear();
    m_net.clear();
}

std::string ReconnectProbe::Serial() const {
    std::lock_guard lock(m_lock);
    return m_serial;
}

std::string ReconnectProbe::Net() const {
    std::lock_guard lock(m_lock);
    return m_net;
}
