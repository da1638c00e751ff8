#pragma once

// Where the running program was installed: what it ships beside itself (catalogues, icons, the
// daemon's definition, the approval installer) is found from there, never from configuration.

#include <filesystem>
#include <optional>

namespace sollun::platform {

// The running program's file; nothing when the system cannot say. A file replaced while the
// program runs (an upgrade) is named as the new one.
std::optional<std::filesystem::path> ownExecutable();

// <prefix> for a program installed (or built) as <prefix>/bin/<program> or
// <prefix>/libexec/<program>.
std::optional<std::filesystem::path> installPrefix();

} // namespace sollun::platform
