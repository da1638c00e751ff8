#include "SollunHelper/daemon/SystemBus.h"

#include "SollunHelper/daemon/ProductGroup.h"

namespace sollun::helper {

int openSystemBusAsHelper(sd_bus** bus) {
    return ProductGroup::whileRaised([bus] { return sd_bus_open_system(bus); });
}

SystemBus& SystemBus::shared() {
    // Never destroyed, like the coordinator that uses it.
    static SystemBus* const bus = new SystemBus(platform::SdEventLoop::main());
    return *bus;
}

} // namespace sollun::helper
