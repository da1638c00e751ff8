#pragma once

// What /proc says of a program a bench runs.

#include <sys/types.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace sollun::bench {

// A field of /proc/<pid>/status in kB ("VmRSS", "VmHWM"), 0 when missing.
inline double statusKb(pid_t pid, const std::string& field) {
    std::ifstream status(std::filesystem::path("/proc") / std::to_string(pid) / "status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with(field + ":"))
            return std::stod(line.substr(field.size() + 1));
    return 0;
}

} // namespace sollun::bench
