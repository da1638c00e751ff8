#include "tests/support/Subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

extern char** environ;

namespace sollun::test {
namespace {

// Starts `argv` with a new pipe as its `childFd` (stdout: and stderr), read at `readEnd`.
pid_t spawn(const std::vector<std::string>& argv, int childFd, int& readEnd) {
    int fds[2] = {-1, -1};
    if (childFd >= 0 && pipe2(fds, O_CLOEXEC) != 0)
        throw std::system_error(errno, std::generic_category(), "pipe2");
    std::vector<char*> args;
    for (const auto& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (childFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, fds[1], childFd);
    if (childFd == STDOUT_FILENO)
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    pid_t pid = -1;
    const int error = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (error != 0) {
        close(fds[0]);
        throw std::system_error(error, std::generic_category(), "posix_spawnp " + argv[0]);
    }
    readEnd = fds[0];
    return pid;
}

// Reads until end of file (or a newline, given `line`); false at the deadline.
bool readUntil(int fd, std::string& out, std::chrono::milliseconds limit, bool line) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (char buffer[4096];;) {
        if (line && out.find('\n') != std::string::npos)
            return true;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n == 0 || (n < 0 && errno != EINTR))
            return true;
        if (n > 0)
            out.append(buffer, static_cast<std::size_t>(n));
    }
}

int reap(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

std::optional<std::string> enterPrivateMountNamespace() {
    if (geteuid() != 0)
        return "mounting needs root";
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr))
        return std::strerror(errno);
    return std::nullopt;
}

ProcessResult runProcess(const std::vector<std::string>& argv, std::chrono::milliseconds limit) {
    int out = -1;
    const pid_t pid = spawn(argv, STDOUT_FILENO, out);
    ProcessResult result;
    const bool ended = readUntil(out, result.output, limit, false);
    close(out);
    if (!ended)
        kill(pid, SIGKILL);
    result.exitCode = reap(pid);
    return result;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv, int readyFd) {
    pid_ = spawn(argv, readyFd, pipe_);
}

BackgroundProcess::~BackgroundProcess() {
    close(pipe_);
    if (!reaped_) {
        kill(pid_, SIGKILL);
        reap(pid_);
    }
}

int BackgroundProcess::waitForExit(std::chrono::milliseconds limit) {
    const int pidfd = reaped_ ? -1 : static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    if (pidfd < 0)
        return -1;
    pollfd p{pidfd, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(limit.count()));
    close(pidfd);
    if (ready <= 0)
        return -1;
    reaped_ = true;
    return reap(pid_);
}

std::string BackgroundProcess::readLine(std::chrono::milliseconds limit) {
    std::string out;
    if (pipe_ < 0 || !readUntil(pipe_, out, limit, true))
        return {};
    return out.substr(0, out.find('\n'));
}

void BackgroundProcess::closePipe() {
    close(std::exchange(pipe_, -1));
}

} // namespace sollun::test
