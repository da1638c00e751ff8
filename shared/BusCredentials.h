#pragma once

#include "shared/Requirement.h"

#include <systemd/sd-bus.h>

#include <optional>

namespace sollun::trust {

// The a{sv} reply of the bus driver's GetConnectionCredentials: what the bus recorded of a peer
// when it connected (uid, pid, every group including the effective one). Nothing when the reply
// cannot be read.
std::optional<PeerCredentials> readConnectionCredentials(sd_bus_message* reply);

} // namespace sollun::trust
