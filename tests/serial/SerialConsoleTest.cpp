// The serial console without a window: open and close with their results, received bytes and
// their signal, typed lines on the wire.
#include "serial/SerialConsole.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "support/TestUtil.h"

namespace {

SerialSettings PtySettings(const std::string& path) {
    SerialSettings s = SettingsFromSelection(0, 8, 3, 0, 2, 0);  // 115200 8N1, no flow control
    s.portName = path;
    return s;
}

std::string History(CRingBuffer& ring) {
    unsigned char out[RING_BUFFER_CAPACITY];
    const int n = ring.Snapshot(out);
    return std::string(reinterpret_cast<const char*>(out), static_cast<size_t>(n));
}

}  // namespace

TEST(SerialConsoleEngine, OpenResultsCarryTheTextTheReasonAndErrno) {
    testutil::TempDir dir;
    struct Case {
        std::string path;
        int error;
        const char* reason;
    };
    const Case cases[] = {
        {dir.File("missing"), ENOENT, "No such file or directory"},
        {dir.path, EISDIR, "Is a directory"},
    };
    SerialConsole console;
    for (const Case& c : cases) {
        const platform::Result r = console.Open(PtySettings(c.path));
        EXPECT_FALSE(r.ok) << c.path;
        EXPECT_EQ(r.text, "Can't open PORT");
        EXPECT_NE(r.reason.find(c.reason), std::string::npos) << r.reason;
        EXPECT_EQ(r.error, c.error) << c.path;
        EXPECT_FALSE(console.IsOpen());
    }
    EXPECT_FALSE(console.Send("x").ok);  // closed: nothing is written
}

TEST(SerialConsoleEngine, ReceivesAnnouncesSendsAndClears) {
    testutil::PtyPair pty;
    SerialConsole console;
    int announced = 0;
    QObject::connect(&console, &SerialConsole::received, [&] { ++announced; });
    ASSERT_TRUE(console.Open(PtySettings(pty.slavePath)).ok);
    EXPECT_TRUE(console.IsOpen());
    pty.Write("hello");
    ASSERT_TRUE(testutil::WaitFor([&] { return History(console.Ring()) == "hello"; }));
    EXPECT_TRUE(testutil::WaitFor([&] { return announced >= 1; }));

    // Escapes decoded, nothing trimmed.
    EXPECT_TRUE(console.Send("AT\\x0D\\x0a ").ok);
    EXPECT_EQ(pty.Read(5), "AT\r\n ");

    console.Clear();
    EXPECT_EQ(console.Ring().GetCount(), 0);
    int closing = 0;
    QObject::connect(&console, &SerialConsole::aboutToClose, [&] { ++closing; });
    console.Close();
    EXPECT_EQ(closing, 1);
    EXPECT_FALSE(console.IsOpen());
    console.Close();  // closing a closed console announces nothing
    EXPECT_EQ(closing, 1);
}
