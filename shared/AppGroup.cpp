#include "shared/AppGroup.h"

#include <cstdlib>

namespace sollun {

namespace {

// The XDG base-directory rules treat a relative value as invalid and fall back as if unset.
const char* absoluteEnvironmentPath(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] == '/' ? value : nullptr;
}

} // namespace

std::optional<std::filesystem::path> appGroupContainerURL() {
    if (const char* dataHome = absoluteEnvironmentPath("XDG_DATA_HOME")) {
        return std::filesystem::path{dataHome} / appGroupIdentifier;
    }
    if (const char* home = absoluteEnvironmentPath("HOME")) {
        return std::filesystem::path{home} / ".local/share" / appGroupIdentifier;
    }
    return std::nullopt;
}

} // namespace sollun
