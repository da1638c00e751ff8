#include "SollunHelper/ResumeOnce.h"

#include "platform/Task.h"
#include "tests/support/FakeEventLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <memory>
#include <thread>
#include <utility>

namespace sollun::helper {
namespace {

// A caller's Completion that also counts the resumes reaching it: the Completion alone would hide
// a second one.
struct CountedCompletion {
    std::atomic<int>* resumes;
    platform::Completion<int> done;
    void operator()(int value) const {
        resumes->fetch_add(1);
        done(value);
    }
};
using Once = ResumeOnce<int, CountedCompletion>;

// One request: waits on the loop until its ResumeOnce, published in `once`, is resumed.
platform::Task<> request(platform::EventLoop& loop, std::shared_ptr<Once>& once,
                         std::atomic<int>& resumes, int& result, int& resumed) {
    result = co_await platform::awaitCompletion<int>(loop, [&](platform::Completion<int> done) {
        once = std::make_shared<Once>(CountedCompletion{&resumes, std::move(done)});
    });
    ++resumed;
}

TEST(ResumeOnce, OnlyTheFirstOfTwoCallsFromOtherThreadsResumesTheCaller) {
    for (const auto& [first, second] : {std::pair{1, 2}, std::pair{2, 1}}) {
        test::FakeEventLoop loop;
        std::shared_ptr<Once> once;
        std::atomic<int> resumes = 0;
        int result = 0;
        int resumed = 0;
        platform::spawn(loop, request(loop, once, resumes, result, resumed));
        loop.runPending();
        ASSERT_TRUE(once);

        std::thread([&, value = first] { once->resume(value); }).join();
        std::thread([&, value = second] { once->resume(value); }).join();
        EXPECT_EQ(resumed, 0) << "the caller resumes on the loop, not in a resume() call";
        loop.runPending();

        EXPECT_EQ(resumes.load(), 1);
        EXPECT_EQ(resumed, 1);
        EXPECT_EQ(result, first);
    }
}

TEST(ResumeOnce, AReplyAndAnErrorRacingResumeExactlyOnceEveryRound) {
    constexpr int rounds = 20000;
    test::FakeEventLoop loop;
    std::shared_ptr<Once> once;
    std::atomic<int> resumes = 0;
    int result = 0;
    int resumed = 0;

    // The test thread sets up each round; the two callbacks then race, released together.
    std::barrier start(3);
    std::barrier finish(3);
    auto callback = [&](int value) {
        for (int round = 0; round < rounds; ++round) {
            start.arrive_and_wait();
            once->resume(value);
            finish.arrive_and_wait();
        }
    };
    std::jthread reply(callback, 1);
    std::jthread error(callback, 2);

    int badRounds = 0;
    int replyWins = 0;
    for (int round = 0; round < rounds; ++round) {
        resumes = 0;
        resumed = 0;
        platform::spawn(loop, request(loop, once, resumes, result, resumed));
        loop.runPending();
        start.arrive_and_wait();
        finish.arrive_and_wait();
        loop.runPending();
        // No ASSERT in here: leaving early would strand the callbacks at the barrier.
        if (resumes != 1 || resumed != 1 || (result != 1 && result != 2))
            ++badRounds;
        replyWins += result == 1;
    }
    EXPECT_EQ(badRounds, 0);
    RecordProperty("replyWins", replyWins);
}

} // namespace
} // namespace sollun::helper
