#include "SollunWakeDaemon/WakeDaemonService.h"

#include "shared/DateText.h"

#include <chrono>

namespace sollun::daemon {
namespace {

constexpr double futureMarginSeconds = 1.0;

// The whole schedule as a list of dictionaries, or nothing when it is not one: a single element
// of another kind spoils the conversion of the whole list.
std::optional<std::vector<const PowerDictionary*>> asListOfDictionaries(const PowerValue& value) {
    const auto* array = std::get_if<PowerArray>(&value.value);
    if (array == nullptr)
        return std::nullopt;
    std::vector<const PowerDictionary*> events;
    events.reserve(array->size());
    for (const auto& element : *array) {
        const auto* event = std::get_if<PowerDictionary>(&element.value);
        if (event == nullptr)
            return std::nullopt;
        events.push_back(event);
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
    const auto events = asListOfDictionaries(*schedule);
    if (!events)
        return;
    for (const PowerDictionary* event : *events) {
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
