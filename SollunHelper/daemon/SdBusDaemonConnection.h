#pragma once

// The helper's way to the daemon over D-Bus. A connection to the daemon lives on the helper's
// shared connection to the system bus, as it was when the daemon connection was made: its match,
// questions and calls are registered there, and it ends with that bus connection. Only privileged
// lookups are served: the daemon is never looked for on the session bus. The daemon answers on
// the object /com/kestrovane/sollun/wakedaemon, interface
// com.kestrovane.sollun.WakeDaemonProtocol.
//
// Before its first request a connection makes sure whom it is talking to: it asks the bus to
// start the service (activation, or nothing when it already runs), asks which unique name owns
// the service's name, and asks the bus for the credentials that owner had when it connected. A
// service the bus cannot start (no activation file it reads) but that runs all the same is served
// as well: its owner is asked for whatever the start gave, and the start's error counts only when
// the name has no owner.
// Only an owner whose credentials satisfy the requirement text receives anything, and requests
// go to its unique name, so that a program taking over the name later cannot receive them.
// Requests made meanwhile wait, and so do requests made before resume().
//
// What a connection reports:
//
// - Interrupted: the verified owner left the service's name (the daemon ended, crashed or was
//   replaced), or no owner could be accepted (the service cannot be started, the name has no
//   owner, the owner is not the daemon: "The daemon's identity could not be verified"). Every
//   request waiting or sent ends in its error handler, then the handler is called. The
//   connection remains usable: its next request verifies the owner afresh.
// - Invalidated: the connection to the bus itself is lost. Every request ends in its error
//   handler, then the handler is called; every later request ends in its error handler at once.
//   The next daemon connection is made on the bus connection opened after it.
//
// Every request ends in exactly one call: its reply, or the error handler of the proxy it was
// made through, with a readable description (the bus's error message, or "The daemon did not
// answer in time" when the call time-out passed). The daemon's refusal of a request (its errors
// com.kestrovane.sollun.WakeDaemonProtocol.Error.Rejected and .NotAuthorized) is no error: it is
// the text reply.
// An answer of the wrong shape ends in the error handler.
//
// Everything runs on the loop's thread: the methods below must be called there, and replies,
// error handlers and the two connection handlers are called there, never from inside the call
// that made the request. Destroying a connection cancels its calls; its requests still open get
// their error handlers posted to the loop, so that nobody waits for ever. A connection must not
// outlive the loop.

#include "SollunHelper/WakeDaemonTransport.h"
#include "platform/linux/SdBus.h"
#include "platform/linux/SdEventLoop.h"
#include "platform/linux/SharedBus.h"
#include "shared/Requirement.h"

#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace sollun::helper {

struct SdBusConnectorOptions {
    // How long any call may go unanswered, the activation of the daemon included.
    std::chrono::microseconds callTimeout = std::chrono::seconds(25);
};

class SdBusDaemonConnector final : public WakeDaemonConnector {
public:
    // The connections are made on `systemBus` and check their peer against `identities`.
    SdBusDaemonConnector(platform::SdEventLoop& loop, platform::SharedBus& systemBus,
                         trust::IdentityTable identities, SdBusConnectorOptions options = {});

    // Nothing when the system bus cannot be reached, the lookup is not privileged, or
    // `serviceName` is not a well-known bus name.
    std::shared_ptr<WakeDaemonConnection> connect(const std::string& serviceName, bool privileged,
                                                  const std::string& requirement) override;

private:
    platform::SdEventLoop& loop_;
    platform::SharedBus& systemBus_;
    trust::IdentityTable identities_;
    SdBusConnectorOptions options_;
};

class SdBusDaemonProxy;

