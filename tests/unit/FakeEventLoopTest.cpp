#include "tests/support/FakeEventLoop.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sollun::test {
namespace {

using namespace std::chrono_literals;

TEST(FakeEventLoop, TimersFireInOrderAsTimePasses) {
    FakeEventLoop loop;
    const auto start = loop.now();
    std::vector<std::string> fired;
    auto wall = loop.addWallTimer(start + 12s, [&] {
        fired.push_back("wall at " + std::to_string((loop.now() - start) / 1s));
        loop.post([&] { fired.push_back("posted by wall"); });
    });
    auto poll = loop.addRepeatingTimer(
        5s, [&] { fired.push_back("tick at " + std::to_string((loop.now() - start) / 1s)); });
    loop.advance(16s);
    EXPECT_EQ(fired, (std::vector<std::string>{"tick at 5", "tick at 10", "wall at 12",
                                               "posted by wall", "tick at 15"}));
    EXPECT_EQ(loop.liveWallTimers(), 0u);
}

TEST(FakeEventLoop, SleepFiresEachDueTimerOnceAndClockStepsFollowTheWallClock) {
    FakeEventLoop loop;
    const auto start = loop.now();
    int ticks = 0;
    int wallFired = 0;
    auto poll = loop.addRepeatingTimer(5s, [&] { ++ticks; });
    auto wall = loop.addWallTimer(start + 1h, [&] { ++wallFired; });

    loop.sleep(1min);
    EXPECT_EQ(ticks, 1);
    loop.advance(4s); // phase kept: the next tick is at 65 s, not 64
    EXPECT_EQ(ticks, 1);
    loop.advance(1s);
    EXPECT_EQ(ticks, 2);

    loop.setWallClock(start - 1h); // back: nothing due
    EXPECT_EQ(wallFired, 0);
    loop.setWallClock(start + 2h); // forward past the instant
    EXPECT_EQ(wallFired, 1);
}

TEST(FakeEventLoop, HandlesCancelAndRunJumpsToTheNextTimer) {
    FakeEventLoop loop;
    bool cancelledFired = false;
    auto cancelled = loop.addWallTimer(loop.now() + 1s, [&] { cancelledFired = true; });
    cancelled.reset();
    auto stop = loop.addWallTimer(loop.now() + 1h, [&] { loop.exit(7); });
    EXPECT_EQ(loop.run(), 7);
    EXPECT_FALSE(cancelledFired);

    auto watch = std::get<platform::Source>(loop.watchDirectory("/d", 0, [](auto&) {}));
    loop.failWatch("/e", std::errc::permission_denied);
    EXPECT_TRUE(std::holds_alternative<std::error_code>(loop.watchDirectory("/e", 0, {})));
    EXPECT_EQ(loop.emitDirectoryEvent("/d", 1), 1);
    watch.reset();
    EXPECT_EQ(loop.emitDirectoryEvent("/d", 1), 0);
}

} // namespace
} // namespace sollun::test
