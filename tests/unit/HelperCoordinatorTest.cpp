#include "SollunHelper/HelperCoordinator.h"

#include "platform/Log.h"
#include "shared/AtomicFile.h"
#include "shared/WakeHelperStatus.h"
#include "tests/support/FakeDaemonTransport.h"
#include "tests/support/FakeEventLoop.h"
#include "tests/support/FakeLoginItem.h"
#include "tests/support/FakeWorkspace.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/inotify.h>

#include <string>
#include <vector>

namespace sollun::helper {
namespace {

using namespace std::chrono_literals;
using namespace test;

class HelperCoordinatorTest : public ::testing::Test {
protected:
    HelperCoordinatorTest() {
        auto workspaceOwned = std::make_unique<FakeWorkspace>();
        auto wakeOwned = std::make_unique<FakeSystemWake>();
        auto loginOwned = std::make_unique<FakeLoginItem>();
        workspace = workspaceOwned.get();
        systemWake = wakeOwned.get();
        loginItem = loginOwned.get();
        connector = std::make_shared<FakeConnector>();
        coordinator = std::make_unique<HelperCoordinator>(
            loop,
            std::make_unique<WakeDaemonController>(
                loop, std::make_unique<FakeDaemonService>(service), connector),
            std::move(workspaceOwned), std::move(wakeOwned), std::move(loginOwned));
    }

    // Every request ends, so that no task is left waiting when the coordinator goes.
    void TearDown() override {
        loop.runPending();
        while (!daemonRequests().empty())
            daemonAnswers();
    }

    void writeSchedule(std::int64_t revision, std::optional<Instant> wake,
                       std::optional<Instant> alarm = std::nullopt) {
        std::filesystem::create_directories(container);
        ASSERT_FALSE(
            writeFileAtomically(container / "wake-schedule.json",
                                *encodeWakeSchedule({wake, alarm, revision, std::string("3.1")})));
    }

    // Answers every request the daemon has received so far as the daemon would (version 1,
    // every schedule accepted), then lets the loop carry on.
    void daemonAnswers() {
        loop.runPending();
        for (const auto& connection : connector->made) {
            auto requests = std::move(connection->requests);
            for (auto& request : requests) {
                if (request.versionReply)
                    request.versionReply(1);
                else
                    request.textReply(std::nullopt);
            }
        }
        loop.runPending();
    }

    std::vector<std::string> daemonRequests() {
        std::vector<std::string> operations;
        for (const auto& connection : connector->made)
            for (const auto& request : connection->requests)
                operations.push_back(request.operation);
        return operations;
    }

    std::optional<WakeHelperStatus> status() {
        const auto text = readSmallFile(container / "helper-status.json", 4096);
        return text ? decodeWakeHelperStatus(*text) : std::nullopt;
    }

    // The coordinator started and its start-up task through: the daemon answered its version.
    void started() {
        coordinator->start();
        daemonAnswers();
        daemonAnswers();
        log->clear();
    }

    Instant now() const { return loop.now(); }

