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

LogindWakeObserver::LogindWakeObserver(platform::SdEventLoop& loop, platform::SharedBus& systemBus)
    : loop_(loop)
    , systemBus_(systemBus) {}

std::unique_ptr<SystemWakeObserver::Token>
LogindWakeObserver::observeDidWake(std::function<void()> handler) {
    auto registration = std::make_shared<Registration>(Registration{std::move(handler)});
    registrations_.push_back(registration);
    if (!following_)
        following_ = systemBus_.follow(
            [this](sd_bus* bus) {
                bus_ = bus;
                listen();
            },
            [this] { lost(); });
    return std::make_unique<WakeToken>(std::move(registration));
}

void LogindWakeObserver::listen() {
    retry_.reset();
    // Blocking on purpose: once this returns, the bus sends us every PrepareForSleep logind
    // broadcasts from now on.
    if (sd_bus_match_signal(bus_, platform::out(match_), logindName, logindPath, managerInterface,
                            "PrepareForSleep", &onPrepareForSleep, this) < 0)
        retry_ = loop_.addOneShotTimer(retryInterval, [this] { listen(); });
}

void LogindWakeObserver::lost() {
    retry_.reset();
    match_.reset();
    bus_ = nullptr;
    // Not followed any further while nobody observes: the next observeDidWake() follows again.
    if (!observing())
        following_.reset();
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

} // namespace sollun::helper
