#pragma once

#include "platform/Log.h"

namespace sollun::daemon {

// The daemon's one logger; every line the daemon writes goes through it.
const platform::Logger& daemonLog();

} // namespace sollun::daemon
