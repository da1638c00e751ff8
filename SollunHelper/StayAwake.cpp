#include "SollunHelper/StayAwake.h"

#include "SollunHelper/TextWithArgument.h"
#include "platform/Localization.h"
#include "shared/DateText.h"

#include <algorithm>
#include <utility>

namespace sollun::helper {

const platform::Logger& stayAwakeLog() {
    static const platform::Logger logger("com.kestrovane.sollun.helper", "stay-awake");
    return logger;
}

StayAwake::StayAwake(platform::EventLoop& loop, SleepInhibitor& inhibitor)
    : loop_(loop)
    , inhibitor_(inhibitor) {}

Instant StayAwake::windowEnd(Instant wake, std::optional<Instant> alarm) {
    return std::min(alarm.value_or(wake) + afterAlarm, wake + afterWakeAtMost);
}

void StayAwake::expect(std::optional<Instant> wake, std::optional<Instant> alarm) {
    if (wake == wake_ && alarm == alarm_)
        return;
    release(wake ? "the schedule changed" : "the schedule was cleared");
    wake_ = wake;
    alarm_ = alarm;
    asks_ = 0;
    refusalLogged_ = false;
}

void StayAwake::wakeBegan() {
    if (!wake_ || lock_ || asks_ >= maxAsks)
        return;
    const Instant end = windowEnd(*wake_, alarm_);
    if (loop_.now() >= end)
        return;
    ++asks_;
    retry_.reset();

    const std::string time = platform::shortTime(alarm_.value_or(*wake_));
    // TRANSLATORS: why the machine does not sleep, in the system's list of what keeps it awake;
    // %s is the alarm's time of day, e.g. "6:30 AM".
    const std::string reason = withArgument(platform::localized("Sollun's alarm is due at %s"),
                                            "Sollun's alarm is due at %s", time);
    lock_ = inhibitor_.inhibit(reason, [this, end, reason](std::optional<std::string> failure) {
        answered(end, reason, failure);
    });
    windowEnd_ = loop_.addWallTimer(end, [this] { release("the alarm's window ended"); });
}

void StayAwake::answered(Instant end, const std::string& reason,
                         const std::optional<std::string>& failure) {
    if (!failure) {
        held_ = true;
        stayAwakeLog().info("Holding sleep inhibitors until %{public}s (%{public}s)", dateText(end),
                            reason);
        return;
    }
    if (!std::exchange(refusalLogged_, true))
        stayAwakeLog().error("Sleep inhibitors refused, the machine may sleep before the alarm: "
                             "%{public}s",
                             *failure);
    lock_.reset();
    windowEnd_.reset();
    // logind refuses a lock while the sleep it is ending still counts as under way, which is
    // when the launch timer fires if the wake came at its instant; the next wake of the window,
    // or a moment later, asks again.
    if (asks_ < maxAsks && loop_.now() < end)
        retry_ = loop_.addWallTimer(loop_.now() + retryAfter, [this] { wakeBegan(); });
}

void StayAwake::release(const char* why) {
    if (std::exchange(held_, false))
        stayAwakeLog().info("Released sleep inhibitors: %{public}s", why);
    lock_.reset();
    windowEnd_.reset();
    retry_.reset();
}

} // namespace sollun::helper
