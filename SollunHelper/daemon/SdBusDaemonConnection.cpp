#include "SollunHelper/daemon/SdBusDaemonConnection.h"

#include "shared/BusCredentials.h"
#include "shared/WakeDaemonProtocol.h"

#include <cstring>
#include <utility>

namespace sollun::helper {
namespace {

using namespace wake_daemon_protocol;

constexpr const char* driverName = "org.freedesktop.DBus";
constexpr const char* driverPath = "/org/freedesktop/DBus";

constexpr const char* unverified = "The daemon's identity could not be verified";
constexpr const char* timedOut = "The daemon did not answer in time";
constexpr const char* busLost = "The connection to the bus was lost";
constexpr const char* closed = "The connection to the daemon was closed";
constexpr const char* unreadable = "The daemon's answer could not be read";

std::string couldNotSend(int error) {
    return std::string("The request could not be sent: ") + std::strerror(-error);
}

} // namespace

SdBusDaemonConnector::SdBusDaemonConnector(platform::SdEventLoop& loop,
                                           platform::SharedBus& systemBus,
                                           trust::IdentityTable identities,
                                           SdBusConnectorOptions options)
    : loop_(loop)
    , systemBus_(systemBus)
    , identities_(std::move(identities))
    , options_(std::move(options)) {}

std::shared_ptr<WakeDaemonConnection>
SdBusDaemonConnector::connect(const std::string& serviceName, bool privileged,
                              const std::string& requirement) {
    // Only a well-known name is activated and changes owners. A valid name also cannot break out
    // of the quotes of the match rule it goes into.
    if (!privileged || serviceName.empty() || serviceName.front() == ':' ||
        sd_bus_service_name_is_valid(serviceName.c_str()) <= 0)
        return nullptr;
    return SdBusDaemonConnection::create(loop_, systemBus_, serviceName, requirement, identities_,
                                         options_.callTimeout);
}

SdBusDaemonConnection::SdBusDaemonConnection(platform::SdEventLoop& loop, platform::BusRef bus,
                                             std::string serviceName, std::string requirement,
                                             trust::IdentityTable identities,
                                             std::chrono::microseconds callTimeout)
    : loop_(loop)
    , bus_(std::move(bus))
    , serviceName_(std::move(serviceName))
    , requirement_(std::move(requirement))
    , identities_(std::move(identities))
    , callTimeout_(callTimeout) {}

std::shared_ptr<SdBusDaemonConnection>
SdBusDaemonConnection::create(platform::SdEventLoop& loop, platform::SharedBus& shared,
                              std::string serviceName, std::string requirement,
                              trust::IdentityTable identities,
                              std::chrono::microseconds callTimeout) {
    sd_bus* const bus = shared.connection();
    if (bus == nullptr)
        return nullptr;
    std::shared_ptr<SdBusDaemonConnection> self(
        new SdBusDaemonConnection(loop, platform::BusRef(sd_bus_ref(bus)), std::move(serviceName),
                                  std::move(requirement), std::move(identities), callTimeout));
    const std::string ownerRule = "type='signal',sender='org.freedesktop.DBus',"
                                  "path='/org/freedesktop/DBus',interface='org.freedesktop.DBus',"
                                  "member='NameOwnerChanged',arg0='" +
                                  self->serviceName_ + "'";
    // Asked for before any question about the owner: the bus handles one connection's messages
    // in order, so no change of owner after its answer goes unseen.
    if (sd_bus_add_match_async(bus, platform::out(self->ownerWatch_), ownerRule.c_str(),
                               &onNameOwnerChanged, &onWatchInstalled, self.get()) < 0)
        return nullptr;
    // Told from the owner's turn of the loop, or from within whoever found the connection closed:
    // the end goes on a turn of its own either way. This daemon connection never lives on another
    // bus connection, so the first loss is the last it follows.
    self->following_ = shared.follow(nullptr, [raw = self.get()] {
        raw->following_.reset();
        if (!raw->pendingLoss_)
            raw->pendingLoss_ = raw->loop_.defer([raw] {
                const auto keepAlive = raw->shared_from_this();
                raw->invalidate(busLost);
            });
    });
    return self;
}

SdBusDaemonConnection::~SdBusDaemonConnection() {
    // Posted, not called: whoever destroys a connection may be in the middle of something.
    if (auto open = takeOpenRequests(); !open.empty())
        loop_.post([open = std::move(open)] {
            for (const auto& fail : open)
                fail(closed);
        });
}

void SdBusDaemonConnection::setInvalidationHandler(Handler handler) {
    invalidationHandler_ = std::move(handler);
}

void SdBusDaemonConnection::setInterruptionHandler(Handler handler) {
    interruptionHandler_ = std::move(handler);
}

void SdBusDaemonConnection::resume() {
    resumed_ = true;
    if (phase_ == Phase::idle && !waiting_.empty())
        verify();
}

std::shared_ptr<WakeDaemonProxy>
SdBusDaemonConnection::remoteObjectProxy(ErrorHandler errorHandler) {
    return std::make_shared<SdBusDaemonProxy>(loop_, weak_from_this(), std::move(errorHandler));
}

void SdBusDaemonConnection::submit(Request request) {
    // A closing bus has not said so yet: its calls would fail one by one.
    if (phase_ == Phase::invalidated || sd_bus_is_open(bus_.get()) <= 0) {
        failLater(std::move(request.fail), busLost);
    } else if (phase_ == Phase::verified) {
        send(std::move(request));
    } else {
        waiting_.push_back(std::move(request));
        if (phase_ == Phase::idle && resumed_)
            verify();
    }
}

void SdBusDaemonConnection::verify() {
    phase_ = Phase::verifying;
    stepSentAt_ = std::chrono::steady_clock::now();
    // Asking to start a running service is harmless, and the requests go to a unique name, which
    // the bus never activates.
    const int r = platform::callMethodAsync(bus_.get(), step_, driverName, driverPath, driverName,
                                            "StartServiceByName", &onStarted, this, timeoutUsec(),
                                            "su", serviceName_.c_str(), std::uint32_t{0});
    if (r < 0) {
        // Reached from a request or resume(): nothing is called back from inside those.
        unsentStep_ = loop_.defer([this, description = couldNotSend(r)] {
            const auto keepAlive = shared_from_this();
            if (phase_ == Phase::verifying && !step_)
                giveUp(description);
        });
    }
}

int SdBusDaemonConnection::askBus(const char* method, const std::string& name,
                                  sd_bus_message_handler_t callback) {
    stepSentAt_ = std::chrono::steady_clock::now();
    return platform::callMethodAsync(bus_.get(), step_, driverName, driverPath, driverName, method,
                                     callback, this, timeoutUsec(), "s", name.c_str());
}

std::shared_ptr<SdBusDaemonConnection> SdBusDaemonConnection::stepAnswered(void* userdata) {
    auto self = static_cast<SdBusDaemonConnection*>(userdata)->shared_from_this();
    self->step_.reset();
    return self;
}

bool SdBusDaemonConnection::stepFailed(sd_bus_message* reply) {
    if (!sd_bus_message_is_method_error(reply, nullptr))
        return false;
    giveUp(describe(reply, stepSentAt_));
    return true;
}

int SdBusDaemonConnection::onStarted(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    const auto keepAlive = stepAnswered(userdata);
    auto& self = *keepAlive;
    self.startFailure_.clear();
    if (sd_bus_message_is_method_error(reply, nullptr))
        self.startFailure_ = self.describe(reply, self.stepSentAt_);
    if (const int r = self.askBus("GetNameOwner", self.serviceName_, &onOwner); r < 0)
        self.giveUp(couldNotSend(r));
    return 0;
}

int SdBusDaemonConnection::onOwner(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    const auto keepAlive = stepAnswered(userdata);
    auto& self = *keepAlive;
    if (!self.startFailure_.empty() && sd_bus_message_is_method_error(reply, nullptr)) {
        self.giveUp(std::exchange(self.startFailure_, {}));
        return 0;
    }
    self.startFailure_.clear();
    if (self.stepFailed(reply))
        return 0;
    const char* owner = nullptr;
    if (sd_bus_message_read(reply, "s", &owner) < 0 || owner[0] != ':') {
        self.giveUp(unverified);
        return 0;
    }
    // From here on the owner watch interrupts the verification if this owner leaves.
    self.owner_ = owner;
    if (const int r = self.askBus("GetConnectionCredentials", self.owner_, &onCredentials); r < 0)
        self.giveUp(couldNotSend(r));
    return 0;
}

int SdBusDaemonConnection::onCredentials(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    const auto keepAlive = stepAnswered(userdata);
    auto& self = *keepAlive;
    std::optional<trust::PeerCredentials> credentials;
    if (!sd_bus_message_is_method_error(reply, nullptr))
        credentials = trust::readConnectionCredentials(reply);
    if (!credentials || !trust::satisfies(self.requirement_, *credentials, self.identities_)) {
        self.giveUp(unverified);
        return 0;
    }
    self.phase_ = Phase::verified;
    auto waiting = std::move(self.waiting_);
    self.waiting_.clear();
    for (auto& request : waiting)
        self.send(std::move(request));
    return 0;
}

void SdBusDaemonConnection::send(Request request) {
    const auto serial = nextSerial_++;
    Call& call = calls_[serial];
    call.connection = this;
    call.serial = serial;
    call.request = std::move(request);
    call.sentAt = std::chrono::steady_clock::now();
    const int r = call.request.argument
                      ? platform::callMethodAsync(bus_.get(), call.slot, owner_.c_str(), objectPath,
                                                  interfaceName, call.request.method, &onReply,
                                                  &call, timeoutUsec(), "x", *call.request.argument)
                      : platform::callMethodAsync(bus_.get(), call.slot, owner_.c_str(), objectPath,
                                                  interfaceName, call.request.method, &onReply,
                                                  &call, timeoutUsec(), nullptr);
    if (r < 0) {
        failLater(std::move(call.request.fail), couldNotSend(r));
        calls_.erase(serial);
    }
}

int SdBusDaemonConnection::onReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto& call = *static_cast<Call*>(userdata);
    auto& self = *call.connection;
    const auto keepAlive = self.shared_from_this();
    // A closing bus ends its calls one by one before it says it is gone; it is gone already.
    if (sd_bus_is_open(self.bus_.get()) <= 0) {
        self.invalidate(busLost);
        return 0;
    }
    // Taken out of the map before anything is called back, so that no callback finds it there.
    auto node = self.calls_.extract(call.serial);
    call.slot.reset();
    self.answer(call, reply);
    return 0;
}