class SdBusDaemonConnection final : public WakeDaemonConnection,
                                    public std::enable_shared_from_this<SdBusDaemonConnection> {
public:
    // On `shared`'s connection as it is now; nothing when there is none or the daemon's name
    // cannot be watched on it.
    static std::shared_ptr<SdBusDaemonConnection>
    create(platform::SdEventLoop& loop, platform::SharedBus& shared, std::string serviceName,
           std::string requirement, trust::IdentityTable identities,
           std::chrono::microseconds callTimeout);
    ~SdBusDaemonConnection() override;
    SdBusDaemonConnection(const SdBusDaemonConnection&) = delete;
    SdBusDaemonConnection& operator=(const SdBusDaemonConnection&) = delete;

    void setInvalidationHandler(Handler handler) override;
    void setInterruptionHandler(Handler handler) override;
    void resume() override;
    // Always a proxy: whether the peer offers the protocol shows in the answers to its requests.
    std::shared_ptr<WakeDaemonProxy> remoteObjectProxy(ErrorHandler errorHandler) override;

private:
    friend class SdBusDaemonProxy;

    // One request of the protocol: what to send, and where its one answer goes.
    struct Request {
        const char* method = nullptr;
        std::optional<std::int64_t> argument;
        // Takes the daemon's method return; false, having delivered nothing, when the return
        // does not carry what the method answers.
        std::function<bool(sd_bus_message*)> deliverReturn;
        // Takes the text of the daemon's refusal; empty for requests whose answer is no text.
        std::function<void(std::string)> deliverRefusal;
        ErrorHandler fail;
    };

    // A request sent to the verified owner; its address is the reply callback's userdata.
    struct Call {
        SdBusDaemonConnection* connection = nullptr;
        std::uint64_t serial = 0;
        Request request;
        platform::BusSlot slot;
        std::chrono::steady_clock::time_point sentAt;
    };

    enum class Phase { idle, verifying, verified, invalidated };

    SdBusDaemonConnection(platform::SdEventLoop& loop, platform::BusRef bus,
                          std::string serviceName, std::string requirement,
                          trust::IdentityTable identities, std::chrono::microseconds callTimeout);

    static int onWatchInstalled(sd_bus_message* reply, void* userdata, sd_bus_error* error);
    static int onNameOwnerChanged(sd_bus_message* message, void* userdata, sd_bus_error* error);
    static int onStarted(sd_bus_message* reply, void* userdata, sd_bus_error* error);
    static int onOwner(sd_bus_message* reply, void* userdata, sd_bus_error* error);
    static int onCredentials(sd_bus_message* reply, void* userdata, sd_bus_error* error);
    static int onReply(sd_bus_message* reply, void* userdata, sd_bus_error* error);

    void submit(Request request);
    void verify();
    int askBus(const char* method, const std::string& name, sd_bus_message_handler_t callback);
    // The connection a verification step's answer belongs to, the step over; holding it keeps the
    // connection alive while the answer is handled.
    static std::shared_ptr<SdBusDaemonConnection> stepAnswered(void* userdata);
    // When `reply` is an error, ends the verification with it and says so.
    bool stepFailed(sd_bus_message* reply);
    void send(Request request);
    void answer(Call& call, sd_bus_message* reply);
    void giveUp(const std::string& description);
    void interrupt(const std::string& description);
    void invalidate(const std::string& description);
    // Both: every open request fails with `description`, then `handler` is told.
    void end(Phase next, const std::string& description, const Handler& handler);
    std::deque<ErrorHandler> takeOpenRequests();
    std::string describe(sd_bus_message* reply, std::chrono::steady_clock::time_point sentAt);
    void failLater(ErrorHandler fail, std::string description);
    std::uint64_t timeoutUsec() const { return static_cast<std::uint64_t>(callTimeout_.count()); }

    platform::SdEventLoop& loop_;
    // The bus connection this one lives on; the shared connection's owner closes it.
    platform::BusRef bus_;
    const std::string serviceName_;
    const std::string requirement_;
    const trust::IdentityTable identities_;
    const std::chrono::microseconds callTimeout_;

    Handler invalidationHandler_;
    Handler interruptionHandler_;
    bool resumed_ = false;
    Phase phase_ = Phase::idle;

    platform::BusSlot ownerWatch_;
    // The bus driver call of the verification under way, or the end of one that could not be sent.
    platform::BusSlot step_;
    platform::Source unsentStep_;
    std::chrono::steady_clock::time_point stepSentAt_;
    // Why the bus could not start the service, while its owner is asked for.
    std::string startFailure_;
    // The unique name that owns the service's name: being verified, or verified.
    std::string owner_;

    std::deque<Request> waiting_;
    std::map<std::uint64_t, Call> calls_;
    std::uint64_t nextSerial_ = 0;

    // The loss of the bus connection, told by its owner and handled on a turn of its own.
    platform::Source following_;
    platform::Source pendingLoss_;
};

class SdBusDaemonProxy final : public WakeDaemonProxy {
public:
    // Requests made after the connection is gone end in `errorHandler`, posted to the loop.
    SdBusDaemonProxy(platform::SdEventLoop& loop, std::weak_ptr<SdBusDaemonConnection> connection,
                     WakeDaemonConnection::ErrorHandler errorHandler);

    // The instant goes as whole microseconds since the epoch, rounded down.
    void scheduleWakeAt(Instant date, TextReply reply) override;
    void clearWake(TextReply reply) override;
    void getVersion(std::function<void(std::int64_t)> reply) override;

private:
    // A request answered with nothing (done) or with the daemon's refusal.
    static SdBusDaemonConnection::Request textRequest(const char* method, TextReply reply);
    void submit(SdBusDaemonConnection::Request request);

    platform::SdEventLoop& loop_;
    std::weak_ptr<SdBusDaemonConnection> connection_;
    WakeDaemonConnection::ErrorHandler errorHandler_;
};

} // namespace sollun::helper
