#pragma once

// How far ahead the RTC's alarm reaches, and the alarm timer kept within it.
//
// An RTC takes an alarm a day, a month or a year ahead, by what its firmware declares. When the
// kernel programs it from an alarm timer on the way into suspend, one further ahead fails every
// suspend on a 6.1 kernel ("Alarms can be up to one day in the future", then "PM: failed to
// suspend: error -22"), from the evening the wake is set until it comes within reach; a 6.12
// kernel cuts it a second short of a day and sleeps. So the alarm timer is never armed further
// than the RTC is known to reach from the moment it is armed: the machine wakes early there, and
// the timer's fired handler (or the return from sleep) arms the next leg. A leg armed while awake
// stays within reach of every later moment, so whenever the kernel suspends it takes it.
//
// What is known comes from the daemon's own writes to the RTC's slot before sleeping: every value
// the RTC took is within reach, and a refusal shows where the reach ends. Until the RTC has been
// asked, a day less a minute is assumed, the reach of the most limited PC firmware with a margin
// for the moments between arming and suspending; it is kept in memory, as a restarted daemon
// learns it again at the next sleep.

#include "SollunWakeDaemon/WakeAlarm.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace sollun::daemon {

class RtcReach {
public:
    static constexpr std::chrono::seconds assumed =
        std::chrono::hours(24) - std::chrono::minutes(1);

    // How far ahead an alarm may be armed from now.
    std::chrono::seconds ahead() const { return ahead_; }
    // Where the reach ended when the RTC last refused to go further; nothing until it has.
    std::optional<std::chrono::seconds> end() const {
        return refused_ ? std::optional(ahead_) : std::nullopt;
    }

    // The RTC took an alarm this far ahead.
    void took(std::chrono::seconds ahead) { ahead_ = std::max(ahead_, ahead); }
    // The RTC took an alarm this far ahead and refused the next second.
    void endsAt(std::chrono::seconds ahead) {
        ahead_ = ahead;
        refused_ = true;
    }

private:
    std::chrono::seconds ahead_ = assumed;
    bool refused_ = false;
};

// A wake alarm the kernel carries only into suspend, armed for at most what the reach allows.
class WithinRtcReach final : public WakeAlarm {
public:
    using Clock = std::function<Instant()>;

    // The reach must outlive this.
    WithinRtcReach(std::unique_ptr<WakeAlarm> alarm, const RtcReach& reach, Clock now);

    PowerStatus arm(std::optional<Instant> earliest) override;
    std::string_view name() const override { return alarm_->name(); }
    void setFiredHandler(std::function<void()> handler) override {
        alarm_->setFiredHandler(std::move(handler));
    }
    void setScheduleTimes(std::function<std::vector<Instant>()> times) override {
        alarm_->setScheduleTimes(std::move(times));
    }

private:
    std::unique_ptr<WakeAlarm> alarm_;
    const RtcReach& reach_;
    Clock now_;
};

} // namespace sollun::daemon