void SdBusDaemonConnection::answer(Call& call, sd_bus_message* reply) {
    Request& request = call.request;
    if (sd_bus_message_is_method_error(reply, nullptr)) {
        const sd_bus_error* error = sd_bus_message_get_error(reply);
        if (request.deliverRefusal &&
            sd_bus_error_has_names(error, rejectedError, notAuthorizedError) > 0)
            request.deliverRefusal(error->message != nullptr ? error->message : "");
        else
            request.fail(describe(reply, call.sentAt));
        return;
    }
    if (!request.deliverReturn(reply))
        request.fail(unreadable);
}

int SdBusDaemonConnection::onNameOwnerChanged(sd_bus_message* message, void* userdata,
                                              sd_bus_error*) {
    auto& self = *static_cast<SdBusDaemonConnection*>(userdata);
    const char* name = nullptr;
    const char* oldOwner = nullptr;
    const char* newOwner = nullptr;
    if (sd_bus_message_read(message, "sss", &name, &oldOwner, &newOwner) < 0 ||
        self.serviceName_ != name || self.owner_.empty() || self.owner_ != oldOwner)
        return 0;
    const auto keepAlive = self.shared_from_this();
    self.interrupt(newOwner[0] == '\0' ? "The daemon has left the bus"
                                       : "Another program has taken over the daemon's name");
    return 0;
}

