// The latency measurement fed by hand: frames written on one link, the bytes read on the other
// in any cut, with stamps the test chooses; the verdict's words; the runner's own floor.
#include <gtest/gtest.h>

#include <functional>
#include <regex>

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

// Every planned frame ends as exactly one of received, corrupted or lost, whatever the device
// delivers: bytes of no frame are stray bytes, never frames, so lost + corrupted + duplicated
// can never exceed the frames sent.
TEST(LatencyMeter, FindsEveryFrameInWhateverTheDeviceDelivers) {
    const std::string banner(2000, 'b');
    const std::string all = Frame(0) + Frame(1) + Frame(2) + Frame(3);
    struct Case {
        const char* name;
        std::string received;  // what the other link reads, at 100 ms (cut below)
        size_t readSize;       // bytes per read (each 1 ms later); 0: one read
        int received_, lost, duplicated, reordered, corrupted;
        int64_t stray;
    } cases[] = {
        {"whole", all, 0, 4, 0, 0, 0, 0, 0},
        {"a byte a read", all, 1, 4, 0, 0, 0, 0, 0},
        {"cut across frames", all, 5, 4, 0, 0, 0, 0, 0},
        {"nothing", "", 0, 0, 4, 0, 0, 0, 0},
        {"frame 1 missing", Frame(0) + Frame(2) + Frame(3), 0, 3, 1, 0, 0, 0, 0},
        {"frame 2 twice", Frame(0) + Frame(1) + Frame(2) + Frame(2) + Frame(3), 3, 4, 0, 1, 0, 0,
         0},
        {"frame 2 four times",
         Frame(0) + Frame(1) + Frame(2) + Frame(2) + Frame(2) + Frame(2) + Frame(3), 0, 4, 0, 1, 0,
         0, 0},
        {"every frame twice",
         Frame(0) + Frame(0) + Frame(1) + Frame(1) + Frame(2) + Frame(2) + Frame(3) + Frame(3), 7,
         4, 0, 4, 0, 0, 0},
        {"1 and 2 swapped", Frame(0) + Frame(2) + Frame(1) + Frame(3), 0, 4, 0, 0, 1, 0, 0},
        {"frame 1 cut short", Frame(0) + Frame(1).substr(0, 5) + Frame(2) + Frame(3), 0, 3, 0, 0, 0,
         1, 0},
        {"frame 3 cut short at the end", Frame(0) + Frame(1) + Frame(2) + Frame(3).substr(0, 6), 0,
         3, 0, 0, 0, 1, 0},
        {"a check byte of frame 2 changed",
         Frame(0) + Frame(1) + Frame(2).replace(6, 1, "x") + Frame(3), 0, 3, 0, 0, 0, 1, 0},
        {"garbage between frames", Frame(0) + Frame(1) + "\xA5zz" + Frame(2) + Frame(3), 2, 4, 0, 0,
         0, 0, 3},
        {"garbage where frame 1 was due, longer than a frame",
         Frame(0) + std::string(20, 'g') + Frame(2) + Frame(3), 0, 3, 0, 0, 0, 1, 12},
        {"a banner before the frames", banner + all, 64, 4, 0, 0, 0, 0, 2000},
        {"a banner where frame 0 was due", banner + Frame(1) + Frame(2) + Frame(3), 0, 3, 0, 0, 0,
         1, 1992},
        {"nothing but garbage", std::string(40, 'g'), 0, 0, 0, 0, 0, 4, 8},
        {"a straggler of the run before", Frame(9, KEY - 1) + all, 0, 4, 0, 0, 0, 0, S},
        {"a frame of the run before where frame 1 was due",
         Frame(0) + Frame(1, KEY - 1) + Frame(2) + Frame(3), 0, 3, 1, 0, 0, 0, S},
        {"a frame number the run never sends", all + Frame(7), 0, 4, 0, 0, 0, 0, S},
        {"frame 1 corrupted, then a good copy",
         Frame(0) + Frame(1).replace(6, 1, "x") + Frame(2) + Frame(1) + Frame(3), 0, 4, 0, 0, 1, 0,
         S},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LatencyMeter m;
        m.Arm(PassDirection::SerialToNet, KEY, S, 4);
        for (uint32_t seq = 0; seq < 4; ++seq)  // frame K written at K ms
            Feed(m, TrafficKind::SerialTx, seq, Frame(seq));
        Feed(m, TrafficKind::NetTx, 0, "not this run's direction");
        const size_t step = c.readSize ? c.readSize : std::max<size_t>(c.received.size(), 1);
        int64_t at = 100;
        for (size_t i = 0; i < c.received.size(); i += step)
            Feed(m, TrafficKind::NetRx, at++, c.received.substr(i, step));
        const LatencyFigures f = m.Disarm(4);
        EXPECT_EQ(f.received, c.received_);
        EXPECT_EQ(f.lost, c.lost);
        EXPECT_EQ(f.duplicated, c.duplicated);
        EXPECT_EQ(f.reordered, c.reordered);
        EXPECT_EQ(f.corrupted, c.corrupted);
        EXPECT_EQ(f.strayBytes, c.stray);
        EXPECT_EQ(f.received + f.corrupted + f.lost, 4);
        EXPECT_LE(f.lost + f.corrupted + f.duplicated, f.sent);
        EXPECT_EQ(f.bytesRead, static_cast<int64_t>(c.received.size()));
        ASSERT_EQ(f.latenciesMs.size(), static_cast<size_t>(c.received_));
        EXPECT_EQ(f.reads, (c.received.size() + step - 1) / step);
        const bool clean = c.received_ == 4 && c.stray == 0;
        EXPECT_EQ(LatencyExitCode(f), clean ? 0 : c.received.empty() ? 2 : 1);
    }
}

