#include "platform/Log.h"
#include "platform/linux/SdEventLoop.h"
#include "tests/support/LoopWatchdog.h"

#include <gtest/gtest.h>

#include <thread>

namespace sollun::platform {
namespace {

using namespace std::chrono_literals;
using test::runWithWatchdog;
using Lines = std::vector<std::string>;

TEST(EventLoop, PostedTasksRunAfterTheCurrentCallbackInOrder) {
    SdEventLoop loop;
    Lines order;
    auto timer = loop.addWallTimer(loop.now(), [&] {
        loop.post([&] {
            order.push_back("first");
            loop.post([&] {
                order.push_back("posted by a task");
                loop.exit(0);
            });
        });
        loop.post([&] { order.push_back("second"); });
        order.push_back("callback returned");
    });
    ASSERT_EQ(runWithWatchdog(loop), 0);
    EXPECT_EQ(order, (Lines{"callback returned", "first", "second", "posted by a task"}));
}

TEST(EventLoop, TasksPostedFromOtherThreadsRunOnTheLoopThread) {
    SdEventLoop loop;
    const auto loopThread = std::this_thread::get_id();
    int ran = 0;
    std::vector<std::jthread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            for (int j = 0; j < 100; ++j)
                loop.postFromAnyThread([&] {
                    EXPECT_EQ(std::this_thread::get_id(), loopThread);
                    if (++ran == 400)
                        loop.exit(0);
                });
        });
    ASSERT_EQ(runWithWatchdog(loop), 0);
    EXPECT_EQ(ran, 400);
}

// A repeating timer every millisecond would report again well before the loop stops.
TEST(EventLoop, ASourceMayDestroyItselfInItsOwnCallback) {
    SdEventLoop loop;
    int reported = 0;
    Source tick, stop;
    tick = loop.addRepeatingTimer(1ms, [&] {
        ++reported;
        tick.reset();
        stop = loop.addWallTimer(loop.now() + 20ms, [&] { loop.exit(0); });
    });
    ASSERT_EQ(runWithWatchdog(loop), 0);
    EXPECT_EQ(reported, 1);
}

TEST(Log, ConcurrentWritersLoseNothing) {
    ScopedMemoryLog log;
    const Logger logger("s", "c");
    std::vector<std::jthread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&logger] {
            for (int i = 0; i < 500; ++i)
                logger.info("line %{public}d", i);
        });
    threads.clear();
    EXPECT_EQ(log->entries().size(), 2000u);
}

} // namespace
} // namespace sollun::platform
