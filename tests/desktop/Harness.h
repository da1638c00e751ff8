#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace sollun::test {

// `argv` run with its standard output and error appended to `log`, and killed when the test
// process ends, even by a crash.
inline std::vector<std::string> loggedTo(const std::filesystem::path& log,
                                         std::vector<std::string> argv) {
    argv.insert(argv.begin(), {"setpriv", "--pdeathsig=KILL", "sh", "-c",
                               R"(exec "$@" >>"$0" 2>&1)", log.string()});
    return argv;
}

// Polls `condition` every 50 ms until it holds (true) or `limit` has passed (false): for states
// that nothing announces, such as a window's geometry or a file's existence.
template <typename Condition>
bool pollUntil(Condition condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

} // namespace sollun::test
