// The helper's log lines are an interface: operators search the journal for them. Each one is
// produced here on its own path through a coordinator made of fakes, and must come out once, at
// its level, under the helper's subsystem and its category, with exactly this text.

#include "SollunHelper/HelperCoordinator.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "shared/AtomicFile.h"
#include "tests/support/FakeDaemonTransport.h"
#include "tests/support/FakeEventLoop.h"
#include "tests/support/FakeLoginItem.h"
#include "tests/support/FakeWorkspace.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <ostream>

namespace sollun::platform {
void PrintTo(const MemoryLogSink::Entry& entry, std::ostream* out) {
    *out << (entry.level == LogLevel::info ? "info " : "error ") << entry.subsystem << "/"
         << entry.category << " \"" << entry.message << "\"";
}
} // namespace sollun::platform

namespace sollun::helper {
namespace {

using namespace std::chrono_literals;
using namespace test;
using platform::LogLevel;

const Instant t0 = FakeEventLoop::defaultStart; // 2026-03-01T22:10:05Z

// A helper whose daemon, desktop, wake observer and login item are fakes; the daemon answers
// only when told.
struct Helper {
    // Every request ends, so that no task is left waiting when the coordinator goes.
    ~Helper() {
        loop.runPending();
        while (std::ranges::any_of(connector->made, hasRequests))
            answer(std::nullopt);
    }

    // Started with the daemon's version answered.
    void start() {
        coordinator->start();
        answer(std::nullopt);
    }
    // The main application publishes a new revision waking at `wake`, and the coordinator reads
    // it as on the watcher's next call.
    void publish(std::optional<Instant> wake) {
        std::filesystem::create_directories(container);
        ASSERT_FALSE(writeFileAtomically(container / "wake-schedule.json",
                                         *encodeWakeSchedule({wake, wake, ++revision, "3.1"})));
        coordinator->reloadSchedule(false);
        loop.runPending();
    }
    // The wake instant passed a moment ago, so the main application is launched at once.
    void wakeJustPassed() {
        start();
        publish(loop.now() - 10s);
    }
    // The same, and the machine is kept awake until two minutes after the alarm, due with the
    // wake, when logind answers as `refusal` says.
    void keptAwake(const std::optional<std::string>& refusal = std::nullopt) {
        platform::setUpLocalization();
        wakeJustPassed();
        inhibitor->answer(refusal);
    }
    // The daemon answers every pending request: version 1, a schedule accepted or refused.
    void answer(const std::optional<std::string>& refusal) {
        loop.runPending();
        for (const auto& connection : connector->made)
            for (auto& request : std::exchange(connection->requests, {}))
                request.versionReply ? request.versionReply(1) : request.textReply(refusal);
        loop.runPending();
    }
    // The transport reports every pending request failed.
    void fail(const std::string& description) {
        for (const auto& connection : connector->made)
            for (auto& request : std::exchange(connection->requests, {}))
                request.fail(description);
        loop.runPending();
    }
    static bool hasRequests(const std::shared_ptr<FakeConnection>& connection) {
        return !connection->requests.empty();
    }

