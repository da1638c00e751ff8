#pragma once

// The system's time zone changing under a running program: its setting, /etc/localtime, replaced
// (as timedatectl does, renaming a new link over it), rewritten or removed. What shows local
// times reads the setting again when told.

#include "platform/EventLoop.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <variant>

namespace sollun::platform {

class TimeZoneWatch {
public:
    static constexpr const char* systemSetting = "/etc/localtime";

    // Watches the directory holding `setting` and calls `changed` on `loop` once for each batch
    // of the kernel's events that name `setting`, or that it could not queue in full. Gives the
    // error when the directory cannot be watched.
    static std::variant<std::unique_ptr<TimeZoneWatch>, std::error_code>
    start(EventLoop& loop, std::function<void()> changed,
          const std::filesystem::path& setting = systemSetting);

    ~TimeZoneWatch();
    TimeZoneWatch(const TimeZoneWatch&) = delete;
    TimeZoneWatch& operator=(const TimeZoneWatch&) = delete;

private:
    TimeZoneWatch(int fd, std::string name, std::function<void()> changed);
    void onReadable();

    int fd_;
    std::string name_;
    std::function<void()> changed_;
    Source source_;
};

} // namespace sollun::platform
