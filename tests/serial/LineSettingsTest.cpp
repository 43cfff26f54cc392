// Line settings: what is refused and why, and the forms the user reads.
#include "serial/LineSettings.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

LineSettings Make(uint32_t baud, int dataBits, Parity parity, StopBits stopBits, FlowControl flow) {
    LineSettings s;
    s.baud = baud;
    s.dataBits = dataBits;
    s.parity = parity;
    s.stopBits = stopBits;
    s.flow = flow;
    return s;
}

}  // namespace

TEST(LineSettings, DefaultsAreTheWindowsDefaults) {
    const LineSettings s;
    EXPECT_EQ(s.Readable(), "57600 8N1, no flow control");
    EXPECT_TRUE(s.Validate().ok);
}

TEST(LineSettings, ReadableAndCompactForms) {
    struct Case {
        LineSettings s;
        const char* compact;
        const char* readable;
        int frameBits;
    };
    const Case cases[] = {
        {Make(115200, 8, Parity::None, StopBits::One, FlowControl::None), "115200 8N1",
         "115200 8N1, no flow control", 10},
        {Make(9600, 7, Parity::Even, StopBits::Two, FlowControl::XonXoff), "9600 7E2",
         "9600 7E2, Xon/Xoff flow control", 11},
        {Make(14400, 5, Parity::Odd, StopBits::One, FlowControl::Hardware), "14400 5O1",
         "14400 5O1, hardware flow control", 8},
        {Make(2400, 6, Parity::Mark, StopBits::One, FlowControl::None), "2400 6M1",
         "2400 6M1, no flow control", 9},
        {Make(230400, 8, Parity::Space, StopBits::Two, FlowControl::None), "230400 8S2",
         "230400 8S2, no flow control", 12},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.s.Compact(), c.compact);
        EXPECT_EQ(c.s.Readable(), c.readable);
        EXPECT_EQ(c.s.FrameBits(), c.frameBits) << c.compact;
        EXPECT_TRUE(c.s.Validate().ok) << c.compact;
    }
}

TEST(LineSettings, ValidateSaysWhatIsWrong) {
    struct Case {
        LineSettings s;
        const char* text;  // empty: valid
    };
    const Case cases[] = {
        {Make(1, 5, Parity::None, StopBits::One, FlowControl::None), ""},
        {Make(4000000, 8, Parity::None, StopBits::One, FlowControl::None), ""},
        {Make(0, 8, Parity::None, StopBits::One, FlowControl::None),
         "The baud rate must be at least 1"},
        {Make(9600, 4, Parity::None, StopBits::One, FlowControl::None),
         "4 data bits: a character has 5 to 8"},
        {Make(9600, 9, Parity::None, StopBits::One, FlowControl::None),
         "9 data bits: a character has 5 to 8"},
        {Make(9600, 8, static_cast<Parity>(7), StopBits::One, FlowControl::None),
         "Unknown parity 7"},
        {Make(9600, 8, Parity::None, static_cast<StopBits>(2), FlowControl::None),
         "Unknown stop bits 2"},
        {Make(9600, 8, Parity::None, StopBits::One, static_cast<FlowControl>(3)),
         "Unknown flow control 3"},
    };
    for (const Case& c : cases) {
        const platform::Result r = c.s.Validate();
        EXPECT_EQ(r.ok, std::string(c.text).empty()) << c.text;
        EXPECT_EQ(r.text, c.text);
        EXPECT_EQ(r.error, r.ok ? 0 : EINVAL) << c.text;
    }
}
