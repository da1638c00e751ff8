#pragma once

// The did-wake notification from logind. Before the machine sleeps logind broadcasts
// PrepareForSleep(true) on the system bus, and PrepareForSleep(false) once it runs again; only
// the latter counts here. Each one calls every live handler once, as a task posted to the loop,
// so a handler never runs inside the bus's own dispatch.
//
// The observer listens on the helper's shared connection to the system bus, from the first
// observeDidWake() on. Its one match rule (sender org.freedesktop.login1, object
// /org/freedesktop/login1, interface org.freedesktop.login1.Manager) is added with a blocking
// call, so that a wake announced after observeDidWake() has returned is seen; that call can hold
// the loop for as long as the bus takes to answer. The bus checks the sender of a broadcast
// against the rule, but delivers a signal addressed to this connection alone whatever the rule
// says: such signals are not logind's and are ignored, as is a PrepareForSleep of another shape
// than one boolean.
//
// When the connection is lost (the system bus was restarted), its owner opens a new one at once
// and keeps trying while that fails, and the rule is added again on it; only as long as some
// token lives, otherwise the next observeDidWake() adds it. A rule the bus refused is asked for
// again every `retryInterval`. A wake announced while no rule was in place is gone: logind does
// not repeat its signals, and nothing else could tell that the machine slept in between.
//
// Nothing here logs: the coordinator does that. Everything runs on the loop's thread, and the
// observer must not outlive the loop. Destroying a token, or the observer, cancels the calls
// of its handler that are posted but have not run; a token left over after the observer is inert.

#include "SollunHelper/SystemWakeObserver.h"
#include "platform/EventLoop.h"
#include "platform/linux/SdBus.h"
#include "platform/linux/SdEventLoop.h"
#include "platform/linux/SharedBus.h"

#include <systemd/sd-bus.h>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

namespace sollun::helper {

class LogindWakeObserver final : public SystemWakeObserver {
public:
    static constexpr std::chrono::seconds retryInterval{5};

    // Listens on `systemBus`'s connection.
    LogindWakeObserver(platform::SdEventLoop& loop, platform::SharedBus& systemBus);
    LogindWakeObserver(const LogindWakeObserver&) = delete;
    LogindWakeObserver& operator=(const LogindWakeObserver&) = delete;

    // Never fails: without a bus connection the token waits for the next one.
    std::unique_ptr<Token> observeDidWake(std::function<void()> handler) override;

private:
    struct Registration {
        std::function<void()> handler;
    };
    class WakeToken;

    static int onPrepareForSleep(sd_bus_message* message, void* userdata, sd_bus_error* error);
    // Adds the rule on the connection announced last, and tries again later when it cannot.
    void listen();
    void lost();
    bool observing();
    void announceWake();

    platform::SdEventLoop& loop_;
    platform::SharedBus& systemBus_;

    // The connection announced last, until it is lost.
    sd_bus* bus_ = nullptr;
    platform::BusSlot match_;
    platform::Source retry_;

    // The tokens own the registrations; what has expired is dropped on the next look.
    std::vector<std::weak_ptr<Registration>> registrations_;
    // The calls of the handlers for the wakes announced so far, each holding its registration
    // weakly.
    platform::DeferredTasks announcements_{loop_};
    // Last: what it announces is registered on the members above.
    platform::Source following_;
};

} // namespace sollun::helper
