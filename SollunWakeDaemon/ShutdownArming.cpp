#include "SollunWakeDaemon/ShutdownArming.h"

#include "SollunWakeDaemon/DaemonLog.h"
#include "platform/Log.h"
#include "shared/AtomicFile.h"

#include <algorithm>
#include <csignal>
#include <string>

namespace sollun::daemon {

ShutdownArming::ShutdownArming(platform::EventLoop& loop, PowerEventStore& store,
                               std::filesystem::path rtcPath)
    : loop_(loop)
    , store_(store)
    , rtcPath_(std::move(rtcPath))
    , signal_(loop.watchSignal(SIGTERM, [this] {
        armForPowerOn();
        loop_.exit(0);
    })) {}

bool ShutdownArming::armForPowerOn() {
    const std::int64_t now = rtcAlarmSeconds(loop_.now());
    std::optional<std::int64_t> target;
    for (const Instant time : store_.eventTimes(powerOnTypes)) {
        const std::int64_t seconds = rtcAlarmSeconds(time);
        if (seconds > now && (!target || seconds < *target)) {
            target = seconds;
        }
    }
    if (!target) {
        return false;
    }

    const auto held = readRtcAlarm(rtcPath_);
    if (held && *held > now && *held < *target && !isOurs(*held)) {
        daemonLog().info("The RTC holds another program's earlier alarm at %{public}s; left alone",
                         std::to_string(*held));
        return false;
    }

    if (const auto error = writeRtcAlarm(rtcPath_, target)) {
        daemonLog().error("Failed to arm the RTC to power on at %{public}s: %{public}s",
                          std::to_string(*target), error.message());
        return false;
    }
    daemonLog().info("Armed the RTC to power on at %{public}s", std::to_string(*target));
    const auto record = store_.stateDir() / recordName;
    if (const auto error = writeFileAtomically(record, std::to_string(*target))) {
        daemonLog().error("Failed to write %{public}s: %{public}s", record.string(),
                          error.message());
    }
    return true;
}

bool ShutdownArming::isOurs(std::int64_t seconds) {
    const auto events = store_.eventTimes({});
    if (std::any_of(events.begin(), events.end(),
                    [&](Instant time) { return rtcAlarmSeconds(time) == seconds; })) {
        return true;
    }
    // The record holds bare seconds, as the RTC's own file does.
    return readRtcAlarm(store_.stateDir() / recordName) == seconds;
}

} // namespace sollun::daemon
