#pragma once

// The helper's one connection to the system bus, shared by everything it does there: the watch on
// the daemon's name and activation (BusNameWatch), the requests to the daemon
// (SdBusDaemonConnection), logind's sleep announcements and its locks against sleep.
//
// It is opened under the helper's product group (ProductGroup), since the daemon knows the helper
// by the credentials the bus recorded when this connection was made; every reconnection carries
// the group again. Losing it (the bus restarted) has a new one opened at once, and tried again,
// backing off, while the bus is not there; each user registers anew on the new one. A request
// made meanwhile opens it on the spot.

#include "platform/linux/SdEventLoop.h"
#include "platform/linux/SharedBus.h"

#include <systemd/sd-bus.h>

namespace sollun::helper {

// sd_bus_open_system with the product group raised.
int openSystemBusAsHelper(sd_bus** bus);

class SystemBus final : public platform::SharedBus {
public:
    explicit SystemBus(platform::SdEventLoop& loop, Opener open = openSystemBusAsHelper)
        : SharedBus(loop, std::move(open), Reopen::atOnce) {}

    // The process's own, on the main loop, opened when first asked for; kept until the process
    // ends.
    static SystemBus& shared();
};

} // namespace sollun::helper
