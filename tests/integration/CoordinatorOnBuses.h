#pragma once

// The coordinator with every real part: the daemon started by activation on a private system bus,
// logind's stand-in on that bus, a private session bus, the stand-in main application installed
// as a desktop entry, and a container in a temporary data directory. The coordinator is made in
// SetUp and left to the test to start.

#include "SollunHelper/HelperCoordinator.h"
#include "SollunHelper/linux/GioWorkspace.h"
#include "SollunHelper/linux/LinuxWakeDaemonController.h"
#include "SollunHelper/linux/LogindWakeObserver.h"
#include "shared/AtomicFile.h"
#include "shared/Rfc3339.h"
#include "shared/WakeHelperStatus.h"
#include "tests/support/FakeLoginItem.h"
#include "tests/support/LoopWatchdog.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/inotify.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace sollun::helper {

inline std::string readAll(const std::filesystem::path& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

class CoordinatorOnBuses : public ::testing::Test {
protected:
    static constexpr const char* daemonName = "com.kestrovane.sollun.wakedaemon";

    void SetUp() override {
        using test::PrivateBus;
        systemBus = std::make_unique<PrivateBus>(PrivateBus::Options{
            PrivateBus::Policy::open,
            {},
            {{"wakedaemon.service", test::activationFile(daemonName, SOLLUN_DAEMON_EXECUTABLE)}}});
        sessionBus = std::make_unique<PrivateBus>(PrivateBus::Options{});
        // Without the guid, so that the helper may also reach a bus started again on the socket.
        systemAddress = std::make_unique<test::ScopedEnvironmentVariable>(
            "DBUS_SYSTEM_BUS_ADDRESS", systemBus->socketAddress());
        sessionAddress = std::make_unique<test::ScopedEnvironmentVariable>(
            "DBUS_SESSION_BUS_ADDRESS", sessionBus->address());

        logind = std::make_unique<test::BackgroundProcess>(
            std::vector<std::string>{"setpriv", "--pdeathsig=KILL", "/usr/bin/python3", "-m",
                                     "dbusmock", "--system", "-t", "logind"});
        const auto waited = test::runProcess({"gdbus", "wait", "--address", systemBus->address(),
                                              "--timeout", "20", "org.freedesktop.login1"});
        ASSERT_EQ(waited.exitCode, 0) << waited.output;

        // The main application's desktop entry, its launches recorded in `launches`.
        std::filesystem::create_directories(data / "applications");
        test::writeFile(launches, "");
        auto entry = readAll(SOLLUN_STUB_DESKTOP_TEMPLATE);
        replace(entry, "@PROGRAM@", SOLLUN_STUB_EXECUTABLE);
        replace(entry, "@RECORD@", launches.string());
        test::writeFile(data / "applications" / "com.kestrovane.sollun.desktop", entry);
        std::filesystem::create_directories(container);

        coordinator = std::make_unique<HelperCoordinator>(
            loop,
            makeLinuxWakeDaemonController(loop,
                                          BusDaemonService::Setup{daemonName, shipped.path(), {}}),
            std::make_unique<GioWorkspace>(), std::make_unique<LogindWakeObserver>(loop),
            std::make_unique<test::FakeLoginItem>());
    }

    void TearDown() override {
        for (const pid_t pid : launchedPids())
            ::kill(pid, SIGKILL);
    }

    // Starts the coordinator and runs the loop until the daemon has answered its version: the
    // start-up is over, and a schedule published now is reconciled exactly once.
    void startCoordinator() {
        coordinator->start();
        auto started = coordinator->daemon().observe([&](std::string_view field) {
            if (field == "daemonVersion")
                loop.exit(0);
        });
        ASSERT_EQ(test::runWithWatchdog(loop, std::chrono::seconds(15)), 0);
    }

    // As the main application publishes: atomically, the alarm five minutes after the wake.
    void writeSchedule(std::int64_t revision, std::optional<Instant> wake) {
        using namespace std::chrono_literals;
        ASSERT_FALSE(writeFileAtomically(
            container / "wake-schedule.json",
            *encodeWakeSchedule({wake, wake ? std::optional(*wake + 5min) : std::nullopt, revision,
                                 std::nullopt})));
    }

    std::vector<pid_t> launchedPids() {
        std::vector<pid_t> pids;
        std::istringstream lines(readAll(launches));
        for (std::string word; lines >> word;)
            if (word == "launched" && lines >> word)
                pids.push_back(std::stoi(word));
        return pids;
    }

    // Runs the loop until the stand-in application has been launched `count` times in all.
    void runUntilLaunched(std::size_t count) {
        auto watch = std::get<platform::Source>(
            loop.watchDirectory(records.path(), IN_CLOSE_WRITE, [&](const auto&) {
                if (launchedPids().size() >= count)
                    loop.exit(0);
            }));
        ASSERT_EQ(test::runWithWatchdog(loop, std::chrono::seconds(15)), 0);
    }

    std::optional<WakeHelperStatus> status() {
        const auto text = readSmallFile(container / "helper-status.json", 4096);
        return text ? decodeWakeHelperStatus(*text) : std::nullopt;
    }

    // Runs the loop until the status file has been written with `wake` as its scheduled wake
    // and the daemon's version.
    void runUntilPublished(std::optional<Instant> wake) {
        auto check = [&] {
            const auto published = status();
            if (published && published->lastScheduledWake == wake && published->daemonVersion == 1)
                loop.exit(0);
        };
        auto watch = std::get<platform::Source>(
            loop.watchDirectory(container, IN_MOVED_TO, [&](const auto&) { check(); }));
        loop.post(check);
        ASSERT_EQ(test::runWithWatchdog(loop, std::chrono::seconds(15)), 0);
    }

    std::string store() { return readAll(state / "power-events.json"); }

    // Whether the daemon's store holds a power event at `wake` (whole seconds).
    bool storeHas(Instant wake) {
        auto text = *rfc3339::format(wake);
        text.pop_back();
        text += ".000000Z";
        return store().find(text) != std::string::npos;
    }

    static void replace(std::string& text, const std::string& what, const std::string& with) {
        text.replace(text.find(what), what.size(), with);
    }

    test::TempDir state;
    test::ScopedEnvironmentVariable stateDirectory{"STATE_DIRECTORY", state.path().string()};
    test::TempDir data;
    test::ScopedEnvironmentVariable dataHome{"XDG_DATA_HOME", data.path().string()};
    test::TempDir records;
    test::TempDir shipped;
    const std::filesystem::path container = data / "group.com.kestrovane.sollun";
    const std::filesystem::path launches = records / "launches";
    platform::SdEventLoop loop;
    std::unique_ptr<test::PrivateBus> systemBus;
    std::unique_ptr<test::PrivateBus> sessionBus;
    std::unique_ptr<test::ScopedEnvironmentVariable> systemAddress;
    std::unique_ptr<test::ScopedEnvironmentVariable> sessionAddress;
    std::unique_ptr<test::BackgroundProcess> logind;
    std::unique_ptr<HelperCoordinator> coordinator;
};

} // namespace sollun::helper
