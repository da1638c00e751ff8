#pragma once

// One connection to a bus, attached to the main loop and shared by everyone in the process who
// talks on that bus: each registers its matches, filters and calls on it, instead of opening a
// connection of its own. Every connection a process holds is one more socket the loop prepares
// and polls at each turn, and one more reconnection to get right; this class holds the one and
// does the other, once.
//
// The connection is opened when it is first asked for. Its loss (the bus restarted or went, seen
// as the local Disconnected signal, or found closed by whoever asked for it) is handled on a turn
// of the loop of its own: the followers are told, each dropping what it had registered, then the
// connection is closed without a flush, since nothing still queued on a dead socket can go. What
// comes next is the policy the owner was made with:
//
//   onDemand  nothing until someone asks for the connection again (connection() or follow()),
//             which opens a new one there and then;
//   atOnce    a new one is opened at once, and while that fails, again after half a second,
//             doubling up to 5 s, as long as anyone follows; asking for it meanwhile opens it
//             there and then as well.
//
// Each new connection is announced to every follower, which registers what it needs on it
// afresh and keeps using that one until told it is lost; so a follower never asks for the
// connection itself. Followers are told on the loop's thread: of a loss on a turn of its own, or
// from within connection() when its caller found the connection closed; of a new connection from
// within whatever opened it (connection(), follow(), the retry). A follower may stop following
// (drop its handle) from inside its own callbacks.

#include "platform/EventLoop.h"
#include "platform/linux/SdBus.h"
#include "platform/linux/SdEventLoop.h"

#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>

namespace sollun::platform {

class SharedBus {
public:
    // Opens a started connection, not attached to any loop; gives a negative errno when it
    // cannot.
    using Opener = std::function<int(sd_bus** bus)>;
    enum class Reopen { onDemand, atOnce };

    static constexpr std::chrono::milliseconds firstRetry{500};
    static constexpr std::chrono::milliseconds longestRetry{5000};

    SharedBus(SdEventLoop& loop, Opener open, Reopen reopen);
    SharedBus(const SharedBus&) = delete;
    SharedBus& operator=(const SharedBus&) = delete;

    // The connection, opened now when there is none or the one held was found closed; null when
    // it cannot be opened (lastOpenError() says why). A new one is announced to the followers
    // before this returns.
    sd_bus* connection();
    // The negative errno of the last open that failed, 0 when the last one succeeded.
    int lastOpenError() const { return lastOpenError_; }

    // `connected` is called with the connection now (opened if needed) and with each new one;
    // `lost` when the one it was given has gone, before it is closed. Dropping the handle stops
    // both.
    using Connected = std::function<void(sd_bus* bus)>;
    using Lost = std::function<void()>;
    [[nodiscard]] Source follow(Connected connected, Lost lost);

    // For the process's end: what is queued is sent, the connection closed, and nothing told or
    // opened again. Followers keep their references to the closed connection.
    void close();

private:
    struct Follower {
        std::uint64_t id;
        Connected connected;
        Lost lost;
    };
    class Following;

    static int onMessage(sd_bus_message* message, void* userdata, sd_bus_error* error);

    bool open();
    void lose();
    void retryLater();
    void unfollow(std::uint64_t id);
    template <class Call>
    void tellFollowers(const Call& call);

    SdEventLoop& loop_;
    const Opener open_;
    const Reopen reopen_;

    ClosedBus bus_;
    BusSlot filter_; // after the connection, so that it goes first
    int lastOpenError_ = 0;
    bool closed_ = false;

    std::list<Follower> followers_;
    std::uint64_t nextFollower_ = 0;

    Source pendingLoss_;
    Source retry_;
    std::chrono::milliseconds nextRetry_ = firstRetry;
};

} // namespace sollun::platform