    TempDir dataHome;
    ScopedEnvironmentVariable xdg{"XDG_DATA_HOME", dataHome.path().string()};
    const std::filesystem::path container = dataHome / "group.com.kestrovane.sollun";
    FakeEventLoop loop;
    platform::ScopedMemoryLog log;
    ServiceScript service;
    std::shared_ptr<FakeConnector> connector;
    FakeWorkspace* workspace = nullptr;
    FakeSystemWake* systemWake = nullptr;
    FakeLoginItem* loginItem = nullptr;
    std::unique_ptr<HelperCoordinator> coordinator;
};

TEST_F(HelperCoordinatorTest, StartPublishesAtOnceThenAppliesTheScheduleForced) {
    writeSchedule(-1, loop.now() + 1h, loop.now() + 1h + 5min);
    coordinator->start();

    // Written during start(), before the version is known and before any schedule.
    const auto first = status();
    ASSERT_TRUE(first);
    EXPECT_EQ(*first,
              (WakeHelperStatus{"0.1.0", 0, WakeDaemonRegistrationState::enabled,
                                std::chrono::floor<std::chrono::seconds>(now()), std::nullopt}));
    EXPECT_TRUE(coordinator->hasWatcher());
    EXPECT_TRUE(coordinator->hasHeartbeatTimer());
    EXPECT_TRUE(coordinator->hasWakeObserver());
    EXPECT_FALSE(coordinator->hasLaunchTimer()) << "the start-up task runs after start()";

    daemonAnswers(); // the version
    EXPECT_EQ(coordinator->daemon().daemonVersion(), 1);
    EXPECT_EQ(coordinator->lastProcessedRevision(), -1) << "forced, though -1 is the initial";
    EXPECT_TRUE(coordinator->hasLaunchTimer());
    EXPECT_EQ(daemonRequests(), std::vector<std::string>{"schedule"});

    daemonAnswers(); // the schedule
    EXPECT_EQ(coordinator->lastScheduledWake(), now() + 1h);
    EXPECT_EQ(coordinator->lastScheduledAlarm(), now() + 1h + 5min);
    EXPECT_EQ(status()->lastScheduledWake, now() + 1h);
    EXPECT_EQ(status()->daemonVersion, 1);
}

TEST_F(HelperCoordinatorTest, ActsOnADifferentRevisionOnly) {
    writeSchedule(10, now() + 1h);
    started();

    writeSchedule(10, now() + 2h); // same revision, other instant: ignored
    coordinator->reloadSchedule(false);
    EXPECT_TRUE(daemonRequests().empty());
    EXPECT_EQ(coordinator->pendingWakeDate(), now() + 1h);

    writeSchedule(3, now() + 3h); // lower counts as different
    coordinator->reloadSchedule(false);
    EXPECT_EQ(coordinator->lastProcessedRevision(), 3);
    EXPECT_EQ(coordinator->pendingWakeDate(), now() + 3h);
    daemonAnswers();
    EXPECT_EQ(coordinator->lastScheduledWake(), now() + 3h);
}

TEST_F(HelperCoordinatorTest, AMissingOrBrokenScheduleChangesNothing) {
    writeSchedule(7, now() + 1h);
    started();
    ASSERT_TRUE(coordinator->hasLaunchTimer());

    for (const char* content : {"", "{\"revision\":", "{\"revision\":\"8\"}", "[]"}) {
        writeFile(container / "wake-schedule.json", content);
        coordinator->reloadSchedule(false);
    }
    std::filesystem::remove(container / "wake-schedule.json");
    coordinator->reloadSchedule(true);
    std::filesystem::create_directory(container / "wake-schedule.json"); // a directory now
    coordinator->reloadSchedule(true);

    EXPECT_EQ(coordinator->lastProcessedRevision(), 7);
    EXPECT_TRUE(coordinator->hasLaunchTimer());
    EXPECT_EQ(coordinator->lastScheduledWake(), now() + 1h);
    EXPECT_TRUE(daemonRequests().empty());
    EXPECT_TRUE(log->entries().empty()) << "a failed read is silent";
}

TEST_F(HelperCoordinatorTest, WithTheDaemonNotEnabledTheTimerIsStillArmed) {
    service.status = serviceRequiresApproval;
    writeSchedule(1, now() + 1h, now() + 2h);
    started();
    EXPECT_EQ(coordinator->lastProcessedRevision(), 1);
    EXPECT_TRUE(coordinator->hasLaunchTimer());
    EXPECT_EQ(coordinator->lastScheduledWake(), std::nullopt);
    EXPECT_EQ(coordinator->lastScheduledAlarm(), std::nullopt);
    EXPECT_EQ(status()->daemonState, WakeDaemonRegistrationState::requiresApproval);
    EXPECT_EQ(status()->lastScheduledWake, std::nullopt);

    // Approving later does not resend the same revision by itself.
    service.status = serviceEnabled;
    coordinator->reloadSchedule(false);
    EXPECT_TRUE(daemonRequests().empty());
}

TEST_F(HelperCoordinatorTest, TheAlarmIsRememberedOnlyWithAnAcceptedWake) {
    writeSchedule(1, std::nullopt, now() + 1h); // no wake: cleared, alarm forgotten
    started();
    EXPECT_EQ(coordinator->lastScheduledWake(), std::nullopt);
    EXPECT_EQ(coordinator->lastScheduledAlarm(), std::nullopt);
    EXPECT_EQ(log->messages(), std::vector<std::string>{});

    writeSchedule(2, now() + 1h); // accepted, no alarm
    coordinator->reloadSchedule(false);
    daemonAnswers();
    EXPECT_EQ(coordinator->lastScheduledWake(), now() + 1h);
    EXPECT_EQ(coordinator->lastScheduledAlarm(), std::nullopt);
}

TEST_F(HelperCoordinatorTest, TheLaunchTimerFiresAtTheWakeInstant) {
    writeSchedule(1, now() + 90s);
    started();
    loop.advance(89s);
    EXPECT_TRUE(workspace->launches.empty());
    loop.advance(1s);
    EXPECT_EQ(log->messages(),
              (std::vector<std::string>{"App-launch timer fired",
                                        "launchSollunIfNeeded: launching Sollun",
                                        "Launching Sollun at /apps/com.kestrovane.sollun.desktop",
                                        "Launched Sollun (pid 42)"}));
    EXPECT_EQ(workspace->launches,
              std::vector<std::string>{"/apps/com.kestrovane.sollun.desktop background"});
}

TEST_F(HelperCoordinatorTest, AScheduleWithoutWakeDisarmsTheTimer) {
    writeSchedule(1, now() + 90s);
    started();
    writeSchedule(2, std::nullopt);
    coordinator->reloadSchedule(false);
    EXPECT_FALSE(coordinator->hasLaunchTimer());
    EXPECT_EQ(log->messages(), std::vector<std::string>{"App-launch timer cleared (no wake date)"});
    loop.advance(1h);
    EXPECT_TRUE(workspace->launches.empty());
}

TEST_F(HelperCoordinatorTest, APassedWakeInstantLaunchesOnlyWithinItsWindow) {
    struct Case {
        std::chrono::milliseconds passed;
        bool launches;
        const char* logged;
    };
    for (const auto& c : {
             Case{0ms, true, "Wake instant already passed by 0.000000s; launching now if recent"},
             Case{599'999ms, true,
                  "Wake instant already passed by 599.999000s; launching now if recent"},
             Case{600'000ms, false,
                  "Wake instant already passed by 600.000000s; launching now if recent"},
         }) {
        workspace->launches.clear();
        log->clear();
        coordinator->armLaunchTimer({now() - c.passed, std::nullopt, 1, std::nullopt});
        EXPECT_FALSE(coordinator->hasLaunchTimer());
        EXPECT_EQ(workspace->launches.size(), c.launches ? 1u : 0u) << c.passed.count();
        EXPECT_EQ(log->messages().at(0), c.logged);
    }
    log->clear();
    coordinator->armLaunchTimer({now() + 1500ms, std::nullopt, 1, std::nullopt});
    EXPECT_EQ(log->messages(), std::vector<std::string>{"Armed app-launch timer for 2026-03-01 "
                                                        "22:10:06 +0000 (in 1.500000s)"});
}

TEST_F(HelperCoordinatorTest, AWakeOfTheMachineLaunchesNearThePendingInstant) {
    coordinator->start();
    systemWake->handler(); // no pending instant: nothing, not even a line
    EXPECT_TRUE(log->messages().empty() ||
                log->messages().back().find("System woke") == std::string::npos);

    struct Case {
        std::chrono::seconds ahead;
        bool launches;
    };
    for (const auto& c :
         {Case{120s, true}, Case{121s, false}, Case{-599s, true}, Case{-600s, false}}) {
        // Arm for an instant relative to now, then let the machine "wake" right away.
        coordinator->armLaunchTimer({now() + c.ahead, std::nullopt, 1, std::nullopt});
        workspace->launches.clear();
        log->clear();
        systemWake->handler();
        EXPECT_EQ(workspace->launches.size(), c.launches ? 1u : 0u) << c.ahead.count();
        EXPECT_EQ(log->messages().at(0), "System woke; pending wake delta " +
                                             std::to_string(c.ahead.count()) + ".000000s");
    }
}

TEST_F(HelperCoordinatorTest, LaunchesAreSkippedOrReportedAsTheDesktopAnswers) {
    workspace->running = true;
    coordinator->launchSollunIfNeeded(false);
    workspace->running = false;
    workspace->installed = false;
    coordinator->launchSollunIfNeeded(false);
    workspace->installed = true;
    workspace->outcome = std::string("No such file or directory");
    coordinator->launchSollunIfNeeded(false);

    const auto entries = log->entries();
    std::vector<std::string> lines;
    for (const auto& e : entries)
        lines.push_back((e.level == platform::LogLevel::error ? "E " : "I ") + e.message);
    EXPECT_EQ(lines,
              (std::vector<std::string>{"I launchSollunIfNeeded: Sollun already running",
                                        "I launchSollunIfNeeded: launching Sollun",
                                        "E Sollun app not found (bundle id com.kestrovane.sollun)",
                                        "I launchSollunIfNeeded: launching Sollun",
                                        "I Launching Sollun at /apps/com.kestrovane.sollun.desktop",
                                        "E Failed to launch Sollun: No such file or directory"}));
    EXPECT_EQ(entries.at(0).category, "coordinator");
}

TEST_F(HelperCoordinatorTest, TheHeartbeatRewritesTheStatusEveryFiveMinutes) {
    started();
    const auto first = status()->lastHeartbeat;
    loop.advance(299s);
    EXPECT_EQ(status()->lastHeartbeat, first);
    loop.advance(1s);
    EXPECT_EQ(status()->lastHeartbeat, first + 300s);
    loop.advance(300s);
    EXPECT_EQ(status()->lastHeartbeat, first + 600s);
}

TEST_F(HelperCoordinatorTest, AChangeInTheContainerReconcilesWithoutWaitingForThePoll) {
    writeSchedule(1, now() + 1h);
    started();
    writeSchedule(2, now() + 2h);
    ASSERT_EQ(loop.emitDirectoryEvent(container, IN_MOVED_TO), 1);
    loop.runPending();
    EXPECT_EQ(coordinator->lastProcessedRevision(), 2);

    writeSchedule(3, now() + 3h); // no event: the poll finds it
    loop.advance(5s);
    EXPECT_EQ(coordinator->lastProcessedRevision(), 3);
}

} // namespace
} // namespace sollun::helper
