#include "SollunHelper/session/SingleInstance.h"

#include "SollunHelper/session/SessionBus.h"
#include "shared/ProductNames.h"

#include <cstring>
#include <string>

namespace sollun::helper {

SingleInstance::SingleInstance(sd_bus* bus, std::function<void()> lost)
    : bus_(sd_bus_ref(bus))
    , lost_(std::move(lost)) {
    const std::string name(helperIdentifier);
    // The match first, so that losing the name at once is not missed. Whether we get the name
    // now or wait in the queue behind an instance that does not let go, this instance carries
    // on. So it does when it cannot have the name at all (a bus policy that refuses it, a bus
    // that fails): a second helper beside it launches Sollun twice, which is better than a
    // helper that gave up and lets an alarm go by. It says so, once.
    int r = sd_bus_match_signal(bus_.get(), platform::out(match_), "org.freedesktop.DBus",
                                "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameLost",
                                &SingleInstance::onNameLost, this);
    if (r >= 0)
        r = sd_bus_request_name(bus_.get(), name.c_str(),
                                SD_BUS_NAME_ALLOW_REPLACEMENT | SD_BUS_NAME_REPLACE_EXISTING |
                                    SD_BUS_NAME_QUEUE);
    if (r < 0)
        sessionLog().error(
            "Cannot take the name %{public}s on the session bus: %{public}s; another "
            "helper may run beside this one",
            name, std::strerror(-r));
}

int SingleInstance::onNameLost(sd_bus_message* message, void* userdata, sd_bus_error*) {
    const char* name = nullptr;
    if (sd_bus_message_read(message, "s", &name) >= 0 && helperIdentifier == name)
        static_cast<SingleInstance*>(userdata)->lost_();
    return 0;
}

} // namespace sollun::helper
