#include "SollunHelper/FileStamp.h"

#include <sys/stat.h>

namespace sollun::helper {
namespace {

// Beyond the coarsest timestamps in use (two seconds).
constexpr std::chrono::seconds settlingTime{3};

std::int64_t nanoseconds(const timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

} // namespace

std::optional<FileStamp> FileStamp::of(const std::filesystem::path& path) {
    struct stat status = {};
    if (stat(path.c_str(), &status) != 0)
        return std::nullopt;
    return FileStamp{status.st_dev, status.st_ino, status.st_size, nanoseconds(status.st_mtim),
                     nanoseconds(status.st_ctim)};
}

bool FileStamp::settledAt(std::chrono::sys_time<std::chrono::microseconds> now) const {
    const auto changed =
        std::chrono::floor<std::chrono::microseconds>(std::chrono::nanoseconds(changedNs));
    return now.time_since_epoch() - changed >= settlingTime;
}

} // namespace sollun::helper
