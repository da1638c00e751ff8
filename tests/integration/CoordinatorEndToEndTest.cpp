#include "tests/integration/CoordinatorOnBuses.h"

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

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

    // The machine wakes while the application is not running: gone, not just signalled.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, launchedPids().at(0), 0));
    ASSERT_GE(pidfd, 0);
    ASSERT_EQ(kill(launchedPids().at(0), SIGKILL), 0);
    pollfd ended{pidfd, POLLIN, 0};
    ASSERT_EQ(poll(&ended, 1, 10'000), 1);
    close(pidfd);
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
