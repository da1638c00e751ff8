#pragma once

#include "SollunWakeDaemon/WakeAlarm.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>

namespace sollun::daemon {

// The RTC's wake alarm as sysfs offers it: one slot for the whole machine, in epoch seconds.
// Reading gives the armed value or an empty line. The kernel refuses to replace an armed alarm
// (EBUSY), so every write clears the slot with "0" first; writing a value that is not in the
// future disarms it too.
inline constexpr const char* defaultRtcWakeAlarmPath = "/sys/class/rtc/rtc0/wakealarm";

// The RTC's value for an instant, rounded up: rounding down could land on the RTC's current
// second, which the kernel takes as "disarm" instead of "fire now".
std::int64_t rtcAlarmSeconds(Instant instant);

// Clears the slot, then arms it for `seconds` unless nothing is given. Each value is its own
// open-write-close, as the kernel takes one value per write. The file is never created.
std::error_code writeRtcAlarm(const std::filesystem::path& path,
                              std::optional<std::int64_t> seconds);

// The armed value; nothing when the slot is empty or cannot be read.
std::optional<std::int64_t> readRtcAlarm(const std::filesystem::path& path);

class RtcWakeAlarm final : public WakeAlarm {
public:
    // Nothing unless `path` exists and may be written (sysfs is read-only in most containers).
    static std::unique_ptr<RtcWakeAlarm>
    create(std::filesystem::path path = defaultRtcWakeAlarmPath);

    explicit RtcWakeAlarm(std::filesystem::path path);

    PowerStatus arm(std::optional<Instant> earliest) override;
    std::string_view name() const override { return "rtc"; }

private:
    std::filesystem::path path_;
};

} // namespace sollun::daemon
