#include "SollunHelper/daemon/LinuxWakeDaemonController.h"

#include "SollunHelper/daemon/ProductGroup.h"
#include "shared/ProductIdentities.h"

namespace sollun::helper {

std::unique_ptr<WakeDaemonController>
makeLinuxWakeDaemonController(platform::SdEventLoop& loop, BusDaemonService::Setup registration,
                              SdBusConnectorOptions connection) {
    // The daemon knows the helper by the group it held when it connected to the bus.
    connection.openBus = [open = std::move(connection.openBus)](sd_bus** bus, bool privileged) {
        return ProductGroup::whileRaised([&] { return open(bus, privileged); });
    };
    auto service = std::make_unique<BusDaemonService>(loop, std::move(registration));
    // An approval gives the installed program its group, which only a fresh start of it holds.
    service->setApprovalFinishedHandler([](int status) {
        if (status == 0)
            ProductGroup::restartIfGainedOnDisk();
    });
    return std::make_unique<WakeDaemonController>(
        loop, std::move(service),
        std::make_shared<SdBusDaemonConnector>(loop, trust::productIdentities(),
                                               std::move(connection)));
}

} // namespace sollun::helper
