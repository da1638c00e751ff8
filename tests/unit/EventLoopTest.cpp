#include "platform/linux/SdEventLoop.h"
#include "tests/support/LoopWatchdog.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <sys/epoll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace sollun::platform {
namespace {

using namespace std::chrono_literals;
using test::runWithWatchdog;

TEST(EventLoop, WallTimerFiresAtItsInstantAndNotBefore) {
    SdEventLoop loop;
    const auto first = loop.now() + 40ms;
    const auto second = first + 5ms;
    std::vector<std::pair<int, EventLoop::Clock::time_point>> fired;
    auto late = loop.addWallTimer(second, [&] {
        fired.emplace_back(2, loop.now());
        loop.exit(0);
    });
    auto early = loop.addWallTimer(first, [&] { fired.emplace_back(1, loop.now()); });

    ASSERT_EQ(runWithWatchdog(loop), 0);
    ASSERT_EQ(fired.size(), 2u);
    EXPECT_EQ(fired[0].first, 1);
    EXPECT_GE(fired[0].second, first);
    EXPECT_GE(fired[1].second, second);
}

TEST(EventLoop, WallTimerInThePastFiresAtTheNextIteration) {
    SdEventLoop loop;
    int fired = 0;
    auto longAgo = loop.addWallTimer(EventLoop::Clock::time_point{}, [&] { ++fired; });
    auto beforeEpoch = loop.addWallTimer(EventLoop::Clock::time_point{} - 1h, [&] {
        ++fired;
        loop.post([&] { loop.exit(0); });
    });
    ASSERT_EQ(runWithWatchdog(loop), 0);
    EXPECT_EQ(fired, 2);
}

TEST(EventLoop, PostedTasksRunAfterTheCurrentCallbackInOrder) {
    SdEventLoop loop;
    std::vector<std::string> order;
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
    EXPECT_EQ(order, (std::vector<std::string>{"callback returned", "first", "second",
                                               "posted by a task"}));
}

TEST(EventLoop, TasksPostedFromOtherThreadsRunOnTheLoopThread) {
    SdEventLoop loop;
    const auto loopThread = std::this_thread::get_id();
    int ran = 0;
    std::vector<std::jthread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&] {
            for (int j = 0; j < 100; ++j) {
                loop.postFromAnyThread([&] {
                    EXPECT_EQ(std::this_thread::get_id(), loopThread);
                    if (++ran == 400)
                        loop.exit(0);
                });
            }
        });
    }
    ASSERT_EQ(runWithWatchdog(loop), 0);
    EXPECT_EQ(ran, 400);
}

TEST(EventLoop, RunsAgainAfterExit) {
    SdEventLoop loop;
    for (int round = 1; round <= 2; ++round) {
        loop.post([&] { loop.exit(round); });
        EXPECT_EQ(runWithWatchdog(loop), round);
    }
}

TEST(EventLoop, RepeatingTimerKeepsTicking) {
    SdEventLoop loop;
    int ticks = 0;
    auto timer = loop.addRepeatingTimer(5ms, [&] {
        if (++ticks == 3)
            loop.exit(0);
    });
    ASSERT_EQ(runWithWatchdog(loop), 0);
    EXPECT_EQ(ticks, 3);
}

TEST(EventLoop, DestroyingAHandleCancelsItsSource) {
    SdEventLoop loop;
    int wallFired = 0;
    int repeatingTicks = 0;
    auto wall = loop.addWallTimer(loop.now(), [&] { ++wallFired; });
    wall.reset();

    Source repeating;
    Source stop;
    repeating = loop.addRepeatingTimer(1ms, [&] {
        ++repeatingTicks;
        repeating.reset(); // from inside its own callback
        stop = loop.addWallTimer(loop.now() + 20ms, [&] { loop.exit(0); });
    });

    ASSERT_EQ(runWithWatchdog(loop), 0);
    EXPECT_EQ(wallFired, 0);
    EXPECT_EQ(repeatingTicks, 1);
}

TEST(EventLoop, FdReadinessIsReportedUntilTheHandleGoes) {
    SdEventLoop loop;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    int calls = 0;
    Source watch;
    watch = loop.watchFd(fds[0], EPOLLIN, [&](std::uint32_t revents) {
        EXPECT_TRUE(revents & EPOLLIN);
        ++calls;
        watch.reset();
        loop.post([&] { loop.exit(0); });
    });
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    ASSERT_EQ(runWithWatchdog(loop), 0);
    EXPECT_EQ(calls, 1);
    close(fds[0]);
    close(fds[1]);
}

