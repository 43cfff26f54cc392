// The latency measurement fed by hand: frames written on one link, the bytes read on the other
// in any cut, with stamps the test chooses.
#include <gtest/gtest.h>

#include "runner/Latency.h"

namespace {

using platform::TrafficKind;

constexpr int S = 8;
constexpr uint32_t KEY = 3;

std::string Frame(uint32_t seq, uint32_t key = KEY) {
    std::string f(S, '\0');
    MakeLatencyFrame(key, seq, reinterpret_cast<unsigned char*>(f.data()), S);
    return f;
}

void Feed(LatencyMeter& m, TrafficKind kind, int64_t ms, const std::string& bytes) {
    m.Traffic(kind, {ms * 1000000, 0}, reinterpret_cast<const unsigned char*>(bytes.data()),
              bytes.size());
}

}  // namespace

TEST(LatencyMeter, FindsEveryFrameInWhateverTheDeviceDelivers) {
    struct Case {
        const char* name;
        std::string received;  // what the other link reads, at 100 ms (cut below)
        size_t readSize;       // bytes per read (each 1 ms later); 0: one read
        int received_, lost, duplicated, reordered, corrupted;
    } cases[] = {
        {"whole", Frame(0) + Frame(1) + Frame(2) + Frame(3), 0, 4, 0, 0, 0, 0},
        {"a byte a read", Frame(0) + Frame(1) + Frame(2) + Frame(3), 1, 4, 0, 0, 0, 0},
        {"cut across frames", Frame(0) + Frame(1) + Frame(2) + Frame(3), 5, 4, 0, 0, 0, 0},
        {"frame 1 missing", Frame(0) + Frame(2) + Frame(3), 0, 3, 1, 0, 0, 0},
        {"frame 2 twice", Frame(0) + Frame(1) + Frame(2) + Frame(2) + Frame(3), 3, 4, 0, 1, 0, 0},
        {"1 and 2 swapped", Frame(0) + Frame(2) + Frame(1) + Frame(3), 0, 4, 0, 0, 1, 0},
        {"frame 1 cut short", Frame(0) + Frame(1).substr(0, 5) + Frame(2) + Frame(3), 0, 3, 0, 0, 0,
         1},
        {"frame 3 cut short at the end", Frame(0) + Frame(1) + Frame(2) + Frame(3).substr(0, 6), 0,
         3, 0, 0, 0, 1},
        {"a check byte of frame 2 changed",
         Frame(0) + Frame(1) + Frame(2).replace(6, 1, "x") + Frame(3), 0, 3, 0, 0, 0, 1},
        {"garbage between frames", Frame(0) + Frame(1) + "\xA5zz" + Frame(2) + Frame(3), 2, 4, 0, 0,
         0, 1},
        {"a straggler of the run before",
         Frame(9, KEY - 1) + Frame(0) + Frame(1) + Frame(2) + Frame(3), 0, 4, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LatencyMeter m;
        m.Arm(PassDirection::SerialToNet, KEY, S, 4);
        for (uint32_t seq = 0; seq < 4; ++seq)  // frame K written at K ms
            Feed(m, TrafficKind::SerialTx, seq, Frame(seq));
        Feed(m, TrafficKind::NetTx, 0, "not this run's direction");
        const size_t step = c.readSize ? c.readSize : c.received.size();
        int64_t at = 100;
        for (size_t i = 0; i < c.received.size(); i += step)
            Feed(m, TrafficKind::NetRx, at++, c.received.substr(i, step));
        const LatencyFigures f = m.Disarm(4);
        EXPECT_EQ(f.received, c.received_);
        EXPECT_EQ(f.lost, c.lost);
        EXPECT_EQ(f.duplicated, c.duplicated);
        EXPECT_EQ(f.reordered, c.reordered);
        EXPECT_EQ(f.corrupted, c.corrupted);
        EXPECT_EQ(f.bytesRead, static_cast<int64_t>(c.received.size()));
        ASSERT_EQ(f.latenciesMs.size(), static_cast<size_t>(c.received_));
        EXPECT_EQ(f.reads, (c.received.size() + step - 1) / step);
    }
}

// Each frame's time runs from the write that carried its last byte to the read that brought its
// last byte, whatever the cut on either side.
TEST(LatencyMeter, TimesRunFromTheLastByteWrittenToTheLastByteRead) {
    LatencyMeter m;
    m.Arm(PassDirection::NetToSerial, KEY, S, 2);
    const std::string two = Frame(0) + Frame(1);
    Feed(m, TrafficKind::NetTx, 10, two.substr(0, 3));
    Feed(m, TrafficKind::NetTx, 20, two.substr(3, 10));  // frame 0 complete at 20 ms
    Feed(m, TrafficKind::NetTx, 30, two.substr(13));     // frame 1 at 30 ms
    Feed(m, TrafficKind::SerialRx, 25, two.substr(0, 7));
    Feed(m, TrafficKind::SerialRx, 27, two.substr(7, 2));  // frame 0's last byte at 27 ms
    Feed(m, TrafficKind::SerialRx, 45, two.substr(9));     // frame 1's at 45 ms
    const LatencyFigures f = m.Disarm(2);
    ASSERT_EQ(f.latenciesMs.size(), 2u);
    EXPECT_DOUBLE_EQ(f.latenciesMs[0], 7.0);
    EXPECT_DOUBLE_EQ(f.latenciesMs[1], 15.0);
    EXPECT_DOUBLE_EQ(f.latency.max, 15.0);
    EXPECT_EQ(f.readSizes, (std::map<size_t, uint64_t>{{2, 1}, {7, 2}}));
    EXPECT_DOUBLE_EQ(f.gap.max, 18.0);
    EXPECT_EQ(LatencyExitCode(f), 0);
    EXPECT_EQ(LatencyMessage(f),
              "Latency : p50 7.00 ms, p99 15.00 ms, max 15.00 ms, 2 of 2 frames");
}
