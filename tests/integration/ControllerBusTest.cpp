#include "SollunHelper/linux/LinuxWakeDaemonController.h"
#include "platform/Log.h"
#include "platform/Task.h"
#include "tests/support/LoopWatchdog.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <string>
#include <vector>

namespace sollun::helper {
namespace {

using namespace std::chrono_literals;
using test::PrivateBus;

constexpr const char* daemonName = "com.kestrovane.sollun.wakedaemon";

// The helper's daemon controller as it runs, against the real daemon on a private system bus.
class ControllerOnBus : public ::testing::Test {
protected:
    void startBus(bool activatable) {
        PrivateBus::Options options;
        if (activatable)
            options.services = {
                {"wakedaemon.service", test::activationFile(daemonName, SOLLUN_DAEMON_EXECUTABLE)}};
        bus = std::make_unique<PrivateBus>(options);
        address = std::make_unique<test::ScopedEnvironmentVariable>("DBUS_SYSTEM_BUS_ADDRESS",
                                                                    bus->address());
        controller = makeLinuxWakeDaemonController(
            loop, BusDaemonService::Setup{daemonName, shipped.path(), {}});
    }

    // Runs `task` on the loop to its end.
    template <class T>
    T run(platform::Task<T> task) {
        std::optional<T> result;
        platform::spawn(loop,
                        [](platform::Task<T> t, std::optional<T>& out,
                           platform::EventLoop& l) -> platform::Task<> {
                            out = co_await std::move(t);
                            l.exit(0);
                        }(std::move(task), result, loop));
        EXPECT_EQ(test::runWithWatchdog(loop, 20s), 0);
        return *result;
    }

    pid_t daemonPid() {
        const auto result = test::runProcess({"busctl", "--address=" + bus->address(), "call",
                                              "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                              "org.freedesktop.DBus", "GetConnectionUnixProcessID",
                                              "s", daemonName});
        return result.exitCode == 0 ? std::stoi(result.output.substr(2)) : -1;
    }

    test::TempDir state;
    test::ScopedEnvironmentVariable stateDirectory{"STATE_DIRECTORY", state.path().string()};
    test::TempDir shipped;
    platform::SdEventLoop loop;
    platform::ScopedMemoryLog log;
    std::unique_ptr<PrivateBus> bus;
    std::unique_ptr<test::ScopedEnvironmentVariable> address;
    std::unique_ptr<WakeDaemonController> controller;
};

TEST_F(ControllerOnBus, AnAcceptedScheduleReturnsItsDate) {
    startBus(true);
    controller->registerIfNeeded();
    EXPECT_EQ(controller->registrationState(), WakeDaemonRegistrationState::enabled);
    EXPECT_EQ(run(controller->fetchVersion()), 1);

    const auto wake =
        std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now()) + 1h;
    EXPECT_EQ(run(controller->scheduleWake(wake)), wake);
    EXPECT_EQ(run(controller->scheduleWake(std::nullopt)), std::nullopt);
    EXPECT_EQ(log->messages(), std::vector<std::string>{"Daemon already enabled"});
}

TEST_F(ControllerOnBus, WithoutTheDaemonEveryRequestYieldsItsDefault) {
    startBus(false);
    controller->registerIfNeeded();
    EXPECT_EQ(controller->registrationState(), WakeDaemonRegistrationState::notFound);
    EXPECT_EQ(run(controller->fetchVersion()), 0);
    EXPECT_FALSE(run(controller->clearWake()));
    EXPECT_EQ(run(controller->scheduleWake(std::chrono::system_clock::now() + 1h)), std::nullopt);

    const auto messages = log->messages();
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[0].rfind("Daemon registration failed: The wake daemon's definition is "
                                "missing from ",
                                0),
              0u)
        << messages[0];
    EXPECT_EQ(messages[1].rfind("XPC error: ", 0), 0u) << messages[1];
    EXPECT_NE(messages[1].find(daemonName), std::string::npos) << messages[1];
    EXPECT_EQ(messages[2].rfind("XPC error: ", 0), 0u) << messages[2];
    EXPECT_EQ(messages[3], "Skipping scheduleWake; daemon not enabled");
}

TEST_F(ControllerOnBus, AfterTheDaemonWasKilledTheNextRequestUsesANewConnection) {
    startBus(true);
    controller->registerIfNeeded();
    ASSERT_EQ(run(controller->fetchVersion()), 1);
    const auto first = controller->connection();
    ASSERT_TRUE(first);

    // Wait until the controller has let go of the interrupted connection.
    auto observation = controller->observe([&](std::string_view field) {
        if (field == "connection" && !controller->connection())
            loop.exit(0);
    });
    ASSERT_EQ(kill(daemonPid(), SIGKILL), 0);
    ASSERT_EQ(test::runWithWatchdog(loop), 0);

    EXPECT_EQ(run(controller->fetchVersion()), 1);
    EXPECT_TRUE(controller->connection());
    EXPECT_NE(controller->connection(), first);
}

TEST_F(ControllerOnBus, ShippedDefinitionAndApprovalStates) {
    startBus(false);
    test::writeFile(shipped / (std::string(daemonName) + ".service"),
                    test::activationFile(daemonName, SOLLUN_DAEMON_EXECUTABLE));
    controller = makeLinuxWakeDaemonController(
        loop, BusDaemonService::Setup{daemonName, shipped.path(), {}});
    EXPECT_EQ(controller->registrationState(), WakeDaemonRegistrationState::notRegistered);
    controller->registerIfNeeded();
    EXPECT_EQ(controller->registrationState(), WakeDaemonRegistrationState::requiresApproval);
    EXPECT_EQ(log->messages(), std::vector<std::string>{"Registered wake daemon"});
}

} // namespace
} // namespace sollun::helper
