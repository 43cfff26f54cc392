// The traffic log: its line format, the log of a real pass-through through socat (every byte of
// the header and the file on the sending link's -tx lines and the receiving link's -rx lines, in
// time order), and a log that cannot be written.
#include "transfer/TrafficLog.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
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
        // Stamped just before the log started.
        {TrafficKind::SerialRx, -1500000, 1, "23:59:59.123456 -0.001500 serial-rx 1 48 |H|"},
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
    platform::Retirer retirer;
    TrafficLog log(retirer);
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

// A log on a disk that has stalled: its file is a FIFO whose reader stops reading, so the writer
// blocks once the pipe is full. Stopping the log and destroying it return while the writer is
// provably still blocked; chunks beyond what the log may hold are counted, not kept; and once
// the disk comes back the writer writes out what was queued, says what was not logged, and ends.
TEST(TrafficLog, AStalledDiskHoldsNeitherStopNorTheLogsEnd) {
    testutil::TempDir dir;
    const std::string fifo = dir.File("traffic.log");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    platform::Retirer retirer;
    auto log = std::make_unique<TrafficLog>(retirer);
    std::atomic<int> told{0};
    QObject::connect(log.get(), &TrafficLog::stopped, [&] { ++told; });
    ASSERT_TRUE(log->Start(fifo).ok);
    // Far more than the pipe and the queue hold: the writer blocks with most of it still queued.
    const std::string chunk(4096, 'x');
    const size_t chunks = 2 * TRAFFIC_LOG_QUEUE_BYTES / chunk.size();
    for (size_t k = 0; k < chunks; ++k)
        log->Traffic(TrafficKind::SerialRx, Stamp::Now(),
                     reinterpret_cast<const unsigned char*>(chunk.data()), chunk.size());
    const uint64_t notLogged = log->BytesNotLogged();
    EXPECT_GT(notLogged, 0u);
    EXPECT_EQ(notLogged % chunk.size(), 0u);
    int queued = 0;
    ASSERT_TRUE(WaitFor([&] { return ioctl(reader, FIONREAD, &queued) == 0 && queued > 0; }));

    log->Stop();
    EXPECT_FALSE(log->Active());
    log.reset();  // the writer is still blocked: the pipe is full and nobody has read it
    EXPECT_EQ(retirer.Pending(), 1u);

    // The disk comes back.
    std::string text;
    char buf[65536];
    for (pollfd p{reader, POLLIN, 0}; ::poll(&p, 1, 10000) > 0;) {
        const ssize_t n = ::read(reader, buf, sizeof buf);
        if (n == 0)
            break;
        if (n > 0)
            text.append(buf, static_cast<size_t>(n));
    }
    ::close(reader);
    EXPECT_TRUE(retirer.WaitIdle(std::chrono::seconds(10)));
    EXPECT_EQ(told.load(), 0);  // the log was gone: nobody to tell
    // Every chunk line is the same chunk's; the date first, the drop note last.
    const std::string line =
        TrafficLogLine(TrafficKind::SerialRx, Stamp::Now(), 0,
                       reinterpret_cast<const unsigned char*>(chunk.data()), chunk.size());
    const std::string tail = line.substr(line.find(" serial-rx "));
    std::istringstream in(text);
    std::vector<std::string> other;
    size_t lines = 0;
    for (std::string l; std::getline(in, l);) {
        if (l.size() > tail.size() && l.compare(l.size() - tail.size(), tail.size(), tail) == 0)
            ++lines;
        else
            other.push_back(l);
    }
    ASSERT_EQ(other.size(), 2u);
    EXPECT_EQ(other[0].rfind("date ", 0), 0u);
    EXPECT_EQ(other[1], "[" + std::to_string(notLogged) + " bytes not logged]");
    EXPECT_EQ(lines * chunk.size() + notLogged, chunks * chunk.size());
}
