#include "SollunWakeDaemon/PowerEvents.h"

#include <cstdio>

namespace sollun::daemon {

std::string hexStatus(PowerStatus status) {
    char text[9];
    const int length = std::snprintf(text, sizeof text, "%x",
                                     static_cast<unsigned>(static_cast<std::uint32_t>(status)));
    return std::string(text, static_cast<std::size_t>(length));
}

} // namespace sollun::daemon
