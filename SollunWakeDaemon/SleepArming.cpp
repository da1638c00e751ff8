#include "SollunWakeDaemon/SleepArming.h"

#include "SollunWakeDaemon/DaemonLog.h"
#include "platform/Log.h"

#include <algorithm>
#include <string>

namespace sollun::daemon {

SleepArming::SleepArming(PowerEventStore& store, RtcReach& reach, RtcSlot slot, SleepDelay& delay,
                         Clock now)
    : store_(store)
    , reach_(reach)
    , slot_(std::move(slot))
    , delay_(delay)
    , now_(std::move(now)) {
    delay_.take();
}

void SleepArming::prepareForSleep() {
    armed_.reset();
    replaced_.reset();
    armRtc(rtcAlarmSeconds(now_()));
    // From this moment, and within what the RTC was just seen to reach.
    if (const PowerStatus status = store_.rearm(); status != powerSuccess) {
        daemonLog().error("Failed to arm the wake hardware before sleeping: 0x%{public}s",
                          hexStatus(status));
    }
    delay_.release();
}

void SleepArming::armRtc(std::int64_t now) {
    const auto target = earliestWake(now);
    if (!target) {
        daemonLog().info("Going to sleep: no wake event to arm the RTC for");
        return;
    }
    std::optional<std::int64_t> furthest;
    if (const auto end = reach_.end()) {
        furthest = now + end->count();
    }
    const auto outcome = slot_.claim(target, now, store_.eventTimes({}), furthest);
    if (outcome.foreign) {
        daemonLog().info("Going to sleep: the RTC holds another program's earlier alarm at "
                         "%{public}s; left alone",
                         std::to_string(*outcome.foreign));
        return;
    }
    if (outcome.error) {
        daemonLog().error("Going to sleep: failed to arm the RTC for %{public}s: %{public}s",
                          std::to_string(*target), outcome.error.message());
        return;
    }
    armed_ = outcome.ours;
    replaced_ = outcome.replaced;
    const std::chrono::seconds ahead(*armed_ - now);
    // Short of all that was tried: the RTC refused the second after it.
    if (*armed_ < std::min(*target, furthest.value_or(*target))) {
        reach_.endsAt(ahead);
    } else {
        reach_.took(ahead);
    }
    daemonLog().info("Going to sleep: armed the RTC for %{public}s", std::to_string(*armed_));
    if (*armed_ != *target) {
        daemonLog().info("The RTC reaches no further than that; the event is at %{public}s",
                         std::to_string(*target));
    }
}

void SleepArming::resumed() {
    const std::int64_t now = rtcAlarmSeconds(now_());
    if (armed_) {
        const auto taken = slot_.takeBack(*armed_, now, replaced_);
        if (const auto* error = std::get_if<std::error_code>(&taken)) {
            daemonLog().error("Back from sleep: failed to take back the RTC alarm at %{public}s: "
                              "%{public}s",
                              std::to_string(*armed_), error->message());
        } else if (std::get<bool>(taken)) {
            daemonLog().info("Back from sleep: took back the RTC alarm at %{public}s",
                             std::to_string(*armed_));
        } else {
            daemonLog().info("Back from sleep: the RTC alarm at %{public}s has gone off or been "
                             "replaced; left alone",
                             std::to_string(*armed_));
        }
    }
    armed_.reset();
    replaced_.reset();
    // The alarm timer may have woken the machine early, at the end of the RTC's reach: this arms
    // the next leg, or the event itself once it is within reach.
    if (const PowerStatus status = store_.rearm(); status != powerSuccess) {
        daemonLog().error("Failed to arm the wake hardware after sleeping: 0x%{public}s",
                          hexStatus(status));
    }
    delay_.take();
}

std::optional<std::int64_t> SleepArming::earliestWake(std::int64_t now) {
    std::optional<std::int64_t> earliest;
    for (const Instant time : store_.eventTimes(PowerEventStore::wakeTypes)) {
        const std::int64_t seconds = rtcAlarmSeconds(time);
        if (seconds > now && (!earliest || seconds < *earliest)) {
            earliest = seconds;
        }
    }
    return earliest;
}

} // namespace sollun::daemon
