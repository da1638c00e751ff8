#include "platform/linux/ChildText.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace sollun::platform {
namespace {

constexpr std::size_t maximumText = 4096;

// The pipe's ends are only read from or handed to the child: what close says changes nothing.
void closeDescriptor(int fd) {
    if (fd >= 0)
        (void)close(fd);
}

// The group first: once the user ID is the real one, the group could no longer be changed.
bool keepOnlyRealIdentity() {
    gid_t realGroup = 0;
    gid_t effectiveGroup = 0;
    gid_t savedGroup = 0;
    uid_t realUser = 0;
    uid_t effectiveUser = 0;
    uid_t savedUser = 0;
    if (getresgid(&realGroup, &effectiveGroup, &savedGroup) != 0 ||
        setresgid(realGroup, realGroup, realGroup) != 0 ||
        getresuid(&realUser, &effectiveUser, &savedUser) != 0 ||
        setresuid(realUser, realUser, realUser) != 0)
        return false;
    return getresgid(&realGroup, &effectiveGroup, &savedGroup) == 0 &&
           effectiveGroup == realGroup && savedGroup == realGroup &&
           getresuid(&realUser, &effectiveUser, &savedUser) == 0 && effectiveUser == realUser &&
           savedUser == realUser;
}

} // namespace

std::optional<std::string> textFromChild(const std::function<std::optional<std::string>()>& make,
                                         std::chrono::milliseconds deadline) {
    std::array<int, 2> pipe{-1, -1};
    if (pipe2(pipe.data(), O_CLOEXEC) != 0)
        return std::nullopt;
    const pid_t child = fork();
    if (child < 0) {
        closeDescriptor(pipe[0]);
        closeDescriptor(pipe[1]);
        return std::nullopt;
    }
    if (child == 0) {
        closeDescriptor(pipe[0]);
        // None of the caller's descriptors stays either: a bus connection carries the credentials
        // it was made with, the group among them, for whoever writes to it.
        const auto kept = static_cast<unsigned>(pipe[1]);
        if ((kept > 3 && close_range(3, kept - 1, 0) != 0) || close_range(kept + 1, ~0U, 0) != 0 ||
            !keepOnlyRealIdentity())
            _exit(1);
        // Assigned rather than cleared: clearenv() takes a lock another thread may have held.
        static char* noVariables[] = {nullptr};
        environ = noVariables;
        const auto text = make();
        if (!text || text->size() > maximumText)
            _exit(1);
        // Below PIPE_BUF: written whole or not at all.
        _exit(write(pipe[1], text->data(), text->size()) == static_cast<ssize_t>(text->size()) ? 0
                                                                                               : 1);
    }
    closeDescriptor(pipe[1]);

    std::string text;
    bool complete = false;
    const auto giveUp = std::chrono::steady_clock::now() + deadline;
    while (!complete) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(giveUp - std::chrono::steady_clock::now());
        pollfd readable{pipe[0], POLLIN, 0};
        const int ready = left.count() > 0 ? poll(&readable, 1, static_cast<int>(left.count())) : 0;
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        std::array<char, 512> buffer{};
        const ssize_t got = read(pipe[0], buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0 || text.size() + static_cast<std::size_t>(got) > maximumText) {
            complete = got == 0;
            break;
        }
        text.append(buffer.data(), static_cast<std::size_t>(got));
    }
    closeDescriptor(pipe[0]);
    // Our own child, not yet waited for: it is there to be killed.
    if (!complete)
        (void)kill(child, SIGKILL);

    int status = 0;
    pid_t reaped;
    while ((reaped = waitpid(child, &status, 0)) < 0 && errno == EINTR) {
    }
    // Where children are reaped by others (SIGCHLD ignored), the end of the pipe says it all.
    const bool succeeded = reaped < 0 ? errno == ECHILD && !text.empty()
                                      : WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!complete || !succeeded)
        return std::nullopt;
    return text;
}

} // namespace sollun::platform
