// Figures for the helper's coordinator, printed as plain lines:
//
//   coordinator_bench latency [rounds]    atomic write of wake-schedule.json -> the new event in
//                                         the daemon's store (real daemon, private bus); after
//                                         the first rounds, one a second at most, which is all
//                                         the daemon takes of one user's changes
//   coordinator_bench reload [rounds]     reloadSchedule(false) with an unchanged file, with a
//                                         stand-in registration and with the real one on a bus
//   coordinator_bench lateness [rounds]   a wall-clock launch timer against its instant
//
// Run it from the profile preset, with TMPDIR on a real disk.

#include "SollunHelper/HelperCoordinator.h"
#include "SollunHelper/daemon/LinuxWakeDaemonController.h"
#include "bench/Samples.h"
#include "platform/Task.h"
#include "platform/linux/SdEventLoop.h"
#include "shared/AtomicFile.h"
#include "shared/Rfc3339.h"
#include "tests/support/FakeDaemonTransport.h"
#include "tests/support/FakeLoginItem.h"
#include "tests/support/FakeWorkspace.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/TempDir.h"

#include <sys/inotify.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace sollun;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* daemonName = "com.kestrovane.sollun.wakedaemon";

struct QuietWorkspace final : helper::Workspace {
    bool isRunning(const std::string&) override { return true; }
    std::optional<std::string> locate(const std::string&) override { return std::nullopt; }
    void launch(const std::string&, bool, std::function<void(LaunchResult)>) override {}
    std::unique_ptr<RunningWatch> watchRunning(const std::string&, std::function<void()>) override {
        return nullptr;
    }
    void openURL(const std::string&, const std::optional<std::string>&,
                 const std::string&) override {}
};

struct NoWakes final : helper::SystemWakeObserver {
    struct Nothing final : Token {};
    std::unique_ptr<Token> observeDidWake(std::function<void()>) override {
        return std::make_unique<Nothing>();
    }
};

using bench::report;
using bench::timed;

// A container, a private system bus whose daemon is the real one, and a started coordinator.
struct Setup {
    Setup() {
        bus = std::make_unique<test::PrivateBus>(test::PrivateBus::Options{
            test::PrivateBus::Policy::open,
            {},
            {{"wakedaemon.service", test::activationFile(daemonName, SOLLUN_DAEMON_EXECUTABLE)}}});
        address = std::make_unique<test::ScopedEnvironmentVariable>("DBUS_SYSTEM_BUS_ADDRESS",
                                                                    bus->address());
        std::filesystem::create_directories(container);
        systemBus = std::make_unique<helper::SystemBus>(loop);
        coordinator = std::make_unique<helper::HelperCoordinator>(
            loop,
            helper::makeLinuxWakeDaemonController(
                loop, *systemBus, helper::BusDaemonService::Setup{daemonName, shipped.path(), {}}),
            std::make_unique<QuietWorkspace>(), std::make_unique<NoWakes>(),
            std::make_unique<test::FakeSleepInhibitor>(), std::make_unique<test::FakeLoginItem>());
    }

    void write(std::int64_t revision, Instant wake) {
        writeFileAtomically(container / "wake-schedule.json",
                            *encodeWakeSchedule({wake, std::nullopt, revision, std::nullopt}));
    }

    test::TempDir state;
    test::ScopedEnvironmentVariable stateDirectory{"STATE_DIRECTORY", state.path().string()};
    test::TempDir data;
    test::ScopedEnvironmentVariable xdg{"XDG_DATA_HOME", data.path().string()};
    test::TempDir shipped;
    const std::filesystem::path container = data / "group.com.kestrovane.sollun";
    platform::SdEventLoop loop;
    std::unique_ptr<test::PrivateBus> bus;
    std::unique_ptr<test::ScopedEnvironmentVariable> address;
    std::unique_ptr<helper::SystemBus> systemBus;
    std::unique_ptr<helper::HelperCoordinator> coordinator;
};

