#include "SollunWakeDaemon/WakeDaemonBus.h"

#include "shared/BusCredentials.h"
#include "shared/Rfc3339.h"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace sollun::daemon {

using namespace wake_daemon_protocol;

namespace {

// A sender may have this many requests waiting for its verdicts; more are refused at once.
constexpr std::size_t maxWaitingPerPeer = 32;

constexpr const char* limitsExceeded = "org.freedesktop.DBus.Error.LimitsExceeded";
constexpr const char* notAuthorizedText = "Not authorized to change the wake schedule";

Instant instantFromMicroseconds(std::int64_t usec) {
    // Outside the years the store can write, the nearest end means the same thing to the
    // service: far in the past, or far ahead.
    return std::clamp(Instant{std::chrono::microseconds(usec)}, rfc3339::earliest, rfc3339::latest);
}

} // namespace

WakeDaemonBus::WakeDaemonBus(WakeDaemonService& service, trust::IdentityTable identities)
    : service_(service)
    , identities_(std::move(identities)) {}

std::unique_ptr<WakeDaemonBus> WakeDaemonBus::start(platform::SdEventLoop& loop,
                                                    WakeDaemonService& service,
                                                    trust::IdentityTable identities) {
    std::unique_ptr<WakeDaemonBus> self(new WakeDaemonBus(service, std::move(identities)));
    // One handler for all three methods: every request passes the same gate first.
    static const sd_bus_vtable vtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD_WITH_ARGS("ScheduleWakeAt", SD_BUS_ARGS("x", wake_usec), SD_BUS_NO_RESULT,
                                &WakeDaemonBus::onMethod, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD_WITH_ARGS("ClearWake", SD_BUS_NO_ARGS, SD_BUS_NO_RESULT,
                                &WakeDaemonBus::onMethod, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD_WITH_ARGS("GetVersion", SD_BUS_NO_ARGS, SD_BUS_RESULT("x", version),
                                &WakeDaemonBus::onMethod, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_VTABLE_END,
    };

    const char* step = "connecting to the system bus";
    int r = sd_bus_open_system(platform::out(self->bus_));
    // Without the bus there is nothing to serve: end, and be started again by the next call.
    if (r >= 0 && (step = "setting up the bus connection"))
        r = sd_bus_set_exit_on_disconnect(self->bus_.get(), 1);
    if (r >= 0 && (step = "attaching the bus to the loop"))
        r = sd_bus_attach_event(self->bus_.get(), loop.native(), 0);
    if (r >= 0 && (step = "watching bus names"))
        r = sd_bus_match_signal(self->bus_.get(), platform::out(self->ownerMatch_),
                                "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                "org.freedesktop.DBus", "NameOwnerChanged",
                                &WakeDaemonBus::onNameOwnerChanged, self.get());
    if (r >= 0 && (step = "exporting the object"))
        r = sd_bus_add_object_vtable(self->bus_.get(), platform::out(self->objectSlot_), objectPath,
                                     interfaceName, vtable, self.get());
    if (r >= 0 && (step = "taking the bus name"))
        r = sd_bus_request_name(self->bus_.get(), busName, 0);
    if (r < 0) {
        daemonLog().error("Failed %{public}s: %{public}s", step, std::strerror(-r));
        return nullptr;
    }
    return self;
}

int WakeDaemonBus::onMethod(sd_bus_message* message, void* userdata, sd_bus_error*) {
    return static_cast<WakeDaemonBus*>(userdata)->receive(message);
}

int WakeDaemonBus::receive(sd_bus_message* message) {
    const char* sender = sd_bus_message_get_sender(message);
    if (sender == nullptr)
        return sd_bus_reply_method_errorf(message, SD_BUS_ERROR_ACCESS_DENIED, "Access denied");

    auto [it, isNew] = peers_.try_emplace(sender);
    Peer& peer = it->second;
    if (isNew) {
        // A new peer: its requirement is built afresh and attached to it.
        peer.owner = this;
        peer.name = sender;
        peer.requirement = trust::daemonRequirementText();
    }
    if (peer.admitted == false)
        return sd_bus_reply_method_errorf(message, SD_BUS_ERROR_ACCESS_DENIED, "Access denied");
    if (peer.authorized) {
        serve(peer, message, {*peer.authorized, *peer.authorized ? "" : notAuthorizedText});
        return 1;
    }
    if (peer.waiting.size() >= maxWaitingPerPeer)
        return sd_bus_reply_method_errorf(message, limitsExceeded, "Too many requests");
    peer.waiting.emplace_back(sd_bus_message_ref(message));
    if (peer.admitted == true) {
        // polkit's last look-up gave no verdict: it is asked again.
        if (!peer.authorization)
            askPolkit(peer);
    } else if (!peer.credentialsCall) {
        const int r = sd_bus_call_method_async(bus_.get(), platform::out(peer.credentialsCall),
                                               "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                               "org.freedesktop.DBus", "GetConnectionCredentials",
                                               &WakeDaemonBus::onCredentials, &peer, "s", sender);
        if (r < 0)
            decide(peer, std::nullopt);
    }
    return 1;
}

int WakeDaemonBus::onCredentials(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto& peer = *static_cast<Peer*>(userdata);
    peer.credentialsCall.reset();
    // An error reply (the peer already gone, or the bus refusing) admits nobody.
    std::optional<trust::PeerCredentials> credentials;
    if (!sd_bus_message_is_method_error(reply, nullptr))
        credentials = trust::readConnectionCredentials(reply);
    peer.owner->decide(peer, credentials);
    return 0;
}

void WakeDaemonBus::decide(Peer& peer, const std::optional<trust::PeerCredentials>& credentials) {
    // Requests act for a user: a peer the bus names none for is nobody's to act for.
    const bool admitted = credentials && credentials->uid &&
                          trust::satisfies(peer.requirement, *credentials, identities_);
    // A look-up that failed says nothing about the peer: the requests that waited for it are
    // refused, and the next one asks again.
    if (credentials)
        peer.admitted = admitted;
    if (!admitted) {
        release(peer, std::nullopt);
        return;
    }
    peer.caller = {*credentials->uid, credentials->pid};
    askPolkit(peer);
}

void WakeDaemonBus::askPolkit(Peer& peer) {
    // The peer owns the check, and the check its callback: a peer that goes cancels it.
    peer.authorization =
        PolkitCheck::ask(bus_.get(), peer.name.c_str(),
                         [this, &peer](PolkitCheck::Answer answer, std::string_view reason) {
                             authorize(peer, answer, reason);
                         });
    if (!peer.authorization)
        authorize(peer, PolkitCheck::Answer::failed, "the question could not be sent");
}

void WakeDaemonBus::authorize(Peer& peer, PolkitCheck::Answer answer, std::string_view reason) {
    peer.authorization.reset();
    using enum PolkitCheck::Answer;
    if (answer == absent && authorizedWithoutPolkit()) {
        if (!std::exchange(saidWithoutPolkit_, true))
            daemonLog().error("DEVELOPMENT BUILD: polkit is not on the system bus; every caller "
                              "that passes the identity check may change the schedule");
        answer = authorized;
    }
    if (answer == authorized || answer == refused) {
        polkitFailing_ = false;
        peer.authorized = answer == authorized;
        release(peer, Authorization{answer == authorized, notAuthorizedText});
        return;
    }
    // No verdict: these requests are refused, the next one asks again.
    const std::string why =
        answer == absent ? "polkit is not on the system bus" : std::string(reason);
    if (!std::exchange(polkitFailing_, true))
        daemonLog().error("Cannot ask polkit whether callers may change the schedule: %{public}s; "
                          "refusing their changes until it answers",
                          why);
    release(peer, Authorization{false, "Authorization could not be checked: " + why});
}

void WakeDaemonBus::release(Peer& peer, const std::optional<Authorization>& authorization) {
    // Serving may not reach back into this peer's queue: requests are carried out in place.
    auto waiting = std::move(peer.waiting);
    peer.waiting.clear();
    for (const auto& message : waiting) {
        if (authorization)
            serve(peer, message.get(), *authorization);
        else
            (void)sd_bus_reply_method_errorf(message.get(), SD_BUS_ERROR_ACCESS_DENIED,
                                             "Access denied");
    }
}

// An answer that cannot be sent is not retried or logged: either its caller has gone, and nobody
// is left to tell, or the connection has, and the daemon exits on the disconnect.
void WakeDaemonBus::serve(const Peer& peer, sd_bus_message* message,
                          const Authorization& authorization) {
    const char* member = sd_bus_message_get_member(message);
    if (std::strcmp(member, "GetVersion") == 0) {
        service_.getVersion([message](std::int64_t version) {
            (void)sd_bus_reply_method_return(message, "x", version);
        });
        return;
    }
    // Every other request may change the schedule.
    if (!authorization.authorized) {
        (void)sd_bus_reply_method_errorf(message, notAuthorizedError, "%s",
                                         authorization.refusal.c_str());
        return;
    }
    std::int64_t usec = 0;
    const bool schedules = std::strcmp(member, "ScheduleWakeAt") == 0;
    if (schedules && sd_bus_message_read(message, "x", &usec) < 0) {
        (void)sd_bus_reply_method_errorf(message, SD_BUS_ERROR_INVALID_ARGS, "Expected one int64");
        return;
    }
    switch (limit_.admit(peer.caller.uid, RequestLimit::Clock::now())) {
    case RequestLimit::Verdict::admitted:
        break;
    case RequestLimit::Verdict::firstRefused:
        daemonLog().error("Too many requests (%{public}s): more than %{public}d at once or one a "
                          "second; refusing the rest until they slow down",
                          callerText(peer.caller), RequestLimit::burst);
        [[fallthrough]];
    case RequestLimit::Verdict::refused:
        (void)sd_bus_reply_method_errorf(message, limitsExceeded,
                                         "Too many requests: at most %d at once and one a second",
                                         RequestLimit::burst);
        return;
    }
    const auto replyTo = [message](const std::optional<std::string>& error) {
        if (error)
            (void)sd_bus_reply_method_errorf(message, rejectedError, "%s", error->c_str());
        else
            (void)sd_bus_reply_method_return(message, "");
    };
    if (schedules)
        service_.scheduleWakeAt(peer.caller, instantFromMicroseconds(usec), replyTo);
    else
        service_.clearWake(peer.caller, replyTo);
}

int WakeDaemonBus::onNameOwnerChanged(sd_bus_message* message, void* userdata, sd_bus_error*) {
    const char* name = nullptr;
    const char* oldOwner = nullptr;
    const char* newOwner = nullptr;
    if (sd_bus_message_read(message, "sss", &name, &oldOwner, &newOwner) >= 0 && name[0] == ':' &&
        newOwner[0] == '\0')
        static_cast<WakeDaemonBus*>(userdata)->forget(name);
    return 0;
}

void WakeDaemonBus::forget(std::string_view name) {
    if (const auto it = peers_.find(name); it != peers_.end())
        peers_.erase(it);
}

} // namespace sollun::daemon
