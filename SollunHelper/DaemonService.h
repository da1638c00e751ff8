#pragma once

// The daemon's registration with the system, as the helper sees it: a status, a request to
// register, and a way for the user to approve a pending request.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace sollun::helper {

// The status codes, as the registration states take them.
enum DaemonServiceStatus : std::int64_t {
    serviceNotRegistered = 0,
    serviceEnabled = 1,
    serviceRequiresApproval = 2,
    serviceNotFound = 3,
};

class DaemonService {
public:
    virtual ~DaemonService() = default;

    // One of the codes above (another value is possible and means "unknown", as it does until
    // the service has first found out). Answers from what the service holds: never waits.
    virtual std::int64_t status() = 0;

    // Asks for the daemon to be registered; the error's description when that fails.
    virtual std::optional<std::string> registerService() = 0;

    // Lets the user approve a pending registration; the outcome shows in a later status().
    virtual void requestApproval() = 0;

    // Called on the loop, never from within the calls above, whenever status() may answer
    // differently than before: the service keeps its answer current on its own.
    virtual void setChangeHandler(std::function<void()> handler) = 0;
};

} // namespace sollun::helper
