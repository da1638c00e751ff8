// The process's one coordinator, made of the Linux parts.

#include "SollunHelper/HelperCoordinator.h"
#include "SollunHelper/daemon/LinuxWakeDaemonController.h"
#include "SollunHelper/daemon/SystemBus.h"
#include "SollunHelper/desktop/GioWorkspace.h"
#include "SollunHelper/desktop/LogindSleepInhibitor.h"
#include "SollunHelper/desktop/LogindWakeObserver.h"
#include "SollunHelper/desktop/XdgAutostartLoginItem.h"
#include "SollunHelper/session/SessionBus.h"
#include "platform/linux/SdEventLoop.h"

namespace sollun::helper {

HelperCoordinator& HelperCoordinator::shared() {
    // Never destroyed: it lives as long as the process, and nothing is done on the way out.
    static HelperCoordinator* const coordinator = [] {
        auto& loop = platform::SdEventLoop::main();
        // One connection to each bus, shared by every part that talks there.
        auto& systemBus = SystemBus::shared();
        return new HelperCoordinator(
            loop, makeLinuxWakeDaemonController(loop, systemBus),
            std::make_unique<GioWorkspace>(loop, SessionBus::shared()),
            std::make_unique<LogindWakeObserver>(loop, systemBus),
            std::make_unique<LogindSleepInhibitor>(loop, systemBus),
            std::make_unique<XdgAutostartLoginItem>(loop, XdgAutostartLoginItem::ownExecutable()));
    }();
    return *coordinator;
}

} // namespace sollun::helper
