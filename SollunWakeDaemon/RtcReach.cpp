#include "SollunWakeDaemon/RtcReach.h"

#include "SollunWakeDaemon/DaemonLog.h"
#include "platform/Log.h"
#include "shared/DateText.h"

namespace sollun::daemon {

WithinRtcReach::WithinRtcReach(std::unique_ptr<WakeAlarm> alarm, const RtcReach& reach, Clock now)
    : alarm_(std::move(alarm))
    , reach_(reach)
    , now_(std::move(now)) {}

PowerStatus WithinRtcReach::arm(std::optional<Instant> earliest) {
    const Instant limit = now_() + reach_.ahead();
    if (!earliest || *earliest <= limit) {
        return alarm_->arm(earliest);
    }
    const PowerStatus status = alarm_->arm(limit);
    if (status == powerSuccess) {
        daemonLog().info("Armed the %{public}s for %{public}s, as far as the RTC reaches; the wake "
                         "event is at %{public}s",
                         alarm_->name(), dateText(limit), dateText(*earliest));
    }
    return status;
}

} // namespace sollun::daemon
