#include "SollunWakeDaemon/WakeDaemonService.h"

#include "shared/DateText.h"

#include <chrono>

namespace sollun::daemon {
namespace {

constexpr double futureMarginSeconds = 1.0;

// The events in the schedule that a request of `uid` replaces, when it is a list: the product's
// events of that user, and those of nobody in particular. Elements of other kinds are another
// program's or an administrator's, and stay as they are; one of them must not keep the product's
// own events from being found.
std::vector<PowerEventKey> replacedEvents(PowerEvents& events, std::uint32_t uid) {
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
        const auto user = powerEventUser(*event);
        if (user && *user != uid)
            continue;
        found.push_back({*time, *owner, *type, user});
    }
    return found;
}

// Whether the schedule already says what `wanted` would make it say: that one event and no other
// to replace. Times compare as the store keeps them, to the microsecond.
bool alreadyScheduled(std::span<const PowerEventKey> prior, const PowerEventKey& wanted) {
    using std::chrono::floor;
    using std::chrono::microseconds;
    return prior.size() == 1 &&
           floor<microseconds>(prior[0].time) == floor<microseconds>(wanted.time) &&
           prior[0].owner == wanted.owner && prior[0].type == wanted.type &&
           prior[0].user == wanted.user;
}

} // namespace

std::string callerText(const Caller& caller) {
    std::string text = "uid " + std::to_string(caller.uid);
    if (caller.pid)
        text += ", pid " + std::to_string(*caller.pid);
    return text;
}

WakeDaemonService::WakeDaemonService(PowerEvents& events, Now now)
    : events_(events)
    , now_(std::move(now)) {}

bool WakeDaemonService::cancel(const Caller& caller, std::span<const PowerEventKey> prior) {
    const auto status = events_.replaceScheduledPowerEvents(prior, std::nullopt);
    if (status == powerSuccess)
        return true;
    daemonLog().error("Failed to cancel prior wake event: 0x%{public}s (%{public}s)",
                      hexStatus(status), callerText(caller));
    return false;
}

void WakeDaemonService::scheduleWakeAt(const Caller& caller, Instant date, const Reply& reply) {
    const auto prior = replacedEvents(events_, caller.uid);

    // In floating point, so that instants at either end of the range cannot overflow.
    using Seconds = std::chrono::duration<double>;
    const Seconds ahead = Seconds(date.time_since_epoch()) - Seconds(now_().time_since_epoch());
    if (!(ahead.count() > futureMarginSeconds)) {
        if (!prior.empty() && cancel(caller, prior))
            daemonLog().info("scheduleWake: date not in the future; cleared only (%{public}s)",
                             callerText(caller));
        reply(std::nullopt);
        return;
    }

    const PowerEventKey wanted{date, std::string(productEventOwner),
                               std::string(powerEventTypeWakePowerOn), caller.uid};
    if (alreadyScheduled(prior, wanted)) {
        reply(std::nullopt);
        return;
    }
    // The new event takes the prior ones' place in the same rewrite: a daemon killed at any
    // moment leaves the user the one or the others, never none and never both.
    const auto status = events_.replaceScheduledPowerEvents(prior, wanted);
    if (status == powerSuccess) {
        daemonLog().info("Scheduled wake at %{public}s (%{public}s)", dateText(date),
                         callerText(caller));
        reply(std::nullopt);
        return;
    }
    // The replacement failed whole. The prior events go all the same: the caller learns that its
    // wake is not scheduled, and an earlier one left standing would wake the machine at a time
    // nobody wants any more. Should that fail too, it fails for the same cause, which the store
    // has said: the refusal below is this request's one line.
    if (!prior.empty())
        (void)events_.replaceScheduledPowerEvents(prior, std::nullopt);
    const std::string error = "IOPMSchedulePowerEvent failed: 0x" + hexStatus(status);
    daemonLog().error("%{public}s (%{public}s)", error, callerText(caller));
    reply(error);
}

void WakeDaemonService::clearWake(const Caller& caller, const Reply& reply) {
    const auto prior = replacedEvents(events_, caller.uid);
    if (!prior.empty() && cancel(caller, prior))
        daemonLog().info("Cleared wake (%{public}s)", callerText(caller));
    reply(std::nullopt);
}

void WakeDaemonService::getVersion(const std::function<void(std::int64_t)>& reply) {
    reply(daemonVersion);
}

} // namespace sollun::daemon
