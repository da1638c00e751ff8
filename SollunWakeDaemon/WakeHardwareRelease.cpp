#include "SollunWakeDaemon/WakeAlarm.h"

namespace sollun::daemon {

// A release build never pretends: without wake hardware, scheduling fails.
WakeHardware wakeAlarmWithoutHardware(const std::filesystem::path&) {
    return {};
}

} // namespace sollun::daemon
