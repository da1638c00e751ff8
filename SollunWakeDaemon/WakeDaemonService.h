#pragma once

// The daemon's work: keeping the product's events in the machine's schedule of power events in
// line with what each user's helper asks for. Every request acts for one user, the caller the bus
// attested: it cancels that user's events of the product's owner (and those stored before events
// carried a user, which belong to nobody in particular and go with the next request of anyone); a
// scheduling request puts one wake-or-power-on event of that user in their place, if its date lies
// more than a second ahead, in the same change of the schedule, and still cancels them when that
// change fails. Other users' events stay as they are, and the hardware is armed for the earliest of
// all. Nothing is kept between requests: each one reads the schedule afresh.
//
// A request that would leave the user's events as they are changes nothing: no rewrite of the
// schedule and no log line, however often it comes. Every change is logged once, with the uid and
// the process that asked for it, and so is every request that fails: the store says what went
// wrong with its file or the hardware, and this layer adds the one line that says which request
// it cost.

#include "SollunWakeDaemon/DaemonLog.h"
#include "SollunWakeDaemon/PowerEvents.h"
#include "platform/Log.h"
#include "shared/Instant.h"

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace sollun::daemon {

inline constexpr std::string_view productEventOwner = "com.kestrovane.sollun";
inline constexpr std::int64_t daemonVersion = 1;

// Who asked: the user a request acts for, and the process, which is only logged.
struct Caller {
    std::uint32_t uid = 0;
    std::optional<pid_t> pid;
};

// "uid 1000, pid 4242", as every line logged for a request ends.
std::string callerText(const Caller& caller);

class WakeDaemonService {
public:
    // nullopt is success; a text is the failure that goes back to the caller.
    using Reply = std::function<void(std::optional<std::string>)>;
    using Now = std::function<Instant()>;

    WakeDaemonService(PowerEvents& events, Now now);

    void scheduleWakeAt(const Caller& caller, Instant date, const Reply& reply);
    void clearWake(const Caller& caller, const Reply& reply);
    void getVersion(const std::function<void(std::int64_t)>& reply);

private:
    // Cancels them all in one change; when that fails, every one of them stays, and the request
    // says so in one line, however many events it kept.
    bool cancel(const Caller& caller, std::span<const PowerEventKey> prior);

    PowerEvents& events_;
    Now now_;
};

} // namespace sollun::daemon
