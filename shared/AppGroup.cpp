#include "shared/AppGroup.h"

#include "platform/linux/XdgDirectories.h"

namespace sollun {

std::optional<std::filesystem::path> appGroupContainerURL() {
    if (const auto dataHome = platform::xdg::dataHome())
        return *dataHome / appGroupIdentifier;
    return std::nullopt;
}

} // namespace sollun
