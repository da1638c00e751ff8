#pragma once

#include <cstdint>
#include <optional>

namespace sollun {

// The daemon's registration with the service manager. The raw values are written into the status
// file and equal the service manager's own status codes for 0 to 3.
enum class WakeDaemonRegistrationState : std::int64_t {
    notRegistered = 0,
    enabled = 1,
    requiresApproval = 2,
    notFound = 3,
    unknown = -1,
};

constexpr std::int64_t rawValue(WakeDaemonRegistrationState state) {
    return static_cast<std::int64_t>(state);
}

// Succeeds only for -1, 0, 1, 2 and 3.
std::optional<WakeDaemonRegistrationState> registrationStateFromRawValue(std::int64_t raw);

// Codes 0 to 3 give the case with that raw value; every other code gives `unknown`.
WakeDaemonRegistrationState registrationStateFromServiceStatus(std::int64_t status);

} // namespace sollun
