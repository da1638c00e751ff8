#include "SollunWakeDaemon/WakeAlarm.h"

#include "SollunWakeDaemon/AlarmTimerWake.h"
#include "SollunWakeDaemon/RtcWakeAlarm.h"

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

std::unique_ptr<WakeAlarm> probeWakeHardware(platform::EventLoop& loop,
                                             const std::filesystem::path& stateDir) {
    if (auto timer = AlarmTimerWake::create(loop)) {
        return timer;
    }
    if (auto rtc = RtcWakeAlarm::create(loop, stateDir)) {
        return rtc;
    }
    return wakeAlarmWithoutHardware(stateDir);
}

} // namespace sollun::daemon
