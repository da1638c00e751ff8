#include "SollunHelper/desktop/ProgramProcesses.h"

#include "platform/linux/Fd.h"

#include <dirent.h>
#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string_view>

namespace sollun::helper {
namespace {

namespace fs = std::filesystem;

struct GFreeText {
    void operator()(gchar* text) const { g_free(text); }
};
using GText = std::unique_ptr<gchar, GFreeText>;

struct GFreeTextList {
    void operator()(gchar** list) const { g_strfreev(list); }
};
using GTextList = std::unique_ptr<gchar*, GFreeTextList>;

} // namespace

std::vector<std::string> commandWords(const char* value) {
    std::vector<std::string> words;
    gchar** parsed = nullptr;
    if (value == nullptr || !g_shell_parse_argv(value, nullptr, &parsed, nullptr))
        return words;
    const GTextList owner(parsed);
    for (gchar** word = parsed; *word != nullptr; ++word)
        words.emplace_back(*word);
    return words;
}

namespace {

std::string canonical(const std::string& path) {
    std::error_code error;
    const auto resolved = fs::weakly_canonical(path, error);
    return error ? path : resolved.string();
}

std::string fileNameOf(std::string_view path) {
    const auto slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// At most `limit` bytes of a regular file, empty for anything else. The program a desktop entry
// names is its user's to choose: O_NONBLOCK keeps open() from waiting for a writer when it is a
// FIFO, which fstat then turns away.
std::string readAt(int directory, const std::string& name, std::size_t limit) {
    const platform::Fd fd(
        openat(directory, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd)
        return {};
    struct stat status = {};
    if (fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode))
        return {};
    std::string contents(limit, '\0');
    std::size_t used = 0;
    while (used < limit) {
        const ssize_t n = read(fd.get(), contents.data() + used, limit - used);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        used += static_cast<std::size_t>(n);
    }
    contents.resize(used);
    return contents;
}

// The program that runs a `#!` script, as the kernel (and `env`) would find it.
std::optional<std::string> scriptInterpreter(const std::string& script) {
    std::string line = readAt(AT_FDCWD, script, 256);
    if (!line.starts_with("#!"))
        return std::nullopt;
    line = line.substr(2, line.find('\n') - 2);
    const auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
    std::size_t begin = 0;
    while (begin < line.size() && isBlank(line[begin]))
        ++begin;
    std::size_t end = begin;
    while (end < line.size() && !isBlank(line[end]))
        ++end;
    std::string interpreter = line.substr(begin, end - begin);
    if (interpreter.empty())
        return std::nullopt;
    if (fileNameOf(interpreter) == "env") {
        // `#!/usr/bin/env name`: the process ends up running `name`, found through PATH.
        while (end < line.size() && isBlank(line[end]))
            ++end;
        std::size_t nameEnd = end;
        while (nameEnd < line.size() && !isBlank(line[nameEnd]))
            ++nameEnd;
        const GText found(g_find_program_in_path(line.substr(end, nameEnd - end).c_str()));
        if (!found)
            return std::nullopt;
        interpreter = found.get();
    }
    return canonical(interpreter);
}

} // namespace

std::optional<ProgramIdentity> programOf(const char* tryExec, const char* exec) {
    auto words = commandWords(tryExec != nullptr && tryExec[0] != '\0' ? tryExec : exec);
    auto word = words.begin();
    if (word != words.end() && fileNameOf(*word) == "env") {
        ++word;
        while (word != words.end() && word->find('=') != std::string::npos)
            ++word;
    }
    if (word == words.end())
        return std::nullopt;

    std::string path;
    if (const GText found{g_find_program_in_path(word->c_str())})
        path = canonical(found.get());
    else if (word->front() == '/')
        path = fs::path(*word).lexically_normal().string(); // gone from disk, maybe still running
    else
        return std::nullopt;
    return ProgramIdentity{path, fileNameOf(path), scriptInterpreter(path)};
}

namespace {

std::vector<std::string> argumentsOf(int proc, const std::string& pid) {
    const std::string raw = readAt(proc, pid + "/cmdline", 8192);
    std::vector<std::string> arguments;
    for (std::size_t begin = 0; begin < raw.size();) {
        const auto end = raw.find('\0', begin);
        arguments.push_back(raw.substr(begin, end - begin));
        if (end == std::string::npos)
            break;
        begin = end + 1;
    }
    return arguments;
}

// The real user of a process, from its status; nothing when it cannot be read.
std::optional<uid_t> realUserOf(int proc, const std::string& pid) {
    const std::string status = readAt(proc, pid + "/status", 4096);
    const auto line = status.find("\nUid:");
    if (line == std::string::npos)
        return std::nullopt;
    char* end = nullptr;
    const unsigned long uid = std::strtoul(status.c_str() + line + 5, &end, 10);
    if (end == status.c_str() + line + 5)
        return std::nullopt;
    return static_cast<uid_t>(uid);
}

// For a process whose executable cannot be read: its first argument, as launchers pass it.
bool namedAfterProgram(int proc, const std::string& pid, const ProgramIdentity& program) {
    const auto arguments = argumentsOf(proc, pid);
    if (arguments.empty() || arguments.front().empty())
        return false;
    const std::string& first = arguments.front();
    return first.front() == '/' ? canonical(first) == program.path
                                : fileNameOf(first) == program.fileName;
}

bool runsProgram(int proc, const std::string& pid, const ProgramIdentity& program) {
    char buffer[PATH_MAX];
    const ssize_t length = readlinkat(proc, (pid + "/exe").c_str(), buffer, sizeof buffer);
    if (length <= 0) {
        // Not dumpable (as a set-group-ID program is): the kernel keeps its executable to itself.
        // Otherwise a zombie or a kernel thread.
        return (errno == EACCES || errno == EPERM) && namedAfterProgram(proc, pid, program);
    }
    std::string_view executable(buffer, static_cast<std::size_t>(length));
    constexpr std::string_view replaced = " (deleted)";
    if (executable.ends_with(replaced))
        executable.remove_suffix(replaced.size());
    if (executable == program.path)
        return true;
    if (!program.interpreter || executable != *program.interpreter)
        return false;
    const auto arguments = argumentsOf(proc, pid);
    for (std::size_t i = 1; i < arguments.size() && i <= 2; ++i) {
        if (arguments[i].starts_with('/') && canonical(arguments[i]) == program.path)
            return true;
    }
    return false;
}

} // namespace

std::vector<pid_t> processesRunning(const ProgramIdentity& program, std::size_t limit) {
    struct CloseDirectory {
        void operator()(DIR* directory) const { closedir(directory); }
    };
    std::vector<pid_t> found;
    const std::unique_ptr<DIR, CloseDirectory> directory(opendir("/proc"));
    if (!directory)
        return found;
    const int proc = dirfd(directory.get());
    const uid_t user = getuid();
    while (found.size() < limit) {
        const dirent* entry = readdir(directory.get());
        if (entry == nullptr)
            break;
        if (!std::isdigit(static_cast<unsigned char>(entry->d_name[0])))
            continue;
        const std::string pid = entry->d_name;
        struct stat owner = {};
        if (fstatat(proc, pid.c_str(), &owner, 0) != 0)
            continue;
        // The kernel may show a process that is not dumpable as root's; then its status tells.
        const bool ours = owner.st_uid == 0 ? realUserOf(proc, pid) == user : owner.st_uid == user;
        if (ours && runsProgram(proc, pid, program))
            found.push_back(static_cast<pid_t>(std::stol(pid)));
    }
    return found;
}

std::optional<std::string> startTimeOf(pid_t pid) {
    const std::string stat = readAt(AT_FDCWD, "/proc/" + std::to_string(pid) + "/stat", 1024);
    // The fields after the command's closing parenthesis, from the state (field 3) on.
    const auto close = stat.rfind(')');
    if (close == std::string::npos)
        return std::nullopt;
    std::istringstream fields(stat.substr(close + 1));
    std::string field;
    std::vector<std::string> after;
    while (after.size() < 20 && fields >> field)
        after.push_back(field);
    if (after.size() < 20 || after[0] == "Z" || after[0] == "X")
        return std::nullopt;
    return after[19]; // field 22
}

} // namespace sollun::helper
