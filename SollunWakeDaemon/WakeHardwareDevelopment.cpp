#include "SollunWakeDaemon/DaemonLog.h"
#include "SollunWakeDaemon/SimulatedWakeAlarm.h"
#include "SollunWakeDaemon/WakeAlarm.h"
#include "platform/Log.h"

#include <unistd.h>

namespace sollun::daemon {

WakeHardware wakeAlarmWithoutHardware(const std::filesystem::path& stateDir) {
    auto clock = std::make_unique<SimulatedWakeAlarm>(stateDir);
    daemonLog().info("No wake hardware: this development build simulates it in %{public}s; the "
                     "machine will not wake",
                     clock->path().string());
    // Never created here: like the RTC's own file, it is there or it is not, and the tests that
    // look at arming for sleep put it there.
    std::optional<std::filesystem::path> rtc = stateDir / SimulatedWakeAlarm::rtcFileName;
    if (::access(rtc->c_str(), W_OK) != 0) {
        rtc.reset();
    }
    return {std::move(clock), true, std::move(rtc)};
}

} // namespace sollun::daemon
