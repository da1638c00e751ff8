#include "shared/WakeDaemonRegistrationState.h"

namespace sollun {

std::optional<WakeDaemonRegistrationState> registrationStateFromRawValue(std::int64_t raw) {
    if (raw < rawValue(WakeDaemonRegistrationState::unknown) ||
        raw > rawValue(WakeDaemonRegistrationState::notFound)) {
        return std::nullopt;
    }
    return static_cast<WakeDaemonRegistrationState>(raw);
}

WakeDaemonRegistrationState registrationStateFromServiceStatus(std::int64_t status) {
    if (status < rawValue(WakeDaemonRegistrationState::notRegistered) ||
        status > rawValue(WakeDaemonRegistrationState::notFound)) {
        return WakeDaemonRegistrationState::unknown;
    }
    return static_cast<WakeDaemonRegistrationState>(status);
}

} // namespace sollun
