#include "platform/Task.h"

#include "platform/linux/SdEventLoop.h"
#include "tests/support/LoopWatchdog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace sollun::platform {
namespace {

using namespace std::chrono_literals;
using test::runWithWatchdog;

// An operation that completes from a timer, as a reply from elsewhere would.
Task<int> replyLater(EventLoop& loop, int value, Source& timer) {
    co_return co_await awaitCompletion<int>(loop, [&](Completion<int> done) {
        timer = loop.addWallTimer(loop.now() + 1ms, [done, value] { done(value); });
    });
}

Task<int> sumOfTwoReplies(EventLoop& loop) {
    Source first;
    Source second;
    const int a = co_await replyLater(loop, 20, first);
    const int b = co_await replyLater(loop, 22, second);
    co_return a + b;
}

TEST(Task, AwaitsNestedTasksAndDeliversTheirResults) {
    SdEventLoop loop;
    int result = 0;
    spawn(loop, [](EventLoop& l, int& out) -> Task<> {
        out = co_await sumOfTwoReplies(l);
        l.exit(0);
    }(loop, result));
    ASSERT_EQ(runWithWatchdog(loop), 0);
    EXPECT_EQ(result, 42);
}

TEST(Task, SpawnedTaskStartsAfterTheCurrentCallback) {
    SdEventLoop loop;
    std::vector<std::string> order;
    auto timer = loop.addWallTimer(loop.now(), [&] {
        spawn(loop, [](EventLoop& l, std::vector<std::string>& o) -> Task<> {
            o.push_back("task");
            l.exit(0);
            co_return;
        }(loop, order));
        order.push_back("callback");
    });
    ASSERT_EQ(runWithWatchdog(loop), 0);
    EXPECT_EQ(order, (std::vector<std::string>{"callback", "task"}));
}

TEST(Task, ACompletionCalledInPlaceStillResumesLaterOnTheLoop) {
    SdEventLoop loop;
    std::vector<std::string> order;
    spawn(loop, [](EventLoop& l, std::vector<std::string>& o) -> Task<> {
        const std::string text = co_await awaitCompletion<std::string>(l, [&](auto done) {
            done("reply");
            o.push_back("operation returned");
        });
        o.push_back(text);
        l.exit(0);
    }(loop, order));
    ASSERT_EQ(runWithWatchdog(loop), 0);
    EXPECT_EQ(order, (std::vector<std::string>{"operation returned", "reply"}));
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

TEST(Task, VoidCompletionsAndUnstartedTasksNeedNoCare) {
    SdEventLoop loop;
    {
        // Never started, never awaited: destroyed with its handle.
        auto unused = sumOfTwoReplies(loop);
    }
    bool done = false;
    spawn(loop, [](EventLoop& l, bool& d) -> Task<> {
        co_await awaitCompletion<void>(l, [](Completion<void> complete) { complete(); });
        d = true;
        l.exit(0);
    }(loop, done));
    ASSERT_EQ(runWithWatchdog(loop), 0);
    EXPECT_TRUE(done);
}

} // namespace
} // namespace sollun::platform
