#include "SollunWakeDaemon/RtcSlot.h"

#include "SollunWakeDaemon/DaemonLog.h"
#include "platform/Log.h"
#include "shared/AtomicFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <string>

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

bool beyondReach(std::error_code error) {
    return error == std::errc::result_out_of_range || error == std::errc::invalid_argument;
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

std::variant<std::int64_t, std::error_code>
armWithinReach(std::int64_t target, std::int64_t now,
               const std::function<std::error_code(std::int64_t)>& arm,
               std::optional<std::int64_t> furthest) {
    const std::int64_t first = furthest && *furthest > now ? std::min(target, *furthest) : target;
    const std::error_code refusal = arm(first);
    if (!refusal) {
        return first;
    }
    if (!beyondReach(refusal)) {
        return refusal;
    }
    // `taken` was taken (or is now, which arms nothing), `refused` was refused; every probe
    // clears the slot first, so it holds `taken` only when that was the last probe.
    std::int64_t taken = now;
    std::int64_t refused = first;
    bool holdsTaken = false;
    while (refused - taken > 1) {
        const std::int64_t middle = taken + (refused - taken) / 2;
        const std::error_code error = arm(middle);
        if (error && !beyondReach(error)) {
            return error;
        }
        if (error) {
            refused = middle;
        } else {
            taken = middle;
        }
        holdsTaken = !error;
    }
    if (taken == now) {
        return refusal;
    }
    if (!holdsTaken) {
        if (const std::error_code error = arm(taken)) {
            return error;
        }
    }
    return taken;
}

RtcSlot::RtcSlot(std::filesystem::path alarmPath, const std::filesystem::path& stateDir,
                 Writer write)
    : alarm_(std::move(alarmPath))
    , record_(stateDir / recordName)
    , write_(std::move(write)) {}

RtcSlot::Outcome RtcSlot::claim(std::optional<std::int64_t> target, std::int64_t now,
                                std::span<const Instant> scheduled,
                                std::optional<std::int64_t> furthest) {
    const auto held = readRtcAlarm(alarm_);
    if (held && *held > now && (!target || *held <= *target) && !isOurs(*held, scheduled)) {
        return {{}, std::nullopt, held, std::nullopt};
    }
    if (!target) {
        return {write_(alarm_, std::nullopt), std::nullopt, std::nullopt, std::nullopt};
    }
    const auto armed = armWithinReach(
        *target, now, [this](std::int64_t seconds) { return write_(alarm_, seconds); }, furthest);
    if (const auto* error = std::get_if<std::error_code>(&armed)) {
        return {*error, std::nullopt, std::nullopt, std::nullopt};
    }
    // Asked before the record changes: the daemon's own earlier value is nothing to put back.
    std::optional<std::int64_t> replaced;
    if (held && *held > now && !isOurs(*held, scheduled)) {
        replaced = held;
    }
    remember(std::get<std::int64_t>(armed));
    return {{}, std::get<std::int64_t>(armed), std::nullopt, replaced};
}

std::variant<bool, std::error_code> RtcSlot::takeBack(std::int64_t ours, std::int64_t now,
                                                      std::optional<std::int64_t> replaced) {
    if (ours <= now || readRtcAlarm(alarm_) != ours) {
        return false;
    }
    if (replaced && *replaced <= now) {
        replaced.reset();
    }
    if (const auto error = write_(alarm_, replaced)) {
        return error;
    }
    return true;
}

bool RtcSlot::isOurs(std::int64_t seconds, std::span<const Instant> scheduled) const {
    return readRtcAlarm(record_) == seconds ||
           std::any_of(scheduled.begin(), scheduled.end(),
                       [&](Instant time) { return rtcAlarmSeconds(time) == seconds; });
}

// Written after the slot: should the daemon die in between, the slot holds the time of an event
// still in the schedule, which counts as its own all the same.
void RtcSlot::remember(std::int64_t seconds) {
    if (readRtcAlarm(record_) == seconds) {
        return;
    }
    if (const auto error = writeFileAtomically(record_, std::to_string(seconds))) {
        daemonLog().error("Failed to write %{public}s: %{public}s", record_.string(),
                          error.message());
    }
}

} // namespace sollun::daemon
