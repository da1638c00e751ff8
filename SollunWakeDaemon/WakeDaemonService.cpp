#include "SollunWakeDaemon/WakeDaemonService.h"

#include "shared/DateText.h"

#include <chrono>

namespace sollun::daemon {
namespace {

constexpr double futureMarginSeconds = 1.0;

// The events that may be the product's: the dictionaries of the schedule, when it is a list.
// Elements of other kinds are another program's or an administrator's, and stay as they are; one
// of them must not keep the product's own events from being found.
std::vector<const PowerDictionary*> dictionariesOf(const PowerValue& value) {
    std::vector<const PowerDictionary*> events;
    if (const auto* array = std::get_if<PowerArray>(&value.value)) {
        for (const auto& element : *array) {
            if (const auto* event = std::get_if<PowerDictionary>(&element.value))
                events.push_back(event);
        }
    }
    return events;
}

} // namespace

WakeDaemonService::WakeDaemonService(PowerEvents& events, Now now)
    : events_(events)
    , now_(std::move(now)) {}

void WakeDaemonService::cancelPriorWakeEvents() {
    const auto schedule = events_.copyScheduledPowerEvents();
    if (!schedule)
        return;
    for (const PowerDictionary* event : dictionariesOf(*schedule)) {
        const auto* owner = memberOf<std::string>(*event, powerEventOwnerKey);
        if (owner == nullptr || *owner != productEventOwner)
            continue;
        const auto* time = memberOf<Instant>(*event, powerEventTimeKey);
        if (time == nullptr)
            continue;
        const auto* type = memberOf<std::string>(*event, powerEventTypeKey);
        if (type == nullptr)
            continue;
        if (const auto status = events_.cancelScheduledPowerEvent(*time, *owner, *type);
            status != powerSuccess)
            daemonLog().error("Failed to cancel prior wake event: 0x%{public}s", hexStatus(status));
    }
}

void WakeDaemonService::scheduleWakeAt(Instant date, const Reply& reply) {
    cancelPriorWakeEvents();

    // In floating point, so that instants at either end of the range cannot overflow.
    using Seconds = std::chrono::duration<double>;
    const Seconds ahead = Seconds(date.time_since_epoch()) - Seconds(now_().time_since_epoch());
    if (!(ahead.count() > futureMarginSeconds)) {
        daemonLog().info("scheduleWake: date not in the future; cleared only");
        reply(std::nullopt);
        return;
    }

    const auto status = events_.schedulePowerEvent(date, std::string(productEventOwner),
                                                   std::string(powerEventTypeWakePowerOn));
    if (status == powerSuccess) {
        daemonLog().info("Scheduled wake at %{public}s", dateText(date));
        reply(std::nullopt);
        return;
    }
    const std::string error = "IOPMSchedulePowerEvent failed: 0x" + hexStatus(status);
    daemonLog().error("%{public}s", error);
    reply(error);
}

void WakeDaemonService::clearWake(const Reply& reply) {
    cancelPriorWakeEvents();
    reply(std::nullopt);
}

void WakeDaemonService::getVersion(const std::function<void(std::int64_t)>& reply) {
    reply(daemonVersion);
}

} // namespace sollun::daemon
