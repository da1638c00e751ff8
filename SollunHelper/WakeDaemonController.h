#pragma once

// The helper's only link to the wake daemon: its registration with the system, and the requests
// made to it.
//
// Registration. The daemon runs when the system starts it on demand, which needs it registered
// from its definition shipped with the helper. registerIfNeeded() asks for that once at start, as
// soon as the service knows where the daemon stands; registrationState follows what the service
// reports: it is refreshed whenever the service tells of a change, and whenever someone wants a
// current answer (construction, after registering, every reconciliation), which the service
// gives from what it holds, without waiting. It gates every wake request: only `enabled` lets one
// through.
//
// Requests. One connection to the daemon is made on the first request and kept; when the
// transport reports it interrupted or invalidated it is dropped, and the next request makes a new
// one. Every request goes through callDaemon(), which never fails towards its caller: a daemon
// that cannot be reached yields the request's default (schedule: an unanswered WakeRefusal,
// clear: false, version: 0).
//
// Everything here runs on the main loop, the transport's callbacks included: replies and error
// handlers touch only their request's ResumeOnce, and the connection's handlers drop it on a turn
// of the loop of its own. The controller's handlers stay on a connection only while it is the
// current one: a connection dropped, or left when the controller goes, reports to nobody, even
// when a request under way still holds it.
//
// connection, registrationState and daemonVersion are observable: each write that changes the
// value is reported to the registrar under the field's name. Nothing has to subscribe; readers take
// the current values when they need them.

#include "SollunHelper/DaemonService.h"
#include "SollunHelper/ResumeOnce.h"
#include "SollunHelper/WakeDaemonTransport.h"
#include "platform/EventLoop.h"
#include "platform/Log.h"
#include "platform/Observable.h"
#include "platform/Task.h"
#include "shared/Instant.h"
#include "shared/WakeDaemonProtocol.h"
#include "shared/WakeDaemonRegistrationState.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace sollun::helper {

// The name under which the daemon serves.
inline constexpr std::string_view wakeDaemonServiceName = wake_daemon_protocol::busName;
// Why a schedule request did not take: the daemon refused it and said why, or no answer came (no
// connection, the daemon gone mid-request, a time-out), which `text` logs as "no daemon
// connection".
struct WakeRefusal {
    enum class Kind { refused, unanswered };
    Kind kind = Kind::unanswered;
    std::string text{"no daemon connection"};
};

// The controller's logger, for registration and requests alike.
const platform::Logger& daemonControllerLog();

class WakeDaemonController {
public:
    // A request: starts exactly one call on the proxy, whose reply ends by calling the reply
    // function with the request's result.
    template <class T>
    using RequestBody = std::function<void(WakeDaemonProxy&, std::function<void(T)>)>;

    // Reads the service's status before returning, so a new controller already shows the
    // registration state as far as the service knows it. Makes no connection.
    WakeDaemonController(platform::EventLoop& loop, std::unique_ptr<DaemonService> service,
                         std::shared_ptr<WakeDaemonConnector> connector);
    WakeDaemonController(const WakeDaemonController&) = delete;
    WakeDaemonController& operator=(const WakeDaemonController&) = delete;

    // Sends `body` over the current connection, making one first if needed, and waits for its
    // reply. Yields `defaultValue` when no connection can be made, the daemon does not offer its
    // protocol, or the transport reports an error for the request (which is logged).
    template <class T>
    platform::Task<T> callDaemon(T defaultValue, std::type_identity_t<RequestBody<T>> body);

    // Asks the daemon to wake the machine at `date`, or to clear the wake when there is none.
    // Yields the date the daemon accepted; nothing when the wake was cleared, skipped because the
    // daemon is not enabled, or refused.
    platform::Task<std::optional<Instant>> scheduleWake(std::optional<Instant> date);
    // The same request, telling also whether it was skipped because the daemon is not enabled
    // (as it also seems before the system bus has first answered), or sent without an answer
    // coming (no connection, the daemon gone mid-request, a time-out). A refusal is an answer.
    struct WakeRequestOutcome {
        std::optional<Instant> scheduled;
        bool unanswered = false;
        bool skipped = false;
    };
    platform::Task<WakeRequestOutcome> requestWake(std::optional<Instant> date);
    // The clear request: true once the daemon answered at all, false when it could not be asked.
    platform::Task<bool> clearWake();
    // The version request: the daemon's version, or 0 when it could not be asked. The caller
    // decides whether to keep it with setDaemonVersion().
    platform::Task<std::int64_t> fetchVersion();

    // Registers the daemon unless it is enabled or awaits approval, logs the outcome, then
    // refreshes registrationState. While the service does not know the status yet, all this waits
    // for it to tell of a change. Never fails towards the caller.
    void registerIfNeeded();
    // Reads the service's status into registrationState.
    void refreshRegistrationState();
    // Lets the user approve the daemon; the outcome shows when the service tells of it.
    void requestApproval();

    const std::shared_ptr<WakeDaemonConnection>& connection() const { return connection_.get(); }
    WakeDaemonRegistrationState registrationState() const { return registrationState_.get(); }
    std::int64_t daemonVersion() const { return daemonVersion_.get(); }
    void setDaemonVersion(std::int64_t version) { daemonVersion_.set(version); }

    platform::ObservationRegistrar::Subscription
    observe(platform::ObservationRegistrar::Observer observer) {
        return registrar_.observe(std::move(observer));
    }

private:
    void registerOnceKnown();
    void ensureConnection();
    void dropConnection(const std::weak_ptr<WakeDaemonConnection>& reported);

    // In the order in which a controller comes to be. The observable fields only keep a reference
    // to the registrar declared after them: none of them is written before the refresh that ends
    // construction, and by then the registrar exists.
    const std::unique_ptr<DaemonService> service_;
    platform::Observable<std::shared_ptr<WakeDaemonConnection>> connection_;
    platform::Observable<WakeDaemonRegistrationState> registrationState_;
    platform::Observable<std::int64_t> daemonVersion_;
    platform::ObservationRegistrar registrar_;

    platform::EventLoop& loop_;
    const std::shared_ptr<WakeDaemonConnector> connector_;
    // registerIfNeeded() was called and has not yet found the status known.
    bool registrationWanted_ = false;
    // The handlers on the current connection, and the drop they asked for.
    platform::Source connectionHandlers_;
    platform::Source pendingDrop_;
};

template <class T>
platform::Task<T> WakeDaemonController::callDaemon(T defaultValue,
                                                   std::type_identity_t<RequestBody<T>> body) {
    ensureConnection();
    const auto connection = connection_.get();
    if (!connection)
        co_return defaultValue;

    co_return co_await platform::awaitCompletion<T>(loop_, [&](platform::Completion<T> done) {
        auto once = std::make_shared<ResumeOnce<T>>(std::move(done));
        auto proxy =
            connection->remoteObjectProxy([once, defaultValue](const std::string& description) {
                daemonControllerLog().error("XPC error: %{public}s", description);
                once->resume(defaultValue);
            });
        if (!proxy) {
            once->resume(defaultValue);
            return;
        }
        body(*proxy, [once](T value) { once->resume(std::move(value)); });
    });
}

} // namespace sollun::helper
