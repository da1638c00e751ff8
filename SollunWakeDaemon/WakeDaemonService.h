#pragma once

// The daemon's work: keeping the product's events in the machine's schedule of power events in
// line with what the helper asks for. Every request cancels all events of the product's owner; a
// scheduling request puts one wake-or-power-on event in their place, if its date lies more than a
// second ahead, in the same change of the schedule, and still cancels them when that change
// fails. Nothing is kept between requests: each one reads the schedule afresh.

#include "SollunWakeDaemon/DaemonLog.h"
#include "SollunWakeDaemon/PowerEvents.h"
#include "platform/Log.h"
#include "shared/Instant.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace sollun::daemon {

inline constexpr std::string_view productEventOwner = "com.kestrovane.sollun";
inline constexpr std::int64_t daemonVersion = 1;

class WakeDaemonService {
public:
    // nullopt is success; a text is the failure that goes back to the caller.
    using Reply = std::function<void(std::optional<std::string>)>;
    using Now = std::function<Instant()>;

    WakeDaemonService(PowerEvents& events, Now now);

    void cancelPriorWakeEvents();
    void scheduleWakeAt(Instant date, const Reply& reply);
    void clearWake(const Reply& reply);
    void getVersion(const std::function<void(std::int64_t)>& reply);

private:
    void cancel(std::span<const PowerEventKey> prior);

    PowerEvents& events_;
    Now now_;
};

} // namespace sollun::daemon