// Bytes read before the run is armed are what was waiting, counted per side and apart from the
// run's stream; what comes after Arm is the run's.
TEST(LatencyMeter, WhatWaitedBeforeTheRunIsNoFrame) {
    LatencyMeter m;
    m.BeginDrain();
    Feed(m, TrafficKind::SerialRx, 1, std::string(1500, 's'));
    Feed(m, TrafficKind::NetRx, 2, Frame(0) + "banner");
    Feed(m, TrafficKind::SerialRx, 3, std::string(500, 's'));
    const LatencyMeter::Drained d = m.DrainedSoFar();
    EXPECT_EQ(d.serialBytes, 2000);
    EXPECT_EQ(d.netBytes, S + 6);
    EXPECT_EQ(d.lastSerialNs, 3000000);
    m.Arm(PassDirection::SerialToNet, KEY, S, 1);
    Feed(m, TrafficKind::SerialTx, 10, Frame(0));
    Feed(m, TrafficKind::NetRx, 11, Frame(0));
    const LatencyFigures f = m.Disarm(1);
    EXPECT_EQ(f.received, 1);
    EXPECT_EQ(f.duplicated, 0);
    EXPECT_EQ(f.bytesRead, S);
    EXPECT_EQ(f.waitingSerialBytes, 2000);
    EXPECT_EQ(f.waitingNetBytes, S + 6);
    EXPECT_EQ(LatencyExitCode(f), 0);
}

// A frame read before it was written is kept as it is, negative, and fails the run: the stamps
// are wrong, and figures built on them must not pass.
TEST(LatencyMeter, AFrameReadBeforeItWasWrittenIsNotClamped) {
    LatencyMeter m;
    m.Arm(PassDirection::NetToSerial, KEY, S, 2);
    Feed(m, TrafficKind::NetTx, 10, Frame(0));
    Feed(m, TrafficKind::SerialRx, 12, Frame(0));
    Feed(m, TrafficKind::SerialRx, 15, Frame(1));
    Feed(m, TrafficKind::NetTx, 20, Frame(1));
    const LatencyFigures f = m.Disarm(2);
    ASSERT_EQ(f.latenciesMs, (std::vector<double>{-5.0, 2.0}));
    EXPECT_DOUBLE_EQ(f.minMs, -5.0);
    EXPECT_EQ(f.negative, 1);
    EXPECT_EQ(LatencyExitCode(f), 1);
    EXPECT_EQ(LatencyResultWord(f), "invalid");
}

