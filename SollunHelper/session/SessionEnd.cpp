#include "SollunHelper/session/SessionEnd.h"

#include "platform/Log.h"

#include <cstring>

namespace sollun::helper {
namespace {

const platform::Logger& log() {
    static const platform::Logger logger("com.kestrovane.sollun.helper", "session");
    return logger;
}

} // namespace

SessionEnd::SessionEnd(SessionBus& bus, std::function<void()> ended)
    : ended_(std::move(ended)) {
    // The connection's end is its local Disconnected signal, which no other sender can forge.
    following_ = bus.follow(nullptr, [this] {
        log().info("The session bus has gone: the session is over");
        ended_();
    });
}

} // namespace sollun::helper
