#pragma once

#include "SollunHelper/WakeDaemonController.h"
#include "SollunHelper/daemon/BusDaemonService.h"
#include "SollunHelper/daemon/SdBusDaemonConnection.h"
#include "SollunHelper/daemon/SystemBus.h"
#include "platform/linux/SdEventLoop.h"

#include <memory>

namespace sollun::helper {

// The controller as the helper runs it on Linux: registration through the system bus and the
// shipped definition, requests over the system bus to a daemon checked against the product's
// identities, both on `systemBus`'s one connection, made under the helper's product group. The
// two setups default to the installed layout; tests give their own.
std::unique_ptr<WakeDaemonController>
makeLinuxWakeDaemonController(platform::SdEventLoop& loop, SystemBus& systemBus,
                              BusDaemonService::Setup registration = BusDaemonService::shipped(),
                              SdBusConnectorOptions connection = {});

} // namespace sollun::helper
