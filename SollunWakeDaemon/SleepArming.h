#pragma once

// Arming the RTC for every sleep, beside the alarm timer.
//
// The kernel programs the RTC from alarm timers only on the way into suspend (S3 and s2idle):
// hibernation, hybrid sleep and the hibernate stage of suspend-then-hibernate wake for nothing
// the alarm timer holds, and some s2idle platforms wake only for the alarm in the RTC's own
// `wakealarm`, which also stays armed through hibernation. So while it is awake the daemon holds
// logind's delay lock for sleep; when logind announces a sleep, it arms the RTC's slot for the
// earliest wake event (under RtcSlot.h's sharing rules: another program's earlier alarm stays,
// a later one gives way), arms the alarm timer again within what the RTC was just seen to reach
// (RtcReach.h), and lets the sleep go on. Nothing is ever armed beyond the RTC's reach: the
// machine wakes early there, and the next leg is armed from there.
//
// Back from sleep it takes its alarm out of the slot, if the slot still holds exactly that and
// it has not gone off, and puts back the later alarm that gave way to it, so that the slot is as
// the other programs left it and nothing armed there outlives a change of the schedule; anything
// else in the slot is not its own to touch. Then it arms for what is now the earliest event, and
// takes the lock again. The value it wrote
// is also recorded as the slot's own (`rtc-poweron`), as ShutdownArming does, so that either of
// them replaces the other's alarm rather than leave it standing as another program's.
//
// A daemon that gets no lock still arms on the announcement, but the sleep may have begun by then.
// Without an RTC slot it may write, there is nothing to do here: the alarm timer, kept within
// reach, wakes the machine from suspend alone. Here is only the decision; the bus carries the
// announcements and the lock (LogindSleep.h).

#include "SollunWakeDaemon/PowerEventStore.h"
#include "SollunWakeDaemon/RtcReach.h"
#include "SollunWakeDaemon/RtcSlot.h"

#include <cstdint>
#include <functional>
#include <optional>

namespace sollun::daemon {

// logind's delay lock for sleep, as the arming sees it.
class SleepDelay {
public:
    virtual ~SleepDelay() = default;
    // Asks for the lock, unless it is held or asked for already.
    virtual void take() = 0;
    // Lets a sleep that waits for the lock go on; an ask still unanswered is given up. Nothing
    // when neither.
    virtual void release() = 0;
};

class SleepArming {
public:
    using Clock = std::function<Instant()>;

    // Takes the lock. The store (whose wake alarm keeps within `reach`), the reach and the delay
    // must outlive this.
    SleepArming(PowerEventStore& store, RtcReach& reach, RtcSlot slot, SleepDelay& delay,
                Clock now);

    SleepArming(const SleepArming&) = delete;
    SleepArming& operator=(const SleepArming&) = delete;

    // logind's PrepareForSleep(true): the machine is about to sleep.
    void prepareForSleep();
    // PrepareForSleep(false): it runs again, or never slept.
    void resumed();

private:
    void armRtc(std::int64_t now);
    std::optional<std::int64_t> earliestWake(std::int64_t now);

    PowerEventStore& store_;
    RtcReach& reach_;
    RtcSlot slot_;
    SleepDelay& delay_;
    Clock now_;
    // What the slot was armed with for the sleep under way, and the later alarm of another
    // program that gave way to it.
    std::optional<std::int64_t> armed_;
    std::optional<std::int64_t> replaced_;
};

} // namespace sollun::daemon
