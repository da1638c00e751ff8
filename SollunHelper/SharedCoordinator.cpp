// The process's one coordinator, made of the Linux parts.

#include "SollunHelper/HelperCoordinator.h"
#include "SollunHelper/daemon/LinuxWakeDaemonController.h"
#include "SollunHelper/desktop/GioWorkspace.h"
#include "SollunHelper/desktop/LogindSleepInhibitor.h"
#include "SollunHelper/desktop/LogindWakeObserver.h"
#include "SollunHelper/desktop/XdgAutostartLoginItem.h"
#include "platform/linux/SdEventLoop.h"

namespace sollun::helper {

HelperCoordinator& HelperCoordinator::shared() {
    // Never destroyed: it lives as long as the process, and nothing is done on the way out.
    static HelperCoordinator* const coordinator = [] {
        auto& loop = platform::SdEventLoop::main();
        // One connection to logind: the locks against sleep are asked for over the observer's.
        auto logind = std::make_unique<LogindWakeObserver>(loop);
        auto inhibitor = std::make_unique<LogindSleepInhibitor>(loop, *logind);
        return new HelperCoordinator(
            loop, makeLinuxWakeDaemonController(loop), std::make_unique<GioWorkspace>(loop),
            std::move(logind), std::move(inhibitor),
            std::make_unique<XdgAutostartLoginItem>(loop, XdgAutostartLoginItem::ownExecutable()));
    }();
    return *coordinator;
}

} // namespace sollun::helper
