#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace sollun::test {

struct ProcessResult {
    int exitCode = -1; // -1 when killed by a signal or by the watchdog
    bool timedOut = false;
    std::string output; // standard output and standard error together
};

// Runs `argv` to its end and collects its output; a process still running after `limit` is
// killed and reported as timed out.
ProcessResult runProcess(const std::vector<std::string>& argv,
                         std::chrono::milliseconds limit = std::chrono::seconds(20));

// A process started in the background, killed (SIGKILL) and reaped when the object goes away.
class BackgroundProcess {
public:
    // Starts `argv`; `readyFd` of the child (if >= 0) is a pipe whose first line is returned by
    // readLine(). Throws std::system_error when the process cannot be started.
    explicit BackgroundProcess(const std::vector<std::string>& argv, int readyFd = -1);
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;
    ~BackgroundProcess();

    // Waits for the process to end: its exit code, or -1 when it was killed by a signal or is
    // still running after `limit`.
    int waitForExit(std::chrono::milliseconds limit = std::chrono::seconds(10));

    // The first line the child writes to `readyFd`, or empty after `limit`.
    std::string readLine(std::chrono::milliseconds limit = std::chrono::seconds(10));
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int pipe_ = -1;
    bool reaped_ = false;
};

} // namespace sollun::test