int SdBusDaemonConnection::onWatchInstalled(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto& self = *static_cast<SdBusDaemonConnection*>(userdata);
    if (!sd_bus_message_is_method_error(reply, nullptr))
        return 0;
    // Without the watch a daemon that ends would go unnoticed.
    const auto keepAlive = self.shared_from_this();
    self.invalidate(sd_bus_is_open(self.bus_.get()) > 0 ? "The daemon's name cannot be watched"
                                                        : busLost);
    return 0;
}

void SdBusDaemonConnection::giveUp(const std::string& description) {
    // A closing bus fails every call it still has; that is the connection's end, not the owner's.
    if (sd_bus_is_open(bus_.get()) <= 0)
        invalidate(busLost);
    else
        interrupt(description);
}

void SdBusDaemonConnection::interrupt(const std::string& description) {
    end(Phase::idle, description, interruptionHandler_);
}

void SdBusDaemonConnection::invalidate(const std::string& description) {
    end(Phase::invalidated, description, invalidationHandler_);
}

void SdBusDaemonConnection::end(Phase next, const std::string& description,
                                const Handler& handler) {
    if (phase_ == Phase::invalidated)
        return;
    phase_ = next;
    owner_.clear();
    step_.reset();
    // The state is settled before anyone is called back: a callback may make the next request.
    for (const auto& fail : takeOpenRequests())
        fail(description);
    if (const auto call = handler)
        call();
}

