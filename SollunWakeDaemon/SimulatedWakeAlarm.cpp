#include "SollunWakeDaemon/SimulatedWakeAlarm.h"

#include "SollunWakeDaemon/PowerEventFile.h"
#include "shared/AtomicFile.h"

namespace sollun::daemon {

SimulatedWakeAlarm::SimulatedWakeAlarm(std::filesystem::path stateDir)
    : path_(std::move(stateDir) / fileName) {}

PowerStatus SimulatedWakeAlarm::arm(std::optional<Instant> earliest) {
    std::string text;
    if (earliest) {
        auto formatted = formatStoredTime(*earliest);
        if (!formatted) {
            return powerBadArgument;
        }
        text = std::move(*formatted);
    }
    return powerStatusFor(writeFileAtomically(path_, text));
}

} // namespace sollun::daemon
