#include "SollunHelper/HelperCoordinator.h"

#include "SollunHelper/WakeScheduleWatcher.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "shared/AtomicFile.h"
#include "shared/WakeHelperStatus.h"
#include "tests/support/FakeDaemonTransport.h"
#include "tests/support/FakeEventLoop.h"
#include "tests/support/FakeLoginItem.h"
#include "tests/support/FakeWorkspace.h"
#include "tests/support/TempDir.h"
#include "tests/support/Texts.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <libintl.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <map>

namespace sollun::helper {
namespace {

using namespace std::chrono_literals;
using namespace test;
using ::testing::Contains;
using Lines = std::vector<std::string>;

constexpr Instant alarm{std::chrono::seconds(1772433000)}; // 2026-03-02T06:30:00Z

class HelperCoordinatorTest : public ::testing::Test {
protected:
    // Every request ends, so that no task is left waiting when the coordinator goes.
    void TearDown() override {
        while (!daemonRequests().empty())
            daemonAnswers();
    }

    void writeSchedule(std::int64_t revision, std::optional<Instant> wake,
                       std::optional<std::optional<Instant>> alarmDate = {}) {
        std::filesystem::create_directories(container);
        ASSERT_FALSE(writeFileAtomically(
            container / "wake-schedule.json",
            *encodeWakeSchedule({wake, alarmDate.value_or(wake), revision, "3.1"})));
    }
    // Schedules as the main application publishes them, each read as the watcher would.
    void publish(std::int64_t revision, std::optional<Instant> wake,
                 std::optional<std::optional<Instant>> alarmDate = {}) {
        writeSchedule(revision, wake, alarmDate);
        coordinator->reloadSchedule(false);
    }
    // Ends every request so far with `end`, and what that leads to.
    void endRequests(const std::function<void(Request&)>& end) {
        loop.runPending();
        for (const auto& connection : connector->made)
            for (auto& request : std::exchange(connection->requests, {}))
                end(request);
        loop.runPending();
    }
    // As the daemon would answer: version 1, every schedule accepted unless it is refused.
    void daemonAnswers(std::optional<std::string> refusal = {}) {
        endRequests([&](Request& request) {
            request.versionReply ? request.versionReply(1) : request.textReply(refusal);
        });
    }
    // The transport reports every request failed.
    void daemonFails() {
        endRequests([](Request& request) { request.fail("The connection was lost"); });
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

    // The daemon takes (or refuses) a wake an hour ahead with `alarmDate`.
    void schedule(std::optional<Instant> alarmDate, std::optional<std::string> refusal = {}) {
        service.status = serviceEnabled;
        publish(++serial, now() + 1h, alarmDate);
        daemonAnswers(refusal);
    }
    std::string lineFor(std::int64_t status) {
        service.status = status;
        coordinator->daemon().refreshRegistrationState();
        return plain(coordinator->statusText());
    }
    // What was logged since the last call.
    Lines newLogLines() {
        const auto lines = logLines(*log);
        return {lines.begin() + static_cast<std::ptrdiff_t>(std::exchange(logged, lines.size())),
                lines.end()};
    }
    // Dates as LC_TIME `timeLocale` writes them in `zone`. Also forgets any catalogue bound
    // before: none is in the data directory.
    void useLocale(const char* timeLocale, const char* zone) {
        lcTime.emplace("LC_TIME", timeLocale);
        tz.emplace("TZ", zone);
        platform::setUpLocalization();
        bindtextdomain("sollun-helper", dataHome.path().c_str());
    }
    // For the language "xx", first in LANGUAGE. A new directory each time: the C library keeps
    // a catalogue it has read for as long as its directory is bound.
    void translate(const std::map<std::string, std::string>& messages) {
        const auto root = dataHome / ("catalogue" + std::to_string(++serial));
        std::filesystem::create_directories(root / "xx/LC_MESSAGES");
        writeFile(root / "xx/LC_MESSAGES/sollun-helper.mo", messageCatalogue(messages));
        bindtextdomain("sollun-helper", root.c_str());
    }

    TempDir dataHome;
    ScopedEnvironmentVariable xdg{"XDG_DATA_HOME", dataHome.path().string()};
    ScopedEnvironmentVariable language{"LANGUAGE", "xx"};
    ScopedEnvironmentVariable lcAll{"LC_ALL", std::nullopt};
    ScopedEnvironmentVariable lang{"LANG", "C.UTF-8"};
    std::optional<ScopedEnvironmentVariable> lcTime;
    std::optional<ScopedEnvironmentVariable> tz;
    const std::filesystem::path container = dataHome / "group.com.kestrovane.sollun";
    FakeEventLoop loop;
    platform::ScopedMemoryLog log;
    ServiceScript service;
    std::shared_ptr<FakeConnector> connector = std::make_shared<FakeConnector>();
    FakeWorkspace* workspace = new FakeWorkspace;
    FakeSystemWake* systemWake = new FakeSystemWake;
    FakeSleepInhibitor* inhibitor = new FakeSleepInhibitor;
    FakeLoginItem* loginItem = new FakeLoginItem;
    std::unique_ptr<HelperCoordinator> coordinator = std::make_unique<HelperCoordinator>(
        loop,
        std::make_unique<WakeDaemonController>(loop, std::make_unique<FakeDaemonService>(service),
                                               connector),
        std::unique_ptr<Workspace>(workspace), std::unique_ptr<SystemWakeObserver>(systemWake),
        std::unique_ptr<SleepInhibitor>(inhibitor), std::unique_ptr<LoginItem>(loginItem));
    std::int64_t serial = 0; // of schedules and catalogues
    std::size_t logged = 0;  // log lines seen by newLogLines()
};

TEST_F(HelperCoordinatorTest, StartPublishesAtOnceThenAsksTheVersionThenReconcilesForced) {
    writeSchedule(-1, now() + 1h);
    coordinator->start();
    const auto second = std::chrono::floor<std::chrono::seconds>(now());
    EXPECT_EQ(status(),
              (WakeHelperStatus{"0.1.0", 0, WakeDaemonRegistrationState::enabled, second, {}}));
    EXPECT_EQ(daemonRequests(), Lines{"version"});
    coordinator->reloadSchedule(true); // as the watcher's may come before the version's answer
    EXPECT_EQ(daemonRequests(), Lines{"version"}) << "one request at a time";
    daemonAnswers();
    EXPECT_EQ(daemonRequests(), Lines{"schedule"}) << "forced, though -1 is the initial revision";
    daemonAnswers();
    EXPECT_EQ(status()->lastScheduledWake, now() + 1h);
    EXPECT_EQ(status()->daemonVersion, 1);
}

TEST_F(HelperCoordinatorTest, ActsOnADifferentRevisionOnlyAndNeverOnAnUnreadableSchedule) {
    writeSchedule(10, now() + 1h);
    started();
    publish(10, now() + 2h); // same revision, other instant: ignored
    writeFile(container / "wake-schedule.json", "{\"revision\":\"11\"}");
    coordinator->reloadSchedule(true);
    std::filesystem::remove(container / "wake-schedule.json");
    coordinator->reloadSchedule(true);
    EXPECT_TRUE(daemonRequests().empty());
    EXPECT_EQ(coordinator->pendingWakeDate(), now() + 1h);

    publish(3, std::nullopt); // lower counts as different; no wake clears
    EXPECT_EQ(daemonRequests(), Lines{"clear"});
    daemonAnswers();
    EXPECT_FALSE(coordinator->hasLaunchTimer());
    EXPECT_EQ(coordinator->lastScheduledWake(), std::nullopt);
    EXPECT_THAT(
        logLines(*log),
        Contains("info helper/coordinator: App-launch timer cleared (no wake date)").Times(1));
}

// A request that got no answer is sent again on its own, backing off, until one is answered; a
// refusal is an answer. The status never claims the unanswered wake.
TEST_F(HelperCoordinatorTest, AnUnansweredRequestIsSentAgainUntilAnswered) {
    writeSchedule(1, now() + 1h);
    started();
    publish(2, now() + 2h);
    daemonFails();
    EXPECT_EQ(status()->lastScheduledWake, std::nullopt);
    for (const auto wait : {5s, 10s, 20s}) {
        EXPECT_THAT(newLogLines(), Contains("info helper/coordinator: The schedule did not reach "
                                            "the daemon; sending it again in " +
                                            std::to_string(wait.count()) + "s"));
        loop.advance(wait - 1s);
        EXPECT_TRUE(daemonRequests().empty()) << wait.count();
        loop.advance(1s);
        EXPECT_EQ(daemonRequests(), Lines{"schedule"}) << wait.count();
        daemonFails();
    }
    EXPECT_THAT(
        logLines(*log),
        Contains("error helper/daemon-controller: XPC error: The connection was lost").Times(4));
    loop.advance(40s);
    daemonAnswers("0xe00002ca"); // refused: an answer all the same
    EXPECT_EQ(status()->lastScheduledWake, std::nullopt);
    loop.advance(1h);
    EXPECT_TRUE(daemonRequests().empty());
    EXPECT_TRUE(workspace->launches.empty()) << "sending again never re-arms the launch";

    // What goes again is the revision acted upon, not a rewrite under its number.
    const Instant processed = now() + 3h;
    publish(3, processed);
    daemonFails();
    writeSchedule(3, now() + 4h);
    loop.advance(5s);
    EXPECT_EQ(connector->made.back()->requests.at(0).date, processed);
    daemonAnswers();
    EXPECT_EQ(status()->lastScheduledWake, coordinator->pendingWakeDate());
}

// A burst of revisions while the daemon stalls: one request stays open, the newest takes the
// place of those waiting, and the answer to an older one is not published once a newer came.
TEST_F(HelperCoordinatorTest, ABurstAgainstAStalledDaemonEndsWithTheLastRevisionAlone) {
    const Instant base = now() + 1h;
    writeSchedule(1, base);
    started();
    for (int revision = 2; revision <= 150; ++revision) {
        publish(revision, base + std::chrono::minutes(revision));
        ASSERT_EQ(daemonRequests().size(), 1u) << revision;
    }
    daemonAnswers();
    EXPECT_EQ(status()->lastScheduledWake, base) << "revision 2's answer is no one's concern";
    EXPECT_EQ(connector->made.back()->requests.at(0).date, base + 150min);
    daemonAnswers();
    EXPECT_EQ(status()->lastScheduledWake, base + 150min);
    EXPECT_EQ(coordinator->lastScheduledAlarm(), base + 150min);
}

// The poll never reads a schedule again whose stamp shows it unchanged, decodable or not; one that
// changed, or whose stamp is too fresh to tell a further write, at every turn.
TEST_F(HelperCoordinatorTest, ThePollNeverReadsAnUnchangedScheduleAgain) {
    const auto realNow = [] {
        return std::chrono::floor<std::chrono::microseconds>(std::chrono::system_clock::now());
    };
    loop.setWallClock(realNow() + 10s);
    writeSchedule(1, now() + 1h);
    started();
    const int inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    // With the closes, so that no two opens in a row are merged into one event.
    ASSERT_GE(inotify_add_watch(inotify, container.c_str(), IN_OPEN | IN_CLOSE_NOWRITE), 0);
    const auto reads = [&] {
        int count = 0;
        alignas(inotify_event) char buffer[4096];
        for (ssize_t length; (length = read(inotify, buffer, sizeof buffer)) > 0;)
            for (ssize_t offset = 0; offset < length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
                count += (event->mask & IN_OPEN) && event->len > 0 &&
                         std::string_view(event->name) == "wake-schedule.json";
                offset += static_cast<ssize_t>(sizeof *event + event->len);
            }
        return count;
    };

    loop.advance(1h);
    writeFile(container / "wake-schedule.json", std::string(100'000, '['));
    loop.advance(1h);
    EXPECT_EQ(reads(), 1);
    writeSchedule(2, now() + 2h);
    loop.advance(5s);
    EXPECT_EQ(daemonRequests(), Lines{"schedule"});
    daemonAnswers();

    // Written "after" the loop's now: as by a write within the timestamps' granularity.
    loop.setWallClock(realNow() - 1min);
    writeSchedule(3, now() + 3h);
    reads();
    loop.advance(10s);
    EXPECT_EQ(reads(), 2);
    daemonAnswers();
    close(inotify);
}

TEST_F(HelperCoordinatorTest, TheLaunchTimerFollowsTheWallClockAndTheHeartbeatFiveMinutes) {
    writeSchedule(1, now() + 1h);
    loop.advance(250ms);
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
    EXPECT_THAT(logLines(*log),
                ::testing::IsSupersetOf({"info helper/coordinator: Armed app-launch timer for "
                                         "2026-03-01 23:10:05 +0000 (in 3599.750000s)",
                                         "info helper/coordinator: App-launch timer fired"}));
}

// Arming for a passed instant launches at once, a wake of the machine near the instant likewise;
// the log says how far the instant is (one at the very instant passed by 0, not by -0).
TEST_F(HelperCoordinatorTest, APassedInstantOrAWakeOfTheMachineLaunchesOnlyWithinTheWindow) {
    coordinator->start();
    systemWake->handler(); // no pending instant: nothing
    EXPECT_TRUE(workspace->launches.empty());
    const struct {
        bool byWake;
        std::chrono::milliseconds ahead;
        bool launches;
        std::string seconds; // as logged
    } rows[] = {
        {false, 0ms, true, "0.000000"},      {false, -599'999ms, true, "599.999000"},
        {false, -600s, false, "600.000000"}, {true, 120s, true, "120.000000"},
        {true, 121s, false, "121.000000"},   {true, -599s, true, "-599.000000"},
        {true, -600s, false, "-600.000000"},
    };
    for (const auto& row : rows) {
        workspace->launches.clear();
        coordinator->armLaunchTimer({now() + row.ahead, std::nullopt, 1, std::nullopt});
        if (row.byWake) {
            workspace->launches.clear();
            systemWake->handler();
        }
        EXPECT_EQ(workspace->launches.size(), row.launches ? 1u : 0u) << row.seconds;
        const std::string line = row.byWake ? "System woke; pending wake delta " + row.seconds + "s"
                                            : "Wake instant already passed by " + row.seconds +
                                                  "s; launching now if recent";
        EXPECT_THAT(newLogLines(), Contains("info helper/coordinator: " + line));
    }
    workspace->running = true; // nor when it runs already
    coordinator->armLaunchTimer({now(), std::nullopt, 1, std::nullopt});
    EXPECT_EQ(workspace->launches.size(), 0u);
}

// Whether Sollun runs already, is installed, and started: each told in the log; likewise a login
// item that cannot be changed.
TEST_F(HelperCoordinatorTest, ALaunchLogsWhatBecameOfIt) {
    const std::string launching = "info helper/coordinator: launchSollunIfNeeded: launching Sollun";
    const std::string at =
        "info helper/coordinator: Launching Sollun at /apps/com.kestrovane.sollun.desktop";
    const struct {
        bool running, installed;
        Workspace::LaunchResult outcome;
        Lines logged;
    } rows[] = {
        {true, true, pid_t{42},
         Lines{"info helper/coordinator: launchSollunIfNeeded: Sollun already running"}},
        {false, false, pid_t{42},
         Lines{launching,
               "error helper/coordinator: Sollun app not found (bundle id com.kestrovane.sollun)"}},
        {false, true, "No such file or directory",
         Lines{launching, at,
               "error helper/coordinator: Failed to launch Sollun: No such file or directory"}},
        {false, true, pid_t{4242},
         Lines{launching, at, "info helper/coordinator: Launched Sollun (pid 4242)"}},
    };
    for (const auto& row : rows) {
        workspace->running = row.running;
        workspace->installed = row.installed;
        workspace->outcome = row.outcome;
        coordinator->launchSollunIfNeeded(false);
        EXPECT_EQ(newLogLines(), row.logged);
    }
    loginItem->failure = "Permission denied";
    coordinator->setStartAtLogin(true);
    EXPECT_EQ(newLogLines(),
              Lines{"error helper/coordinator: Login-item toggle failed: Permission denied"});
}

TEST_F(HelperCoordinatorTest, TheStatusLineDateIsTheUsersTheRestAsTranslated) {
    schedule(alarm);
    useLocale("de_DE.UTF-8", "Asia/Kolkata"); // no German catalogue: only the date is German
    EXPECT_EQ(lineFor(serviceEnabled), "Next alarm: 02.03.2026, 12:00");
    useLocale("C", "UTC");
    const std::pair<const char*, std::string> translations[] = {
        {"%1$s (100%%)", "Mar 2, 2026, 6:30 AM (100%)"},
        {"%d%n %s %s", "%d%n Mar 2, 2026, 6:30 AM %s"}, // not printf
        {"Wecker", "Next alarm: Mar 2, 2026, 6:30 AM"}, // lost its argument: not used
    };
    for (const auto& [translation, line] : translations) {
        translate({{"Next alarm: %s", translation}, {"Not set up", "Nicht eingerichtet"}});
        EXPECT_EQ(lineFor(serviceEnabled), line) << translation;
    }
    EXPECT_EQ(lineFor(serviceNotFound), "Nicht eingerichtet");
    schedule(alarm + 24h, "refused"); // the alarm goes with the refused wake
    EXPECT_EQ(lineFor(serviceEnabled), "Active \xE2\x80\x94 no upcoming alarm");
}

// From a wake for the alarm until two minutes after it, fifteen after the wake instant at most; a
// schedule without an alarm as one whose alarm is at the wake instant. A return from sleep counts
// when it launches the main application; so does the instant, as it comes or when it has passed
// (a schedule read late, the helper started late) while its window lasts. Nothing else holds.
TEST_F(HelperCoordinatorTest, AWakeForTheAlarmKeepsTheMachineAwakeUntilTheAlarmHasSounded) {
    enum How { returned, timer, readLate };
    const struct {
        How how;
        std::chrono::seconds at; // from the wake instant, as the alarm and the end
        std::optional<std::chrono::minutes> alarm;
        std::optional<std::chrono::minutes> heldUntil; // nothing: never held
    } cases[] = {
        {returned, -120s, 5min, 7min},
        {returned, -121s, 5min, std::nullopt}, // an early wake of its own, the reach's
        {timer, 0s, std::nullopt, 2min},
        {timer, 0s, 30min, 15min},
        {readLate, 14min, 30min, 15min},
        {readLate, 7min, 5min, std::nullopt}, // the alarm's window is over
    };
    for (const auto& [how, at, alarmAfter, heldUntil] : cases) {
        const Instant wake = now() + 1h;
        const auto alarmDate = alarmAfter ? std::optional(wake + *alarmAfter) : std::nullopt;
        if (how != readLate)
            coordinator->armLaunchTimer({wake, alarmDate, 1, std::nullopt});
        loop.advance(1h + at);
        if (how == returned)
            coordinator->handleSystemWake();
        if (how == readLate)
            coordinator->armLaunchTimer({wake, alarmDate, 1, std::nullopt});
        inhibitor->answer();
        EXPECT_EQ(inhibitor->locks.size(), heldUntil ? 1u : 0u) << how << " " << at.count();
        if (heldUntil) {
            loop.advance(wake + *heldUntil - now() - 1ms);
            EXPECT_EQ(inhibitor->locks.size(), 1u) << how << " " << at.count();
            loop.advance(1ms);
            EXPECT_TRUE(inhibitor->locks.empty()) << how << " " << at.count();
        }
        coordinator->armLaunchTimer({std::nullopt, std::nullopt, 1, std::nullopt});
    }
    EXPECT_THAT(logLines(*log),
                Contains("info helper/stay-awake: Released sleep inhibitors: the alarm's window "
                         "ended")
                    .Times(4));
}

// A revision with the same wake and alarm keeps the hold; one that moves or clears them ends it.
// The reason is the alarm's time as the menu writes times. A refusal is logged once and costs the
// hold alone; the window's next wake, or 5 s, asks again, three times at most (logind refuses
// while the sleep it ends still counts as under way).
TEST_F(HelperCoordinatorTest, TheHoldEndsWithItsScheduleAndARefusalCostsItAlone) {
    useLocale("de_DE.UTF-8", "UTC");
    service.status = serviceEnabled;
    // The reasons of the locks held once the schedule is published.
    const auto heldFor = [&](std::optional<Instant> wake, std::optional<Instant> alarmDate) {
        publish(++serial, wake, alarmDate);
        inhibitor->answer();
        return inhibitor->reasons();
    };
    const Instant wake = now() + 1min; // 22:11:05
    heldFor(wake, wake + 5min);
    loop.advance(1min);
    EXPECT_EQ(heldFor(wake, wake + 5min), Lines{"Sollun's alarm is due at 22:16"});
    EXPECT_THAT(logLines(*log), Contains("info helper/stay-awake: Holding sleep inhibitors until "
                                         "2026-03-01 22:18:05 +0000 (Sollun's alarm is due at "
                                         "22:16)")
                                    .Times(1));
    EXPECT_EQ(inhibitor->asked, 1) << "kept, not asked for again";
    EXPECT_EQ(heldFor(wake, wake + 7min), Lines{"Sollun's alarm is due at 22:18"}) << "moved";
    EXPECT_EQ(heldFor(std::nullopt, std::nullopt), Lines{});
    heldFor(now(), now() + 5min);
    EXPECT_EQ(heldFor(now() + 24h, now() + 24h), Lines{}) << "the next day's";

    workspace->launches.clear();
    publish(++serial, now() - 10s, now() + 1min);
    const int asked = inhibitor->asked;
    inhibitor->answer("Access denied");
    coordinator->handleSystemWake();
    inhibitor->answer("Access denied");
    loop.advance(5s);
    inhibitor->answer("Access denied");
    loop.advance(5s);
    coordinator->handleSystemWake();
    EXPECT_TRUE(inhibitor->locks.empty());
    EXPECT_EQ(inhibitor->asked, asked + 2) << "three asks in all";
    EXPECT_THAT(logLines(*log), Contains(::testing::StartsWith("error")).Times(1));
    EXPECT_THAT(logLines(*log), Contains("error helper/stay-awake: Sleep inhibitors refused, the "
                                         "machine may sleep before the alarm: Access denied"));
    EXPECT_EQ(workspace->launches.size(), 3u) << "launched all the same, at every wake";

    publish(++serial, now() - 10s, now() + 2min);
    inhibitor->answer("The operation inhibition has been requested for is already running");
    loop.advance(5s);
    inhibitor->answer();
    EXPECT_EQ(inhibitor->reasons().size(), 1u) << "held at the second ask";
}

// The real events of a real directory are the integration suite's; here, what the watcher makes
// of them, its poll, and the poll alone when there is nothing to watch.
TEST_F(HelperCoordinatorTest, AWatchedEventCallsOnceAfterItsCallbackAndThePollKeepsItsPhase) {
    int calls = 0;
    WakeScheduleWatcher watcher{loop, [&] { ++calls; }};
    const auto emit = [&](std::uint32_t mask) { loop.emitDirectoryEvent(container, mask); };
    loop.advance(1min);
    watcher.start();
    EXPECT_TRUE(watcher.watchesDirectory());
    emit(IN_MOVED_FROM);
    emit(IN_MOVED_TO);
    EXPECT_EQ(calls, 0) << "called inside the event's callback";
    loop.runPending();
    EXPECT_EQ(calls, 1) << "one call for the events before it";
    emit(IN_DELETE_SELF);
    emit(IN_IGNORED); // the watch ending after a deletion is not a second change
    loop.advance(4999ms);
    EXPECT_EQ(calls, 2);
    loop.advance(1ms); // five seconds after start, whatever came between
    EXPECT_EQ(calls, 3);
}

TEST_F(HelperCoordinatorTest, WithoutAWatchTheWatcherPolls) {
    for (const bool hasContainer : {false, true}) {
        std::optional<ScopedEnvironmentVariable> noDataHome;
        if (!hasContainer)
            noDataHome.emplace("XDG_DATA_HOME", std::nullopt);
        ScopedEnvironmentVariable relativeHome("HOME", "relative/home");
        int calls = 0;
        loop.failWatch(container, std::errc::permission_denied);
        WakeScheduleWatcher watcher{loop, [&] { ++calls; }};
        watcher.start();
        EXPECT_FALSE(watcher.watchesDirectory());
        EXPECT_EQ(loop.emitDirectoryEvent(container, IN_CREATE), 0);
        loop.advance(20s);
        EXPECT_EQ(calls, 4);
    }
    EXPECT_EQ(logLines(*log),
              (Lines{"error helper/watcher: No App Group container; relying on poll only",
                     "error helper/watcher: Failed to open container for watching: Permission "
                     "denied"}));
}

} // namespace
} // namespace sollun::helper