void latency(int rounds) {
    Setup setup;
    const auto base =
        std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now()) + 24h;
    setup.write(0, base);
    setup.coordinator->start();

    // The daemon's store changes by a rename into its state directory.
    std::string expected;
    Clock::time_point written;
    std::vector<double> samples;
    auto storeWatch = std::get<platform::Source>(setup.loop.watchDirectory(
        setup.state.path(), IN_MOVED_TO, [&](const platform::DirectoryEvent&) {
            if (expected.empty())
                return;
            const std::string store = test::readFile(setup.state / "power-events.json");
            if (store.find(expected) == std::string::npos)
                return;
            samples.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - written).count());
            expected.clear();
            setup.loop.exit(0);
        }));
    // Let start-up settle: version, first forced pass, its store write.
    auto settle = setup.loop.addWallTimer(setup.loop.now() + 500ms, [&] { setup.loop.exit(0); });
    setup.loop.run();

    // The start-up's request and a few to spare below the burst go fast; then one a second.
    constexpr int unpaced = 16;
    for (int i = 1; i <= rounds; ++i) {
        if (i > unpaced) {
            auto pace = setup.loop.addWallTimer(setup.loop.now() + 1s, [&] { setup.loop.exit(0); });
            setup.loop.run();
        }
        const auto wake = base + std::chrono::minutes(i);
        auto text = *rfc3339::format(wake);
        expected = text.substr(0, text.size() - 1); // the store writes microseconds after this
        written = Clock::now();
        setup.write(i, wake);
        auto limit = setup.loop.addWallTimer(setup.loop.now() + 10s, [&] {
            std::fprintf(stderr, "round %d: no store change within 10 s\n", i);
            setup.loop.exit(1);
        });
        if (setup.loop.run() != 0)
            std::exit(1);
    }
    report("schedule write -> daemon store", samples, "ms");
}

void reload(int rounds) {
    // A stand-in registration: the reconciliation's own cost.
    {
        test::TempDir data;
        test::ScopedEnvironmentVariable xdg("XDG_DATA_HOME", data.path().string());
        std::filesystem::create_directories(data / "group.com.kestrovane.sollun");
        writeFileAtomically(
            data / "group.com.kestrovane.sollun" / "wake-schedule.json",
            R"({"wakeDate":"2026-03-02T05:25:00Z","alarmDate":"2026-03-02T05:30:00Z",)"
            R"("revision":42,"writerVersion":"3.1"})");
        platform::SdEventLoop loop;
        test::ServiceScript script;
        script.status = helper::serviceRequiresApproval; // nothing goes to a daemon
        helper::HelperCoordinator coordinator(
            loop,
            std::make_unique<helper::WakeDaemonController>(
                loop, std::make_unique<test::FakeDaemonService>(script),
                std::make_shared<test::FakeConnector>()),
            std::make_unique<QuietWorkspace>(), std::make_unique<NoWakes>(),
            std::make_unique<test::FakeSleepInhibitor>(), std::make_unique<test::FakeLoginItem>());
        coordinator.reloadSchedule(true);
        report("reloadSchedule(false), unchanged, no bus",
               timed(rounds, [&](int) { coordinator.reloadSchedule(false); }));
    }
    // The real registration, answered from what it holds; the schedule, written just now, is
    // read at every pass.
    Setup setup;
    setup.write(42, currentInstant() + 24h);
    setup.coordinator->reloadSchedule(true);
    report("reloadSchedule(false), unchanged, bus registration",
           timed(rounds, [&](int) { setup.coordinator->reloadSchedule(false); }));
}

void lateness(int rounds) {
    platform::SdEventLoop loop;
    std::vector<double> samples;
    for (int i = 0; i < rounds; ++i) {
        const auto at = loop.now() + std::chrono::milliseconds(20 + i % 7);
        auto timer = loop.addWallTimer(at, [&] {
            samples.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::system_clock::now() - at)
                    .count());
            loop.exit(0);
        });
        loop.run();
    }
    report("launch timer lateness", samples, "ms");
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    const int count = argc > 2 ? std::atoi(argv[2]) : 0;
    if (mode == "latency")
        latency(count > 0 ? count : 60);
    else if (mode == "reload")
        reload(count > 0 ? count : 20000);
    else if (mode == "lateness")
        lateness(count > 0 ? count : 200);
    else {
        std::fprintf(stderr, "usage: coordinator_bench latency|reload|lateness [count]\n");
        return 2;
    }
    return 0;
}
