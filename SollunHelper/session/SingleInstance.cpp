#include "SollunHelper/session/SingleInstance.h"

#include "SollunHelper/SollunHelperApp.h"
#include "shared/ProductNames.h"

#include <cstring>
#include <string>

namespace sollun::helper {

SingleInstance::SingleInstance(sd_bus* bus, std::function<void()> lost)
    : bus_(sd_bus_ref(bus))
    , lost_(std::move(lost)) {
    // The match first, so that losing the name at once is not missed.
    sd_bus_match_signal(bus_.get(), platform::out(match_), "org.freedesktop.DBus",
                        "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameLost",
                        &SingleInstance::onNameLost, this);
    // Whether we get the name now or wait in the queue behind an instance that does not let
    // go, this instance carries on.
    sd_bus_request_name(bus_.get(), std::string(helperIdentifier).c_str(),
                        SD_BUS_NAME_ALLOW_REPLACEMENT | SD_BUS_NAME_REPLACE_EXISTING |
                            SD_BUS_NAME_QUEUE);
}

int SingleInstance::onNameLost(sd_bus_message* message, void* userdata, sd_bus_error*) {
    const char* name = nullptr;
    if (sd_bus_message_read(message, "s", &name) >= 0 && helperIdentifier == name)
        static_cast<SingleInstance*>(userdata)->lost_();
    return 0;
}

} // namespace sollun::helper
