#include "SollunWakeDaemon/ShutdownArming.h"

#include "SollunWakeDaemon/DaemonLog.h"
#include "platform/Log.h"

#include <csignal>
#include <string>

namespace sollun::daemon {

ShutdownArming::ShutdownArming(platform::EventLoop& loop, PowerEventStore& store,
                               std::filesystem::path rtcPath)
    : loop_(loop)
    , store_(store)
    , slot_(std::move(rtcPath), store.stateDir())
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

    const auto outcome = slot_.claim(target, now, store_.eventTimes({}));
    if (outcome.foreign) {
        daemonLog().info("The RTC holds another program's earlier alarm at %{public}s; left alone",
                         std::to_string(*outcome.foreign));
        return false;
    }
    if (outcome.error) {
        daemonLog().error("Failed to arm the RTC to power on at %{public}s: %{public}s",
                          std::to_string(*target), outcome.error.message());
        return false;
    }
    daemonLog().info("Armed the RTC to power on at %{public}s", std::to_string(*outcome.ours));
    if (*outcome.ours != *target) {
        daemonLog().info("The RTC reaches no further than that; the event is at %{public}s",
                         std::to_string(*target));
    }
    return true;
}

} // namespace sollun::daemon
