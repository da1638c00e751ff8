#pragma once

// The helper's one connection to the user's session bus, shared by everything it does there: the
// single-instance name, the menu and the status item, the session's end, the workspace's question
// whether Sollun owns its name, and the watch that follows that name.
//
// Losing it means the session is over, and the helper ends (SessionEnd): nothing opens it again
// of its own accord. Whoever asks for it afterwards gets a new one when the bus is there, as the
// workspace, used without the rest of the helper, does at its next question.

#include "platform/Log.h"
#include "platform/linux/SdEventLoop.h"
#include "platform/linux/SharedBus.h"

#include <systemd/sd-bus.h>

namespace sollun::helper {

// The user's session bus. A setgid program does not trust its environment for where to connect
// (and sd-bus ignores it then), so it connects to the user's bus at its fixed place under
// /run/user.
int openSessionBus(sd_bus** bus);

// The log of the helper's place in the session (its name, the session's end).
const platform::Logger& sessionLog();

class SessionBus final : public platform::SharedBus {
public:
    explicit SessionBus(platform::SdEventLoop& loop, Opener open = openSessionBus)
        : SharedBus(loop, std::move(open), Reopen::onDemand) {}

    // The process's own, on the main loop, opened when first asked for; kept until the process
    // ends.
    static SessionBus& shared();
};

} // namespace sollun::helper
