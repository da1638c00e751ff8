#pragma once

// The product's names as other programs and the system know them: the vendor and the identities
// of its three programs. The helper's identifier is also its session-bus name and its desktop
// entry's name; the main application's is the name its desktop entry and its events go by.

#include <string_view>

namespace sollun {

// The vendor of every identity below.
inline constexpr std::string_view signingTeamIdentifier = "QM4R82T7KX";
inline constexpr std::string_view helperIdentifier = "com.kestrovane.sollun.helper";
inline constexpr std::string_view mainAppIdentifier = "com.kestrovane.sollun";
inline constexpr std::string_view daemonIdentifier = "SollunWakeDaemon";

} // namespace sollun
