// SollunWakeDaemon: started by the system bus when a client calls it, it serves until the
// machine stops it. No arguments, no configuration.

#include "SollunWakeDaemon/LogindSleep.h"
#include "SollunWakeDaemon/PowerEventStore.h"
#include "SollunWakeDaemon/RtcReach.h"
#include "SollunWakeDaemon/RtcSlot.h"
#include "SollunWakeDaemon/ShutdownArming.h"
#include "SollunWakeDaemon/SimulatedWakeAlarm.h"
#include "SollunWakeDaemon/SleepArming.h"
#include "SollunWakeDaemon/WakeDaemonBus.h"
#include "SollunWakeDaemon/WakeDaemonService.h"
#include "platform/linux/SdEventLoop.h"
#include "shared/AtomicFile.h"
#include "shared/ProductIdentities.h"

#include <csignal>

int main() {
    using namespace sollun;

    // Without a journal the log goes to standard error, which may be a pipe whose reader has
    // gone; a write there, or to any peer that went, must fail with EPIPE, not end the daemon.
    std::signal(SIGPIPE, SIG_IGN);

    if (trust::identitiesAreDevelopmentMapped())
        daemon::daemonLog().error(
            "DEVELOPMENT BUILD: the product identities are mapped onto this user's own groups; "
            "any program of this user may call the daemon");

    platform::SdEventLoop loop;
    const auto stateDir = daemon::stateDirectory();
    // A daemon killed mid-write leaves that write's temporary behind. This is the only writer of
    // these files (the bus name admits one daemon), so whatever temporaries they have are debris.
    for (const auto name : {daemon::PowerEventStore::fileName, daemon::SimulatedWakeAlarm::fileName,
                            daemon::RtcSlot::recordName})
        removeLeftoverTemporaries(stateDir / name);
    // The alarm timer goes no further than the RTC reaches; it learns how far at each sleep.
    daemon::RtcReach reach;
    auto hardware = daemon::probeWakeHardware(loop, stateDir);
    if (hardware.armsForSleep)
        hardware.alarm = std::make_unique<daemon::WithinRtcReach>(std::move(hardware.alarm), reach,
                                                                  currentInstant);
    daemon::PowerEventStore store(stateDir, std::move(hardware.alarm));
    if (const auto status = store.rearm(); status != daemon::powerSuccess)
        daemon::daemonLog().error("Failed to arm the wake hardware at start: 0x%{public}s",
                                  daemon::hexStatus(status));
    daemon::ShutdownArming shutdown(loop, store);

    daemon::WakeDaemonService service(store, currentInstant);
    const auto bus = daemon::WakeDaemonBus::start(loop, service, trust::productIdentities());
    if (!bus)
        return 1;

    // The RTC armed before every sleep, beside an alarm the kernel carries only into suspend.
    // The lock is taken only once the announcements that let it go are watched for.
    std::unique_ptr<daemon::LogindSleepDelay> delay;
    std::unique_ptr<daemon::SleepArming> arming;
    std::unique_ptr<daemon::PrepareForSleepWatch> sleepWatch;
    if (hardware.sleepRtc)
        sleepWatch = daemon::PrepareForSleepWatch::start(bus->connection(), [&arming](bool asleep) {
            if (!arming)
                return;
            if (asleep)
                arming->prepareForSleep();
            else
                arming->resumed();
        });
    if (sleepWatch) {
        delay = std::make_unique<daemon::LogindSleepDelay>(bus->connection());
        arming = std::make_unique<daemon::SleepArming>(
            store, reach, daemon::RtcSlot(*hardware.sleepRtc, stateDir), *delay, currentInstant);
    }
    return loop.run() < 0 ? 1 : 0;
}
