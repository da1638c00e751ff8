#include "SollunWakeDaemon/RtcWakeAlarm.h"

#include "shared/AtomicFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <string>
#include <string_view>

namespace sollun::daemon {

namespace {

std::error_code lastError() {
    return {errno, std::generic_category()};
}

std::error_code writeValue(const std::filesystem::path& path, std::string_view value) {
    // O_TRUNC is what a shell's redirection does; sysfs ignores it and a test's plain file then
    // holds only the last value.
    const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return lastError();
    }
    std::error_code error;
    ssize_t written = 0;
    do {
        written = ::write(fd, value.data(), value.size());
    } while (written < 0 && errno == EINTR);
    if (written < 0) {
        error = lastError();
    } else if (static_cast<std::size_t>(written) != value.size()) {
        error = std::make_error_code(std::errc::io_error);
    }
    if (::close(fd) != 0 && !error) {
        error = lastError();
    }
    return error;
}

} // namespace

std::int64_t rtcAlarmSeconds(Instant instant) {
    return std::chrono::ceil<std::chrono::seconds>(instant.time_since_epoch()).count();
}

std::error_code writeRtcAlarm(const std::filesystem::path& path,
                              std::optional<std::int64_t> seconds) {
    if (auto error = writeValue(path, "0")) {
        return error;
    }
    if (!seconds) {
        return {};
    }
    return writeValue(path, std::to_string(*seconds));
}

std::optional<std::int64_t> readRtcAlarm(const std::filesystem::path& path) {
    const auto text = readSmallFile(path, 64);
    if (!text) {
        return std::nullopt;
    }
    std::string_view value = *text;
    while (!value.empty() && (value.back() == '\n' || value.back() == ' ')) {
        value.remove_suffix(1);
    }
    std::int64_t seconds = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), seconds);
    if (value.empty() || error != std::errc{} || end != value.data() + value.size()) {
        return std::nullopt;
    }
    return seconds;
}

std::unique_ptr<RtcWakeAlarm> RtcWakeAlarm::create(std::filesystem::path path) {
    if (::access(path.c_str(), W_OK) != 0) {
        return nullptr;
    }
    return std::make_unique<RtcWakeAlarm>(std::move(path));
}

RtcWakeAlarm::RtcWakeAlarm(std::filesystem::path path)
    : path_(std::move(path)) {}

PowerStatus RtcWakeAlarm::arm(std::optional<Instant> earliest) {
    std::optional<std::int64_t> seconds;
    if (earliest) {
        seconds = rtcAlarmSeconds(*earliest);
        if (*seconds <= 0) {
            return powerBadArgument;
        }
    }
    return powerStatusFor(writeRtcAlarm(path_, seconds));
}

} // namespace sollun::daemon
