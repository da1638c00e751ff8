#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sollun::test {

// A fresh private directory under $TMPDIR (or /tmp), removed with everything in it when the
// object goes away. Construction throws std::system_error when no directory can be made.
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

// The names in `directory`, sorted, without "." and "..".
std::vector<std::string> directoryEntries(const std::filesystem::path& directory);

// Creates or truncates `path` and writes `contents`; throws std::system_error on failure.
void writeFile(const std::filesystem::path& path, std::string_view contents);

// Sets one environment variable (or removes it, given nothing) for the object's lifetime and
// then puts the previous value, or its absence, back. The environment is process-wide: only for
// tests that run on one thread.
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
