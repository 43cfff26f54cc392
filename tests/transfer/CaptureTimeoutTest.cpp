// The silence time-out of one armed link: chunks noted on another thread, stops on the UI thread.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include <atomic>
#include <thread>

#include "support/TestUtil.h"
#include "transfer/Capture.h"
#include "transfer/CaptureTimeout.h"

// A start that a capture's thread posted just before the UI thread stopped the time-out (the run
// ended, as a lost link ends it) arrives after the stop: it must not revive the timer, or the
// time-out fires two seconds later over whatever the status line says then. Chunks of a run that
// is no longer the current one never start it either.
TEST(CaptureTimeout, AStopWinsOverEveryStartPostedBeforeIt) {
    CaptureTimeout timeout(CaptureLink::Serial, 200);
    int fired = 0;
    QObject::connect(&timeout, &CaptureTimeout::expired, [&](CaptureLink link) {
        EXPECT_EQ(link, CaptureLink::Serial);
        ++fired;
    });
    timeout.SetRun(1);
    for (int round = 0; round < 50; ++round) {
        std::thread chunk([&] { timeout.NoteChunk(1); });
        chunk.join();    // the start is posted, not yet carried out
        timeout.Stop();  // the UI thread ends the run first
        QCoreApplication::processEvents();
        EXPECT_FALSE(timeout.IsRunning());
    }
    std::thread([&] { timeout.NoteChunk(7); }).join();  // another run's chunk
    testutil::Pump(400);
    EXPECT_EQ(fired, 0);

    // The current run's chunk after the stop starts it again, and silence ends it once.
    std::thread([&] { timeout.NoteChunk(1); }).join();
    ASSERT_TRUE(testutil::WaitFor([&] { return fired == 1; }, 2000));
    testutil::Pump(400);
    EXPECT_EQ(fired, 1);
}

// Chunks keep the time-out from firing while they come: it fires one period after the last.
TEST(CaptureTimeout, FiresOnePeriodAfterTheLastChunk) {
    int64_t nowMs = 0;
    CaptureTimeout timeout(CaptureLink::Network, 100);
    timeout.SetClock([&] { return nowMs; });
    int fired = 0;
    QObject::connect(&timeout, &CaptureTimeout::expired, [&] { ++fired; });
    timeout.SetRun(3);
    timeout.NoteChunk(3);
    QCoreApplication::processEvents();
    ASSERT_TRUE(timeout.IsRunning());
    nowMs = 90;
    timeout.NoteChunk(3);  // just before the period ends
    testutil::Pump(150);   // the timer fires, sees the chunk 10 ms ago, waits 90 ms more
    EXPECT_EQ(fired, 0);
    nowMs = 200;
    ASSERT_TRUE(testutil::WaitFor([&] { return fired == 1; }, 1000));
    EXPECT_FALSE(timeout.IsRunning());
}
