#include "SollunHelper/daemon/BusNameWatch.h"

#include <algorithm>
#include <utility>

namespace sollun::helper {
namespace {

using namespace std::chrono_literals;

constexpr auto firstBackOff = 500ms;
constexpr auto longestBackOff = std::chrono::milliseconds(30s);
// A bus that takes longer than this to answer is taken for stuck, and asked anew.
constexpr std::uint64_t questionTimeoutUsec = 10'000'000;

constexpr const char* busService = "org.freedesktop.DBus";
constexpr const char* busPath = "/org/freedesktop/DBus";
constexpr const char* busInterface = "org.freedesktop.DBus";

} // namespace

BusNameWatch::BusNameWatch(platform::SdEventLoop& loop, platform::SharedBus& bus, std::string name,
                           std::function<void()> changed)
    : loop_(loop)
    , name_(std::move(name))
    , changed_(std::move(changed))
    , backOff_(firstBackOff) {
    following_ = bus.follow([this](sd_bus* connection) { ask(connection); }, [this] { forget(); });
}

void BusNameWatch::ask(sd_bus* bus) {
    forget();
    bus_ = bus;
    // The match before the question, so that no change between the answer and the match's
    // installation is missed: the bus handles both in the order they were sent.
    const std::string ownerChanges = "type='signal',sender='org.freedesktop.DBus',"
                                     "path='/org/freedesktop/DBus',"
                                     "interface='org.freedesktop.DBus',member='NameOwnerChanged',"
                                     "arg0='" +
                                     name_ + "'";
    if (sd_bus_add_match_async(bus, platform::out(match_), ownerChanges.c_str(), onOwnerChanged,
                               onMatchAdded, this) < 0 ||
        platform::callMethodAsync(bus, ownerQuestion_, busService, busPath, busInterface,
                                  "NameHasOwner", onHasOwner, this, questionTimeoutUsec, "s",
                                  name_.c_str()) < 0) {
        failed();
        return;
    }
    askActivatable();
}

void BusNameWatch::forget() {
    retry_.reset();
    match_.reset();
    ownerQuestion_.reset();
    activatableQuestion_.reset();
    owned_.reset();
    activatable_.reset();
    bus_ = nullptr;
}

void BusNameWatch::askActivatable() {
    if (bus_ == nullptr || retry_)
        return; // the next connection, or the retry, asks anyway
    if (platform::callMethodAsync(bus_, activatableQuestion_, busService, busPath, busInterface,
                                  "ListActivatableNames", onActivatableNames, this,
                                  questionTimeoutUsec, nullptr) < 0)
        failed();
}

void BusNameWatch::failed() {
    if (retry_ || bus_ == nullptr)
        return;
    // Not asked again from here: this may run inside the connection's own callback. The retry's
    // timer registers everything afresh, on a turn of the loop of its own.
    retry_ = loop_.addOneShotTimer(backOff_, [this] {
        sd_bus* const bus = bus_;
        retry_.reset();
        ask(bus);
    });
    backOff_ = std::min(backOff_ * 2, longestBackOff);
}

void BusNameWatch::learned(std::optional<bool> owned, std::optional<bool> activatable) {
    if (owned)
        owned_ = owned;
    if (activatable)
        activatable_ = activatable;
    if (!owned_ || !activatable_)
        return;
    const State now{*owned_, *activatable_};
    if (state_ == now)
        return;
    state_ = now;
    if (pendingChange_)
        return;
    pendingChange_ = loop_.defer([this] {
        pendingChange_.reset();
        changed_();
    });
}

int BusNameWatch::onHasOwner(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto* self = static_cast<BusNameWatch*>(userdata);
    int owned = 0;
    if (sd_bus_message_is_method_error(reply, nullptr) ||
        sd_bus_message_read(reply, "b", &owned) < 0)
        self->failed();
    else
        self->learned(owned != 0, std::nullopt);
    return 0;
}

int BusNameWatch::onActivatableNames(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    auto* self = static_cast<BusNameWatch*>(userdata);
    if (sd_bus_message_is_method_error(reply, nullptr) ||
        sd_bus_message_enter_container(reply, 'a', "s") < 0) {
        self->failed();
        return 0;
    }
    bool activatable = false;
    const char* name = nullptr;
    int r = 0;
    while ((r = sd_bus_message_read(reply, "s", &name)) > 0)
        activatable = activatable || self->name_ == name;
    if (r < 0) {
        self->failed();
        return 0;
    }
    self->backOff_ = firstBackOff;
    self->learned(std::nullopt, activatable);
    return 0;
}

int BusNameWatch::onOwnerChanged(sd_bus_message* signal, void* userdata, sd_bus_error*) {
    auto* self = static_cast<BusNameWatch*>(userdata);
    const char *name = nullptr, *oldOwner = nullptr, *newOwner = nullptr;
    if (sd_bus_message_read(signal, "sss", &name, &oldOwner, &newOwner) >= 0 && self->name_ == name)
        self->learned(*newOwner != '\0', std::nullopt);
    return 0;
}

int BusNameWatch::onMatchAdded(sd_bus_message* reply, void* userdata, sd_bus_error*) {
    // Without the match, changes of the owner would go unnoticed.
    if (sd_bus_message_is_method_error(reply, nullptr))
        static_cast<BusNameWatch*>(userdata)->failed();
    return 0;
}

} // namespace sollun::helper
