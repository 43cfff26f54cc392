// The abort signal: raised until reset, readable for poll(), raised before its descriptor exists.
#include "platform/AbortSignal.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <chrono>
#include <thread>

#include "support/TestUtil.h"

using platform::AbortSignal;

TEST(AbortSignal, StaysRaisedUntilResetAndEndsAWaitOnAnotherThread) {
    AbortSignal signal;
    auto readable = [&] {
        pollfd p{signal.Fd(), POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    };
    signal.Raise();  // before the descriptor is made
    EXPECT_TRUE(signal.IsRaised());
    ASSERT_GE(signal.Fd(), 0);
    EXPECT_TRUE(readable());
    EXPECT_TRUE(readable());  // polling does not consume it
    signal.Raise();
    signal.Reset();
    EXPECT_FALSE(signal.IsRaised());
    EXPECT_FALSE(readable());  // one Reset lowers it however often it was raised
    signal.Reset();
    EXPECT_FALSE(readable());

    using Clock = std::chrono::steady_clock;
    Clock::time_point woke;
    std::thread waiter([&] {
        pollfd p{signal.Fd(), POLLIN, 0};
        ::poll(&p, 1, 5000);
        woke = Clock::now();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto raised = Clock::now();
    signal.Raise();
    waiter.join();
    EXPECT_LT(woke - raised, std::chrono::milliseconds(500));
    signal.Reset();
    EXPECT_FALSE(readable());
}
