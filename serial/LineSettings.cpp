#include "serial/LineSettings.h"

#include <cerrno>

namespace {

bool Known(Parity p) {
    switch (p) {
        case Parity::None:
        case Parity::Odd:
        case Parity::Even:
        case Parity::Mark:
        case Parity::Space:
            return true;
    }
    return false;
}

bool Known(StopBits s) {
    return s == StopBits::One || s == StopBits::Two;
}

bool Known(FlowControl f) {
    return f == FlowControl::None || f == FlowControl::XonXoff || f == FlowControl::Hardware;
}

char ParityLetter(Parity p) {
    switch (p) {
        case Parity::None:
            return 'N';
        case Parity::Odd:
            return 'O';
        case Parity::Even:
            return 'E';
        case Parity::Mark:
            return 'M';
        case Parity::Space:
            return 'S';
    }
    return '?';
}

const char* FlowText(FlowControl f) {
    switch (f) {
        case FlowControl::None:
            return "no flow control";
        case FlowControl::XonXoff:
            return "Xon/Xoff flow control";
        case FlowControl::Hardware:
            return "hardware flow control";
    }
    return "unknown flow control";
}

platform::Result Invalid(const std::string& what) {
    return platform::Result::Fail(what, {}, EINVAL);
}

}  // namespace

platform::Result LineSettings::Validate() const {
    if (baud == 0)
        return Invalid("The baud rate must be at least 1");
    if (dataBits < 5 || dataBits > 8)
        return Invalid(std::to_string(dataBits) + " data bits: a character has 5 to 8");
    if (!Known(parity))
        return Invalid("Unknown parity " + std::to_string(static_cast<int>(parity)));
    if (!Known(stopBits))
        return Invalid("Unknown stop bits " + std::to_string(static_cast<int>(stopBits)));
    if (!Known(flow))
        return Invalid("Unknown flow control " + std::to_string(static_cast<int>(flow)));
    return platform::Result::Ok();
}

std::string LineSettings::Compact() const {
    return std::to_string(baud) + " " + std::to_string(dataBits) + ParityLetter(parity) +
           (stopBits == StopBits::Two ? "2" : "1");
}

std::string LineSettings::Readable() const {
    return Compact() + ", " + FlowText(flow);
}

int LineSettings::FrameBits() const {
    return 1 + dataBits + (parity == Parity::None ? 0 : 1) + (stopBits == StopBits::Two ? 2 : 1);
}

std::string ParityWord(Parity parity) {
    switch (parity) {
        case Parity::Even:
            return "even";
        case Parity::Odd:
            return "odd";
        case Parity::Mark:
            return "mark";
        case Parity::Space:
            return "space";
        case Parity::None:
            break;
    }
    return "none";
}

std::string FlowWord(FlowControl flow) {
    switch (flow) {
        case FlowControl::XonXoff:
            return "software";
        case FlowControl::Hardware:
            return "hardware";
        case FlowControl::None:
            break;
    }
    return "none";
}
