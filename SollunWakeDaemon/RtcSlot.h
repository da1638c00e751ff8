#pragma once

// The RTC's wake alarm as sysfs offers it, and how the daemon shares it with other programs.
//
// /sys/class/rtc/rtc0/wakealarm is one slot for the whole machine, in epoch seconds. Reading gives
// the armed value or an empty line. The kernel refuses to replace an armed alarm (EBUSY), so every
// write clears the slot with "0" first; writing a value that is not in the future disarms it too.
//
// Other programs use the same slot and clear it the same way, so before it writes, the daemon
// decides from what the slot holds whether that is its own to replace. Its own are the value it
// last wrote, recorded as `rtc-poweron` in the state directory since the slot outlives the daemon
// (across restarts and reboots), and the times of the schedule's events. Any other value still
// ahead is another program's: when it comes no later than ours, or when the daemon has nothing to
// arm, it stays and the machine wakes for it first; a later one gives way to ours, as every
// program sharing the one slot does.

#include "shared/Instant.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <system_error>
#include <variant>

namespace sollun::daemon {

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

// Arms for `target` through `arm` (a clearing write, then the value), or, when the RTC refuses
// that as beyond its reach, for the furthest second after `now` that it takes, found by halving.
// The reach is the RTC's: ERANGE past the years it keeps time in, EINVAL past how far ahead its
// alarm registers go (a day, a month or a year on PCs, by what the firmware declares). The
// machine then wakes early, and whoever holds the slot arms again from there. Gives the value
// left armed, else the error for `target`.
//
// `furthest`, a second as far ahead as the RTC reached when it last refused to go further, is
// tried first when `target` lies beyond it: one write where the halving takes dozens, which
// matters while a sleep waits for it. The reach of a month's alarm moves with the calendar, so
// a refusal there still halves from it.
std::variant<std::int64_t, std::error_code>
armWithinReach(std::int64_t target, std::int64_t now,
               const std::function<std::error_code(std::int64_t)>& arm,
               std::optional<std::int64_t> furthest = std::nullopt);

class RtcSlot {
public:
    // The record keeps bare seconds, as the slot's own file does.
    static constexpr std::string_view recordName = "rtc-poweron";

    // How a value reaches the slot: writeRtcAlarm(), unless a test stands in for the RTC's
    // refusals.
    using Writer =
        std::function<std::error_code(const std::filesystem::path&, std::optional<std::int64_t>)>;

    RtcSlot(std::filesystem::path alarmPath, const std::filesystem::path& stateDir,
            Writer write = writeRtcAlarm);

    struct Outcome {
        std::error_code error;                // the write failed; the slot may be empty now
        std::optional<std::int64_t> ours;     // armed for this: the target, or as far as it reaches
        std::optional<std::int64_t> foreign;  // another program's alarm, left in place
        std::optional<std::int64_t> replaced; // another program's later alarm, given way
    };

    // Arms the slot for `target`, or takes the daemon's own alarm out of it when there is none,
    // unless another program's alarm comes first. `now` is the RTC's current second, `scheduled`
    // the times of the schedule's events, `furthest` as armWithinReach() takes it.
    Outcome claim(std::optional<std::int64_t> target, std::int64_t now,
                  std::span<const Instant> scheduled,
                  std::optional<std::int64_t> furthest = std::nullopt);

    // Takes `ours` out of the slot if the slot still holds it and it has not gone off (it lies
    // after `now`), and puts back the alarm it `replaced`, if that is still ahead; anything else
    // there is left as it is. True when it was taken out.
    std::variant<bool, std::error_code> takeBack(std::int64_t ours, std::int64_t now,
                                                 std::optional<std::int64_t> replaced);

private:
    bool isOurs(std::int64_t seconds, std::span<const Instant> scheduled) const;
    void remember(std::int64_t seconds);

    std::filesystem::path alarm_;
    std::filesystem::path record_;
    Writer write_;
};

} // namespace sollun::daemon
