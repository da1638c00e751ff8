#include "shared/ProductIdentities.h"

#include "shared/ProductNames.h"

#include <grp.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace sollun::trust {

namespace {

// The group database can be large or remote (NSS); a group entry beyond this is not ours.
constexpr std::size_t maxGroupBufferSize = std::size_t{1} << 20;

std::optional<gid_t> groupNamed(const char* name) {
    const long suggested = ::sysconf(_SC_GETGR_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 1024);
    for (;;) {
        group entry{};
        group* found = nullptr;
        const int error = ::getgrnam_r(name, &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < maxGroupBufferSize) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        // Any failure to look the group up is treated like its absence: the identity then matches
        // nobody, which is the safe side.
        if (error != 0 || found == nullptr) {
            return std::nullopt;
        }
        return found->gr_gid;
    }
}

} // namespace

IdentityTable productIdentities() {
    const struct {
        std::string_view identifier;
        const char* groupName;
        std::optional<uid_t> requiredUid;
    } product[] = {
        {helperIdentifier, "sollun-helper", std::nullopt},
        {mainAppIdentifier, "sollun", std::nullopt},
        // The daemon runs as root; a user who somehow got into its group is still not the daemon.
        {daemonIdentifier, "sollun-wakedaemon", uid_t{0}},
    };
    IdentityTable table;
    for (const auto& entry : product) {
        if (const std::optional<gid_t> gid = groupNamed(entry.groupName)) {
            table.add({std::string{entry.identifier}, std::string{signingTeamIdentifier}, *gid,
                       entry.requiredUid});
        }
    }
    return table;
}

bool identitiesAreDevelopmentMapped() {
    return false;
}

} // namespace sollun::trust
