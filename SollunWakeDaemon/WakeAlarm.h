#pragma once

// The one mechanism that wakes the machine. The power-event store keeps the whole schedule; the
// wake alarm only ever holds its earliest wake instant, and is told again after every change:
//
//   alarm timer   a timerfd on CLOCK_REALTIME_ALARM; the kernel programs the RTC for it when the
//                 machine suspends and shares the RTC with everyone else's alarms. It lives only
//                 as long as the process holds it open.
//   RTC           /sys/class/rtc/rtc0/wakealarm, one slot for the whole machine, shared with other
//                 programs (RtcSlot.h); it also powers a machine on from off where the firmware
//                 allows.
//   simulated     a development build on a machine with neither (a container, CI) writes what it
//                 would arm into a file, so that the demo and tests can see it.
//
// probeWakeHardware() picks the first that works. A release build without wake hardware gets
// nothing, and scheduling then fails rather than pretending.
//
// The kernel carries the alarm timer only into suspend, so beside it the daemon arms the RTC's
// slot before every sleep (SleepArming.h); the simulated clock stands in for the alarm timer
// there too, with a file standing in for the slot. The RTC, armed at all times, needs no more.

#include "SollunWakeDaemon/PowerEvents.h"
#include "shared/Instant.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

namespace sollun::platform {
class EventLoop;
}

namespace sollun::daemon {

class WakeAlarm {
public:
    virtual ~WakeAlarm() = default;

    // Arms for `earliest`, replacing whatever was armed before; nothing disarms. On failure the
    // previous setting may or may not have survived, so the caller arms again to restore one.
    virtual PowerStatus arm(std::optional<Instant> earliest) = 0;

    // A short name for the log: "alarm timer", "rtc", "simulated wake clock".
    virtual std::string_view name() const = 0;

    // Called on the loop once an armed instant has passed, by the backends that can tell; the
    // slot is spent then and the holder arms the next instant. Others never call it.
    virtual void setFiredHandler(std::function<void()> handler) { (void)handler; }

    // How a backend that shares its hardware with other programs asks for the times of the
    // schedule's events, which tell its own alarms from theirs. Others never call it.
    virtual void setScheduleTimes(std::function<std::vector<Instant>()> times) { (void)times; }
};

// The status for a failed file or device operation.
PowerStatus powerStatusFor(std::error_code error);

// The mechanism that wakes the machine, and what arming for sleep needs beside it.
struct WakeHardware {
    // Null when nothing can wake the machine.
    std::unique_ptr<WakeAlarm> alarm;
    // The kernel carries `alarm` only into suspend: the RTC is armed beside it before every
    // sleep, and it is never armed beyond the RTC's reach.
    bool armsForSleep = false;
    // The RTC's slot to arm then, when there is one the daemon may write.
    std::optional<std::filesystem::path> sleepRtc;
};

// The alarm timer, else the RTC, else what the build allows without hardware.
WakeHardware probeWakeHardware(platform::EventLoop& loop, const std::filesystem::path& stateDir);

// What a machine without wake hardware gets: nothing in a release build; in a development build
// the simulated clock (recording into `stateDir`), with the file `simulated-wakealarm` there as
// the RTC's slot if it exists. The build compiles exactly one definition.
WakeHardware wakeAlarmWithoutHardware(const std::filesystem::path& stateDir);

} // namespace sollun::daemon
