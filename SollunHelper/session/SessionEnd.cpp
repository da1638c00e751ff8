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

SessionEnd::SessionEnd(sd_bus* bus, std::function<void()> ended)
    : ended_(std::move(ended)) {
    // The connection's end reaches its own matches as the local Disconnected signal, which no
    // other sender can forge.
    if (const int r = sd_bus_match_signal(
            bus, platform::out(match_), nullptr, "/org/freedesktop/DBus/Local",
            "org.freedesktop.DBus.Local", "Disconnected", &SessionEnd::onDisconnected, this);
        r < 0)
        log().error("Cannot watch the session bus for its end: %{public}s; the helper may outlive "
                    "the session",
                    std::strerror(-r));
}

int SessionEnd::onDisconnected(sd_bus_message*, void* userdata, sd_bus_error*) {
    log().info("The session bus has gone: the session is over");
    static_cast<SessionEnd*>(userdata)->ended_();
    return 0;
}

} // namespace sollun::helper
