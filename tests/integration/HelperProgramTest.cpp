// The SollunHelper program itself on private system and session buses. The system bus cannot
// start the daemon, so the helper asks for it to be registered and waits for approval.

#include "tests/support/PrivateBus.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

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
    // The pid owning the helper's name once it has an owner.
    pid_t owner() {
        EXPECT_EQ(runProcess({"gdbus", "wait", "--address", sessionBus.address(), "--timeout", "10",
                              helperName})
                      .exitCode,
                  0);
        const auto pid =
            session({"call", "org.freedesktop.DBus", "/org/freedesktop/DBus",
                     "org.freedesktop.DBus", "GetConnectionUnixProcessID", "s", helperName});
        return pid.size() > 2 ? std::stoi(pid.substr(2)) : -1;
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
    ASSERT_EQ(owner(), first.pid());
    BackgroundProcess second(helper);
    EXPECT_EQ(first.waitForExit(), 0) << "the older instance ends, cleanly";
    ASSERT_EQ(owner(), second.pid()) << "the newer one carries on";

    EXPECT_EQ(menu({"AboutToShow", "i", "0"}), "b true\n");
    // The rows' labels, as busctl shows them.
    EXPECT_EQ(menu({"GetGroupProperties", "aias", "0", "1", "label"}),
              R"(a(ia{sv}) 9 0 0 1 1 "label" s "Sollun \342\200\224 Wake From Sleep" )"
              R"(2 1 "label" s "Waiting for approval in Login Items" 3 0 )"
              R"(4 1 "label" s "Approve in Login Items\342\200\246" 5 1 "label" s "Launch Sollun" )"
              R"(6 1 "label" s "Start at Login" 7 0 8 1 "label" s "Quit SollunHelper")"
              "\n");
    // Start at Login, then Quit, as a host sends the clicks.
    menu({"Event", "isvu", "6", "clicked", "s", "", "0"});
    menu({"AboutToShow", "i", "0"});
    EXPECT_EQ(menu({"GetProperty", "is", "6", "toggle-state"}), "v i 1\n");
    menu({"Event", "isvu", "8", "clicked", "s", "", "0"});
    EXPECT_EQ(second.waitForExit(), 0);
}

} // namespace
} // namespace sollun::test
