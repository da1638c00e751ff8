// The coordinator with every real part: the daemon started by activation on a private system bus,
// logind's stand-in on that bus, a private session bus, the stand-in main application installed
// as a desktop entry, and a container in a temporary data directory.

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
namespace {

using namespace std::chrono_literals;
using test::PrivateBus;

constexpr const char* daemonName = "com.kestrovane.sollun.wakedaemon";

std::string readAll(const std::filesystem::path& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::string replaced(std::string text, const std::string& what, const std::string& with) {
    text.replace(text.find(what), what.size(), with);
    return text;
}

class CoordinatorEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        systemBus = std::make_unique<PrivateBus>(PrivateBus::Options{
            PrivateBus::Policy::open,
            {},
            {{"wakedaemon.service", test::activationFile(daemonName, SOLLUN_DAEMON_EXECUTABLE)}}});
        sessionBus = std::make_unique<PrivateBus>(PrivateBus::Options{});
        systemAddress = std::make_unique<test::ScopedEnvironmentVariable>("DBUS_SYSTEM_BUS_ADDRESS",
                                                                          systemBus->address());
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
        test::writeFile(data / "applications" / "com.kestrovane.sollun.desktop",
                        replaced(replaced(readAll(SOLLUN_STUB_DESKTOP_TEMPLATE), "@PROGRAM@",
                                          SOLLUN_STUB_EXECUTABLE),
                                 "@RECORD@", launches.string()));
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
            kill(pid, SIGKILL);
    }

    void writeSchedule(std::int64_t revision, std::optional<Instant> wake) {
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
        ASSERT_EQ(test::runWithWatchdog(loop, 15s), 0);
    }

    // Runs the loop until the status file has been written with `wake` as its scheduled wake.
    void runUntilPublished(std::optional<Instant> wake) {
        auto check = [&] {
            const auto text = readSmallFile(container / "helper-status.json", 4096);
            const auto status = text ? decodeWakeHelperStatus(*text) : std::nullopt;
            if (status && status->lastScheduledWake == wake && status->daemonVersion == 1)
                loop.exit(0);
        };
        auto watch = std::get<platform::Source>(
            loop.watchDirectory(container, IN_MOVED_TO, [&](const auto&) { check(); }));
        loop.post(check);
        ASSERT_EQ(test::runWithWatchdog(loop, 15s), 0);
    }

    std::string store() { return readAll(state / "power-events.json"); }

    test::TempDir state;
    test::ScopedEnvironmentVariable stateDirectory{"STATE_DIRECTORY", state.path().string()};
    test::TempDir data;
    test::ScopedEnvironmentVariable dataHome{"XDG_DATA_HOME", data.path().string()};
    test::TempDir records;
    test::TempDir shipped;
    const std::filesystem::path container = data / "group.com.kestrovane.sollun";
    const std::filesystem::path launches = records / "launches";
    platform::SdEventLoop loop;
    std::unique_ptr<PrivateBus> systemBus;
    std::unique_ptr<PrivateBus> sessionBus;
    std::unique_ptr<test::ScopedEnvironmentVariable> systemAddress;
    std::unique_ptr<test::ScopedEnvironmentVariable> sessionAddress;
    std::unique_ptr<test::BackgroundProcess> logind;
    std::unique_ptr<HelperCoordinator> coordinator;
};

TEST_F(CoordinatorEndToEnd, FromTheScheduleToTheWakeAndTheLaunch) {
    // A wake a few seconds ahead, in whole seconds as the main application writes it.
    coordinator->start();
    // Start-up over (the daemon answered its version) before the main application publishes,
    // so that exactly one reconciliation reaches the daemon.
    auto started = coordinator->daemon().observe([&](std::string_view field) {
        if (field == "daemonVersion")
            loop.exit(0);
    });
    ASSERT_EQ(test::runWithWatchdog(loop, 15s), 0);
    started.reset();

    const auto wake =
        std::chrono::ceil<std::chrono::seconds>(std::chrono::system_clock::now()) + 3s;
    writeSchedule(1, wake);
    runUntilPublished(wake);
    const auto wakeText = *rfc3339::format(wake);
    EXPECT_NE(store().find(wakeText.substr(0, wakeText.size() - 1) + ".000000Z"), std::string::npos)
        << store();
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
