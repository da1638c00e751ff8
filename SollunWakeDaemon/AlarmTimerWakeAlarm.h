#pragma once

#include "SollunWakeDaemon/WakeAlarm.h"
#include "platform/EventLoop.h"
#include "platform/linux/Fd.h"

#include <functional>
#include <memory>

namespace sollun::daemon {

// A kernel alarm timer: a timerfd on CLOCK_REALTIME_ALARM set to an absolute wall-clock instant.
// When the machine suspends, the kernel programs the RTC for the earliest of all such timers, so
// this one coexists with other programs' alarms. The descriptor stays open for as long as the
// object lives; closing it cancels the alarm, so the daemon keeps it for its whole run.
//
// When it goes off the machine is awake already; the only work left is to drain the descriptor
// and let the holder arm the next instant.
class AlarmTimerWakeAlarm final : public WakeAlarm {
public:
    // Nothing when the kernel offers no usable alarm timer: without CAP_WAKE_ALARM, or without an
    // RTC behind the alarm clocks (as in most containers and some virtual machines), where the
    // timer could be created but could never wake anything. The expiry is drained on `loop` and
    // reported to the fired handler.
    static std::unique_ptr<AlarmTimerWakeAlarm> create(platform::EventLoop& loop);

    AlarmTimerWakeAlarm(const AlarmTimerWakeAlarm&) = delete;
    AlarmTimerWakeAlarm& operator=(const AlarmTimerWakeAlarm&) = delete;

    PowerStatus arm(std::optional<Instant> earliest) override;
    std::string_view name() const override { return "alarm timer"; }
    void setFiredHandler(std::function<void()> handler) override { fired_ = std::move(handler); }

private:
    explicit AlarmTimerWakeAlarm(platform::Fd fd);
    void drain();

    platform::Fd fd_;
    std::function<void()> fired_;
    // After the descriptor it watches, so that it goes first.
    platform::Source expiry_;
};

} // namespace sollun::daemon
