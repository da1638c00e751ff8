// The SollunHelper program itself on private system and session buses. The system bus cannot
// start the daemon, so the helper asks for it to be registered and waits for approval.

#include "platform/linux/SdEventLoop.h"
#include "shared/AtomicFile.h"
#include "shared/WakeHelperStatus.h"
#include "tests/support/LoopWatchdog.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/inotify.h>

namespace sollun::test {
namespace {

constexpr const char* helperName = "com.kestrovane.sollun.helper";

class HelperProgram : public ::testing::Test {
protected:
    // busctl on the session bus: its output, the call expected to succeed.
    std::string session(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(),
                         {"busctl", "--timeout=10", "--address=" + sessionBus.address()});
        const auto result = runProcess(arguments);
        EXPECT_EQ(result.exitCode, 0) << result.output;
        return result.output;
    }
    std::string menu(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(),
                         {"call", helperName, "/MenuBar", "com.canonical.dbusmenu"});
        return session(arguments);
    }
    // Until the helper's status file shows the registration as `state`: the system bus answers
    // the helper on its own time, while its menu is already served.
    void waitForDaemonState(WakeDaemonRegistrationState state) {
        const auto container = home / "data" / "group.com.kestrovane.sollun";
        std::filesystem::create_directories(container);
        const auto shows = [&] {
            const auto text = readSmallFile(container / "helper-status.json", 4096);
            const auto status = text ? decodeWakeHelperStatus(*text) : std::nullopt;
            return status && status->daemonState == state;
        };
        platform::SdEventLoop loop;
        const auto watch = std::get<platform::Source>(
            loop.watchDirectory(container, IN_MOVED_TO, [&](const platform::DirectoryEvent&) {
                if (shows())
                    loop.exit(0);
            }));
        if (!shows()) {
            EXPECT_EQ(runWithWatchdog(loop), 0);
        }
    }
    void waitForOwner() {
        EXPECT_EQ(runProcess({"gdbus", "wait", "--address", sessionBus.address(), "--timeout", "10",
                              helperName})
                      .exitCode,
                  0);
    }

    TempDir home;
    ScopedEnvironmentVariable dataHome{"XDG_DATA_HOME", (home / "data").string()};
    ScopedEnvironmentVariable configHome{"XDG_CONFIG_HOME", (home / "config").string()};
    ScopedEnvironmentVariable stateDirectory{"STATE_DIRECTORY", (home / "state").string()};
    PrivateBus systemBus{PrivateBus::Options{}};
    PrivateBus sessionBus{PrivateBus::Options{}};
    ScopedEnvironmentVariable systemAddress{"DBUS_SYSTEM_BUS_ADDRESS", systemBus.address()};
    ScopedEnvironmentVariable sessionAddress{"DBUS_SESSION_BUS_ADDRESS", sessionBus.address()};
    const std::vector<std::string> helper{"setpriv", "--pdeathsig=KILL", SOLLUN_HELPER_EXECUTABLE};
};

TEST_F(HelperProgram, OneInstancePerSessionWithItsMenuOnTheBusUntilQuit) {
    BackgroundProcess first(helper);
    waitForOwner();
    BackgroundProcess second(helper);
    EXPECT_EQ(first.waitForExit(), 0) << "the older instance ends, cleanly";
    waitForOwner(); // the newer one carries on, and answers below

    waitForDaemonState(WakeDaemonRegistrationState::requiresApproval);
    EXPECT_EQ(menu({"AboutToShow", "i", "0"}), "b true\n");
    EXPECT_EQ(menu({"GetProperty", "is", "2", "label"}),
              "v s \"Waiting for approval in Login Items\"\n");
    menu({"Event", "isvu", "8", "clicked", "s", "", "0"}); // Quit, as a host sends it

    EXPECT_EQ(second.waitForExit(), 0);
}

} // namespace
} // namespace sollun::test
