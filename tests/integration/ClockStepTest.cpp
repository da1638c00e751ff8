// The wall clock stepped under an armed launch timer: the launch follows the wall clock, not the
// delay left when the timer was armed. It steps the machine's clock and puts it back.

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

namespace sollun::helper {
namespace {

using namespace std::chrono_literals;

bool setWallClock(std::chrono::system_clock::time_point to) {
    const auto ns = to.time_since_epoch() / 1ns;
    const timespec value{static_cast<time_t>(ns / 1'000'000'000),
                         static_cast<long>(ns % 1'000'000'000)};
    return clock_settime(CLOCK_REALTIME, &value) == 0;
}

// Puts the wall clock where it would be without the steps, also when an assertion ends the test.
struct WallClockGuard {
    bool restore() const {
        return setWallClock(wall + (std::chrono::steady_clock::now() - monotonic));
    }
    ~WallClockGuard() { restore(); }
    const std::chrono::system_clock::time_point wall = std::chrono::system_clock::now();
    const std::chrono::steady_clock::time_point monotonic = std::chrono::steady_clock::now();
};

// Notes the wall time of the launch and stops the loop.
struct LaunchClock final : Workspace {
    explicit LaunchClock(platform::EventLoop& l)
        : loop(l) {}
    bool isRunning(const std::string&) override { return false; }
    std::optional<std::string> locate(const std::string& appId) override { return appId; }
    void launch(const std::string&, bool, std::function<void(LaunchResult)> completion) override {
        launches.push_back(currentInstant());
        completion(pid_t{42});
        loop.exit(0);
    }
    std::unique_ptr<RunningWatch> watchRunning(const std::string&, std::function<void()>) override {
        return nullptr;
    }
    void openURL(const std::string&, const std::optional<std::string>&,
                 const std::string&) override {}

    platform::EventLoop& loop;
    std::vector<Instant> launches;
};

TEST(ClockStep, LaunchFollowsTheWallClock) {
    const WallClockGuard clock;
    if (!clock.restore())
        GTEST_SKIP() << "the wall clock cannot be set here: " << std::strerror(errno);

    // Back before the instant: a timer counting down its first delay fires before the instant.
    // Forward past it: such a timer would fire after the watchdog.
    for (const auto& [wakeAhead, step, limit] : {std::tuple{2s, -3s, 20s}, {5s, 6s, 4s}}) {
        SCOPED_TRACE(step.count());
        platform::SdEventLoop loop;
        test::ServiceScript service;
        auto workspace = std::make_unique<LaunchClock>(loop);
        const auto& launches = workspace->launches;
        HelperCoordinator coordinator(
            loop,
            std::make_unique<WakeDaemonController>(
                loop, std::make_unique<test::FakeDaemonService>(service),
                std::make_shared<test::FakeConnector>()),
            std::move(workspace), std::make_unique<test::FakeSystemWake>(),
            std::make_unique<test::FakeSleepInhibitor>(), std::make_unique<test::FakeLoginItem>());

        const Instant wake = currentInstant() + wakeAhead;
        coordinator.armLaunchTimer({wake, wake + 5min, 1, std::nullopt});
        // From inside the loop, once the timer waits.
        loop.post([&] { EXPECT_TRUE(setWallClock(std::chrono::system_clock::now() + step)); });
        EXPECT_EQ(test::runWithWatchdog(loop, limit), 0);
        ASSERT_TRUE(clock.restore()) << std::strerror(errno);
        ASSERT_EQ(launches.size(), 1u);
        EXPECT_GE(launches.front(), wake);
    }
}

} // namespace
} // namespace sollun::helper
