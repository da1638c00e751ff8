// The SollunHelper program itself on private system and session buses: one instance per session,
// its menu as a tray host reads it, and quitting from the menu.

#include "tests/support/PrivateBus.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace sollun::test {
namespace {

constexpr const char* helperName = "com.kestrovane.sollun.helper";

class HelperProgram : public ::testing::Test {
protected:
    // `activatable`: whether the system bus can start the daemon (the registration is then
    // enabled; otherwise the helper asks for it, and it waits for approval).
    void startBuses(bool activatable) {
        PrivateBus::Options system;
        if (activatable)
            system.services = {
                {"wakedaemon.service",
                 activationFile("com.kestrovane.sollun.wakedaemon", SOLLUN_DAEMON_EXECUTABLE)}};
        systemBus = std::make_unique<PrivateBus>(system);
        sessionBus = std::make_unique<PrivateBus>(PrivateBus::Options{});
        systemAddress = std::make_unique<ScopedEnvironmentVariable>("DBUS_SYSTEM_BUS_ADDRESS",
                                                                    systemBus->address());
        sessionAddress = std::make_unique<ScopedEnvironmentVariable>("DBUS_SESSION_BUS_ADDRESS",
                                                                     sessionBus->address());
    }

    std::unique_ptr<BackgroundProcess> startHelper() {
        auto helper = std::make_unique<BackgroundProcess>(
            std::vector<std::string>{"setpriv", "--pdeathsig=KILL", SOLLUN_HELPER_EXECUTABLE});
        return helper;
    }

    // The pid owning `name` on the session bus once it has an owner; -1 after the limit.
    pid_t ownerOf(const std::string& name) {
        const auto waited = runProcess(
            {"gdbus", "wait", "--address", sessionBus->address(), "--timeout", "10", name});
        if (waited.exitCode != 0)
            return -1;
        const auto owner =
            session({"call", "--", "org.freedesktop.DBus", "/org/freedesktop/DBus",
                     "org.freedesktop.DBus", "GetConnectionUnixProcessID", "s", name});
        return owner.exitCode == 0 ? std::stoi(owner.output.substr(2)) : -1;
    }

    ProcessResult session(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(),
                         {"busctl", "--timeout=10", "--address=" + sessionBus->address()});
        return runProcess(arguments);
    }

    // The menu's rows, as a host reads them after telling the menu it is about to show it.
    std::vector<nlohmann::json> menuRows() {
        const auto shown = session({"call", "--", helperName, "/MenuBar", "com.canonical.dbusmenu",
                                    "AboutToShow", "i", "0"});
        EXPECT_EQ(shown.exitCode, 0) << shown.output;
        const auto layout =
            session({"--json=short", "call", "--", helperName, "/MenuBar", "com.canonical.dbusmenu",
                     "GetLayout", "iias", "0", "-1", "0"});
        EXPECT_EQ(layout.exitCode, 0) << layout.output;
        const auto reply = nlohmann::json::parse(layout.output, nullptr, false);
        std::vector<nlohmann::json> rows;
        if (reply.is_discarded())
            return rows;
        for (const auto& child : reply["data"][1][2]) {
            nlohmann::json row;
            for (const auto& [key, value] : child["data"][1].items())
                row[key] = value["data"];
            rows.push_back(row);
        }
        return rows;
    }

    TempDir data;
    ScopedEnvironmentVariable dataHome{"XDG_DATA_HOME", data.path().string()};
    TempDir config;
    ScopedEnvironmentVariable configHome{"XDG_CONFIG_HOME", config.path().string()};
    TempDir state;
    ScopedEnvironmentVariable stateDirectory{"STATE_DIRECTORY", state.path().string()};
    std::unique_ptr<PrivateBus> systemBus;
    std::unique_ptr<PrivateBus> sessionBus;
    std::unique_ptr<ScopedEnvironmentVariable> systemAddress;
    std::unique_ptr<ScopedEnvironmentVariable> sessionAddress;
};

TEST_F(HelperProgram, ASecondInstanceMakesTheFirstOneEnd) {
    startBuses(true);
    auto first = startHelper();
    ASSERT_EQ(ownerOf(helperName), first->pid());

    auto second = startHelper();
    EXPECT_EQ(first->waitForExit(), 0) << "the older instance ends, cleanly";
    EXPECT_EQ(ownerOf(helperName), second->pid()) << "the newer one carries on";
    EXPECT_EQ(session({"status", helperName}).exitCode, 0);
}

TEST_F(HelperProgram, ItsMenuWaitsForApprovalAndQuits) {
    startBuses(false); // the daemon cannot be started: the helper asks for it to be registered
    auto helper = startHelper();
    ASSERT_GT(ownerOf(helperName), 0);

    const auto rows = menuRows();
    ASSERT_EQ(rows.size(), 8u);
    EXPECT_EQ(rows[0]["label"], "Sollun — Wake From Sleep");
    EXPECT_EQ(rows[0]["enabled"], false);
    EXPECT_EQ(rows[1]["label"], "Waiting for approval in Login Items");
    EXPECT_EQ(rows[2]["type"], "separator");
    EXPECT_EQ(rows[3]["label"], "Approve in Login Items…");
    EXPECT_EQ(rows[4]["label"], "Launch Sollun");
    EXPECT_EQ(rows[5]["label"], "Start at Login");
    EXPECT_EQ(rows[5]["toggle-state"], 0);
    EXPECT_EQ(rows[6]["type"], "separator");
    EXPECT_EQ(rows[7]["label"], "Quit SollunHelper");
    EXPECT_EQ(rows[7]["shortcut"], nlohmann::json::parse(R"([["Control","q"]])"));

    // Start at Login, then Quit, as a host sends the clicks.
    ASSERT_EQ(session({"call", "--", helperName, "/MenuBar", "com.canonical.dbusmenu", "Event",
                       "isvu", "6", "clicked", "s", "", "0"})
                  .exitCode,
              0);
    EXPECT_EQ(menuRows().at(5)["toggle-state"], 1);
    EXPECT_TRUE(
        std::filesystem::exists(config / "autostart" / "com.kestrovane.sollun.helper.desktop"));

    ASSERT_EQ(session({"call", "--", helperName, "/MenuBar", "com.canonical.dbusmenu", "Event",
                       "isvu", "8", "clicked", "s", "", "0"})
                  .exitCode,
              0);
    EXPECT_EQ(helper->waitForExit(), 0);
}

} // namespace
} // namespace sollun::test
