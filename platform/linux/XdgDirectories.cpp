#include "platform/linux/XdgDirectories.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace sollun::platform {

std::vector<std::string_view> colonSeparated(std::string_view list) {
    std::vector<std::string_view> members;
    while (!list.empty()) {
        const auto colon = list.find(':');
        members.push_back(list.substr(0, colon));
        list = colon == std::string_view::npos ? std::string_view() : list.substr(colon + 1);
    }
    return members;
}

} // namespace sollun::platform

namespace sollun::platform::xdg {

namespace fs = std::filesystem;

namespace {

std::vector<fs::path> absoluteMembers(std::string_view list) {
    std::vector<fs::path> paths;
    for (const auto member : colonSeparated(list))
        if (member.starts_with('/'))
            paths.emplace_back(member);
    return paths;
}

std::optional<fs::path> userDatabaseHome() {
    const long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] != '/')
        return std::nullopt;
    return fs::path(found->pw_dir);
}

} // namespace

std::optional<fs::path> absolutePathVariable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] != '/')
        return std::nullopt;
    return fs::path(value);
}

std::optional<fs::path> dataHome() {
    if (auto dataHome = absolutePathVariable("XDG_DATA_HOME"))
        return dataHome;
    if (const auto home = absolutePathVariable("HOME"))
        return *home / ".local/share";
    return std::nullopt;
}

std::optional<fs::path> configHome() {
    if (auto configHome = absolutePathVariable("XDG_CONFIG_HOME"))
        return configHome;
    auto home = absolutePathVariable("HOME");
    if (!home)
        home = userDatabaseHome();
    if (!home)
        return std::nullopt;
    return *home / ".config";
}

std::vector<fs::path> dataDirs() {
    const char* value = std::getenv("XDG_DATA_DIRS");
    return absoluteMembers(value != nullptr && value[0] != '\0' ? value
                                                                : "/usr/local/share/:/usr/share/");
}

std::vector<fs::path> configDirs() {
    const char* value = std::getenv("XDG_CONFIG_DIRS");
    auto paths = absoluteMembers(value != nullptr ? value : "");
    if (paths.empty())
        paths.emplace_back("/etc/xdg");
    return paths;
}

} // namespace sollun::platform::xdg
