#pragma once

// One run of the command that approves the daemon (pkexec and the shipped installer), watched on
// the loop through a pidfd until it ends, and what its end means in the log's words.

#include "platform/EventLoop.h"
#include "platform/linux/Fd.h"

#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace sollun::helper {

class ApprovalRun {
public:
    // Starts `command`, searched for in PATH. `ended` gets the wait status, on the loop (-1 if
    // the run could not be waited for); it may destroy the run. Gives
    // the error number when the command cannot be started (not installed, not executable).
    static std::variant<std::unique_ptr<ApprovalRun>, int>
    start(platform::EventLoop& loop, const std::vector<std::string>& command,
          std::function<void(int waitStatus)> ended);
    ApprovalRun(const ApprovalRun&) = delete;
    ApprovalRun& operator=(const ApprovalRun&) = delete;

private:
    ApprovalRun(platform::EventLoop& loop, pid_t pid, std::function<void(int)> ended);
    void reap(int options);

    pid_t pid_;
    platform::Fd pidfd_;
    std::function<void(int)> ended_;
    platform::Source watch_;
};

// Why an approval that ended with `waitStatus` failed, as pkexec tells it (126: the user dismissed
// the dialog or was refused; 127: no authorization could be obtained, as without an
// authentication agent) or as the installer does; nothing when it succeeded.
// A wait status of -1 means the run was lost.
std::optional<std::string> approvalFailure(int waitStatus);

} // namespace sollun::helper
