#include "tests/support/Subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

extern char** environ;

namespace sollun::test {
namespace {

pid_t spawn(const std::vector<std::string>& argv, int childFd, int pipeWrite) {
    std::vector<char*> args;
    for (const auto& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (childFd == STDOUT_FILENO) {
        posix_spawn_file_actions_adddup2(&actions, pipeWrite, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, pipeWrite, STDERR_FILENO);
    } else if (childFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, pipeWrite, childFd);
    }
    pid_t pid = -1;
    const int error = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        throw std::system_error(error, std::generic_category(), "posix_spawnp " + argv[0]);
    return pid;
}

// Reads from `fd` until end of file, `stopAtNewline`, or the deadline.
bool readUntil(int fd, std::string& out, std::chrono::steady_clock::time_point deadline,
               bool stopAtNewline) {
    char buffer[4096];
    for (;;) {
        if (stopAtNewline && out.find('\n') != std::string::npos)
            return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return true;
        out.append(buffer, static_cast<std::size_t>(n));
    }
}

} // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, std::chrono::milliseconds limit) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::system_error(errno, std::generic_category(), "pipe2");
    ProcessResult result;
    pid_t pid;
    try {
        pid = spawn(argv, STDOUT_FILENO, fds[1]);
    } catch (...) {
        close(fds[0]);
        close(fds[1]);
        throw;
    }
    close(fds[1]);
    result.timedOut =
        !readUntil(fds[0], result.output, std::chrono::steady_clock::now() + limit, false);
    close(fds[0]);
    if (result.timedOut)
        kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!result.timedOut && WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    return result;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv, int readyFd) {
    int fds[2] = {-1, -1};
    if (readyFd >= 0 && pipe2(fds, O_CLOEXEC) != 0)
        throw std::system_error(errno, std::generic_category(), "pipe2");
    pid_ = spawn(argv, readyFd, fds[1]);
    if (readyFd >= 0) {
        close(fds[1]);
        pipe_ = fds[0];
    }
}

BackgroundProcess::~BackgroundProcess() {
    if (pipe_ >= 0)
        close(pipe_);
    if (reaped_)
        return;
    kill(pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
}

int BackgroundProcess::waitForExit(std::chrono::milliseconds limit) {
    if (reaped_)
        return -1;
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    if (pidfd < 0)
        return -1;
    pollfd p{pidfd, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(limit.count()));
    close(pidfd);
    if (ready <= 0)
        return -1;
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string BackgroundProcess::readLine(std::chrono::milliseconds limit) {
    std::string out;
    if (pipe_ < 0 || !readUntil(pipe_, out, std::chrono::steady_clock::now() + limit, true))
        return {};
    return out.substr(0, out.find('\n'));
}

} // namespace sollun::test
