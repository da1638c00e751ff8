// SollunWakeDaemon: started by the system bus when a client calls it, it serves until the
// machine stops it. No arguments, no configuration.

#include "SollunWakeDaemon/PowerEventStore.h"
#include "SollunWakeDaemon/RtcSlot.h"
#include "SollunWakeDaemon/ShutdownArming.h"
#include "SollunWakeDaemon/SimulatedWakeClock.h"
#include "SollunWakeDaemon/WakeDaemonBus.h"
#include "SollunWakeDaemon/WakeDaemonService.h"
#include "platform/linux/SdEventLoop.h"
#include "shared/AtomicFile.h"
#include "shared/ProductIdentities.h"

int main() {
    using namespace sollun;

    if (trust::identitiesAreDevelopmentMapped())
        daemon::daemonLog().error(
            "DEVELOPMENT BUILD: the product identities are mapped onto this user's own groups; "
            "any program of this user may call the daemon");

    platform::SdEventLoop loop;
    const auto stateDir = daemon::stateDirectory();
    // A daemon killed mid-write leaves that write's temporary behind. This is the only writer of
    // these files (the bus name admits one daemon), so whatever temporaries they have are debris.
    for (const auto name : {daemon::PowerEventStore::fileName, daemon::SimulatedWakeClock::fileName,
                            daemon::RtcSlot::recordName})
        removeLeftoverTemporaries(stateDir / name);
    daemon::PowerEventStore store(stateDir, daemon::probeWakeHardware(loop, stateDir));
    if (const auto status = store.rearm(); status != daemon::powerSuccess)
        daemon::daemonLog().error("Failed to arm the wake hardware at start: 0x%{public}s",
                                  daemon::hexStatus(status));
    daemon::ShutdownArming shutdown(loop, store);

    daemon::WakeDaemonService service(store, currentInstant);
    const auto bus = daemon::WakeDaemonBus::start(loop, service, trust::productIdentities());
    if (!bus)
        return 1;
    return loop.run() < 0 ? 1 : 0;
}
