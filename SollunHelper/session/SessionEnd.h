#pragma once

// The helper lives as long as the user's session, and the session bus lives exactly as long:
// when the bus goes (the user logged out, with processes allowed to linger after), the helper
// ends, so that it never acts on the schedule beside the helper of the user's next session.

#include "SollunHelper/session/SessionBus.h"
#include "platform/EventLoop.h"

#include <functional>

namespace sollun::helper {

class SessionEnd {
public:
    // `ended` is called on the loop once the session bus's connection has gone.
    SessionEnd(SessionBus& bus, std::function<void()> ended);
    SessionEnd(const SessionEnd&) = delete;
    SessionEnd& operator=(const SessionEnd&) = delete;

private:
    std::function<void()> ended_;
    platform::Source following_;
};

} // namespace sollun::helper