std::deque<WakeDaemonConnection::ErrorHandler> SdBusDaemonConnection::takeOpenRequests() {
    std::deque<ErrorHandler> open;
    for (auto& [serial, call] : calls_)
        open.push_back(std::move(call.request.fail));
    calls_.clear();
    for (auto& request : waiting_)
        open.push_back(std::move(request.fail));
    waiting_.clear();
    return open;
}

std::string SdBusDaemonConnection::describe(sd_bus_message* reply,
                                            std::chrono::steady_clock::time_point sentAt) {
    if (sd_bus_is_open(bus_.get()) <= 0)
        return busLost;
    const sd_bus_error* error = sd_bus_message_get_error(reply);
    // sd-bus ends a call whose time-out passed with the NoReply error that the bus also sends
    // for a peer that left without answering; only the time tells them apart.
    if (sd_bus_error_has_name(error, SD_BUS_ERROR_NO_REPLY) > 0 &&
        std::chrono::steady_clock::now() - sentAt >= callTimeout_)
        return timedOut;
    if (error != nullptr && error->message != nullptr && error->message[0] != '\0')
        return error->message;
    if (error != nullptr && error->name != nullptr)
        return error->name;
    return "The call failed without a reason";
}

void SdBusDaemonConnection::failLater(ErrorHandler fail, std::string description) {
    loop_.post(
        [fail = std::move(fail), description = std::move(description)] { fail(description); });
}

SdBusDaemonProxy::SdBusDaemonProxy(platform::SdEventLoop& loop,
                                   std::weak_ptr<SdBusDaemonConnection> connection,
                                   WakeDaemonConnection::ErrorHandler errorHandler)
    : loop_(loop)
    , connection_(std::move(connection))
    , errorHandler_(std::move(errorHandler)) {
    if (!errorHandler_)
        errorHandler_ = [](const std::string&) {};
}

void SdBusDaemonProxy::scheduleWakeAt(Instant date, TextReply reply) {
    auto request = textRequest("ScheduleWakeAt", std::move(reply));
    request.argument =
        std::chrono::floor<std::chrono::microseconds>(date.time_since_epoch()).count();
    submit(std::move(request));
}

void SdBusDaemonProxy::clearWake(TextReply reply) {
    submit(textRequest("ClearWake", std::move(reply)));
}

void SdBusDaemonProxy::getVersion(std::function<void(std::int64_t)> reply) {
    SdBusDaemonConnection::Request request;
    request.method = "GetVersion";
    request.deliverReturn = [reply = std::move(reply)](sd_bus_message* message) {
        std::int64_t version = 0;
        if (sd_bus_message_has_signature(message, "x") <= 0 ||
            sd_bus_message_read(message, "x", &version) < 0)
            return false;
        reply(version);
        return true;
    };
    submit(std::move(request));
}

SdBusDaemonConnection::Request SdBusDaemonProxy::textRequest(const char* method, TextReply reply) {
    SdBusDaemonConnection::Request request;
    request.method = method;
    request.deliverReturn = [reply](sd_bus_message* message) {
        if (sd_bus_message_has_signature(message, "") <= 0)
            return false;
        reply(std::nullopt);
        return true;
    };
    request.deliverRefusal = [reply](std::string text) { reply(std::move(text)); };
    return request;
}

void SdBusDaemonProxy::submit(SdBusDaemonConnection::Request request) {
    request.fail = errorHandler_;
    if (const auto connection = connection_.lock())
        connection->submit(std::move(request));
    else
        loop_.post([fail = errorHandler_] { fail(closed); });
}

} // namespace sollun::helper
