#include "platform/Task.h"
#include "platform/linux/SdEventLoop.h"
#include "tests/support/LoopWatchdog.h"

#include <gtest/gtest.h>

#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
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

// Each source reports on the loop until its handle goes, also from inside its own callback.
TEST(EventLoop, SourcesReportUntilTheirHandleGoes) {
    SdEventLoop loop;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    Lines reported;
    auto cancelled = loop.addWallTimer(loop.now(), [&] { reported.push_back("cancelled"); });
    cancelled.reset();
    // An instant long past, before 1970 too, is due at once.
    auto past =
        loop.addWallTimer(EventLoop::Clock::time_point{} - 1h, [&] { reported.push_back("past"); });
    Source tick, readable, signal, stop;
    tick = loop.addRepeatingTimer(1ms, [&] {
        reported.push_back("tick");
        tick.reset();
        kill(getpid(), SIGUSR1);
    });
    readable = loop.watchFd(fds[0], EPOLLIN, [&](std::uint32_t revents) {
        reported.push_back(revents & EPOLLIN ? "readable" : "?");
        readable.reset();
    });
    signal = loop.watchSignal(SIGUSR1, [&] {
        reported.push_back("signal");
        stop = loop.addWallTimer(loop.now() + 20ms, [&] { loop.exit(0); });
    });
    ASSERT_EQ(runWithWatchdog(loop), 0);
    std::sort(reported.begin(), reported.end());
    EXPECT_EQ(reported, (Lines{"past", "readable", "signal", "tick"}));
    close(fds[0]);
    close(fds[1]);
}

TEST(Task, RacingCompletionsFromTwoThreadsResumeExactlyOnce) {
    SdEventLoop loop;
    const auto loopThread = std::this_thread::get_id();
    constexpr int rounds = 2000;
    std::atomic<int> winners{0};
    int resumed = 0;
    spawn(loop, [](EventLoop& l, std::atomic<int>& w, int& r, std::thread::id id) -> Task<> {
        for (int i = 0; i < rounds; ++i) {
            const int value = co_await awaitCompletion<int>(l, [&](Completion<int> done) {
                std::jthread reply([done, &w] { w += done(1); });
                std::jthread error([done, &w] { w += done(2); });
            });
            EXPECT_TRUE(value == 1 || value == 2);
            EXPECT_EQ(std::this_thread::get_id(), id);
            ++r;
        }
        // Give any wrongly doubled resume a chance to show up before stopping.
        l.post([&l] { l.exit(0); });
    }(loop, winners, resumed, loopThread));
    ASSERT_EQ(runWithWatchdog(loop, 60s), 0);
    EXPECT_EQ(resumed, rounds);
    EXPECT_EQ(winners.load(), rounds);
}

} // namespace
} // namespace sollun::platform
