#pragma once

// One helper per session, the newest wins: each instance asks for the session-bus name
// com.kestrovane.sollun.helper, allowing itself to be replaced and replacing whoever holds it.
// The instance that loses the name is told so and ends; the new one always carries on, also
// when the bus will not give it the name at all, which it logs.

#include "platform/linux/SdBus.h"

#include <systemd/sd-bus.h>

#include <functional>

namespace sollun::helper {

class SingleInstance {
public:
    // Takes the name on `bus` (attached to the main loop); `lost` is called when a newer
    // instance takes it away.
    SingleInstance(sd_bus* bus, std::function<void()> lost);
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

private:
    static int onNameLost(sd_bus_message* message, void* userdata, sd_bus_error* error);

    platform::BusRef bus_;
    std::function<void()> lost_;
    platform::BusSlot match_;
};

} // namespace sollun::helper
