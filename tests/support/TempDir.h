#pragma once

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
