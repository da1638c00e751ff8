#pragma once

// The helper's central object. Whenever the main application publishes a wake schedule with a
// new revision, the coordinator arms (or clears) the app-launch timer, asks the daemon to schedule
// (or clear) the machine's wake, remembers what the daemon accepted and publishes the outcome in
// the status file. It also makes sure the main application runs around the wake instant: by the
// launch timer, and when the machine wakes close to the pending wake instant; from then until
// the alarm has sounded it keeps the machine from sleeping again (see StayAwake).
//
// There is one, created on first use (shared()) and kept for the life of the process. Everything
// runs on the main loop. The only waits are for the daemon's answers; while one is awaited, the
// loop runs everything else, further reconciliations included. The requests themselves go one at
// a time, the newest revision in place of any still waiting (see WakeRequestSender), so a burst
// of revisions costs the daemon two requests, and what is published never goes back to an older
// revision. Reconciliation logs nothing of its own: a missing or unreadable schedule simply stops
// it, and it is read again once its stamp shows it written again.
//
// The daemon's registration state is never asked for: the controller keeps it current, and a
// change is published in the status file at once.
//
// Every field but `daemon` and `stayAwake` is observable: a change is reported to the registrar
// under the field's name (the watcher and the wake observer on every assignment). Nothing has to
// subscribe.

#include "SollunHelper/FileStamp.h"
#include "SollunHelper/LoginItem.h"
#include "SollunHelper/SleepInhibitor.h"
#include "SollunHelper/StayAwake.h"
#include "SollunHelper/SystemWakeObserver.h"
#include "SollunHelper/WakeDaemonController.h"
#include "SollunHelper/WakeRequestSender.h"
#include "SollunHelper/WakeScheduleWatcher.h"
#include "SollunHelper/Workspace.h"
#include "platform/EventLoop.h"
#include "platform/Log.h"
#include "platform/Observable.h"
#include "platform/Task.h"
#include "shared/Instant.h"
#include "shared/Requirement.h"
#include "shared/WakeSchedule.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace sollun::helper {

inline constexpr std::chrono::seconds heartbeatInterval{300};
// A wake instant that passed less than this long ago still launches the main application.
inline constexpr double lateLaunchLimitSeconds = 600;
// A wake of the machine up to this long before the pending wake instant launches it.
inline constexpr double earlyWakeLimitSeconds = 120;

const platform::Logger& coordinatorLog();

// The helper's own version, as built; "?" when the build carries none.
std::string currentHelperVersion();

class HelperCoordinator {
public:
    // The one coordinator of the process, created with the platform's parts on first access
    // (on the main thread) and never destroyed.
    static HelperCoordinator& shared();

    HelperCoordinator(platform::EventLoop& loop, std::unique_ptr<WakeDaemonController> daemon,
                      std::unique_ptr<Workspace> workspace,
                      std::unique_ptr<SystemWakeObserver> systemWake,
                      std::unique_ptr<SleepInhibitor> sleepInhibitor,
                      std::unique_ptr<LoginItem> loginItem);
    ~HelperCoordinator();
    HelperCoordinator(const HelperCoordinator&) = delete;
    HelperCoordinator& operator=(const HelperCoordinator&) = delete;

    // Registers the daemon if needed, queues the start-up task (the daemon's version, then one
    // forced reconciliation; no schedule request goes before the version's has ended), starts the
    // watcher and the heartbeat, publishes the status once and observes the machine's wakes.
    // Once.
    void start();

    // Reads the schedule and acts on it when its revision differs from the last one acted upon,
    // or when forced. Unless forced, a file whose stamp shows it unchanged since it was last read
    // is not read again, whatever it held.
    void reloadSchedule(bool force);

    // Replaces the app-launch timer by one for the schedule's wake instant, launches at once for
    // an instant that passed less than 600 s ago, or only clears it when there is none. A passed
    // instant counts as a wake for keeping the machine awake.
    void armLaunchTimer(const WakeSchedule& schedule);
    void handleSystemWake();
    void launchSollunIfNeeded(bool activate);

    // Writes the status file from the current values.
    void publishStatus();

