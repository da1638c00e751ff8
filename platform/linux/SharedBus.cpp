#include "platform/linux/SharedBus.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace sollun::platform {

// A follower's place in the list, taken out when its owner drops it.
class SharedBus::Following final : public EventSource {
public:
    Following(SharedBus& bus, std::uint64_t id)
        : bus_(bus)
        , id_(id) {}
    ~Following() override { bus_.unfollow(id_); }
    Following(const Following&) = delete;
    Following& operator=(const Following&) = delete;

private:
    SharedBus& bus_;
    const std::uint64_t id_;
};

SharedBus::SharedBus(SdEventLoop& loop, Opener open, Reopen reopen)
    : loop_(loop)
    , open_(std::move(open))
    , reopen_(reopen) {}

sd_bus* SharedBus::connection() {
    if (closed_)
        return bus_.get();
    // A closing connection has not said so yet, or its word waits for the loop: it is gone now.
    if (bus_ && sd_bus_is_open(bus_.get()) <= 0)
        lose();
    if (!bus_) {
        if (open())
            tellFollowers([bus = bus_.get()](const Follower& follower) {
                if (follower.connected)
                    follower.connected(bus);
            });
        else
            retryLater();
    }
    return bus_.get();
}

Source SharedBus::follow(Connected connected, Lost lost) {
    // Asked for first: a connection opened here is announced to those already following, and
    // then to this one below, once.
    sd_bus* bus = connection();
    const auto id = nextFollower_++;
    followers_.push_back(Follower{id, std::move(connected), std::move(lost)});
    auto handle = std::make_unique<Following>(*this, id);
    if (bus != nullptr && !closed_) {
        if (const auto call = followers_.back().connected)
            call(bus);
    } else {
        retryLater();
    }
    return handle;
}

void SharedBus::close() {
    closed_ = true;
    pendingLoss_.reset();
    retry_.reset();
    filter_.reset();
    if (bus_)
        sd_bus_flush(bus_.get());
    bus_.reset();
}

bool SharedBus::open() {
    sd_bus* opened = nullptr;
    int r = open_(&opened);
    ClosedBus bus(r >= 0 ? opened : nullptr);
    if (r >= 0 && !bus)
        r = -ENOTCONN;
    if (r >= 0)
        r = sd_bus_set_exit_on_disconnect(bus.get(), 0);
    if (r >= 0)
        r = sd_bus_attach_event(bus.get(), loop_.native(), SD_EVENT_PRIORITY_NORMAL);
    if (r >= 0)
        r = sd_bus_add_filter(bus.get(), out(filter_), &SharedBus::onMessage, this);
    lastOpenError_ = std::min(r, 0);
    if (r < 0) {
        filter_.reset();
        return false;
    }
    bus_ = std::move(bus);
    retry_.reset();
    nextRetry_ = firstRetry;
    return true;
}

void SharedBus::lose() {
    pendingLoss_.reset();
    if (!bus_)
        return;
    // Held until everyone has dropped what they registered on it.
    auto gone = std::move(bus_);
    filter_.reset();
    tellFollowers([](const Follower& follower) {
        if (follower.lost)
            follower.lost();
    });
    gone.reset();
}

void SharedBus::retryLater() {
    if (reopen_ != Reopen::atOnce || closed_ || retry_ || followers_.empty())
        return;
    retry_ = loop_.addOneShotTimer(nextRetry_, [this] {
        retry_.reset();
        if (!followers_.empty())
            connection();
    });
    nextRetry_ = std::min(nextRetry_ * 2, longestRetry);
}

void SharedBus::unfollow(std::uint64_t id) {
    std::erase_if(followers_, [id](const Follower& follower) { return follower.id == id; });
}

template <class Call>
void SharedBus::tellFollowers(const Call& call) {
    // By id: a follower may drop itself or another one while it is being told.
    std::vector<std::uint64_t> ids;
    ids.reserve(followers_.size());
    for (const auto& follower : followers_)
        ids.push_back(follower.id);
    for (const auto id : ids) {
        const auto found =
            std::find_if(followers_.begin(), followers_.end(),
                         [id](const Follower& follower) { return follower.id == id; });
        if (found == followers_.end())
            continue;
        // A copy: the follower's own entry may go while it runs.
        const Follower follower = *found;
        call(follower);
    }
}

int SharedBus::onMessage(sd_bus_message* message, void* userdata, sd_bus_error*) {
    if (sd_bus_message_is_signal(message, "org.freedesktop.DBus.Local", "Disconnected") <= 0)
        return 0;
    auto& self = *static_cast<SharedBus*>(userdata);
    // Not from here: the connection being dispatched is the one to be closed.
    if (!self.pendingLoss_)
        self.pendingLoss_ = self.loop_.defer([&self] {
            self.lose();
            if (self.reopen_ == Reopen::atOnce && !self.followers_.empty())
                self.connection();
        });
    return 0;
}

} // namespace sollun::platform
