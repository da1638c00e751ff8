#pragma once

// Powering the machine on from off. The alarm timer dies with the daemon and the kernel only
// programs it when suspending, so before the daemon ends (SIGTERM: the machine shutting down, or
// the service being stopped) the RTC is armed directly for the earliest future event that should
// power the machine on.
//
// The RTC's one slot is shared with other programs as RtcSlot describes: another program's alarm
// that comes earlier is left alone, and the machine comes on earlier for it; ours is lost only if
// that program does not hand the slot back. A later foreign alarm gives way to ours.

#include "SollunWakeDaemon/PowerEventStore.h"
#include "SollunWakeDaemon/RtcSlot.h"
#include "platform/EventLoop.h"

#include <filesystem>

namespace sollun::daemon {

class ShutdownArming {
public:
    // Watches SIGTERM on `loop`: arms, then ends the loop with 0. The store must outlive this.
    ShutdownArming(platform::EventLoop& loop, PowerEventStore& store,
                   std::filesystem::path rtcPath = defaultRtcWakeAlarmPath);

    ShutdownArming(const ShutdownArming&) = delete;
    ShutdownArming& operator=(const ShutdownArming&) = delete;

    // The arming alone; true when the RTC was written.
    bool armForPowerOn();

    static constexpr std::string_view powerOnTypes[] = {powerEventTypeWakePowerOn,
                                                        powerEventTypePowerOn};

private:
    platform::EventLoop& loop_;
    PowerEventStore& store_;
    RtcSlot slot_;
    platform::Source signal_;
};

} // namespace sollun::daemon
