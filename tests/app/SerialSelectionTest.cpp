// The serial lists of the dialog in the engine's terms: every index of every list, as the dialog
// has always mapped it, and the status-line texts.
#include "app/SerialSelection.h"

#include <gtest/gtest.h>

#include <string>

// Each list on its own, the others at the dialog's defaults (COM1, 57600, 8 bit, 1, None, None):
// the settings the engine gets and the status line the dialog writes for them.
TEST(SerialSelection, EveryListIndexMapsToItsSettingsAndStatusText) {
    struct Case {
        int port, baud, data, stop, parity, flow;
        const char* portName;
        LineSettings line;
        const char* status;
    };
    auto line = [](uint32_t baud, int data, StopBits stop, Parity parity, FlowControl flow) {
        LineSettings s;
        s.baud = baud;
        s.dataBits = data;
        s.stopBits = stop;
        s.parity = parity;
        s.flow = flow;
        return s;
    };
    const auto one = StopBits::One, two = StopBits::Two;
    const auto none = Parity::None;
    const auto noFlow = FlowControl::None;
    const Case cases[] = {
        // Port: "COM1".."COM9"; any other index is COM1.
        {0, 7, 3, 0, 2, 0, "COM1", line(57600, 8, one, none, noFlow),
         " Connected : COM1,57600,8bit,1bit,none,none"},
        {1, 7, 3, 0, 2, 0, "COM2", line(57600, 8, one, none, noFlow),
         " Connected : COM2,57600,8bit,1bit,none,none"},
        {4, 7, 3, 0, 2, 0, "COM5", line(57600, 8, one, none, noFlow),
         " Connected : COM5,57600,8bit,1bit,none,none"},
        {8, 7, 3, 0, 2, 0, "COM9", line(57600, 8, one, none, noFlow),
         " Connected : COM9,57600,8bit,1bit,none,none"},
        {9, 7, 3, 0, 2, 0, "COM1", line(57600, 8, one, none, noFlow),
         " Connected : COM1,57600,8bit,1bit,none,none"},
        {-1, 7, 3, 0, 2, 0, "COM1", line(57600, 8, one, none, noFlow),
         " Connected : COM1,57600,8bit,1bit,none,none"},
        // Baud: the ten rates of the list; any other index is 9600.
        {0, 0, 3, 0, 2, 0, "COM1", line(2400, 8, one, none, noFlow),
         " Connected : COM1,2400,8bit,1bit,none,none"},
        {0, 1, 3, 0, 2, 0, "COM1", line(4800, 8, one, none, noFlow),
         " Connected : COM1,4800,8bit,1bit,none,none"},
        {0, 2, 3, 0, 2, 0, "COM1", line(9600, 8, one, none, noFlow),
         " Connected : COM1,9600,8bit,1bit,none,none"},
        {0, 3, 3, 0, 2, 0, "COM1", line(14400, 8, one, none, noFlow),
         " Connected : COM1,14400,8bit,1bit,none,none"},
        {0, 4, 3, 0, 2, 0, "COM1", line(19200, 8, one, none, noFlow),
         " Connected : COM1,19200,8bit,1bit,none,none"},
        {0, 5, 3, 0, 2, 0, "COM1", line(28800, 8, one, none, noFlow),
         " Connected : COM1,28800,8bit,1bit,none,none"},
        {0, 6, 3, 0, 2, 0, "COM1", line(38400, 8, one, none, noFlow),
         " Connected : COM1,38400,8bit,1bit,none,none"},
        {0, 8, 3, 0, 2, 0, "COM1", line(115200, 8, one, none, noFlow),
         " Connected : COM1,115200,8bit,1bit,none,none"},
        {0, 9, 3, 0, 2, 0, "COM1", line(230400, 8, one, none, noFlow),
         " Connected : COM1,230400,8bit,1bit,none,none"},
        {0, 10, 3, 0, 2, 0, "COM1", line(9600, 8, one, none, noFlow),
         " Connected : COM1,9600,8bit,1bit,none,none"},
        {0, -1, 3, 0, 2, 0, "COM1", line(9600, 8, one, none, noFlow),
         " Connected : COM1,9600,8bit,1bit,none,none"},
        // Data: "5 bit".."8 bit"; any other index is 8.
        {0, 7, 0, 0, 2, 0, "COM1", line(57600, 5, one, none, noFlow),
         " Connected : COM1,57600,5bit,1bit,none,none"},
        {0, 7, 1, 0, 2, 0, "COM1", line(57600, 6, one, none, noFlow),
         " Connected : COM1,57600,6bit,1bit,none,none"},
        {0, 7, 2, 0, 2, 0, "COM1", line(57600, 7, one, none, noFlow),
         " Connected : COM1,57600,7bit,1bit,none,none"},
        {0, 7, 4, 0, 2, 0, "COM1", line(57600, 8, one, none, noFlow),
         " Connected : COM1,57600,8bit,1bit,none,none"},
        {0, 7, -1, 0, 2, 0, "COM1", line(57600, 8, one, none, noFlow),
         " Connected : COM1,57600,8bit,1bit,none,none"},
        // Stop: "1", "2"; any other index is one stop bit.
        {0, 7, 3, 1, 2, 0, "COM1", line(57600, 8, two, none, noFlow),
         " Connected : COM1,57600,8bit,2bit,none,none"},
        {0, 7, 3, 2, 2, 0, "COM1", line(57600, 8, one, none, noFlow),
         " Connected : COM1,57600,8bit,1bit,none,none"},
        {0, 7, 3, -1, 2, 0, "COM1", line(57600, 8, one, none, noFlow),
         " Connected : COM1,57600,8bit,1bit,none,none"},
        // Parity: "Even", "Odd", "None"; any other index is none.
        {0, 7, 3, 0, 0, 0, "COM1", line(57600, 8, one, Parity::Even, noFlow),
         " Connected : COM1,57600,8bit,1bit,even,none"},
        {0, 7, 3, 0, 1, 0, "COM1", line(57600, 8, one, Parity::Odd, noFlow),
         " Connected : COM1,57600,8bit,1bit,odd,none"},
        {0, 7, 3, 0, 3, 0, "COM1", line(57600, 8, one, none, noFlow),
         " Connected : COM1,57600,8bit,1bit,none,none"},
        {0, 7, 3, 0, -1, 0, "COM1", line(57600, 8, one, none, noFlow),
         " Connected : COM1,57600,8bit,1bit,none,none"},
        // Flow: "None", "Xon/Xoff", "Hardware"; any other index is none.
        {0, 7, 3, 0, 2, 1, "COM1", line(57600, 8, one, none, FlowControl::XonXoff),
         " Connected : COM1,57600,8bit,1bit,none,software"},
        {0, 7, 3, 0, 2, 2, "COM1", line(57600, 8, one, none, FlowControl::Hardware),
         " Connected : COM1,57600,8bit,1bit,none,hardware"},
        {0, 7, 3, 0, 2, 3, "COM1", line(57600, 8, one, none, noFlow),
         " Connected : COM1,57600,8bit,1bit,none,none"},
        {0, 7, 3, 0, 2, -1, "COM1", line(57600, 8, one, none, noFlow),
         " Connected : COM1,57600,8bit,1bit,none,none"},
        // All at once, and the longest text there is (48 characters).
        {1, 2, 3, 1, 0, 1, "COM2", line(9600, 8, two, Parity::Even, FlowControl::XonXoff),
         " Connected : COM2,9600,8bit,2bit,even,software"},
        {8, 9, 3, 1, 2, 2, "COM9", line(230400, 8, two, none, FlowControl::Hardware),
         " Connected : COM9,230400,8bit,2bit,none,hardware"},
    };
    for (const Case& c : cases) {
        const SerialSelection s =
            SelectionFromLists(c.port, c.baud, c.data, c.stop, c.parity, c.flow);
        SCOPED_TRACE(c.status);
        EXPECT_EQ(s.portName, c.portName);
        EXPECT_EQ(s.line, c.line) << s.line.Readable() << " vs " << c.line.Readable();
        EXPECT_TRUE(s.line.Validate().ok);
        EXPECT_EQ(FormatSerialConnected(s), c.status);
    }
}

TEST(SerialSelection, ClosedAndLostTexts) {
    EXPECT_EQ(FormatSerialDisconnected("COM2"), " Disconnected : COM2");
    EXPECT_EQ(FormatSerialLost("COM1", "device hung up"), " Port lost : COM1 (device hung up)");
}
