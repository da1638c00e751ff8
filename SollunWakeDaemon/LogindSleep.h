#pragma once

// logind's side of arming for sleep, on the daemon's one system bus connection: the delay lock
// for sleep, and the PrepareForSleep announcements.
//
// The lock is a descriptor logind hands out from Manager.Inhibit("sleep", ..., "delay"); while it
// is open, logind waits with every sleep (up to its InhibitDelayMaxSec) after announcing it, and
// closing it lets the sleep go on. It is asked for without blocking the loop; an ask given up
// before its answer came drops the answer, and the descriptor in it, on arrival. A lock refused
// (no logind, or logind saying no) is logged once: the daemon then works as it would without
// one, and asks again after the next sleep.
//
// Only broadcasts from the owner of logind's name count: the bus checks the sender of those
// against the match rule, but hands over a signal addressed to this connection whatever the rule
// says, and one of another shape than a single boolean is not logind's either. The handler runs
// within the bus's dispatch, so that the lock is let go as soon as the arming is done.

#include "SollunWakeDaemon/SleepArming.h"
#include "platform/linux/Fd.h"
#include "platform/linux/SdBus.h"

#include <systemd/sd-bus.h>

#include <functional>
#include <memory>

namespace sollun::daemon {

class LogindSleepDelay final : public SleepDelay {
public:
    // `bus` is attached to the loop and outlives this.
    explicit LogindSleepDelay(sd_bus* bus);
    LogindSleepDelay(const LogindSleepDelay&) = delete;
    LogindSleepDelay& operator=(const LogindSleepDelay&) = delete;

    void take() override;
    void release() override;

private:
    static int onInhibit(sd_bus_message* reply, void* userdata, sd_bus_error* error);
    void refused(const char* why);

    sd_bus* bus_;
    platform::BusSlot ask_;
    platform::Fd lock_;
    bool saidRefused_ = false;
};

class PrepareForSleepWatch {
public:
    // `asleep` is PrepareForSleep's argument: true before a sleep, false after it.
    using Handler = std::function<void(bool asleep)>;

    // Subscribes on `bus` (attached to the loop, outliving this); nothing (after logging why)
    // when the bus refuses the match.
    static std::unique_ptr<PrepareForSleepWatch> start(sd_bus* bus, Handler handler);
    PrepareForSleepWatch(const PrepareForSleepWatch&) = delete;
    PrepareForSleepWatch& operator=(const PrepareForSleepWatch&) = delete;

private:
    explicit PrepareForSleepWatch(Handler handler);
    static int onSignal(sd_bus_message* message, void* userdata, sd_bus_error* error);

    Handler handler_;
    platform::BusSlot match_;
};

} // namespace sollun::daemon
