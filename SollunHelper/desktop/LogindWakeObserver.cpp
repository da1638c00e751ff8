#include "SollunHelper/desktop/LogindWakeObserver.h"

#include "platform/linux/Logind.h"

#include <utility>

namespace sollun::helper {
namespace {

constexpr const char* logindName = platform::logind::name;
constexpr const char* logindPath = platform::logind::path;
constexpr const char* managerInterface = platform::logind::managerInterface;

} // namespace

// Holds its registration alive; the observer only looks at it.
class LogindWakeObserver::WakeToken final : public Token {
public:
    explicit WakeToken(std::shared_ptr<Registration> registration)
        : registration_(std::move(registration)) {}

private:
    std::shared_ptr<Registration> registration_;
};

LogindWakeObserver::LogindWakeObserver(platform::SdEventLoop& loop, BusOpener openBus)
    : loop_(loop)
    , openBus_(std::move(openBus)) {
    if (!openBus_)
        openBus_ = sd_bus_open_system;
}

std::unique_ptr<SystemWakeObserver::Token>
LogindWakeObserver::observeDidWake(std::function<void()> handler) {
    auto registration = std::make_shared<Registration>(Registration{std::move(handler)});
    registrations_.push_back(registration);
    // While the retry timer runs, the bus was unreachable moments ago; the timer keeps trying.
    if (!bus_ && !retry_ && !connect())
        retry_ = loop_.addRepeatingTimer(retryInterval, [this] { reconnect(); });
    return std::make_unique<WakeToken>(std::move(registration));
}

bool LogindWakeObserver::connect() {
    platform::BusRef opened;
    int r = openBus_(platform::out(opened));
    if (r < 0 || !opened)
        return false;
    bus_.reset(opened.release());
    r = sd_bus_attach_event(bus_.get(), loop_.native(), SD_EVENT_PRIORITY_NORMAL);
    if (r >= 0)
        r = sd_bus_add_filter(bus_.get(), platform::out(filter_), &onMessage, this);
    // Blocking on purpose: once this returns, the bus sends us every PrepareForSleep logind
    // broadcasts from now on.
    if (r >= 0)
        r = sd_bus_match_signal(bus_.get(), platform::out(match_), logindName, logindPath,
                                managerInterface, "PrepareForSleep", &onPrepareForSleep, this);
    if (r < 0) {
        disconnect();
        return false;
    }
    return true;
}

void LogindWakeObserver::disconnect() {
    match_.reset();
    filter_.reset();
    bus_.reset();
}

void LogindWakeObserver::reconnect() {
    disconnect();
    if (!observing() || connect())
        retry_.reset();
    else if (!retry_)
        retry_ = loop_.addRepeatingTimer(retryInterval, [this] { reconnect(); });
}

bool LogindWakeObserver::observing() {
    std::erase_if(registrations_, [](const auto& registration) { return registration.expired(); });
    return !registrations_.empty();
}

int LogindWakeObserver::onPrepareForSleep(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto& self = *static_cast<LogindWakeObserver*>(userdata);
    // logind broadcasts; the bus checked the sender of a broadcast against the match rule, but
    // not that of a signal addressed to us.
    if (sd_bus_message_get_destination(message) != nullptr)
        return 0;
    int sleeping = 0;
    if (sd_bus_message_has_signature(message, "b") <= 0 ||
        sd_bus_message_read(message, "b", &sleeping) < 0)
        return 0;
    if (!sleeping)
        self.announceWake();
    return 0;
}

void LogindWakeObserver::announceWake() {
    if (!observing())
        return;
    // One task per registration, each checking its own token when it runs: a handler may end
    // other tokens, or the observer, before their turn.
    for (const auto& weak : registrations_)
        announcements_.defer([weak] {
            // Held for the call: a handler may destroy its own token.
            if (const auto registration = weak.lock(); registration && registration->handler)
                registration->handler();
        });
}

int LogindWakeObserver::onMessage(sd_bus_message* message, void* userdata, sd_bus_error*) {
    if (sd_bus_message_is_signal(message, "org.freedesktop.DBus.Local", "Disconnected") <= 0)
        return 0;
    auto& self = *static_cast<LogindWakeObserver*>(userdata);
    // Not from here: the connection that is being dispatched is the one to be closed.
    if (!self.pendingReconnect_)
        self.pendingReconnect_ = self.loop_.defer([&self] {
            self.pendingReconnect_.reset();
            self.reconnect();
        });
    return 0;
}

} // namespace sollun::helper
