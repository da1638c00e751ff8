#include "SollunWakeDaemon/SimulatedWakeClock.h"
#include "SollunWakeDaemon/WakeAlarm.h"
#include "platform/Log.h"

namespace sollun::daemon {

namespace {

const platform::Logger& log() {
    static const platform::Logger logger("com.kestrovane.sollun.wakedaemon", "daemon");
    return logger;
}

} // namespace

std::unique_ptr<WakeAlarm> wakeAlarmWithoutHardware(const std::filesystem::path& stateDir) {
    auto clock = std::make_unique<SimulatedWakeClock>(stateDir);
    log().info("No wake hardware: this development build simulates it in %{public}s; the "
               "machine will not wake",
               clock->path().string());
    return clock;
}

} // namespace sollun::daemon
