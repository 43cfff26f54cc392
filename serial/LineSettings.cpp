#include "serial/LineSettings.h"

#include <cerrno>

#include "platform/LineWords.h"

namespace {

bool Known(Parity p) {
    return platform::WordsOf(p) != nullptr;
}

bool Known(StopBits s) {
    return s == StopBits::One || s == StopBits::Two;
}

bool Known(FlowControl f) {
    return platform::WordsOf(f) != nullptr;
}

char ParityLetter(Parity p) {
    const platform::ParityWords* row = platform::WordsOf(p);
    return row ? row->letter : '?';
}

const char* FlowText(FlowControl f) {
    const platform::FlowWords* row = platform::WordsOf(f);
    return row ? row->sentence : "unknown flow control";
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
    const platform::ParityWords* row = platform::WordsOf(parity);
    return row ? row->word : "none";
}

std::string FlowWord(FlowControl flow) {
    const platform::FlowWords* row = platform::WordsOf(flow);
    return row ? row->word : "none";
}
