#pragma once

#include "shared/Instant.h"
#include "shared/WakeDaemonRegistrationState.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace sollun {

inline constexpr std::string_view helperStatusFileName = "helper-status.json";

// The helper's published health, read by the main application.
struct WakeHelperStatus {
    std::string helperVersion;
    std::int64_t daemonVersion = 0;
    WakeDaemonRegistrationState daemonState = WakeDaemonRegistrationState::unknown;
    Instant lastHeartbeat;
    std::optional<Instant> lastScheduledWake;

    friend bool operator==(const WakeHelperStatus&, const WakeHelperStatus&) = default;
};

// Compact JSON, `lastScheduledWake` left out when absent. Gives nothing when an instant has no
// text (outside the years 0000 to 9999).
std::optional<std::string> encodeWakeHelperStatus(const WakeHelperStatus& status);

// The reader's side, as the main application applies it: anything but whitespace after the
// object, a missing or mistyped required key, a date not in the accepted form, or a `daemonState`
// outside -1 to 3 rejects the whole document.
std::optional<WakeHelperStatus> decodeWakeHelperStatus(std::string_view json);

// Writes the container's "helper-status.json" atomically; false when there is no container, the
// record cannot be encoded or the write fails, in which case the previous document stays. Logs
// nothing.
bool writeHelperStatus(const WakeHelperStatus& status);

} // namespace sollun
