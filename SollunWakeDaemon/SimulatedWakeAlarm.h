#pragma once

#include "SollunWakeDaemon/WakeAlarm.h"

#include <filesystem>
#include <string_view>

namespace sollun::daemon {

// Stands in for wake hardware in a development build on a machine without any: it wakes nothing,
// but keeps what it would arm in the file `simulated-wake` in the state directory, as the UTC time
// with microseconds (2026-12-05T06:30:00.000000Z), or empty when disarmed. It stands in for the
// alarm timer, and `simulated-wakealarm` beside it, when present, for the RTC's slot.
class SimulatedWakeAlarm final : public WakeAlarm {
public:
    static constexpr std::string_view fileName = "simulated-wake";
    static constexpr std::string_view rtcFileName = "simulated-wakealarm";

    explicit SimulatedWakeAlarm(std::filesystem::path stateDir);

    PowerStatus arm(std::optional<Instant> earliest) override;
    std::string_view name() const override { return "simulated wake clock"; }

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

} // namespace sollun::daemon
