#include "SollunWakeDaemon/PowerEvents.h"

#include <cstdio>
#include <limits>

namespace sollun::daemon {

std::string hexStatus(PowerStatus status) {
    char text[9];
    const int length = std::snprintf(text, sizeof text, "%x",
                                     static_cast<unsigned>(static_cast<std::uint32_t>(status)));
    return std::string(text, static_cast<std::size_t>(length));
}

std::optional<std::uint32_t> powerEventUser(const PowerDictionary& event) {
    // (uid_t)-1 is no user: the kernel uses it for "unchanged".
    const auto* uid = memberOf<std::int64_t>(event, powerEventUserKey);
    if (uid == nullptr || *uid < 0 ||
        *uid >= std::int64_t{std::numeric_limits<std::uint32_t>::max()})
        return std::nullopt;
    return static_cast<std::uint32_t>(*uid);
}

} // namespace sollun::daemon
