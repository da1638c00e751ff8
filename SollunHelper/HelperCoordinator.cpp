#include "SollunHelper/HelperCoordinator.h"

#include "shared/DateText.h"
#include "shared/ProductNames.h"
#include "shared/WakeHelperStatus.h"

#include <type_traits>

namespace sollun::helper {

const platform::Logger& coordinatorLog() {
    static const platform::Logger logger("com.kestrovane.sollun.helper", "coordinator");
    return logger;
}

std::string currentHelperVersion() {
    constexpr std::string_view version = SOLLUN_VERSION;
    return version.empty() ? "?" : std::string(version);
}

HelperCoordinator::HelperCoordinator(platform::EventLoop& loop,
                                     std::unique_ptr<WakeDaemonController> daemon,
                                     std::unique_ptr<Workspace> workspace,
                                     std::unique_ptr<SystemWakeObserver> systemWake,
                                     std::unique_ptr<SleepInhibitor> sleepInhibitor,
                                     std::unique_ptr<LoginItem> loginItem)
    : loop_(loop)
    , workspace_(std::move(workspace))
    , systemWake_(std::move(systemWake))
    , sleepInhibitor_(std::move(sleepInhibitor))
    , loginItem_(std::move(loginItem))
    , daemon_(std::move(daemon)) {}

HelperCoordinator::~HelperCoordinator() = default;

void HelperCoordinator::start() {
    daemon_->registerIfNeeded();
    // The registration changes on its own too (found out after start, installed, approved,
    // removed): the status file shows it at once, and a request skipped because the daemon was
    // not enabled goes now.
    daemonObservation_ = daemon_->observe([this](std::string_view field) {
        if (field == "registrationState")
            deferred_.defer([this] { registrationChanged(); });
    });

    // One request at a time, the version's included.
    requests_.pause();
    startUp_ = platform::start(loop_, daemon_->fetchVersion(),
                               [this](std::int64_t version) { startedUp(version); });

    auto watcher = std::make_unique<WakeScheduleWatcher>(loop_, [this] { reloadSchedule(false); });
    watcher->start();
    watcher_.set(std::move(watcher));

    heartbeatTimer_.set(loop_.addRepeatingTimer(
        heartbeatInterval, [this] { deferred_.defer([this] { publishStatus(); }); }));

    publishStatus();

    wakeObserver_.set(systemWake_->observeDidWake([this] { handleSystemWake(); }));
}

void HelperCoordinator::startedUp(std::int64_t daemonVersion) {
    daemon_->setDaemonVersion(daemonVersion);
    reloadSchedule(true);
    requests_.resume();
}

void HelperCoordinator::registrationChanged() {
    publishStatus();
    requests_.registrationChanged();
}

void HelperCoordinator::reloadSchedule(bool force) {
    if (!scheduleFile_)
        return;
    // The poll comes every 5 seconds, and the schedule rarely changes: a file whose stamp shows
    // it unchanged since it was last read is not read again, whether it could be decoded or not
    // (decoding a large invalid document is what costs most). Between two reads a tick touches
    // as little as it can: the registration is kept current by the service's own notices.
    const auto stamp = FileStamp::of(*scheduleFile_);
    if (!force && stamp && stamp == readStamp_)
        return;
    daemon_->refreshRegistrationState();
    readStamp_.reset();
    const auto schedule = readWakeSchedule(*scheduleFile_);
    // Read after the stamp was taken: a write in between changes the stamp again. Only a settled
    // stamp can tell the next write apart.
    if (stamp && stamp->settledAt(loop_.now()))
        readStamp_ = stamp;
    if (!schedule || (!force && schedule->revision == lastProcessedRevision_.get()))
        return;

    lastProcessedRevision_.set(schedule->revision);
    armLaunchTimer(*schedule);
    requests_.send({schedule->wakeDate, schedule->alarmDate, schedule->revision});
}

void HelperCoordinator::requestEnded(const WakeRequest& request, std::optional<Instant> scheduled) {
    lastScheduledWake_.set(scheduled);
    lastScheduledAlarm_.set(scheduled ? request.alarmDate : std::nullopt);
    publishStatus();
}

double HelperCoordinator::secondsFromNowTo(Instant instant) const {
    // In 128 bits, where the difference of any two 64-bit counts fits; both count microseconds.
    static_assert(std::is_same_v<Instant, platform::EventLoop::TimePoint>);
    const __int128 microseconds = static_cast<__int128>(instant.time_since_epoch().count()) -
                                  loop_.now().time_since_epoch().count();
    return static_cast<double>(microseconds) / 1e6;
}

void HelperCoordinator::armLaunchTimer(const WakeSchedule& schedule) {
    launchTimer_.set(nullptr);
    pendingWakeDate_.set(schedule.wakeDate);
    stayAwake_.expect(schedule.wakeDate, schedule.alarmDate);
    if (!schedule.wakeDate) {
        coordinatorLog().info("App-launch timer cleared (no wake date)");
        return;
    }

    const Instant wake = *schedule.wakeDate;
    const double interval = secondsFromNowTo(wake);
    if (interval > 0) {
        launchTimer_.set(loop_.addWallTimer(wake, [this] {
            deferred_.defer([this] {
                coordinatorLog().info("App-launch timer fired");
                wokeForWake();
            });
        }));
        coordinatorLog().info("Armed app-launch timer for %{public}s (in %{public}fs)",
                              dateText(wake), interval);
        return;
    }

    // 0.0 - x rather than -x: a wake instant of exactly now passed by 0, not by -0.
    coordinatorLog().info("Wake instant already passed by %{public}fs; launching now if recent",
                          0.0 - interval);
    // The machine runs after the instant: awake for it, unless the alarm is long over, which
    // keeping it awake sees for itself.
    stayAwake_.wakeBegan();
    if (interval > -lateLaunchLimitSeconds)
        launchSollunIfNeeded(false);
}

void HelperCoordinator::handleSystemWake() {
    const auto pending = pendingWakeDate_.get();
    if (!pending)
        return;
    const double delta = secondsFromNowTo(*pending);
    coordinatorLog().info("System woke; pending wake delta %{public}fs", delta);
    if (delta <= earlyWakeLimitSeconds && delta > -lateLaunchLimitSeconds)
        wokeForWake();
}

void HelperCoordinator::wokeForWake() {
    stayAwake_.wakeBegan();
    launchSollunIfNeeded(false);
}

void HelperCoordinator::launchSollunIfNeeded(bool activate) {
    if (workspace_->isRunning(std::string(mainAppIdentifier))) {
        coordinatorLog().info("launchSollunIfNeeded: Sollun already running");
        return;
    }
    coordinatorLog().info("launchSollunIfNeeded: launching Sollun");
    launchMainApp(activate);
}

void HelperCoordinator::launchMainApp(bool activate) {
    const auto location = workspace_->locate(std::string(mainAppIdentifier));
    if (!location) {
        coordinatorLog().error("Sollun app not found (bundle id %{public}s)", mainAppIdentifier);
        return;
    }
    coordinatorLog().info("Launching Sollun at %{public}s", *location);
    workspace_->launch(*location, activate, [](const Workspace::LaunchResult& result) {
        if (const auto* error = std::get_if<std::string>(&result))
            coordinatorLog().error("Failed to launch Sollun: %{public}s", *error);
        else
            coordinatorLog().info("Launched Sollun (pid %{public}d)", std::get<pid_t>(result));
    });
}

void HelperCoordinator::publishStatus() {
    writeHelperStatus({currentHelperVersion(), daemon_->daemonVersion(),
                       daemon_->registrationState(), loop_.now(), lastScheduledWake_.get()});
}

} // namespace sollun::helper
