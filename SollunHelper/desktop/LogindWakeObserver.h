#pragma once

// The did-wake notification from logind. Before the machine sleeps logind broadcasts
// PrepareForSleep(true) on the system bus, and PrepareForSleep(false) once it runs again; only
// the latter counts here. Each one calls every live handler once, as a task posted to the loop,
// so a handler never runs inside the bus's own dispatch.
//
// The observer keeps a system bus connection of its own, opened by the first observeDidWake()
// and attached to the loop. Its one match rule (sender org.freedesktop.login1, object
// /org/freedesktop/login1, interface org.freedesktop.login1.Manager) is added with a blocking
// call, so that a wake announced after observeDidWake() has returned is seen; that call can hold
// the loop for as long as the bus takes to answer. The bus checks the sender of a broadcast
// against the rule, but delivers a signal addressed to this connection alone whatever the rule
// says: such signals are not logind's and are ignored, as is a PrepareForSleep of another shape
// than one boolean.
//
// When the connection is lost (the system bus was restarted), a new one is opened as soon as
// the loop comes round, and, while that fails, every `retryInterval` until it succeeds; only as
// long as some token lives, otherwise the next observeDidWake() opens it. A wake announced while
// no connection was open is gone: logind does not repeat its signals, and nothing else could tell
// that the machine slept in between.
//
// Nothing here logs: the coordinator does that. Everything runs on the loop's thread, and the
// observer must not outlive the loop. Destroying a token, or the observer, cancels the calls
// of its handler that are posted but have not run; a token left over after the observer is inert.

#include "SollunHelper/SystemWakeObserver.h"
#include "platform/EventLoop.h"
#include "platform/linux/SdBus.h"
#include "platform/linux/SdEventLoop.h"

#include <systemd/sd-bus.h>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

namespace sollun::helper {

class LogindWakeObserver final : public SystemWakeObserver {
public:
    // Opens a started connection to the system bus, not attached to any loop; gives a negative
    // errno when it cannot. A setgid helper does not see DBUS_SYSTEM_BUS_ADDRESS and may pass an
    // opener of its own.
    using BusOpener = std::function<int(sd_bus** bus)>;

    static constexpr std::chrono::seconds retryInterval{5};

    explicit LogindWakeObserver(platform::SdEventLoop& loop,
                                BusOpener openBus = sd_bus_open_system);
    LogindWakeObserver(const LogindWakeObserver&) = delete;
    LogindWakeObserver& operator=(const LogindWakeObserver&) = delete;

    // Never fails: without a bus connection the token waits for the next one.
    std::unique_ptr<Token> observeDidWake(std::function<void()> handler) override;

    // The connection while one is open, for other calls to logind (the sleep inhibitor's), so
    // that the helper keeps one connection to the system bus for logind, not one per use. Null
    // before the first observeDidWake() and between a loss and the next connection.
    sd_bus* connection() const { return bus_.get(); }

private:
    struct Registration {
        std::function<void()> handler;
    };
    class WakeToken;

    static int onPrepareForSleep(sd_bus_message* message, void* userdata, sd_bus_error* error);
    static int onMessage(sd_bus_message* message, void* userdata, sd_bus_error* error);

    bool connect();
    void disconnect();
    void reconnect();
    bool observing();
    void announceWake();

    platform::SdEventLoop& loop_;
    BusOpener openBus_;

    platform::ClosedBus bus_;
    platform::BusSlot filter_;
    platform::BusSlot match_;
    platform::Source retry_;
    platform::Source pendingReconnect_;

    // The tokens own the registrations; what has expired is dropped on the next look.
    std::vector<std::weak_ptr<Registration>> registrations_;
    // The calls of the handlers for the wakes announced so far, each holding its registration
    // weakly.
    platform::DeferredTasks announcements_{loop_};
};

} // namespace sollun::helper
