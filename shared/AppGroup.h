#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

namespace sollun {

// The per-user directory shared with the main application.
inline constexpr std::string_view appGroupIdentifier = "group.com.kestrovane.sollun";

// $XDG_DATA_HOME/<appGroupIdentifier>, else $HOME/.local/share/<appGroupIdentifier>; nothing when
// neither variable holds an absolute path (the XDG rules ignore relative ones). Evaluated afresh
// on every call and never creates the directory.
std::optional<std::filesystem::path> appGroupContainerURL();

} // namespace sollun
