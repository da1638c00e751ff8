#include "tests/integration/CoordinatorOnBuses.h"

namespace sollun::helper {
namespace {

TEST_F(CoordinatorOnBuses, FromTheScheduleToTheDaemonAndTheLaunches) {
    startCoordinator();
    // Whole seconds, as the main application writes it.
    const auto wake =
        std::chrono::ceil<std::chrono::seconds>(std::chrono::system_clock::now()) + 3s;
    writeSchedule(1, wake);
    runUntilPublished(wake);
    EXPECT_TRUE(storeHas(wake)) << store();
    EXPECT_TRUE(launchedPids().empty()) << "launched before the wake instant";

    runUntil([&] { return launchedPids().size() == 1; });
    EXPECT_GE(std::chrono::system_clock::now(), wake);

    // The machine wakes while the application is not running.
    ASSERT_EQ(kill(launchedPids().at(0), SIGKILL), 0);
    const auto emitted = test::runProcess(
        {"busctl", "--address=" + systemBus.address(), "call", "org.freedesktop.login1",
         "/org/freedesktop/login1", "org.freedesktop.DBus.Mock", "EmitSignal", "sssav",
         "org.freedesktop.login1.Manager", "PrepareForSleep", "b", "1", "b", "false"});
    ASSERT_EQ(emitted.exitCode, 0) << emitted.output;
    runUntil([&] { return launchedPids().size() == 2; });

    writeSchedule(2, std::nullopt);
    runUntilPublished(std::nullopt);
    EXPECT_EQ(store().find("com.kestrovane.sollun\""), std::string::npos) << store();
    EXPECT_FALSE(coordinator->hasLaunchTimer());
}

} // namespace
} // namespace sollun::helper
