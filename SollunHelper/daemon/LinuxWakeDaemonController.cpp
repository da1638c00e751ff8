#include "SollunHelper/daemon/LinuxWakeDaemonController.h"

#include "SollunHelper/daemon/ProductGroup.h"
#include "shared/ProductIdentities.h"

namespace sollun::helper {

std::unique_ptr<WakeDaemonController>
makeLinuxWakeDaemonController(platform::SdEventLoop& loop, SystemBus& systemBus,
                              BusDaemonService::Setup registration,
                              SdBusConnectorOptions connection) {
    auto service = std::make_unique<BusDaemonService>(loop, systemBus, std::move(registration));
    // An approval gives the installed program its group, which only a fresh start of it holds.
    service->setApprovalFinishedHandler([](int status) {
        if (status == 0)
            ProductGroup::restartIfGainedOnDisk();
    });
    return std::make_unique<WakeDaemonController>(
        loop, std::move(service),
        std::make_shared<SdBusDaemonConnector>(loop, systemBus, trust::productIdentities(),
                                               std::move(connection)));
}

} // namespace sollun::helper
