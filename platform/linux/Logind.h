#pragma once

// Where logind answers on the system bus: its sleep announcements and its locks, which the
// daemon and the helper both use.

namespace sollun::platform::logind {

inline constexpr const char* name = "org.freedesktop.login1";
inline constexpr const char* path = "/org/freedesktop/login1";
inline constexpr const char* managerInterface = "org.freedesktop.login1.Manager";

} // namespace sollun::platform::logind
