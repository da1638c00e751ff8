#pragma once

// Which of this user's processes run a desktop entry's program, read from /proc.
//
// The program is the entry's TryExec when it names one, else the first word of Exec (after a
// leading `env NAME=value ...`), found through PATH. A process runs it when its executable is the
// program, also after the program was replaced on disk. When the program is a `#!` script the
// process runs the script's interpreter, so such a process counts when its executable is that
// interpreter and its second or third argument is the script. A process whose executable cannot
// be read (a set-group-ID program is not dumpable) counts when its first argument names the
// program, by path or by file name. A program that is a shared interpreter run on an argument
// (`Exec=python3 app.py`) cannot be told apart this way.
//
// Telling whether processes run a program opens nothing but files under /proc: not the program.

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace sollun::helper {

// What tells the application's processes apart from others.
struct ProgramIdentity {
    std::string path; // resolved, canonical
    std::string fileName;
    std::optional<std::string> interpreter; // canonical, when `path` is a `#!` script

    bool operator==(const ProgramIdentity&) const = default;
};

// The words of an entry's Exec (or TryExec) value, as the shell would split them.
std::vector<std::string> commandWords(const char* value);

// The program of an entry with these TryExec and Exec values (either may be null); nothing when
// neither names one that can be found. Reads the first line of a script, only ever of a regular
// file, without waiting: a FIFO named as the program is never waited on.
std::optional<ProgramIdentity> programOf(const char* tryExec, const char* exec);

// The ids of this user's processes that run `program`, at most `limit` of them.
std::vector<pid_t> processesRunning(const ProgramIdentity& program, std::size_t limit);

// A process's start time, which tells it from a later one with the same pid; nothing once it has
// ended, as a zombie too.
std::optional<std::string> startTimeOf(pid_t pid);

} // namespace sollun::helper
