#pragma once

// A text made in a short-lived child process: whatever the making touches (code, data, memory)
// stays out of the long-running caller.

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace sollun::platform {

// Forks, runs `make` in the child and gives the text it made, or nothing when it made none, could
// not be started, or did not finish within `deadline` (the child is then killed). The child ends
// with _exit: no exit handlers, no buffers flushed. `make` may use only what stays consistent
// across a fork from this thread: locks other threads hold stay taken in the child. Blocks the
// caller until the child ends; the text is at most 4 kB.
//
// What a child makes its text from is its user's to shape, so before `make` runs the child gives
// up for good whatever a set-group-ID or set-user-ID program holds beyond its user's own identity
// (real, effective and saved IDs all become the real ones; a child that cannot does not run
// `make`) and every descriptor but standard input, output, error and its pipe, and it sees an empty
// environment: `make` takes what it needs from the caller's memory, so that no variable
// (ICU_DATA, ICU_TIMEZONE_FILES_DIR, TZ, LANG, ...) steers what it loads.
std::optional<std::string> textFromChild(const std::function<std::optional<std::string>()>& make,
                                         std::chrono::milliseconds deadline);

} // namespace sollun::platform
