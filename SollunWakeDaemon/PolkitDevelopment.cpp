#include "SollunWakeDaemon/PolkitCheck.h"

namespace sollun::daemon {

// Compiled into development builds only: the demo's and the tests' private buses have no polkit,
// as they have none of the product's groups. The daemon says so when it finds it missing.
bool authorizedWithoutPolkit() {
    return true;
}

} // namespace sollun::daemon
