// The traffic log: its line format, the log of a real pass-through through socat (every byte of
// the header and the file on the sending link's -tx lines and the receiving link's -rx lines, in
// time order), and a log that cannot be written.
#include "transfer/TrafficLog.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <map>
#include <sstream>

#include "support/SocatDevice.h"
#include "support/TestUtil.h"
#include "transfer/TerminalEngine.h"

using platform::Stamp;
using platform::TrafficKind;
using testutil::WaitFor;

namespace {

struct UtcZone {
    UtcZone() {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

// 2026-12-07 23:59:59.123456 UTC, in nanoseconds since the epoch.
constexpr int64_t kWall = 1796687999LL * 1000000000 + 123456789;

struct LoggedChunk {
    std::string kind;
    double seconds = 0;
    std::string bytes;
};

// Parses the chunk lines of a log (the date lines and drop notes are checked apart).
std::vector<LoggedChunk> ParseLog(const std::string& text, std::vector<std::string>& other) {
    std::vector<LoggedChunk> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string time, kind;
        LoggedChunk c;
        size_t count = 0;
        if (!(f >> time >> c.seconds >> c.kind >> count) || time.size() != 15) {
            other.push_back(line);
            continue;
        }
        for (size_t i = 0; i < count; ++i) {
            std::string hex;
            f >> hex;
            c.bytes.push_back(static_cast<char>(std::stoi(hex, nullptr, 16)));
        }
        out.push_back(std::move(c));
    }
    return out;
}

}  // namespace

TEST(TrafficLog, LineFormat) {
    UtcZone utc;
    const unsigned char bytes[] = {'H', 'i', 0x00, 0xFF, ' ', '~'};
    const struct {
        TrafficKind kind;
        int64_t sinceNs;
        size_t n;
        const char* line;
    } cases[] = {
        {TrafficKind::SerialRx, 1500000000, 6,
         "23:59:59.123456 1.500000 serial-rx 6 48 69 00 FF 20 7E |Hi.. ~|"},
        {TrafficKind::NetTx, 999, 1, "23:59:59.123456 0.000000 net-tx 1 48 |H|"},
        {TrafficKind::SerialTx, 62123456000, 2, "23:59:59.123456 62.123456 serial-tx 2 48 69 |Hi|"},
        {TrafficKind::NetRx, 0, 4, "23:59:59.123456 0.000000 net-rx 4 48 69 00 FF |Hi..|"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TrafficLogLine(c.kind, Stamp{1000 + c.sinceNs, kWall}, 1000, bytes, c.n), c.line);
    EXPECT_EQ(TrafficLogDateLine(kWall), "date 2026-12-07");
    EXPECT_EQ(TrafficLogDateLine(kWall + 1000000000), "date 2026-12-08");
}

// A File Send each way through socat with the log on.
TEST(TrafficLog, APassThroughLogsEveryByteOnBothLinksInTimeOrder) {
    testutil::TempDir dir;
    const int port = testutil::FreePort();
    SocatDevice device(dir.File("COM1"), SocatDevice::Mode::Listen, port);
    ASSERT_TRUE(device.Ready());
    TerminalEngine engine;
    LineSettings s;
    s.baud = 115200;
    ASSERT_TRUE(engine.serial.Open(dir.File("COM1"), s).ok);
    ASSERT_TRUE(engine.net.Connect("127.0.0.1", static_cast<unsigned>(port)).ok);
    ASSERT_TRUE(WaitFor([&] { return engine.net.IsConnected(); }));
    engine.passThrough.SetStartDelay(50);
    engine.passThrough.SetOutputDirectory(dir.path);
    std::vector<PassOutcome> outcomes;
    QObject::connect(&engine.passThrough, &PassThrough::finished,
                     [&](const PassOutcome& o) { outcomes.push_back(o); });
    bool stopped = false;
    QObject::connect(&engine.trafficLog, &TrafficLog::stopped, [&] { stopped = true; });

    const std::string content = testutil::RandomBytes(20000, 3);
    testutil::WriteFile(dir.File("src.bin"), content);
    unsigned char h[FILE_HEADER_SIZE];
    BuildFileHeader(static_cast<uint32_t>(content.size()), h);
    const std::string sent = std::string(reinterpret_cast<char*>(h), FILE_HEADER_SIZE) + content;

    ASSERT_TRUE(engine.trafficLog.Start(dir.File("traffic.log")).ok);
    for (PassDirection d : {PassDirection::SerialToNet, PassDirection::NetToSerial}) {
        outcomes.clear();
        ASSERT_TRUE(engine.passThrough.Start(d, dir.File("src.bin"), "src.bin").ok);
        ASSERT_TRUE(WaitFor([&] { return !outcomes.empty(); }, 20000));
        ASSERT_TRUE(outcomes[0].Verified()) << outcomes[0].text;
    }
    engine.trafficLog.Stop();
    ASSERT_TRUE(WaitFor([&] { return stopped; }));

    std::vector<std::string> other;
    const std::vector<LoggedChunk> chunks =
        ParseLog(testutil::ReadFile(dir.File("traffic.log")), other);
    ASSERT_FALSE(other.empty());
    EXPECT_EQ(other[0].rfind("date ", 0), 0u);
    EXPECT_EQ(other.size(), 1u) << other.back();  // no drop notes, one day
    std::map<std::string, std::string> byKind;
    double last = 0;
    for (const LoggedChunk& c : chunks) {
        byKind[c.kind] += c.bytes;
        EXPECT_GE(c.seconds, last) << c.kind;
        last = c.seconds;
    }
    // Each file went out once on its sending link and came in once on the other.
    EXPECT_TRUE(byKind["serial-tx"] == sent);
    EXPECT_TRUE(byKind["net-rx"] == sent);
    EXPECT_TRUE(byKind["net-tx"] == sent);
    EXPECT_TRUE(byKind["serial-rx"] == sent);
}

// A log the disk refuses stops with the file named and what was stored; the links go on.
TEST(TrafficLog, ALogThatCannotBeWrittenStopsAndSaysSo) {
    TrafficLog log;
    QString text, detail;
    QObject::connect(&log, &TrafficLog::failed, [&](const QString& t, const QString& d) {
        text = t;
        detail = d;
    });
    ASSERT_TRUE(log.Start("/dev/full").ok);
    const unsigned char b[] = {1, 2, 3};
    log.Traffic(TrafficKind::SerialRx, Stamp::Now(), b, 3);
    ASSERT_TRUE(WaitFor([&] { return !text.isEmpty(); }));
    EXPECT_EQ(text, "Can't write the traffic log");
    EXPECT_TRUE(detail.startsWith("/dev/full: No space left on device.")) << detail.toStdString();
    log.Traffic(TrafficKind::SerialRx, Stamp::Now(), b, 3);  // refused, never blocks
    log.Stop();
    EXPECT_FALSE(log.Active());

    const platform::Result r = log.Start("/nonexistent-folder/traffic.log");
    EXPECT_EQ(r.text, "Can't create the traffic log");
    EXPECT_FALSE(log.Active());
}
