#include "shared/ProductIdentities.h"
#include "shared/ProductNames.h"

#include <unistd.h>

namespace sollun::trust {

// Compiled into development builds only, in place of ProductIdentities.cpp. Every identity is the
// developer's own group, so any process of the developer's passes as the helper or the main
// application; the daemon identity at least demands the developer's uid, as root is demanded in a
// release build.
IdentityTable productIdentities() {
    const gid_t group = ::getegid();
    const uid_t user = ::geteuid();
    const std::string team{signingTeamIdentifier};
    return IdentityTable{{
        {std::string{helperIdentifier}, team, group, std::nullopt},
        {std::string{mainAppIdentifier}, team, group, std::nullopt},
        {std::string{daemonIdentifier}, team, group, user},
    }};
}

bool identitiesAreDevelopmentMapped() {
    return true;
}

} // namespace sollun::trust
