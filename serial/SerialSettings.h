// The serial console's selection tables: list indexes to port settings and status words.
#pragma once

#include <cstdint>
#include <string>

struct SerialSettings {
    std::string portName;
    uint32_t baud;
    uint8_t byteSize;
    uint8_t stopBitsCode;  // 0 = one stop bit, 2 = two
    uint8_t parityCode;    // 0 none, 1 odd, 2 even
    uint8_t flowMode;      // 0 none, 1 Xon/Xoff, 2 hardware
    int stopBitsShown;     // 1 or 2
    const char* parityWord;
    const char* flowWord;
};

// The number of entries of each selection list, in the order of SettingsFromSelection's
// arguments after the port: baud rates, data bits, stop bits, parity, flow control.
constexpr int BAUD_CHOICES = 10;
constexpr int DATA_BITS_CHOICES = 4;
constexpr int STOP_BITS_CHOICES = 2;
constexpr int PARITY_CHOICES = 3;
constexpr int FLOW_CHOICES = 3;

SerialSettings SettingsFromSelection(int port, int baud, int data, int stop, int parity, int flow);

// " Connected : COM1,57600,8bit,1bit,none,none"
std::string FormatSerialConnected(const SerialSettings& s);
// " Disconnected : COM1"
std::string FormatSerialDisconnected(const std::string& portName);
// " Port lost : COM1 (device hung up)": the port closed itself because its device went away.
std::string FormatSerialLost(const std::string& portName, const std::string& reason);
