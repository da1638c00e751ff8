#include "SollunWakeDaemon/WakeAlarm.h"

namespace sollun::daemon {

// A release build never pretends: without wake hardware, scheduling fails.
std::unique_ptr<WakeAlarm> wakeAlarmWithoutHardware(const std::filesystem::path&) {
    return nullptr;
}

} // namespace sollun::daemon
