// The machine's wall clock stepped while the app-launch timer waits for its wall instant: the
// launch follows the wall clock, not the delay that remained when the timer was armed. The test
// moves the real clock by a few seconds and puts it back, so it runs alone.

#include "SollunHelper/HelperCoordinator.h"
#include "platform/linux/SdEventLoop.h"
#include "tests/support/FakeDaemonTransport.h"
#include "tests/support/FakeLoginItem.h"
#include "tests/support/FakeWorkspace.h"
#include "tests/support/LoopWatchdog.h"

#include <gtest/gtest.h>

#include <time.h>

#include <cerrno>
#include <cstring>
#include <iostream>

namespace sollun::helper {
namespace {

using namespace std::chrono_literals;
using std::chrono::nanoseconds;

nanoseconds read(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return std::chrono::seconds(now.tv_sec) + nanoseconds(now.tv_nsec);
}

bool setWallClock(nanoseconds to) {
    const auto seconds = std::chrono::floor<std::chrono::seconds>(to);
    const timespec value{static_cast<time_t>(seconds.count()),
                         static_cast<long>((to - seconds).count())};
    return clock_settime(CLOCK_REALTIME, &value) == 0;
}

// Steps the wall clock and puts it back where it would have been without the steps: the wall
// time at construction plus the time passed since on the monotonic clock. Also when a failed
// assertion leaves the test early.
class WallClockSteps {
public:
    WallClockSteps()
        : wall_(read(CLOCK_REALTIME))
        , monotonic_(read(CLOCK_MONOTONIC)) {}
    ~WallClockSteps() {
        if (stepped_)
            restore();
    }
    WallClockSteps(const WallClockSteps&) = delete;
    WallClockSteps& operator=(const WallClockSteps&) = delete;

    // False, with errno set, when the clock may not be set.
    bool restore() {
        stepped_ = false;
        return setWallClock(wall_ + (read(CLOCK_MONOTONIC) - monotonic_));
    }
    bool step(nanoseconds by) {
        stepped_ = true;
        return setWallClock(read(CLOCK_REALTIME) + by);
    }

private:
    const nanoseconds wall_;
    const nanoseconds monotonic_;
    bool stepped_ = false;
};

// Notes the wall time of each launch and stops the loop.
struct LaunchClock final : Workspace {
    explicit LaunchClock(platform::EventLoop& l)
        : loop(l) {}
    bool isRunning(const std::string&) override { return false; }
    std::optional<std::string> locate(const std::string& appId) override { return appId; }
    void launch(const std::string&, bool, std::function<void(LaunchResult)> completion) override {
        launches.push_back(std::chrono::system_clock::now());
        completion(pid_t{42});
        loop.exit(0);
    }
    void openURL(const std::string&, const std::optional<std::string>&) override {}

    platform::EventLoop& loop;
    std::vector<Instant> launches;
};

struct Step {
    const char* name;
    std::chrono::seconds wakeAhead; // when the timer is armed
    std::chrono::seconds by;        // then the clock is stepped
};

void PrintTo(const Step& step, std::ostream* out) {
    *out << step.name;
}

class ClockStep : public ::testing::TestWithParam<Step> {
protected:
    ClockStep() {
        auto owned = std::make_unique<LaunchClock>(loop);
        workspace = owned.get();
        coordinator = std::make_unique<HelperCoordinator>(
            loop,
            std::make_unique<WakeDaemonController>(
                loop, std::make_unique<test::FakeDaemonService>(service),
                std::make_shared<test::FakeConnector>()),
            std::move(owned), std::make_unique<test::FakeSystemWake>(),
            std::make_unique<test::FakeLoginItem>());
    }

    platform::SdEventLoop loop;
    test::ServiceScript service;
    LaunchClock* workspace = nullptr;
    std::unique_ptr<HelperCoordinator> coordinator;
};

TEST_P(ClockStep, LaunchFollowsTheWallClock) {
    WallClockSteps clock;
    if (!clock.restore())
        GTEST_SKIP() << "the wall clock cannot be set here: " << std::strerror(errno);

    const Instant wake = std::chrono::system_clock::now() + GetParam().wakeAhead;
    coordinator->armLaunchTimer({wake, wake + 5min, 1, std::nullopt});
    ASSERT_TRUE(coordinator->hasLaunchTimer());

    // Stepped from inside the loop, once the loop has armed the timer for its next wait.
    Instant afterStep;
    const auto armed = std::chrono::steady_clock::now();
    loop.post([&] {
        ASSERT_TRUE(clock.step(GetParam().by)) << std::strerror(errno);
        afterStep = std::chrono::system_clock::now();
    });
    ASSERT_EQ(test::runWithWatchdog(loop, 20s), 0);
    const auto waited = std::chrono::steady_clock::now() - armed;
    ASSERT_TRUE(clock.restore()) << std::strerror(errno);

    // The wall instant itself, or the moment of the step when that already passed it: a timer
    // that counted down its original delay fires seconds away from either.
    ASSERT_EQ(workspace->launches.size(), 1u);
    const Instant fired = workspace->launches.front();
    const Instant due = std::max(wake, afterStep);
    EXPECT_GE(fired, wake);
    EXPECT_GE(fired, due);
    EXPECT_LT(fired - due, 1s);
    std::cout << GetParam().name << ": fired "
              << std::chrono::duration<double, std::milli>(fired - due).count()
              << " ms after its due wall time, " << std::chrono::duration<double>(waited).count()
              << " s after it was armed\n";
}

INSTANTIATE_TEST_SUITE_P(WallClock, ClockStep,
                         ::testing::Values(Step{"SteppedBackBeforeTheInstant", 2s, -3s},
                                           Step{"SteppedForwardPastTheInstant", 3s, 4s}),
                         [](const ::testing::TestParamInfo<Step>& step) {
                             return std::string(step.param.name);
                         });

} // namespace
} // namespace sollun::helper
