#pragma once

// The helper lives as long as the user's session, and the session bus lives exactly as long:
// when the bus goes (the user logged out, with processes allowed to linger after), the helper
// ends, so that it never acts on the schedule beside the helper of the user's next session.

#include "platform/linux/SdBus.h"

#include <systemd/sd-bus.h>

#include <functional>

namespace sollun::helper {

class SessionEnd {
public:
    // `ended` is called on the loop `bus` is attached to once the bus has disconnected.
    SessionEnd(sd_bus* bus, std::function<void()> ended);
    SessionEnd(const SessionEnd&) = delete;
    SessionEnd& operator=(const SessionEnd&) = delete;

private:
    static int onDisconnected(sd_bus_message* message, void* userdata, sd_bus_error* error);

    std::function<void()> ended_;
    platform::BusSlot match_;
};

} // namespace sollun::helper
