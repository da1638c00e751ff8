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

namespace sollun::helper {
namespace {

using namespace std::chrono_literals;
using namespace test;
using Lines = std::vector<std::string>;

class HelperCoordinatorTest : public ::testing::Test {
protected:
    // Every request ends, so that no task is left waiting when the coordinator goes.
    void TearDown() override {
        while (!daemonRequests().empty())
            daemonAnswers();
    }

    void writeSchedule(std::int64_t revision, std::optional<Instant> wake) {
        std::filesystem::create_directories(container);
        ASSERT_FALSE(writeFileAtomically(container / "wake-schedule.json",
                                         *encodeWakeSchedule({wake, wake, revision, "3.1"})));
    }
    // Answers every request so far as the daemon would: version 1, every schedule accepted.
    void daemonAnswers() {
        loop.runPending();
        for (const auto& connection : connector->made)
            for (auto& request : std::exchange(connection->requests, {}))
                request.versionReply ? request.versionReply(1) : request.textReply(std::nullopt);
        loop.runPending();
    }
    Lines daemonRequests() {
        loop.runPending();
        Lines operations;
        for (const auto& connection : connector->made)
            for (const auto& request : connection->requests)
                operations.push_back(request.operation);
        return operations;
    }
    std::optional<WakeHelperStatus> status() {
        const auto text = readSmallFile(container / "helper-status.json", 4096);
        return text ? decodeWakeHelperStatus(*text) : std::nullopt;
    }
    // Started, and the start-up task through: the version, then the forced reconciliation.
    void started() {
        coordinator->start();
        daemonAnswers();
        daemonAnswers();
    }
    Instant now() const { return loop.now(); }

    TempDir dataHome;
    ScopedEnvironmentVariable xdg{"XDG_DATA_HOME", dataHome.path().string()};
    const std::filesystem::path container = dataHome / "group.com.kestrovane.sollun";
    FakeEventLoop loop;
    platform::ScopedMemoryLog log;
    ServiceScript service;
    std::shared_ptr<FakeConnector> connector = std::make_shared<FakeConnector>();
    FakeWorkspace* workspace = new FakeWorkspace;
    FakeSystemWake* systemWake = new FakeSystemWake;
    std::unique_ptr<HelperCoordinator> coordinator = std::make_unique<HelperCoordinator>(
        loop,
        std::make_unique<WakeDaemonController>(loop, std::make_unique<FakeDaemonService>(service),
                                               connector),
        std::unique_ptr<Workspace>(workspace), std::unique_ptr<SystemWakeObserver>(systemWake),
        std::make_unique<FakeLoginItem>());
};

TEST_F(HelperCoordinatorTest, StartPublishesAtOnceThenAsksTheVersionThenReconcilesForced) {
    writeSchedule(-1, now() + 1h);
    coordinator->start();
    EXPECT_EQ(status(), (WakeHelperStatus{"0.1.0",
                                          0,
                                          WakeDaemonRegistrationState::enabled,
                                          std::chrono::floor<std::chrono::seconds>(now()),
                                          {}}));
    EXPECT_EQ(daemonRequests(), Lines{"version"});
    daemonAnswers();
    EXPECT_EQ(daemonRequests(), Lines{"schedule"}) << "forced, though -1 is the initial revision";
    daemonAnswers();
    EXPECT_EQ(status()->lastScheduledWake, now() + 1h);
    EXPECT_EQ(status()->daemonVersion, 1);
}

TEST_F(HelperCoordinatorTest, ActsOnADifferentRevisionOnlyAndNeverOnAnUnreadableSchedule) {
    writeSchedule(10, now() + 1h);
    started();
    writeSchedule(10, now() + 2h); // same revision, other instant: ignored
    coordinator->reloadSchedule(false);
    writeFile(container / "wake-schedule.json", "{\"revision\":\"11\"}");
    coordinator->reloadSchedule(true);
    std::filesystem::remove(container / "wake-schedule.json");
    coordinator->reloadSchedule(true);
    EXPECT_TRUE(daemonRequests().empty());
    EXPECT_EQ(coordinator->pendingWakeDate(), now() + 1h);

    writeSchedule(3, std::nullopt); // lower counts as different; no wake clears
    coordinator->reloadSchedule(false);
    EXPECT_EQ(daemonRequests(), Lines{"clear"});
    daemonAnswers();
    EXPECT_FALSE(coordinator->hasLaunchTimer());
    EXPECT_EQ(coordinator->lastScheduledWake(), std::nullopt);
}

TEST_F(HelperCoordinatorTest, TheLaunchTimerFollowsTheWallClockAndTheHeartbeatFiveMinutes) {
    writeSchedule(1, now() + 1h);
    started();
    const auto heartbeat = status()->lastHeartbeat;
    loop.advance(299s);
    EXPECT_EQ(status()->lastHeartbeat, heartbeat);
    loop.advance(1s);
    EXPECT_EQ(status()->lastHeartbeat, heartbeat + 300s);
    loop.advance(50min);
    loop.setWallClock(now() - 1h); // set back: the instant is further away again
    loop.advance(60min);
    EXPECT_TRUE(workspace->launches.empty());
    loop.setWallClock(now() + 1h); // set forward past it: due at once
    EXPECT_EQ(workspace->launches, Lines{"/apps/com.kestrovane.sollun.desktop background"});
}

TEST_F(HelperCoordinatorTest, APassedInstantOrAWakeOfTheMachineLaunchesOnlyWithinTheWindow) {
    coordinator->start();
    systemWake->handler(); // no pending instant: nothing
    EXPECT_TRUE(workspace->launches.empty());
    // Arming for a passed instant launches at once; a wake of the machine launches near it.
    const std::tuple<bool, std::chrono::milliseconds, bool> cases[] = {
        {false, 0ms, true},  {false, -599'999ms, true}, {false, -600s, false}, {true, 120s, true},
        {true, 121s, false}, {true, -599s, true},       {true, -600s, false}};
    for (const auto& [byWake, ahead, launches] : cases) {
        workspace->launches.clear();
        coordinator->armLaunchTimer({now() + ahead, std::nullopt, 1, std::nullopt});
        if (byWake) {
            workspace->launches.clear();
            systemWake->handler();
        }
        EXPECT_EQ(workspace->launches.size(), launches ? 1u : 0u) << byWake << ahead.count();
    }
    workspace->running = true; // nor when it runs already
    coordinator->armLaunchTimer({now(), std::nullopt, 1, std::nullopt});
    EXPECT_EQ(workspace->launches.size(), 0u);
}

} // namespace
} // namespace sollun::helper
