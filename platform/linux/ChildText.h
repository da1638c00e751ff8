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
std::optional<std::string> textFromChild(const std::function<std::optional<std::string>()>& make,
                                         std::chrono::milliseconds deadline);

} // namespace sollun::platform