    platform::ScopedMemoryLog log;
    // English texts, times as German writes them: the same with any ICU.
    ScopedEnvironmentVariable zone{"TZ", "UTC"};
    ScopedEnvironmentVariable all{"LC_ALL", std::nullopt};
    ScopedEnvironmentVariable lang{"LANG", "C.UTF-8"};
    ScopedEnvironmentVariable time{"LC_TIME", "de_DE.UTF-8"};
    ScopedEnvironmentVariable messages{"LC_MESSAGES", std::nullopt};
    ScopedEnvironmentVariable language{"LANGUAGE", std::nullopt};
    TempDir dataHome;
    ScopedEnvironmentVariable xdg{"XDG_DATA_HOME", dataHome.path().string()};
    const std::filesystem::path container = dataHome / "group.com.kestrovane.sollun";
    FakeEventLoop loop;
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
    std::int64_t revision = 0;
};

TEST(HelperLogText, EachLineComesOutOnceOnItsPathWithItsText) {
    constexpr auto controller = "daemon-controller", coordinator = "coordinator",
                   stayAwake = "stay-awake", watcher = "watcher";
    const struct {
        std::function<void(Helper&)> path;
        LogLevel level;
        const char* category;
        std::string text;
    } rows[] = {
        {[](Helper& h) {
             h.service.status = serviceNotRegistered;
             h.service.statusAfterRegistering = serviceRequiresApproval;
             h.start();
         },
         LogLevel::info, controller, "Registered wake daemon"},
        {[](Helper& h) {
             h.service.status = h.service.statusAfterRegistering = serviceNotFound;
             h.service.registrationError = "Authorization was dismissed";
             h.start();
         },
         LogLevel::error, controller, "Daemon registration failed: Authorization was dismissed"},
        {[](Helper& h) { h.start(); }, LogLevel::info, controller, "Daemon already enabled"},
        {[](Helper& h) {
             h.service.status = serviceRequiresApproval;
             h.start();
         },
         LogLevel::info, controller, "Daemon requires user approval in Login Items"},
        {[](Helper& h) {
             h.service.status = serviceRequiresApproval;
             h.start();
             h.publish(t0 + 1h);
         },
         LogLevel::info, controller, "Skipping scheduleWake; daemon not enabled"},
        {[](Helper& h) {
             h.start();
             h.publish(t0 + 1h);
             h.fail("Connection refused");
         },
         LogLevel::error, controller, "XPC error: Connection refused"},
        {[](Helper& h) {
             h.start();
             h.publish(t0 + 1h);
             h.answer("IOPMSchedulePowerEvent failed: 0xe00002c1");
         },
         LogLevel::error, controller,
         "Daemon rejected wake: IOPMSchedulePowerEvent failed: 0xe00002c1"},

        {[](Helper& h) {
             h.start();
             h.publish(std::nullopt);
         },
         LogLevel::info, coordinator, "App-launch timer cleared (no wake date)"},
        {[](Helper& h) {
             h.start();
             h.loop.advance(250ms);
             h.publish(t0 + 1h);
         },
         LogLevel::info, coordinator,
         "Armed app-launch timer for 2026-03-01 23:10:05 +0000 (in 3599.750000s)"},
        {[](Helper& h) {
             h.start();
             h.publish(t0 - 90s);
         },
         LogLevel::info, coordinator,
         "Wake instant already passed by 90.000000s; launching now if recent"},
        {[](Helper& h) {
             h.start();
             h.publish(t0 + 10s);
             h.loop.advance(10s);
         },
         LogLevel::info, coordinator, "App-launch timer fired"},
        {[](Helper& h) {
             h.start();
             h.publish(t0 - 30s);
             h.systemWake->handler();
         },
         LogLevel::info, coordinator, "System woke; pending wake delta -30.000000s"},
        {[](Helper& h) {
             h.workspace->running = true;
             h.wakeJustPassed();
         },
         LogLevel::info, coordinator, "launchSollunIfNeeded: Sollun already running"},
        {[](Helper& h) { h.wakeJustPassed(); }, LogLevel::info, coordinator,
         "launchSollunIfNeeded: launching Sollun"},
        {[](Helper& h) {
             h.workspace->installed = false;
             h.wakeJustPassed();
         },
         LogLevel::error, coordinator, "Sollun app not found (bundle id com.kestrovane.sollun)"},
        {[](Helper& h) { h.wakeJustPassed(); }, LogLevel::info, coordinator,
         "Launching Sollun at /apps/com.kestrovane.sollun.desktop"},
        {[](Helper& h) {
             h.workspace->outcome = "No such file or directory";
             h.wakeJustPassed();
         },
         LogLevel::error, coordinator, "Failed to launch Sollun: No such file or directory"},
        {[](Helper& h) {
             h.workspace->outcome = pid_t{4242};
             h.wakeJustPassed();
         },
         LogLevel::info, coordinator, "Launched Sollun (pid 4242)"},
        {[](Helper& h) { h.keptAwake(); }, LogLevel::info, stayAwake,
         "Holding sleep inhibitors until 2026-03-01 22:11:55 +0000 (Sollun's alarm is due at "
         "22:09)"},
        {[](Helper& h) {
             h.keptAwake();
             h.loop.advance(110s);
         },
         LogLevel::info, stayAwake, "Released sleep inhibitors: the alarm's window ended"},
        {[](Helper& h) { h.keptAwake("Access denied"); }, LogLevel::error, stayAwake,
         "Sleep inhibitors refused, the machine may sleep before the alarm: Access denied"},
        {[](Helper& h) {
             h.loginItem->failure = "Permission denied";
             h.start();
             h.coordinator->setStartAtLogin(true);
         },
         LogLevel::error, coordinator, "Login-item toggle failed: Permission denied"},

        {[](Helper& h) {
             const ScopedEnvironmentVariable noDataHome("XDG_DATA_HOME", std::nullopt);
             const ScopedEnvironmentVariable relativeHome("HOME", "relative/home");
             h.start();
         },
         LogLevel::error, watcher, "No App Group container; relying on poll only"},
        {[](Helper& h) {
             h.loop.failWatch(h.container, std::errc::permission_denied);
             h.start();
         },
         LogLevel::error, watcher, "Failed to open container for watching: Permission denied"},
    };
    for (const auto& row : rows) {
        Helper helper;
        row.path(helper);
        const platform::MemoryLogSink::Entry expected{row.level, "com.kestrovane.sollun.helper",
                                                      row.category, row.text};
        const auto entries = helper.log->entries();
        EXPECT_EQ(std::ranges::count(entries, expected), 1)
            << row.text << "\n  among " << ::testing::PrintToString(entries);
    }
}

} // namespace
} // namespace sollun::helper