    // The menu's status line, localized: where the helper stands, from the registration state
    // as last refreshed and the alarm that belongs to the accepted wake.
    std::string statusText() const;
    // Opens "sollun://show" with the main application (brought to the front, with the desktop's
    // `activationToken` when it gave one), or with the scheme's default handler when it is not
    // installed.
    void openMainApp(const std::string& activationToken = {});
    // Makes the helper start at login, or not; a failure is logged.
    void setStartAtLogin(bool wanted);

    WakeDaemonController& daemon() { return *daemon_; }
    const WakeDaemonController& daemon() const { return *daemon_; }
    Workspace& workspace() { return *workspace_; }
    LoginItem& loginItem() { return *loginItem_; }

    bool hasLaunchTimer() const { return launchTimer_.get() != nullptr; }
    const std::optional<Instant>& lastScheduledWake() const { return lastScheduledWake_.get(); }
    const std::optional<Instant>& lastScheduledAlarm() const { return lastScheduledAlarm_.get(); }
    const std::optional<Instant>& pendingWakeDate() const { return pendingWakeDate_.get(); }

    platform::ObservationRegistrar::Subscription
    observe(platform::ObservationRegistrar::Observer observer) {
        return registrar_.observe(std::move(observer));
    }

private:
    // The daemon's version has come (0 when it could not be asked): the start-up goes on.
    void startedUp(std::int64_t daemonVersion);
    void registrationChanged();
    // The newest revision's request has ended.
    void requestEnded(const WakeRequest& request, std::optional<Instant> scheduled);
    void launchMainApp(bool activate);
    // The machine is awake for the pending wake: it stays so, and the main application runs.
    void wokeForWake();
    double secondsFromNowTo(Instant instant) const;

    // What the fields below rely on comes first, so that it goes last: a wake-observer token
    // ends its registration with the observer, a timer its source with the loop.
    platform::ObservationRegistrar registrar_;
    platform::EventLoop& loop_;
    const std::unique_ptr<Workspace> workspace_;
    const std::unique_ptr<SystemWakeObserver> systemWake_;
    // After the wake observer: a platform's inhibitor may talk to the system over its connection.
    const std::unique_ptr<SleepInhibitor> sleepInhibitor_;
    StayAwake stayAwake_{loop_, *sleepInhibitor_};
    const std::unique_ptr<LoginItem> loginItem_;

    const std::unique_ptr<WakeDaemonController> daemon_;
    platform::Observable<std::unique_ptr<WakeScheduleWatcher>, platform::Notify::always> watcher_{
        registrar_, "watcher"};
    platform::Observable<platform::Source> heartbeatTimer_{registrar_, "heartbeatTimer"};
    platform::Observable<platform::Source> launchTimer_{registrar_, "launchTimer"};
    // Where the schedule is, from the environment as it was when the coordinator was made; it
    // does not move while the process runs.
    const std::optional<std::filesystem::path> scheduleFile_ = wakeScheduleFileURL();
    // The schedule as last read, decoded or not, while it can be told unchanged by its stamp.
    std::optional<FileStamp> readStamp_;
    WakeRequestSender requests_{
        loop_, *daemon_, [this](const WakeRequest& request, std::optional<Instant> scheduled) {
            requestEnded(request, scheduled);
        }};
    platform::Observable<std::unique_ptr<SystemWakeObserver::Token>, platform::Notify::always>
        wakeObserver_{registrar_, "wakeObserver"};
    platform::Observable<std::int64_t> lastProcessedRevision_{registrar_, "lastProcessedRevision",
                                                              -1};
    platform::Observable<std::optional<Instant>> lastScheduledWake_{registrar_,
                                                                    "lastScheduledWake"};
    platform::Observable<std::optional<Instant>> lastScheduledAlarm_{registrar_,
                                                                     "lastScheduledAlarm"};
    platform::Observable<std::optional<Instant>> pendingWakeDate_{registrar_, "pendingWakeDate"};
    platform::ObservationRegistrar::Subscription daemonObservation_;

    // The start-up's request for the daemon's version, and what the coordinator defers to the
    // loop: last, so that they go first. In the process the coordinator outlives them all.
    platform::Source startUp_;
    platform::DeferredTasks deferred_{loop_};
};

} // namespace sollun::helper
