#include "serial/SerialSettings.h"

#include <cstdio>

SerialSettings SettingsFromSelection(int port, int baud, int data, int stop, int parity, int flow) {
    static const uint32_t bauds[] = {2400,  4800,  9600,  14400,  19200,
                                     28800, 38400, 57600, 115200, 230400};
    SerialSettings s{};
    s.portName = "COM" + std::to_string(port >= 0 && port <= 8 ? port + 1 : 1);
    s.baud = baud >= 0 && baud <= 9 ? bauds[baud] : 9600;
    s.byteSize = static_cast<uint8_t>(data >= 0 && data <= 3 ? data + 5 : 8);
    s.stopBitsCode = stop == 1 ? 2 : 0;
    s.stopBitsShown = s.stopBitsCode == 2 ? 2 : 1;
    switch (parity) {
        case 0:
            s.parityCode = 2, s.parityWord = "even";
            break;
        case 1:
            s.parityCode = 1, s.parityWord = "odd";
            break;
        default:
            s.parityCode = 0, s.parityWord = "none";
            break;
    }
    switch (flow) {
        case 1:
            s.flowMode = 1, s.flowWord = "software";
            break;
        case 2:
            s.flowMode = 2, s.flowWord = "hardware";
            break;
        default:
            s.flowMode = 0, s.flowWord = "none";
            break;
    }
    return s;
}

std::string FormatSerialConnected(const SerialSettings& s) {
    char buf[128];
    std::snprintf(buf, sizeof buf, " Connected : %s,%d,%dbit,%dbit,%s,%s", s.portName.c_str(),
                  static_cast<int>(s.baud), s.byteSize, s.stopBitsShown, s.parityWord, s.flowWord);
    return buf;
}

std::string FormatSerialDisconnected(const std::string& portName) {
    return " Disconnected : " + portName;
}

std::string FormatSerialLost(const std::string& portName, const std::string& reason) {
    return " Port lost : " + portName + " (" + reason + ")";
}
