#include "shared/AtomicFile.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>

namespace sollun {

namespace {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd)
        : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

    // Closes now and reports what close() said; on Linux the descriptor is gone even on EINTR,
    // so it is never retried.
    int reset() {
        const int result = fd_ >= 0 ? ::close(fd_) : 0;
        fd_ = -1;
        return result;
    }

private:
    int fd_;
};

std::error_code lastError() {
    return {errno, std::generic_category()};
}

std::uint64_t randomBits() {
    std::uint64_t bits = 0;
    if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof bits)) {
        return bits;
    }
    // Early in boot the pool may not be ready. The name only has to be unlikely to collide, and
    // O_EXCL settles any collision, so a mixed clock, pid and counter will do.
    static std::uint64_t counter = 0;
    bits = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
           (static_cast<std::uint64_t>(::getpid()) << 32) ^ counter++;
    bits ^= bits >> 31;
    bits *= 0x9E3779B97F4A7C15ULL;
    return bits ^ (bits >> 29);
}

constexpr std::string_view alphabet =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr std::size_t suffixLength = 6;

// ".<name>.XXXXXX": hidden, so that directory listings and globs for the real name skip it.
std::string temporaryPrefix(const std::string& targetName) {
    std::string prefix;
    prefix.reserve(targetName.size() + 2 + suffixLength);
    prefix += '.';
    prefix += targetName;
    prefix += '.';
    return prefix;
}

std::string temporaryName(const std::string& targetName) {
    std::string name = temporaryPrefix(targetName);
    std::uint64_t bits = randomBits();
    for (std::size_t i = 0; i < suffixLength; ++i) {
        name += alphabet[bits % alphabet.size()];
        bits /= alphabet.size();
    }
    return name;
}

std::error_code writeAll(int fd, std::string_view contents) {
    while (!contents.empty()) {
        const ssize_t written = ::write(fd, contents.data(), contents.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return lastError();
        }
        if (written == 0) {
            // Not an error by POSIX, but no progress either; looping would spin forever.
            return std::make_error_code(std::errc::io_error);
        }
        contents.remove_prefix(static_cast<std::size_t>(written));
    }
    return {};
}

// Everything after the temporary file exists: fill, flush, close, rename. Any error leaves the
// temporary file for the caller to remove.
std::error_code fillAndRename(FileDescriptor& file, int directory, const std::string& temporary,
                              const std::string& targetName, std::string_view contents) {
    if (auto error = writeAll(file.get(), contents)) {
        return error;
    }
    // Without this flush a crash soon after the rename could leave an empty or partial file
    // under the target name on some file systems, defeating the point of the rename.
    if (::fsync(file.get()) != 0) {
        return lastError();
    }
    if (file.reset() != 0) {
        return lastError();
    }
    if (::renameat(directory, temporary.c_str(), directory, targetName.c_str()) != 0) {
        return lastError();
    }
    return {};
}

} // namespace

std::error_code writeFileAtomically(const std::filesystem::path& target,
                                    std::string_view contents) {
    const std::string targetName = target.filename().string();
    if (targetName.empty() || targetName == "." || targetName == "..") {
        return std::make_error_code(std::errc::is_a_directory);
    }
    const std::filesystem::path parent = target.parent_path();
    const FileDescriptor directory{
        ::open(parent.empty() ? "." : parent.c_str(), O_DIRECTORY | O_RDONLY | O_CLOEXEC)};
    if (!directory.valid()) {
        return lastError();
    }

    std::string temporary;
    int fd = -1;
    // A handful of attempts: a collision of 36 random bits means either bad luck or a broken
    // random source, and the latter should fail rather than spin.
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        temporary = temporaryName(targetName);
        fd = ::openat(directory.get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                      0666);
        if (fd < 0 && errno != EEXIST) {
            return lastError();
        }
    }
    if (fd < 0) {
        return lastError();
    }
    FileDescriptor file{fd};

    if (auto error = fillAndRename(file, directory.get(), temporary, targetName, contents)) {
        // The write's own error is the one to report; a temporary that cannot be removed now is
        // left behind, as a killed write leaves one.
        (void)file.reset();
        (void)::unlinkat(directory.get(), temporary.c_str(), 0);
        return error;
    }
    // The rename is only durable once the directory itself is flushed. The new file is already
    // in place at this point, but a failure is still reported: it may not survive a crash.
    if (::fsync(directory.get()) != 0) {
        return lastError();
    }
    return {};
}

void removeLeftoverTemporaries(const std::filesystem::path& target) {
    const std::string prefix = temporaryPrefix(target.filename().string());
    const std::filesystem::path parent = target.parent_path();
    std::error_code error;
    for (std::filesystem::directory_iterator entry(parent.empty() ? "." : parent, error), end;
         !error && entry != end; entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (name.size() == prefix.size() + suffixLength && name.starts_with(prefix) &&
            name.find_first_not_of(alphabet, prefix.size()) == std::string::npos) {
            std::error_code ignored;
            std::filesystem::remove(entry->path(), ignored);
        }
    }
}

std::optional<std::string> readSmallFile(const std::filesystem::path& path, std::size_t limit) {
    // O_NONBLOCK keeps open() itself from waiting for a writer when the path is a FIFO; the
    // fstat below then turns the FIFO away. O_NOCTTY guards against a terminal device.
    const FileDescriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)};
    if (!file.valid()) {
        return std::nullopt;
    }
    struct stat status = {};
    if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }

    // One byte beyond the limit tells a file of exactly `limit` bytes from a larger one. The size
    // from fstat is only a first guess: the file may grow or shrink while it is read.
    const std::size_t ceiling = limit < SIZE_MAX ? limit + 1 : limit;
    const auto sizeHint = static_cast<std::size_t>(status.st_size > 0 ? status.st_size : 0);
    std::string data(std::min(sizeHint, ceiling - 1) + 1, '\0');
    std::size_t used = 0;
    for (;;) {
        if (used == data.size()) {
            if (used >= ceiling) {
                break;
            }
            data.resize(std::min(std::max<std::size_t>(data.size() * 2, 4096), ceiling));
        }
        const ssize_t count = ::read(file.get(), data.data() + used, data.size() - used);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        if (count == 0) {
            break;
        }
        used += static_cast<std::size_t>(count);
    }
    if (used > limit) {
        return std::nullopt;
    }
    data.resize(used);
    return data;
}

} // namespace sollun