TEST(EventLoop, SignalsArriveOnTheLoop) {
    SdEventLoop loop;
    int received = 0;
    auto watch = loop.watchSignal(SIGUSR1, [&] {
        ++received;
        loop.exit(0);
    });
    auto raise = loop.addWallTimer(loop.now(), [] { kill(getpid(), SIGUSR1); });
    ASSERT_EQ(runWithWatchdog(loop), 0);
    EXPECT_EQ(received, 1);
}

class DirectoryWatch : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/sollun-watch-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(directory); }

    // Watches `directory`, does `change`, and collects events until `until` matches one.
    std::vector<std::uint32_t> eventsOf(const std::function<void()>& change, std::uint32_t until) {
        std::vector<std::uint32_t> masks;
        auto result = loop.watchDirectory(directory,
                                          IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                              IN_MOVE_SELF | IN_DELETE_SELF,
                                          [&](const DirectoryEvent& event) {
                                              masks.push_back(event.mask);
                                              if (event.mask & until)
                                                  loop.exit(0);
                                          });
        EXPECT_TRUE(std::holds_alternative<Source>(result));
        change();
        EXPECT_EQ(runWithWatchdog(loop), 0);
        return masks;
    }

    SdEventLoop loop;
    std::filesystem::path directory;
};

TEST_F(DirectoryWatch, ReportsEntriesAddedRenamedAndRemoved) {
    const auto masks = eventsOf(
        [&] {
            std::ofstream(directory / "a").put('x');
            std::filesystem::rename(directory / "a", directory / "b");
            std::filesystem::remove(directory / "b");
        },
        IN_DELETE);
    std::vector<std::uint32_t> kinds;
    for (auto mask : masks)
        kinds.push_back(mask & (IN_CREATE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE));
    EXPECT_EQ(kinds,
              (std::vector<std::uint32_t>{IN_CREATE, IN_MOVED_FROM, IN_MOVED_TO, IN_DELETE}));
}

TEST_F(DirectoryWatch, ReportsTheDirectoryItselfGoing) {
    const auto masks = eventsOf([&] { std::filesystem::remove(directory); }, IN_IGNORED);
    ASSERT_GE(masks.size(), 2u);
    EXPECT_TRUE(masks.front() & IN_DELETE_SELF);
}

TEST_F(DirectoryWatch, ReportsTheDirectoryBeingMoved) {
    const auto moved = directory.string() + ".moved";
    const auto masks = eventsOf([&] { std::filesystem::rename(directory, moved); }, IN_MOVE_SELF);
    EXPECT_FALSE(masks.empty());
    std::filesystem::remove_all(moved);
}

TEST_F(DirectoryWatch, ACallbackMayEndItsWatchInTheMiddleOfABatch) {
    int calls = 0;
    Source watch =
        std::get<Source>(loop.watchDirectory(directory, IN_CREATE, [&](const DirectoryEvent&) {
            ++calls;
            watch.reset();
            loop.post([&] { loop.exit(0); });
        }));
    for (const char* name : {"a", "b", "c"})
        std::ofstream(directory / name).put('x');
    ASSERT_EQ(runWithWatchdog(loop), 0);
    EXPECT_EQ(calls, 1);
}

TEST_F(DirectoryWatch, AMissingOrPlainPathCannotBeWatched) {
    auto missing = loop.watchDirectory(directory / "missing", IN_CREATE, [](auto&) {});
    ASSERT_TRUE(std::holds_alternative<std::error_code>(missing));
    EXPECT_EQ(std::get<std::error_code>(missing), std::errc::no_such_file_or_directory);

    std::ofstream(directory / "file").put('x');
    auto file = loop.watchDirectory(directory / "file", IN_CREATE, [](auto&) {});
    ASSERT_TRUE(std::holds_alternative<std::error_code>(file));
    EXPECT_EQ(std::get<std::error_code>(file), std::errc::not_a_directory);
}

TEST(LoopWatchdog, FailsATestWhoseLoopHangs) {
    SdEventLoop loop;
    int code = 0;
    EXPECT_NONFATAL_FAILURE(code = runWithWatchdog(loop, 20ms), "watchdog");
    EXPECT_EQ(code, test::LoopWatchdog::expiredExitCode);
}

} // namespace
} // namespace sollun::platform
