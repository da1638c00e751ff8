// The coordinator with every real part, from the main application's schedule to the daemon's
// store, the launch at the wake instant and the launch when the machine wakes.

#include "tests/integration/CoordinatorOnBuses.h"

namespace sollun::helper {
namespace {

using namespace std::chrono_literals;

using CoordinatorEndToEnd = CoordinatorOnBuses;

TEST_F(CoordinatorEndToEnd, FromTheScheduleToTheWakeAndTheLaunch) {
    // Start-up over (the daemon answered its version) before the main application publishes,
    // so that exactly one reconciliation reaches the daemon.
    startCoordinator();

    // A wake a few seconds ahead, in whole seconds as the main application writes it.
    const auto wake =
        std::chrono::ceil<std::chrono::seconds>(std::chrono::system_clock::now()) + 3s;
    writeSchedule(1, wake);
    runUntilPublished(wake);
    EXPECT_TRUE(storeHas(wake)) << store();
    EXPECT_TRUE(launchedPids().empty()) << "not before the wake instant";

    // The launch timer starts the application at the instant, in the background.
    runUntilLaunched(1);
    EXPECT_GE(std::chrono::system_clock::now(), wake);

    // The machine "wakes" near the instant while the application is not running: launched
    // again.
    ASSERT_EQ(kill(launchedPids().at(0), SIGKILL), 0);
    const auto emitted = test::runProcess(
        {"busctl", "--address=" + systemBus->address(), "call", "org.freedesktop.login1",
         "/org/freedesktop/login1", "org.freedesktop.DBus.Mock", "EmitSignal", "sssav",
         "org.freedesktop.login1.Manager", "PrepareForSleep", "b", "1", "b", "false"});
    ASSERT_EQ(emitted.exitCode, 0) << emitted.output;
    runUntilLaunched(2);

    // A schedule without a wake clears the daemon's store and the status.
    writeSchedule(2, std::nullopt);
    runUntilPublished(std::nullopt);
    EXPECT_EQ(store().find("com.kestrovane.sollun\""), std::string::npos) << store();
    EXPECT_FALSE(coordinator->hasLaunchTimer());
}

} // namespace
} // namespace sollun::helper
