// The settings of a serial line in the engine's own terms: the rate as a number, the data bits,
// and parity, stop bits and flow control as named values.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Result.h"
#include "platform/SerialDevice.h"

using platform::FlowControl;
using platform::Parity;
using platform::StopBits;

struct LineSettings {
    uint32_t baud = 57600;  // bits per second
    int dataBits = 8;       // 5 to 8
    Parity parity = Parity::None;
    StopBits stopBits = StopBits::One;
    FlowControl flow = FlowControl::None;

    // Ok, or what is wrong ("The baud rate must be at least 1", "4 data bits: a character has
    // 5 to 8") with EINVAL. Only valid settings reach the device.
    platform::Result Validate() const;

    // "115200 8N1": rate, data bits, parity letter (N, O, E, M, S) and stop bits.
    std::string Compact() const;
    // "115200 8N1, no flow control" ("Xon/Xoff flow control", "hardware flow control").
    std::string Readable() const;

    // Bits on the line per character: start bit, data bits, parity bit if any, stop bits.
    int FrameBits() const;

    bool operator==(const LineSettings&) const = default;
};

// One word each, as the status line and the runner's reports say them (platform/LineWords.h):
// "none", "odd", "even", "mark", "space"; "none", "software" (Xon/Xoff), "hardware". A value
// outside the enum reads "none".
std::string ParityWord(Parity parity);
std::string FlowWord(FlowControl flow);
