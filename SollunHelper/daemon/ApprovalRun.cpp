#include "SollunHelper/daemon/ApprovalRun.h"

#include <spawn.h>
#include <sys/epoll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <utility>

extern char** environ;

namespace sollun::helper {

std::variant<std::unique_ptr<ApprovalRun>, int>
ApprovalRun::start(platform::EventLoop& loop, const std::vector<std::string>& command,
                   std::function<void(int)> ended) {
    if (command.empty())
        return ENOENT;
    std::vector<char*> argv;
    for (const auto& arg : command)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (const int error = posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ))
        return error;
    return std::unique_ptr<ApprovalRun>(new ApprovalRun(loop, pid, std::move(ended)));
}

ApprovalRun::ApprovalRun(platform::EventLoop& loop, pid_t pid, std::function<void(int)> ended)
    : pid_(pid)
    , ended_(std::move(ended)) {
    // Through syscall(): this glibc's <sys/pidfd.h> lacks C linkage for C++. Pidfds are always
    // close-on-exec.
    pidfd_.reset(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    if (!pidfd_) {
        // It cannot be watched: it is looked after once a second instead.
        watch_ = loop.addRepeatingTimer(std::chrono::seconds(1), [this] { reap(WNOHANG); });
        return;
    }
    watch_ = loop.watchFd(pidfd_.get(), EPOLLIN, [this](std::uint32_t) { reap(0); });
}

void ApprovalRun::reap(int options) {
    int status = 0;
    pid_t reaped;
    while ((reaped = waitpid(pid_, &status, options)) < 0 && errno == EINTR) {
    }
    if (reaped == 0)
        return; // still running
    watch_.reset();
    // Taken out first: the handler may end this run, and the member with it.
    const auto ended = std::move(ended_);
    ended(reaped < 0 ? -1 : status);
}

std::optional<std::string> approvalFailure(int waitStatus) {
    if (waitStatus == -1)
        return "the installer's end could not be waited for";
    if (WIFSIGNALED(waitStatus))
        return "the installer ended by signal " + std::to_string(WTERMSIG(waitStatus));
    switch (const int code = WEXITSTATUS(waitStatus)) {
    case 0:
        return std::nullopt;
    case 126:
        return "the authorization was refused or its dialog dismissed";
    case 127:
        return "no authorization could be obtained (is an authentication agent running?)";
    default:
        return "the installer exited with status " + std::to_string(code);
    }
}

} // namespace sollun::helper
