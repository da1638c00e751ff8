#pragma once

// The system's time zone changing under a running program: its setting, /etc/localtime, replaced
// (as timedatectl does, renaming a new link over it), rewritten or removed. What shows local
// times reads the setting again when told.

#include "platform/EventLoop.h"

#include <filesystem>
#include <functional>
#include <system_error>
#include <variant>

namespace sollun::platform {

inline constexpr const char* systemTimeZoneSetting = "/etc/localtime";

// Watches the directory holding `setting` and calls `changed` on `loop` for each of the kernel's
// events that names `setting`, and when it could not queue them all, for as long as the source
// lives. Gives the error when the directory cannot be watched.
std::variant<Source, std::error_code>
watchTimeZone(EventLoop& loop, std::function<void()> changed,
              const std::filesystem::path& setting = systemTimeZoneSetting);

} // namespace sollun::platform
