// The retirer: a retired thread is joined elsewhere, so retiring never waits for it, and a thread
// stuck in the kernel holds neither the caller nor the retirer's end.
#include "platform/Retirer.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>

using namespace std::chrono_literals;
using platform::Retirer;

namespace {

// A pipe whose read end a worker blocks on, as a writer blocks on a stalled disk.
struct Stall {
    int fds[2] = {-1, -1};
    Stall() { EXPECT_EQ(::pipe(fds), 0); }
    ~Stall() {
        ::close(fds[0]);
        ::close(fds[1]);
    }
    void Release() { EXPECT_EQ(::write(fds[1], "x", 1), 1); }
};

std::thread StuckWorker(const std::shared_ptr<Stall>& stall, std::atomic<bool>& ended) {
    return std::thread([stall, &ended] {
        char c;
        (void)!::read(stall->fds[0], &c, 1);
        ended = true;
    });
}

}  // namespace

TEST(Retirer, RetiringAStuckThreadReturnsAndItIsJoinedOnceItEnds) {
    Retirer retirer;
    auto stall = std::make_shared<Stall>();
    std::atomic<bool> stuckEnded{false}, quickEnded{false};
    retirer.Retire(StuckWorker(stall, stuckEnded));
    retirer.Retire(std::thread([&] { quickEnded = true; }));
    retirer.Retire(std::thread());  // nothing to end
    EXPECT_EQ(retirer.Pending(), 2u);
    EXPECT_FALSE(retirer.WaitIdle(50ms));
    EXPECT_FALSE(stuckEnded);

    stall->Release();
    EXPECT_TRUE(retirer.WaitIdle(5s));
    EXPECT_TRUE(stuckEnded);
    EXPECT_TRUE(quickEnded);
    EXPECT_EQ(retirer.Pending(), 0u);
}

TEST(Retirer, EndsWithinItsExitWaitWhenARetiredThreadNeverEnds) {
    auto stall = std::make_shared<Stall>();
    auto ended = std::make_shared<std::atomic<bool>>(false);
    {
        Retirer retirer;
        retirer.Retire(std::thread([stall, ended] {
            char c;
            (void)!::read(stall->fds[0], &c, 1);
            *ended = true;
        }));
    }  // returns after the exit wait; the worker and the joiner are left running
    EXPECT_FALSE(*ended);
    stall->Release();  // lets the left thread end before the process does
    for (int i = 0; i < 500 && !*ended; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(*ended);
}
