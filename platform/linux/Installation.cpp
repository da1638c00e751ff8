#include "platform/Installation.h"

#include <string>
#include <string_view>
#include <system_error>

namespace sollun::platform {

std::optional<std::filesystem::path> ownExecutable() {
    std::error_code error;
    std::string path = std::filesystem::read_symlink("/proc/self/exe", error).native();
    // The kernel's name for a file that was replaced after it was started.
    constexpr std::string_view replaced = " (deleted)";
    if (path.ends_with(replaced))
        path.resize(path.size() - replaced.size());
    if (error || path.empty() || path.front() != '/')
        return std::nullopt;
    return std::filesystem::path(path);
}

std::optional<std::filesystem::path> installPrefix() {
    const auto executable = ownExecutable();
    if (!executable)
        return std::nullopt;
    return executable->parent_path().parent_path();
}

} // namespace sollun::platform
