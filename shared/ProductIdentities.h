#pragma once

#include "shared/Requirement.h"

namespace sollun::trust {

// The identities of this build, with the groups that stand for them. Which of the two
// implementations is compiled in is decided by the build (SOLLUN_DEVELOPMENT), never at run time:
//
// - a release build resolves the groups "sollun-helper", "sollun" and "sollun-wakedaemon" anew on
//   every call; an identity whose group does not exist is left out, so it matches nobody. The
//   daemon identity also demands uid 0.
// - a development build maps every identity onto the calling process's effective gid, and demands
//   the effective uid of the daemon identity, so that the demo and the tests run without installed
//   groups. A program that finds identitiesAreDevelopmentMapped() true must say so loudly.
IdentityTable productIdentities();
bool identitiesAreDevelopmentMapped();

} // namespace sollun::trust
