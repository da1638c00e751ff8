#pragma once

#include <sys/resource.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sollun::test {

// A fresh directory under $TMPDIR, removed with its contents at the end.
class TempDir {
public:
    TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& child) const {
        return path_ / child;
    }

private:
    std::filesystem::path path_;
};

// The names in `directory`, sorted.
std::vector<std::string> directoryEntries(const std::filesystem::path& directory);

// Creates or truncates `path` with `contents`; throws std::system_error on failure.
void writeFile(const std::filesystem::path& path, std::string_view contents);

// The whole file, or empty when it cannot be read.
std::string readFile(const std::filesystem::path& path);

// While it lives, a write that makes a file larger than `bytes` fails with EFBIG, even for root,
// whom permissions do not stop; SIGXFSZ is ignored meanwhile.
class ScopedFileSizeLimit {
public:
    explicit ScopedFileSizeLimit(rlim_t bytes);
    ScopedFileSizeLimit(const ScopedFileSizeLimit&) = delete;
    ScopedFileSizeLimit& operator=(const ScopedFileSizeLimit&) = delete;
    ~ScopedFileSizeLimit();

private:
    rlimit previous_{};
    void (*previousHandler_)(int) = nullptr;
};

// Sets (or, given nothing, removes) a variable and puts the old state back at the end.
// The environment is process-wide: for single-threaded tests only.
class ScopedEnvironmentVariable {
public:
    ScopedEnvironmentVariable(std::string name, const std::optional<std::string>& value);
    ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
    ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;
    ~ScopedEnvironmentVariable();

private:
    std::string name_;
    std::optional<std::string> previous_;
};

} // namespace sollun::test
