#pragma once

// Powering the machine on from off. The alarm timer dies with the daemon and the kernel only
// programs it when suspending, so before the daemon ends (SIGTERM: the machine shutting down, or
// the service being stopped) the RTC is armed directly for the earliest future event that should
// power the machine on.
//
// The RTC has one slot for the whole machine. An alarm already in it that is still ahead, earlier
// than ours, and neither one of the schedule's events nor the value this arming last wrote
// (recorded as `rtc-poweron` in the state directory, since it outlives the daemon) belongs to
// another program, and is left alone: the machine comes on earlier for it, and ours is lost only
// if that program does not hand the slot back. A later foreign alarm gives way to ours.

#include "SollunWakeDaemon/PowerEventStore.h"
#include "SollunWakeDaemon/RtcWakeAlarm.h"
#include "platform/EventLoop.h"

#include <cstdint>
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
    static constexpr std::string_view recordName = "rtc-poweron";

private:
    bool isOurs(std::int64_t seconds);

    platform::EventLoop& loop_;
    PowerEventStore& store_;
    std::filesystem::path rtcPath_;
    platform::Source signal_;
};

} // namespace sollun::daemon
