#include "app/SerialSelection.h"

#include <cstdio>

#include "platform/LineWords.h"

SerialSelection SelectionFromLists(int port, int baud, int data, int stop, int parity, int flow) {
    static const uint32_t bauds[] = {2400,  4800,  9600,  14400,  19200,
                                     28800, 38400, 57600, 115200, 230400};
    SerialSelection s;
    s.portName = "COM" + std::to_string(port >= 0 && port <= 8 ? port + 1 : 1);
    s.line.baud = baud >= 0 && baud <= 9 ? bauds[baud] : 9600;
    s.line.dataBits = data >= 0 && data <= 3 ? data + 5 : 8;
    s.line.stopBits = stop == 1 ? StopBits::Two : StopBits::One;
    const platform::ParityWords* parityRow = platform::AtListIndex(platform::kParityWords, parity);
    s.line.parity = parityRow ? parityRow->parity : Parity::None;
    const platform::FlowWords* flowRow = platform::AtListIndex(platform::kFlowWords, flow);
    s.line.flow = flowRow ? flowRow->flow : FlowControl::None;
    return s;
}

std::string FormatSerialConnected(const SerialSelection& s) {
    char buf[128];
    std::snprintf(buf, sizeof buf, " Connected : %s,%u,%dbit,%dbit,%s,%s", s.portName.c_str(),
                  static_cast<unsigned>(s.line.baud), s.line.dataBits,
                  s.line.stopBits == StopBits::Two ? 2 : 1, ParityWord(s.line.parity).c_str(),
                  FlowWord(s.line.flow).c_str());
    return buf;
}

std::string FormatSerialDisconnected(const std::string& portName) {
    return " Disconnected : " + portName;
}

std::string FormatSerialLost(const std::string& portName, const std::string& reason) {
    return " Port lost : " + portName + " (" + reason + ")";
}
