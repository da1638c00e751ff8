#include "SollunWakeDaemon/RtcWakeAlarm.h"

#include <unistd.h>

namespace sollun::daemon {

std::unique_ptr<RtcWakeAlarm> RtcWakeAlarm::create(platform::EventLoop& loop,
                                                   const std::filesystem::path& stateDir,
                                                   std::filesystem::path path) {
    if (::access(path.c_str(), W_OK) != 0) {
        return nullptr;
    }
    return std::make_unique<RtcWakeAlarm>(loop, std::move(path), stateDir);
}

RtcWakeAlarm::RtcWakeAlarm(platform::EventLoop& loop, std::filesystem::path path,
                           const std::filesystem::path& stateDir)
    : loop_(loop)
    , slot_(std::move(path), stateDir) {}

PowerStatus RtcWakeAlarm::arm(std::optional<Instant> earliest) {
    passed_.reset();
    std::optional<std::int64_t> target;
    if (earliest) {
        target = rtcAlarmSeconds(*earliest);
        if (*target <= 0) {
            return powerBadArgument;
        }
    }
    const auto outcome = slot_.claim(target, rtcAlarmSeconds(loop_.now()),
                                     scheduled_ ? scheduled_() : std::vector<Instant>{});
    if (outcome.error) {
        return powerStatusFor(outcome.error);
    }
    if (target) {
        // A second late: the RTC counts whole seconds and may trail the system clock.
        const std::int64_t first = outcome.foreign ? *outcome.foreign : *outcome.ours;
        passed_ = loop_.addWallTimer(Instant{std::chrono::seconds(first + 1)}, [this] {
            if (fired_) {
                fired_();
            }
        });
    }
    return powerSuccess;
}

} // namespace sollun::daemon
