#pragma once

// Where the XDG base-directory rules put a user's files, read from the environment afresh on
// every call. Nothing here creates a directory.
//
// The rules every lookup shares: a variable that does not hold an absolute path is invalid and
// counts as unset, and so does a relative member of a colon-separated list. The C library's
// getenv is used throughout, as the callers always did: in a setgid process the values are the
// user's own, and every path here is one of that user's or a system directory.

#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

namespace sollun::platform {

// The members of a colon-separated list in order, empty ones included ("a::b" gives "a", "",
// "b"); nothing for an empty list. Every list in the environment (these, $LANGUAGE,
// $STATE_DIRECTORY) is split by this one reader.
std::vector<std::string_view> colonSeparated(std::string_view list);

} // namespace sollun::platform

namespace sollun::platform::xdg {

// The variable's value when it is an absolute path.
std::optional<std::filesystem::path> absolutePathVariable(const char* name);

// $XDG_DATA_HOME, else $HOME/.local/share; nothing when neither is absolute. The user database is
// never asked: what the environment does not name does not exist for the shared container.
std::optional<std::filesystem::path> dataHome();

// $XDG_CONFIG_HOME, else ~/.config, the home from $HOME or, failing that, the user database (as
// GLib does); nothing when none of them gives an absolute path.
std::optional<std::filesystem::path> configHome();

// The absolute members of $XDG_DATA_DIRS, most important first; /usr/local/share/ and
// /usr/share/ when it is unset or empty.
std::vector<std::filesystem::path> dataDirs();

// The absolute members of $XDG_CONFIG_DIRS, most important first; /etc/xdg when it names none.
std::vector<std::filesystem::path> configDirs();

} // namespace sollun::platform::xdg
