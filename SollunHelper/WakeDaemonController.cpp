#include "SollunHelper/WakeDaemonController.h"

#include "shared/Requirement.h"

namespace sollun::helper {

namespace {

// The controller's handlers on a connection, held like a source: once it goes they do nothing,
// however long the connection itself lives on.
class ConnectionHandlers final : public platform::EventSource {
public:
    ConnectionHandlers(const std::shared_ptr<WakeDaemonConnection>& connection,
                       const WakeDaemonConnection::Handler& handler)
        : connection_(connection) {
        connection->setInvalidationHandler(handler);
        connection->setInterruptionHandler(handler);
    }
    ~ConnectionHandlers() override {
        if (const auto connection = connection_.lock()) {
            connection->setInvalidationHandler([] {});
            connection->setInterruptionHandler([] {});
        }
    }
    ConnectionHandlers(const ConnectionHandlers&) = delete;
    ConnectionHandlers& operator=(const ConnectionHandlers&) = delete;

private:
    // The connection holds the handlers: it is not held back in turn.
    std::weak_ptr<WakeDaemonConnection> connection_;
};

} // namespace

const platform::Logger& daemonControllerLog() {
    static const platform::Logger logger("com.kestrovane.sollun.helper", "daemon-controller");
    return logger;
}

WakeDaemonController::WakeDaemonController(platform::EventLoop& loop,
                                           std::unique_ptr<DaemonService> service,
                                           std::shared_ptr<WakeDaemonConnector> connector)
    : service_(std::move(service))
    , connection_(registrar_, "connection", nullptr)
    , registrationState_(registrar_, "registrationState", WakeDaemonRegistrationState::unknown)
    , daemonVersion_(registrar_, "daemonVersion", 0)
    , loop_(loop)
    , connector_(std::move(connector)) {
    // The service is this controller's own, and goes with it.
    service_->setChangeHandler([this] {
        refreshRegistrationState();
        registerOnceKnown();
    });
    refreshRegistrationState();
}

void WakeDaemonController::ensureConnection() {
    if (connection_.get())
        return;
    auto connection = connector_->connect(std::string(wakeDaemonServiceName), /*privileged=*/true,
                                          trust::clientRequirementText());
    if (!connection)
        return;

    // Dropped on a turn of the loop of its own, once however many reports come before it; the
    // connection holds its handlers, so they hold it only weakly.
    auto dropThisConnection = [this, reported = std::weak_ptr(connection)] {
        if (!pendingDrop_)
            pendingDrop_ = loop_.defer([this, reported] {
                pendingDrop_.reset();
                dropConnection(reported);
            });
    };
    connectionHandlers_ = std::make_unique<ConnectionHandlers>(connection, dropThisConnection);
    connection->resume();
    connection_.set(std::move(connection));
}

void WakeDaemonController::dropConnection(const std::weak_ptr<WakeDaemonConnection>& reported) {
    // A connection may report twice (an interruption, then its invalidation); the first drop
    // settles it, and it reports nothing to this controller afterwards.
    const auto current = connection_.get();
    if (current && current == reported.lock()) {
        connectionHandlers_.reset();
        connection_.set(nullptr);
    }
}

platform::Task<std::optional<Instant>>
WakeDaemonController::scheduleWake(std::optional<Instant> date) {
    co_return (co_await requestWake(date)).scheduled;
}

platform::Task<WakeDaemonController::WakeRequestOutcome>
WakeDaemonController::requestWake(std::optional<Instant> date) {
    if (registrationState_.get() != WakeDaemonRegistrationState::enabled) {
        daemonControllerLog().info("Skipping scheduleWake; daemon not enabled");
        co_return WakeRequestOutcome{std::nullopt, false, true};
    }
    if (!date)
        co_return WakeRequestOutcome{std::nullopt, !co_await clearWake()};
    // Named rather than a temporary in the co_await: GCC 12 destroys such an aggregate twice.
    std::optional<WakeRefusal> unanswered = WakeRefusal{};
    const auto refusal = co_await callDaemon<std::optional<WakeRefusal>>(
        std::move(unanswered), [at = *date](WakeDaemonProxy& proxy,
                                            std::function<void(std::optional<WakeRefusal>)> reply) {
            proxy.scheduleWakeAt(at, [reply = std::move(reply)](std::optional<std::string> text) {
                if (text)
                    reply(WakeRefusal{WakeRefusal::Kind::refused, std::move(*text)});
                else
                    reply(std::nullopt);
            });
        });
    if (refusal) {
        daemonControllerLog().error("Daemon rejected wake: %{public}s", refusal->text);
        co_return WakeRequestOutcome{std::nullopt, refusal->kind == WakeRefusal::Kind::unanswered};
    }
    co_return WakeRequestOutcome{date, false};
}

platform::Task<bool> WakeDaemonController::clearWake() {
    // The daemon never refuses a clear; any answer means it was done.
    co_return co_await callDaemon<bool>(
        false, [](WakeDaemonProxy& proxy, std::function<void(bool)> reply) {
            proxy.clearWake(
                [reply = std::move(reply)](const std::optional<std::string>&) { reply(true); });
        });
}

platform::Task<std::int64_t> WakeDaemonController::fetchVersion() {
    co_return co_await callDaemon<std::int64_t>(
        0, [](WakeDaemonProxy& proxy, std::function<void(std::int64_t)> reply) {
            proxy.getVersion(std::move(reply));
        });
}

void WakeDaemonController::registerIfNeeded() {
    registrationWanted_ = true;
    registerOnceKnown();
}

void WakeDaemonController::registerOnceKnown() {
    if (!registrationWanted_)
        return;
    const auto& log = daemonControllerLog();
    std::int64_t status = service_->status();
    switch (status) {
    case serviceNotRegistered:
    case serviceNotFound:
        if (const auto failure = service_->registerService())
            log.error("Daemon registration failed: %{public}s", *failure);
        else
            log.info("Registered wake daemon");
        status = service_->status();
        break;
    case serviceEnabled:
        log.info("Daemon already enabled");
        break;
    case serviceRequiresApproval:
        log.info("Daemon requires user approval in Login Items");
        break;
    default:
        // Not known yet: the service tells when it is.
        return;
    }
    registrationWanted_ = false;
    registrationState_.set(registrationStateFromServiceStatus(status));
}

void WakeDaemonController::refreshRegistrationState() {
    registrationState_.set(registrationStateFromServiceStatus(service_->status()));
}

void WakeDaemonController::requestApproval() {
    service_->requestApproval();
}

} // namespace sollun::helper
