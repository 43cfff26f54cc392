// The parity and flow table's termios column against the device: each value sets the flags its
// row names, on a pty.
#include "platform/LineWords.h"

#include <gtest/gtest.h>

#include "support/TestUtil.h"

using namespace platform;

TEST(LineWords, TheDeviceAppliesEachRowsTermiosFlags) {
    testutil::PtyPair pty;
    CSerialDevice dev;
    ASSERT_TRUE(dev.Open(pty.slavePath));
    ASSERT_TRUE(dev.SetRaw().ok);
    for (const ParityWords& row : kParityWords) {
        ASSERT_TRUE(dev.SetParity(row.parity).ok) << row.word;
        EXPECT_EQ(dev.AppliedModes().cflag & kParityCflags, row.cflag) << row.word;
    }
    for (const FlowWords& row : kFlowWords) {
        ASSERT_TRUE(dev.SetFlowControl(FlowControl::None).ok) << row.word;  // from a clean tty
        ASSERT_TRUE(dev.SetFlowControl(row.flow).ok) << row.word;
        EXPECT_EQ(dev.AppliedModes().iflag & (IXON | IXOFF), row.iflag) << row.word;
        EXPECT_EQ(dev.AppliedModes().cflag & CRTSCTS, row.cflag) << row.word;
    }
}
