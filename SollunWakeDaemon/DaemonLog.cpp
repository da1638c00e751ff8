#include "SollunWakeDaemon/DaemonLog.h"

namespace sollun::daemon {

const platform::Logger& daemonLog() {
    static const platform::Logger logger("com.kestrovane.sollun.wakedaemon", "daemon");
    return logger;
}

} // namespace sollun::daemon
