#include "SollunWakeDaemon/WakeDaemonService.h"

#include "shared/DateText.h"

#include <chrono>

namespace sollun::daemon {
namespace {

constexpr double futureMarginSeconds = 1.0;

// The product's events in the schedule, when it is a list. Elements of other kinds are another
// program's or an administrator's, and stay as they are; one of them must not keep the product's
// own events from being found.
std::vector<PowerEventKey> productEvents(PowerEvents& events) {
    std::vector<PowerEventKey> found;
    const auto schedule = events.copyScheduledPowerEvents();
    const auto* list = schedule ? std::get_if<PowerArray>(&schedule->value) : nullptr;
    if (list == nullptr)
        return found;
    for (const auto& element : *list) {
        const auto* event = std::get_if<PowerDictionary>(&element.value);
        if (event == nullptr)
            continue;
        const auto* owner = memberOf<std::string>(*event, powerEventOwnerKey);
        if (owner == nullptr || *owner != productEventOwner)
            continue;
        const auto* time = memberOf<Instant>(*event, powerEventTimeKey);
        if (time == nullptr)
            continue;
        const auto* type = memberOf<std::string>(*event, powerEventTypeKey);
        if (type == nullptr)
            continue;
        found.push_back({*time, *owner, *type});
    }
    return found;
}

} // namespace

WakeDaemonService::WakeDaemonService(PowerEvents& events, Now now)
    : events_(events)
    , now_(std::move(now)) {}

void WakeDaemonService::cancelPriorWakeEvents() {
    cancel(productEvents(events_));
}

void WakeDaemonService::cancel(std::span<const PowerEventKey> prior) {
    if (prior.empty())
        return;
    // One change for all: when it fails, every one of them stays, and each is logged.
    if (const auto status = events_.replaceScheduledPowerEvents(prior, std::nullopt);
        status != powerSuccess) {
        for (std::size_t i = 0; i < prior.size(); ++i)
            daemonLog().error("Failed to cancel prior wake event: 0x%{public}s", hexStatus(status));
    }
}

void WakeDaemonService::scheduleWakeAt(Instant date, const Reply& reply) {
    const auto prior = productEvents(events_);

    // In floating point, so that instants at either end of the range cannot overflow.
    using Seconds = std::chrono::duration<double>;
    const Seconds ahead = Seconds(date.time_since_epoch()) - Seconds(now_().time_since_epoch());
    if (!(ahead.count() > futureMarginSeconds)) {
        cancel(prior);
        daemonLog().info("scheduleWake: date not in the future; cleared only");
        reply(std::nullopt);
        return;
    }

    // The new event takes the prior ones' place in the same rewrite: a daemon killed at any
    // moment leaves the product the one or the others, never none and never both.
    const auto status = events_.replaceScheduledPowerEvents(
        prior, PowerEventKey{date, std::string(productEventOwner),
                             std::string(powerEventTypeWakePowerOn)});
    if (status == powerSuccess) {
        daemonLog().info("Scheduled wake at %{public}s", dateText(date));
        reply(std::nullopt);
        return;
    }
    // The replacement failed whole. The prior events go all the same: the caller learns that its
    // wake is not scheduled, and an earlier one left standing would wake the machine at a time
    // nobody wants any more.
    cancel(prior);
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
