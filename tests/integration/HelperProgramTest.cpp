// The SollunHelper program itself on private system and session buses. The system bus cannot
// start the daemon, so the helper asks for it to be registered and waits for approval.

#include "platform/linux/SdEventLoop.h"
#include "tests/support/LoopWatchdog.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

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
    // The labels of the menu's rows as a host fetches them, separators left out.
    std::vector<std::string> labels() {
        EXPECT_EQ(menu({"AboutToShow", "i", "0"}), "b true\n");
        const auto layout = nlohmann::json::parse(
            session({"--json=short", "--", "call", helperName, "/MenuBar", "com.canonical.dbusmenu",
                     "GetLayout", "iias", "0", "-1", "0"}));
        std::vector<std::string> found;
        for (const auto& row : layout["data"][1][2])
            if (const auto& properties = row["data"][1]; properties.contains("label"))
                found.push_back(properties["label"]["data"]);
        return found;
    }
    void waitForOwner() {
        EXPECT_EQ(runProcess({"gdbus", "wait", "--address", sessionBus.address(), "--timeout", "10",
                              helperName})
                      .exitCode,
                  0);
    }

    // Returns once the helper has published its status; the container is made here so that it
    // can be watched.
    void waitForPublishedStatus() {
        const auto container = home / "data/group.com.kestrovane.sollun";
        std::filesystem::create_directories(container);
        platform::SdEventLoop loop;
        const auto check = [&](auto&&...) {
            if (std::filesystem::exists(container / "helper-status.json"))
                loop.exit(0);
        };
        const auto watch = std::get<platform::Source>(
            loop.watchDirectory(container, IN_CLOSE_WRITE | IN_MOVED_TO, check));
        loop.post(check);
        ASSERT_EQ(runWithWatchdog(loop), 0);
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

    EXPECT_EQ(menu({"AboutToShow", "i", "0"}), "b true\n");
    EXPECT_EQ(menu({"GetProperty", "is", "2", "label"}),
              "v s \"Waiting for approval in Login Items\"\n");
    menu({"Event", "isvu", "8", "clicked", "s", "", "0"}); // Quit, as a host sends it

    EXPECT_EQ(second.waitForExit(), 0);
}

TEST_F(HelperProgram, EndsQuietlyWithItsSessionBus) {
    BackgroundProcess running(helper);
    waitForOwner();
    sessionBus.kill();
    EXPECT_EQ(running.waitForExit(), 0);
}

TEST_F(HelperProgram, WithoutASessionBusItDoesItsWorkAllTheSame) {
    ScopedEnvironmentVariable noSession{"DBUS_SESSION_BUS_ADDRESS",
                                        "unix:path=" + (home / "no-bus").string()};
    BackgroundProcess running(helper);
    waitForPublishedStatus();
    EXPECT_EQ(running.waitForExit(std::chrono::milliseconds(0)), -1) << "it runs on";
}

// Languages the system need not have a locale for: in C.UTF-8, LANGUAGE picks the catalogue.
TEST_F(HelperProgram, MenuInEachShippedLanguage) {
    const std::vector<std::string> english{
        "Sollun — Wake From Sleep", "Waiting for approval in Login Items",
        "Approve in Login Items…",  "Launch Sollun",
        "Start at Login",           "Quit SollunHelper"};
    const std::pair<const char*, const char*> titles[] = {
        {"de", "Sollun – Aus dem Ruhezustand wecken"},
        {"fr", "Sollun – Sortie de veille"},
        {"es", "Sollun — Reactivar desde la suspensión"},
        {"it", "Sollun – Riattivazione dalla sospensione"},
        {"pt_BR", "Sollun — Despertar da suspensão"},
        {"ja", "Sollun — スリープ解除"},
    };
    ScopedEnvironmentVariable all{"LC_ALL", std::nullopt};
    ScopedEnvironmentVariable messages{"LC_MESSAGES", std::nullopt};
    ScopedEnvironmentVariable lang{"LANG", "C.UTF-8"};
    for (const auto& [language, title] : titles) {
        ScopedEnvironmentVariable chosen{"LANGUAGE", language};
        BackgroundProcess running(helper);
        waitForOwner();
        const auto shown = labels();
        ASSERT_EQ(shown.size(), english.size()) << language;
        EXPECT_EQ(shown[0], title);
        for (std::size_t i = 0; i < shown.size(); ++i)
            EXPECT_NE(shown[i], english[i]) << language << ": untranslated";
        menu({"Event", "isvu", "8", "clicked", "s", "", "0"});
        EXPECT_EQ(running.waitForExit(), 0);
    }
}

} // namespace
} // namespace sollun::test
