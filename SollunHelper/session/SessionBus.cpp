#include "SollunHelper/session/SessionBus.h"

#include <sys/auxv.h>
#include <unistd.h>

#include <string>

namespace sollun::helper {

int openSessionBus(sd_bus** bus) {
    if (getauxval(AT_SECURE) == 0)
        return sd_bus_open_user(bus);
    platform::BusRef b;
    int r = sd_bus_new(platform::out(b));
    if (r < 0)
        return r;
    const std::string address = "unix:path=/run/user/" + std::to_string(getuid()) + "/bus";
    if ((r = sd_bus_set_address(b.get(), address.c_str())) < 0 ||
        (r = sd_bus_set_bus_client(b.get(), 1)) < 0 || (r = sd_bus_start(b.get())) < 0)
        return r;
    *bus = b.release();
    return 0;
}

const platform::Logger& sessionLog() {
    static const platform::Logger logger("com.kestrovane.sollun.helper", "session");
    return logger;
}

SessionBus& SessionBus::shared() {
    // Never destroyed: the menu and the item hold the connection until the process ends.
    static SessionBus* const bus = new SessionBus(platform::SdEventLoop::main());
    return *bus;
}

} // namespace sollun::helper
