#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace sollun::test {

struct ProcessResult {
    int exitCode = -1;  // -1 when killed, by a signal or for running past its limit
    std::string output; // standard output and standard error together
};

// Moves this process into a mount namespace of its own, where mounts stay private, so that a test
// may mount over the machine's paths. unshare() needs a process of one thread: call it at load
// time, before anything starts a thread. Gives why it cannot (not root, or the error), or nothing.
std::optional<std::string> enterPrivateMountNamespace();

// Runs `argv` to its end, killing it after `limit`.
ProcessResult runProcess(const std::vector<std::string>& argv,
                         std::chrono::milliseconds limit = std::chrono::seconds(20));

// A process in the background, killed (SIGKILL) and reaped at the end.
class BackgroundProcess {
public:
    // `readyFd` of the child, if >= 0, is a pipe for readLine(). Throws std::system_error.
    explicit BackgroundProcess(const std::vector<std::string>& argv, int readyFd = -1);
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;
    ~BackgroundProcess();

    // The exit code, or -1 when killed by a signal or still running after `limit`.
    int waitForExit(std::chrono::milliseconds limit = std::chrono::seconds(10));
    // The first line the child writes to `readyFd`, or empty after `limit`.
    std::string readLine(std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Closes the reading end: the child's next write to `readyFd` finds no reader.
    void closePipe();
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int pipe_ = -1;
    bool reaped_ = false;
};

} // namespace sollun::test
