#pragma once

// The coordinator with every real part: the daemon by activation on a private system bus,
// logind's stand-in there, a private session bus, the stand-in application as a desktop entry.

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

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/inotify.h>

#include <fstream>
#include <iterator>
#include <sstream>

namespace sollun::helper {

using namespace std::chrono_literals;

inline std::string readAll(const std::filesystem::path& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

class CoordinatorOnBuses : public ::testing::Test {
protected:
    static constexpr const char* daemonName = "com.kestrovane.sollun.wakedaemon";

    void SetUp() override {
        const auto waited = test::runProcess({"gdbus", "wait", "--address", systemBus.address(),
                                              "--timeout", "20", "org.freedesktop.login1"});
        ASSERT_EQ(waited.exitCode, 0) << waited.output;

        std::filesystem::create_directories(data / "applications");
        std::filesystem::create_directories(container);
        auto entry = readAll(SOLLUN_STUB_DESKTOP_TEMPLATE);
        const std::string exec = "@PROGRAM@ @RECORD@";
        entry.replace(entry.find(exec), exec.size(),
                      SOLLUN_STUB_EXECUTABLE " " + launches.string());
        test::writeFile(data / "applications" / "com.kestrovane.sollun.desktop", entry);

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

    // Runs the loop until `done()`, checked now and at every change the coordinator, its daemon
    // controller, the container or the launch records see. The exit is posted, so that the
    // change has had its effects.
    template <class Done>
    void runUntil(Done done) {
        bool exiting = false;
        auto check = [&](auto&&...) {
            if (!exiting && (exiting = done()))
                loop.post([&] { loop.exit(0); });
        };
        const auto coordinatorChanged = coordinator->observe(check);
        const auto daemonChanged = coordinator->daemon().observe(check);
        const auto written = [&](const std::filesystem::path& directory) {
            return std::get<platform::Source>(
                loop.watchDirectory(directory, IN_CLOSE_WRITE | IN_MOVED_TO, check));
        };
        const auto containerWritten = written(container), recorded = written(records.path());
        loop.post(check);
        ASSERT_EQ(test::runWithWatchdog(loop, 15s), 0);
    }

    // Returns once the daemon answered its version: a schedule written after is reconciled once.
    void startCoordinator() {
        coordinator->start();
        runUntil([&] { return coordinator->daemon().daemonVersion() != 0; });
    }

    // As the main application writes it: the alarm five minutes after the wake.
    void writeSchedule(std::int64_t revision, std::optional<Instant> wake) {
        ASSERT_FALSE(writeFileAtomically(
            container / "wake-schedule.json",
            *encodeWakeSchedule({wake, wake ? std::optional(*wake + 5min) : std::nullopt, revision,
                                 std::nullopt})));
    }

    // Runs the loop until the status file shows `wake` accepted by the enabled daemon.
    void runUntilPublished(std::optional<Instant> wake) {
        runUntil([&] {
            const auto text = readSmallFile(container / "helper-status.json", 4096);
            const auto status = text ? decodeWakeHelperStatus(*text) : std::nullopt;
            return status && status->lastScheduledWake == wake && status->daemonVersion == 1 &&
                   status->daemonState == WakeDaemonRegistrationState::enabled;
        });
    }

    std::vector<pid_t> launchedPids() {
        std::vector<pid_t> pids;
        std::istringstream lines(readAll(launches));
        for (std::string word; lines >> word;)
            if (word == "launched" && lines >> word)
                pids.push_back(std::stoi(word));
        return pids;
    }

    std::string store() { return readAll(state / "power-events.json"); }

    bool storeHas(Instant wake) {
        auto text = *rfc3339::format(wake);
        text.back() = '.'; // the store keeps microseconds
        return store().find(text) != std::string::npos;
    }

    // Set before the buses start: the daemon they activate inherits them.
    test::TempDir state, data, records, shipped;
    test::ScopedEnvironmentVariable stateDirectory{"STATE_DIRECTORY", state.path().string()};
    test::ScopedEnvironmentVariable dataHome{"XDG_DATA_HOME", data.path().string()};
    const std::filesystem::path container = data / "group.com.kestrovane.sollun";
    const std::filesystem::path launches = records / "launches";
    test::PrivateBus systemBus{
        {test::PrivateBus::Policy::open,
         {},
         {{"wakedaemon.service", test::activationFile(daemonName, SOLLUN_DAEMON_EXECUTABLE)}}}};
    test::PrivateBus sessionBus{test::PrivateBus::Options{}};
    // Without the guid, so that the helper also takes the bus started again on the socket.
    test::ScopedEnvironmentVariable systemAddress{"DBUS_SYSTEM_BUS_ADDRESS",
                                                  systemBus.socketAddress()};
    test::ScopedEnvironmentVariable sessionAddress{"DBUS_SESSION_BUS_ADDRESS",
                                                   sessionBus.address()};
    test::BackgroundProcess logind{{"setpriv", "--pdeathsig=KILL", "/usr/bin/python3", "-m",
                                    "dbusmock", "--system", "-t", "logind"}};
    platform::SdEventLoop loop;
    std::unique_ptr<HelperCoordinator> coordinator;
};

} // namespace sollun::helper
