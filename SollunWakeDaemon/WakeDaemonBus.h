#pragma once

// The daemon on the system bus: the name com.kestrovane.sollun.wakedaemon, the object
// /com/kestrovane/sollun/wakedaemon with the interface com.kestrovane.sollun.WakeDaemonProtocol,
// and the checks in front of it.
//
// Every request's sender is checked against the daemon's requirement, built afresh for each new
// peer, using the credentials the bus attested when the peer connected (asked of the bus driver
// with GetConnectionCredentials; never read from /proc). The verdict is kept per unique name until
// the name goes away; a look-up that fails is no verdict, and only the requests waiting for it are
// refused. A refused sender gets AccessDenied, reaches no operation and is not logged.
//
// The requirement says which program calls, not which person. A sender that meets it is asked of
// polkit next, once per unique name (PolkitCheck.h): one it refuses gets NotAuthorized for every
// request that may change the schedule, GetVersion still answered. polkit's verdict is kept like
// the requirement's, and an answer that did not come is no verdict either. A development build
// takes polkit's absence from the bus for a yes, and says so once; a release build refuses.
//
// The requests of an admitted sender act for the uid the bus attested, which is how the service
// tells one user's events from another's, and those that may change the schedule count against
// that uid's limit (RequestLimit.h): past it, LimitsExceeded, logged once until the user has
// calmed down. Requests are carried out one at a time on the main loop, in the order each sender
// sent them.

#include "SollunWakeDaemon/PolkitCheck.h"
#include "SollunWakeDaemon/RequestLimit.h"
#include "SollunWakeDaemon/WakeDaemonService.h"
#include "platform/linux/SdBus.h"
#include "platform/linux/SdEventLoop.h"
#include "shared/Requirement.h"
#include "shared/WakeDaemonProtocol.h"

#include <systemd/sd-bus.h>

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace sollun::daemon {

class WakeDaemonBus {
public:
    // Connects to the system bus, exports the object and takes the name; nothing (after logging
    // why) when any of that fails.
    static std::unique_ptr<WakeDaemonBus>
    start(platform::SdEventLoop& loop, WakeDaemonService& service, trust::IdentityTable identities);
    WakeDaemonBus(const WakeDaemonBus&) = delete;
    WakeDaemonBus& operator=(const WakeDaemonBus&) = delete;

    // The daemon's one system bus connection, attached to the loop, for the other glue that
    // talks to the system's services on it; it lives as long as this.
    sd_bus* connection() const { return bus_.get(); }

private:
    // What is known of one sender. Requests wait here while its credentials, then polkit's
    // verdict, are asked for; a peer that goes drops them unanswered, and cancels its questions.
    struct Peer {
        WakeDaemonBus* owner = nullptr;
        std::string name;
        std::string requirement;
        std::optional<bool> admitted;
        Caller caller;
        std::optional<bool> authorized;
        std::deque<platform::BusMessage> waiting;
        platform::BusSlot credentialsCall;
        std::unique_ptr<PolkitCheck> authorization;
    };

    // How one round of polkit's check ended, for the requests that waited for it.
    struct Authorization {
        bool authorized = false;
        std::string refusal;
    };

    WakeDaemonBus(WakeDaemonService& service, trust::IdentityTable identities);

    static int onMethod(sd_bus_message* message, void* userdata, sd_bus_error* error);
    static int onCredentials(sd_bus_message* reply, void* userdata, sd_bus_error* error);
    static int onNameOwnerChanged(sd_bus_message* message, void* userdata, sd_bus_error* error);

    int receive(sd_bus_message* message);
    void decide(Peer& peer, const std::optional<trust::PeerCredentials>& credentials);
    void askPolkit(Peer& peer);
    void authorize(Peer& peer, PolkitCheck::Answer answer, std::string_view reason);
    // Serves the requests that waited for `peer`'s verdicts, or refuses them.
    void release(Peer& peer, const std::optional<Authorization>& authorization);
    void serve(const Peer& peer, sd_bus_message* message, const Authorization& authorization);
    void forget(std::string_view name);

    WakeDaemonService& service_;
    trust::IdentityTable identities_;
    RequestLimit limit_;
    // Whether polkit's last look-up went wrong (it is said once, until one goes right again),
    // and whether its absence was taken for a yes (said once).
    bool polkitFailing_ = false;
    bool saidWithoutPolkit_ = false;
    // In this order, so that the peers go first and the connection last.
    platform::FlushedBus bus_;
    platform::BusSlot objectSlot_;
    platform::BusSlot ownerMatch_;
    std::map<std::string, Peer, std::less<>> peers_;
};

} // namespace sollun::daemon
