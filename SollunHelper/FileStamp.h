#pragma once

// What tells, without reading a file, that it is still the one read before: its device, inode,
// size, and modification and change times to the nanosecond. Writing a file changes its change
// time, which nobody can set, and replacing it changes its inode.
//
// The times have the file system's granularity (a kernel tick, a second, or worse), so a write
// in the same tick as the one before leaves them as they were. A stamp taken when its change time
// lay further back than any such tick can be relied upon; a fresher one cannot.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>

namespace sollun::helper {

struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    std::int64_t modifiedNs = 0;
    std::int64_t changedNs = 0;
    bool operator==(const FileStamp&) const = default;

    // The file's stamp (links followed), or nothing when it cannot be read.
    static std::optional<FileStamp> of(const std::filesystem::path& path);

    // Whether any later write is certain to change the stamp: the file last changed well before
    // `now`, by the clock that stamps files.
    bool settledAt(std::chrono::sys_time<std::chrono::microseconds> now) const;
};

} // namespace sollun::helper
