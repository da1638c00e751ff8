#pragma once

// What a bus says about one name, kept current without asking it at every turn: whether the name
// has an owner (asked once per connection, then followed through the bus's NameOwnerChanged
// signals for it) and whether the bus can start it (ListActivatableNames, asked once per
// connection and again at each askActivatable(), as after its activation files changed).
//
// It asks over the helper's shared connection to the bus, and asks again on each new one the
// connection's owner opens after a loss (the bus restarted); nothing here waits for the bus. A
// question that fails or times out is asked again, with the match, after a back-off: half a
// second, doubling up to 30 s, back to half a second once the bus has answered. Meanwhile the
// last answers stand: a restart of the bus changes nothing that is installed, and the daemon's
// own connection notices a bus that went away.

#include "platform/linux/SdBus.h"
#include "platform/linux/SdEventLoop.h"
#include "platform/linux/SharedBus.h"

#include <systemd/sd-bus.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace sollun::helper {

class BusNameWatch {
public:
    struct State {
        bool owned = false;
        bool activatable = false;
        bool operator==(const State&) const = default;
    };

    // Asks at once, on `bus`'s connection (opened if needed). `changed` is called on the loop
    // whenever state() has changed, never from within a call of this class.
    BusNameWatch(platform::SdEventLoop& loop, platform::SharedBus& bus, std::string name,
                 std::function<void()> changed);
    BusNameWatch(const BusNameWatch&) = delete;
    BusNameWatch& operator=(const BusNameWatch&) = delete;

    // Both answers, once the bus has given them for the first time.
    const std::optional<State>& state() const { return state_; }

    // Asks again whether the bus can start the name; a question still open is dropped.
    void askActivatable();

private:
    static int onHasOwner(sd_bus_message* reply, void* userdata, sd_bus_error*);
    static int onActivatableNames(sd_bus_message* reply, void* userdata, sd_bus_error*);
    static int onOwnerChanged(sd_bus_message* signal, void* userdata, sd_bus_error*);
    static int onMatchAdded(sd_bus_message* reply, void* userdata, sd_bus_error*);

    // Registers the match and asks both questions on `bus`.
    void ask(sd_bus* bus);
    // Drops what was registered on the connection.
    void forget();
    void failed();
    void learned(std::optional<bool> owned, std::optional<bool> activatable);

    platform::SdEventLoop& loop_;
    const std::string name_;
    const std::function<void()> changed_;

    // The connection announced last, until it is lost.
    sd_bus* bus_ = nullptr;
    platform::BusSlot match_;
    platform::BusSlot ownerQuestion_;
    platform::BusSlot activatableQuestion_;
    // What this connection has answered so far.
    std::optional<bool> owned_;
    std::optional<bool> activatable_;

    std::optional<State> state_;
    std::chrono::milliseconds backOff_;
    platform::Source retry_;
    platform::Source pendingChange_;
    // Last: what it announces is registered on the members above.
    platform::Source following_;
};

} // namespace sollun::helper
