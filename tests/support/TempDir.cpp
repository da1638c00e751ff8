#include "tests/support/TempDir.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <system_error>

namespace sollun::test {

TempDir::TempDir() {
    auto pattern = (std::filesystem::temp_directory_path() / "sollun-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> directoryEntries(const std::filesystem::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator{directory})
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

void writeFile(const std::filesystem::path& path, std::string_view contents) {
    std::ofstream out{path, std::ios::binary | std::ios::trunc};
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    out.close();
    if (!out)
        throw std::system_error(std::make_error_code(std::errc::io_error), path.string());
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in{path, std::ios::binary};
    return {std::istreambuf_iterator<char>(in), {}};
}

ScopedFileSizeLimit::ScopedFileSizeLimit(rlim_t bytes) {
    if (::getrlimit(RLIMIT_FSIZE, &previous_) != 0)
        throw std::system_error(errno, std::generic_category(), "getrlimit");
    previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{bytes, previous_.rlim_max};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
        throw std::system_error(errno, std::generic_category(), "setrlimit");
}

ScopedFileSizeLimit::~ScopedFileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &previous_);
    std::signal(SIGXFSZ, previousHandler_);
}

ScopedEnvironmentVariable::ScopedEnvironmentVariable(std::string name,
                                                     const std::optional<std::string>& value)
    : name_(std::move(name)) {
    if (const char* current = std::getenv(name_.c_str()))
        previous_ = current;
    if ((value ? ::setenv(name_.c_str(), value->c_str(), 1) : ::unsetenv(name_.c_str())) != 0)
        throw std::system_error(errno, std::generic_category(), "setenv " + name_);
}

ScopedEnvironmentVariable::~ScopedEnvironmentVariable() {
    previous_ ? ::setenv(name_.c_str(), previous_->c_str(), 1) : ::unsetenv(name_.c_str());
}

} // namespace sollun::test
