#include "SollunWakeDaemon/DaemonLog.h"
#include "SollunWakeDaemon/SimulatedWakeClock.h"
#include "SollunWakeDaemon/WakeAlarm.h"
#include "platform/Log.h"

namespace sollun::daemon {

std::unique_ptr<WakeAlarm> wakeAlarmWithoutHardware(const std::filesystem::path& stateDir) {
    auto clock = std::make_unique<SimulatedWakeClock>(stateDir);
    daemonLog().info("No wake hardware: this development build simulates it in %{public}s; the "
                     "machine will not wake",
                     clock->path().string());
    return clock;
}

} // namespace sollun::daemon
