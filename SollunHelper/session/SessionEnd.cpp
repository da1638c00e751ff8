#include "SollunHelper/session/SessionEnd.h"

namespace sollun::helper {

SessionEnd::SessionEnd(SessionBus& bus, std::function<void()> ended)
    : ended_(std::move(ended)) {
    // The connection's end is its local Disconnected signal, which no other sender can forge.
    following_ = bus.follow(nullptr, [this] {
        sessionLog().info("The session bus has gone: the session is over");
        ended_();
    });
}

} // namespace sollun::helper
