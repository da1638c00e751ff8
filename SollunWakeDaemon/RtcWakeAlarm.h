#pragma once

#include "SollunWakeDaemon/RtcSlot.h"
#include "SollunWakeDaemon/WakeAlarm.h"
#include "platform/EventLoop.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

namespace sollun::daemon {

// The RTC's wake alarm, where the kernel offers no alarm timer. The slot is shared with other
// programs as RtcSlot describes, at run time as at shutdown.
//
// The RTC tells nobody when its alarm has gone off, so a wall-clock timer stands in: a second
// after whatever the slot holds has passed (ours, as far as the RTC reaches, or another program's
// that came first), the holder is told, and arms again for what is then its earliest event.
class RtcWakeAlarm final : public WakeAlarm {
public:
    // Nothing unless `path` exists and may be written (sysfs is read-only in most containers).
    // The record of the slot's value lives in `stateDir`.
    static std::unique_ptr<RtcWakeAlarm>
    create(platform::EventLoop& loop, const std::filesystem::path& stateDir,
           std::filesystem::path path = defaultRtcWakeAlarmPath);

    RtcWakeAlarm(platform::EventLoop& loop, std::filesystem::path path,
                 const std::filesystem::path& stateDir);

    PowerStatus arm(std::optional<Instant> earliest) override;
    std::string_view name() const override { return "rtc"; }
    void setFiredHandler(std::function<void()> handler) override { fired_ = std::move(handler); }
    void setScheduleTimes(std::function<std::vector<Instant>()> times) override {
        scheduled_ = std::move(times);
    }

private:
    platform::EventLoop& loop_;
    RtcSlot slot_;
    std::function<void()> fired_;
    std::function<std::vector<Instant>()> scheduled_;
    platform::Source passed_;
};

} // namespace sollun::daemon
