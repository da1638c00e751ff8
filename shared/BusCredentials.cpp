#include "shared/BusCredentials.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace sollun::trust {

std::optional<PeerCredentials> readConnectionCredentials(sd_bus_message* reply) {
    PeerCredentials credentials;
    credentials.attestedByBus = true;
    if (sd_bus_message_enter_container(reply, 'a', "{sv}") < 0)
        return std::nullopt;
    for (;;) {
        int r = sd_bus_message_enter_container(reply, 'e', "sv");
        if (r < 0)
            return std::nullopt;
        if (r == 0)
            break;
        const char* key = nullptr;
        if (sd_bus_message_read(reply, "s", &key) < 0)
            return std::nullopt;
        if (std::strcmp(key, "UnixUserID") == 0) {
            std::uint32_t uid = 0;
            r = sd_bus_message_read(reply, "v", "u", &uid);
            credentials.uid = uid;
        } else if (std::strcmp(key, "ProcessID") == 0) {
            std::uint32_t pid = 0;
            r = sd_bus_message_read(reply, "v", "u", &pid);
            credentials.pid = static_cast<pid_t>(pid);
        } else if (std::strcmp(key, "UnixGroupIDs") == 0) {
            const void* groups = nullptr;
            std::size_t size = 0;
            r = sd_bus_message_enter_container(reply, 'v', "au");
            if (r >= 0)
                r = sd_bus_message_read_array(reply, 'u', &groups, &size);
            if (r >= 0) {
                const auto* gids = static_cast<const std::uint32_t*>(groups);
                credentials.supplementaryGroups.assign(gids, gids + size / sizeof *gids);
                r = sd_bus_message_exit_container(reply);
            }
        } else {
            r = sd_bus_message_skip(reply, "v");
        }
        if (r < 0 || sd_bus_message_exit_container(reply) < 0)
            return std::nullopt;
    }
    return credentials;
}

} // namespace sollun::trust
