#include "platform/TimeZoneWatch.h"

#include <sys/inotify.h>

#include <string>
#include <utility>

namespace sollun::platform {

std::variant<Source, std::error_code> watchTimeZone(EventLoop& loop, std::function<void()> changed,
                                                    const std::filesystem::path& setting) {
    // The directory, not the file: a replacement is a new file, which a watch on the old one
    // would never see.
    constexpr std::uint32_t mask =
        IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE | IN_DELETE | IN_MOVED_FROM;
    return loop.watchDirectory(setting.parent_path(), mask,
                               [name = setting.filename().string(),
                                changed = std::move(changed)](const DirectoryEvent& event) {
                                   if ((event.mask & IN_Q_OVERFLOW) != 0 || event.name == name)
                                       changed();
                               });
}

} // namespace sollun::platform
