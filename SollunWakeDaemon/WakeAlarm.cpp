#include "SollunWakeDaemon/WakeAlarm.h"

#include "SollunWakeDaemon/AlarmTimerWakeAlarm.h"
#include "SollunWakeDaemon/DaemonLog.h"
#include "SollunWakeDaemon/RtcWakeAlarm.h"
#include "platform/Log.h"

#include <unistd.h>

namespace sollun::daemon {

PowerStatus powerStatusFor(std::error_code error) {
    if (!error) {
        return powerSuccess;
    }
    if (error == std::errc::permission_denied || error == std::errc::operation_not_permitted) {
        return powerNotPrivileged;
    }
    return powerIOError;
}

WakeHardware probeWakeHardware(platform::EventLoop& loop, const std::filesystem::path& stateDir) {
    if (auto timer = AlarmTimerWakeAlarm::create(loop)) {
        // Without the slot (sysfs read-only, an RTC without the file) the alarm timer still
        // wakes from suspend, kept within the reach every PC's RTC has.
        std::optional<std::filesystem::path> rtc;
        if (::access(defaultRtcWakeAlarmPath, W_OK) == 0) {
            rtc = defaultRtcWakeAlarmPath;
        } else {
            daemonLog().info("No RTC to arm before sleeping: the alarm timer alone wakes the "
                             "machine, and only from suspend");
        }
        return {std::move(timer), true, std::move(rtc)};
    }
    if (auto rtc = RtcWakeAlarm::create(loop, stateDir)) {
        return {std::move(rtc), false, std::nullopt};
    }
    return wakeAlarmWithoutHardware(stateDir);
}

} // namespace sollun::daemon
