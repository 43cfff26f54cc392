// The serial half of the dialog in the engine's terms: the selection indexes of its six lists
// turned into a port name and line settings, and the status-line texts of the serial console.
#pragma once

#include <string>

#include "serial/LineSettings.h"

// What the six lists choose.
struct SerialSelection {
    std::string portName;  // "COM1" to "COM9"
    LineSettings line;
};

// Maps the current index of each list (port, baud, data, stop, parity, flow) as the list items
// stand: port "COM1".."COM9"; baud 2400 .. 230400; data "5 bit".."8 bit"; stop "1", "2"; parity
// "Even", "Odd", "None"; flow "None", "Xon/Xoff", "Hardware". An index outside a list maps as
// the dialog always did: COM1, 9600 baud, 8 data bits, one stop bit, no parity, no flow control.
SerialSelection SelectionFromLists(int port, int baud, int data, int stop, int parity, int flow);

// " Connected : COM1,57600,8bit,1bit,none,none"
std::string FormatSerialConnected(const SerialSelection& s);
// " Disconnected : COM1"
std::string FormatSerialDisconnected(const std::string& portName);
// " Port lost : COM1 (device hung up)": the port closed itself because its device went away.
std::string FormatSerialLost(const std::string& portName, const std::string& reason);