// Every verdict but "verified" says why, with the count that failed and the limit it broke.
TEST(LatencyVerdict, EveryFailureSaysWhy) {
    auto base = [] {
        LatencyFigures f;
        f.planned = f.sent = f.received = 100;
        f.bytesRead = 1600;
        f.latency = {0.4, 0.6, 1.0, 1.5};
        return f;
    };
    struct Case {
        const char* name;
        std::function<void(LatencyFigures&)> change;
        int code;
        const char* word;
        const char* problems;
    } cases[] = {
        {"clean", [](LatencyFigures&) {}, 0, "verified", ""},
        {"duplicated and reordered only",
         [](LatencyFigures& f) {
             f.duplicated = 1;
             f.reordered = 2;
         },
         0, "verified", "1 frame duplicated; 2 frames reordered"},
        {"lost",
         [](LatencyFigures& f) {
             f.received = 97;
             f.lost = 3;
         },
         1, "lost", "3 of 100 frames lost"},
        {"corrupted",
         [](LatencyFigures& f) {
             f.received = 98;
             f.corrupted = 2;
         },
         1, "lost", "2 frames corrupted"},
        {"one stray byte", [](LatencyFigures& f) { f.strayBytes = 1; }, 1, "stray",
         "1 stray byte that belongs to no frame"},
        {"stray bytes", [](LatencyFigures& f) { f.strayBytes = 40; }, 1, "stray",
         "40 stray bytes that belong to no frame"},
        {"read before written",
         [](LatencyFigures& f) {
             f.negative = 1;
             f.minMs = -0.013;
         },
         1, "invalid",
         "1 frame read before it was written (min -0.01 ms): the stamps are out of order and the "
         "figures cannot be trusted"},
        {"slow",
         [](LatencyFigures& f) {
             f.latency.p99 = 4.2;
             f.maxLatencyMs = 2;
         },
         1, "slow", "p99 4.20 ms is above --max-latency 2 ms"},
        {"nothing arrived",
         [](LatencyFigures& f) {
             f.received = 0;
             f.lost = 100;
             f.bytesRead = 0;
             f.waitedSeconds = 1.23;
         },
         2, "timeout",
         "nothing arrived on the network link within 1.2 s of the first frame; 100 of 100 frames "
         "lost"},
        {"link lost",
         [](LatencyFigures& f) {
             f.direction = PassDirection::NetToSerial;
             f.sent = f.received = 10;
             f.lost = 90;
             f.linkLost = "the network link went after 10 frames";
         },
         1, "lost", "90 of 100 frames lost; the network link went after 10 frames"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LatencyFigures f = base();
        c.change(f);
        EXPECT_EQ(LatencyExitCode(f), c.code);
        EXPECT_EQ(LatencyResultWord(f), c.word);
        EXPECT_EQ(LatencyProblems(f), c.problems);
        EXPECT_EQ(LatencyJson(f)["problems"].toString().toStdString(), c.problems);
    }

    struct Waiting {
        int64_t serial, net;
        bool serialTalking;
        const char* text;
    } waiting[] = {
        {0, 0, false, ""},
        {2000, 0, false, "2000 bytes were waiting on the serial side before the test"},
        {0, 1, false, "1 byte was waiting on the network side before the test"},
        {5, 7, true,
         "5 bytes were waiting on the serial side before the test and it did not go quiet within "
         "2 s; 7 bytes were waiting on the network side before the test"},
    };
    for (const Waiting& w : waiting) {
        LatencyFigures f = base();
        f.waitingSerialBytes = w.serial;
        f.waitingNetBytes = w.net;
        f.serialKeptSending = w.serialTalking;
        EXPECT_EQ(LatencyWaitingText(f), w.text);
        EXPECT_EQ(LatencyExitCode(f), 0) << "what waited is no fault";
    }
}

// The runner's floor is measured through its own read paths, with no device: every frame of
// both sides arrives, and each takes time.
TEST(LatencyFloor, MeasuresBothReadPathsWithoutADevice) {
    const LatencyFloor floor = MeasureLatencyFloor(16, 50, 1);
    for (const LatencyFloorSide* side : {&floor.serial, &floor.network}) {
        ASSERT_TRUE(side->measured) << side->failure;
        EXPECT_EQ(side->received, 50);
        EXPECT_GT(side->minMs, 0);
        EXPECT_LE(side->minMs, side->latency.p50);
        EXPECT_LE(side->latency.p50, side->latency.p99);
    }
    const std::regex text(
        "runner floor: serial p50 [0-9]+\\.[0-9]{2} ms, p99 [0-9]+\\.[0-9]{2} ms; network p50 "
        "[0-9]+\\.[0-9]{2} ms, p99 [0-9]+\\.[0-9]{2} ms");
    EXPECT_TRUE(std::regex_match(LatencyFloorText(floor), text)) << LatencyFloorText(floor);
    EXPECT_EQ(LatencyFloorJson(floor)["network"].toObject()["received"].toInt(), 50);
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
