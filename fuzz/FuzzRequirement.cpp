// The requirement language: any text parses or is refused, and whatever parses evaluates,
// without crashing or running away on the stack.

#include "shared/ProductNames.h"
#include "shared/Requirement.h"

#include <cstdint>
#include <string>
#include <string_view>

using namespace sollun;
using namespace sollun::trust;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string team{signingTeamIdentifier};
    static const IdentityTable identities({
        {std::string{helperIdentifier}, team, 4242, std::nullopt},
        {std::string{mainAppIdentifier}, team, 4243, std::nullopt},
        {std::string{daemonIdentifier}, team, 4244, 0},
    });
    static const PeerCredentials peer{0, 1, 4242, {4243}, true};
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (const auto requirement = parseRequirement(text))
        (void)evaluate(*requirement, peer, identities);
    return 0;
}
