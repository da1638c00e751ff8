#include "SollunWakeDaemon/PowerEventStore.h"

#include "SollunWakeDaemon/DaemonLog.h"
#include "platform/Log.h"
#include "platform/linux/XdgDirectories.h"
#include "shared/AtomicFile.h"
#include "shared/Rfc3339.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <system_error>
#include <utility>

namespace sollun::daemon {

namespace {

namespace fs = std::filesystem;

// 20260301T221005Z: the RFC 3339 text of the second without its separators, which are awkward
// in file names.
std::string compactTimestamp(Instant instant) {
    std::string text = rfc3339::format(std::chrono::floor<std::chrono::seconds>(instant))
                           .value_or("00000000T000000Z");
    std::erase_if(text, [](char c) { return c == '-' || c == ':'; });
    return text;
}

// Renames without ever replacing an existing file: an earlier corrupt copy is evidence too.
std::error_code renameWithoutReplacing(const fs::path& from, const fs::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return {};
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return {errno, std::generic_category()};
    }
    // A file system without RENAME_NOREPLACE: a hard link refuses an existing name as well.
    if (::link(from.c_str(), to.c_str()) != 0) {
        return {errno, std::generic_category()};
    }
    // Should the old name stay, the same bytes sit under both; the next read moves them aside
    // again, and nothing is lost either way.
    (void)::unlink(from.c_str());
    return {};
}

// Removes the first element that is `event`; false when there is none.
bool removeEvent(std::vector<StoredPowerEvent>& events, const PowerEventKey& event) {
    const auto found = std::find_if(events.begin(), events.end(), [&](const auto& stored) {
        return isPowerEvent(stored.value, event);
    });
    if (found == events.end()) {
        return false;
    }
    events.erase(found);
    return true;
}

} // namespace

fs::path stateDirectory() {
    if (const char* value = std::getenv("STATE_DIRECTORY")) {
        const auto paths = platform::colonSeparated(value);
        if (!paths.empty() && paths.front().starts_with('/')) {
            return fs::path(paths.front());
        }
    }
    return "/var/lib/sollun-wakedaemon";
}

struct PowerEventStore::Snapshot {
    enum class State { absent, events, other, unreadable };
    State state = State::absent;
    std::vector<StoredPowerEvent> events;
    PowerValue other;
};

PowerEventStore::PowerEventStore(fs::path stateDir, std::unique_ptr<WakeAlarm> wake, Clock now)
    : stateDir_(std::move(stateDir))
    , path_(stateDir_ / fileName)
    , now_(now ? std::move(now) : currentInstant)
    , wake_(std::move(wake)) {
    if (wake_) {
        wake_->setFiredHandler([this] { rearmAfter("a wake-up"); });
        wake_->setScheduleTimes([this] { return eventTimes({}); });
    }
}

std::optional<PowerValue> PowerEventStore::copyScheduledPowerEvents() {
    Snapshot snapshot = load();
    switch (snapshot.state) {
    case Snapshot::State::events: {
        if (snapshot.events.empty()) {
            return std::nullopt;
        }
        PowerArray list;
        list.reserve(snapshot.events.size());
        for (auto& event : snapshot.events) {
            list.push_back(std::move(event.value));
        }
        return PowerValue{std::move(list)};
    }
    case Snapshot::State::other:
        return std::move(snapshot.other);
    case Snapshot::State::absent:
    case Snapshot::State::unreadable:
        break;
    }
    return std::nullopt;
}

PowerStatus PowerEventStore::cancelScheduledPowerEvent(Instant time, const std::string& owner,
                                                       const std::string& type) {
    Snapshot snapshot = load();
    if (snapshot.state == Snapshot::State::unreadable) {
        return powerIOError;
    }
    if (!removeEvent(snapshot.events, {time, owner, type, std::nullopt})) {
        return powerNotFound;
    }
    return commit(snapshot, false);
}

PowerStatus PowerEventStore::schedulePowerEvent(Instant time, const std::string& owner,
                                                const std::string& type) {
    return replaceScheduledPowerEvents({}, PowerEventKey{time, owner, type, std::nullopt});
}

PowerStatus PowerEventStore::replaceScheduledPowerEvents(std::span<const PowerEventKey> cancel,
                                                         const std::optional<PowerEventKey>& add) {
    std::optional<StoredPowerEvent> added;
    if (add) {
        if (add->owner.empty() || add->type.empty()) {
            return powerBadArgument;
        }
        added = makeStoredPowerEvent(add->time, add->owner, add->type, add->user);
        if (!added) {
            return powerBadArgument;
        }
        // Accepting an event that nothing will act on would be a silent failure.
        if (!wake_) {
            return powerUnsupported;
        }
    }
    Snapshot snapshot = load();
    if (snapshot.state == Snapshot::State::unreadable) {
        return powerIOError;
    }
    const auto before = earliestWake(snapshot.events);
    bool removed = false;
    for (const auto& event : cancel) {
        removed = removeEvent(snapshot.events, event) || removed;
    }
    if (!added) {
        return removed ? commit(snapshot, false) : powerSuccess;
    }
    snapshot.events.push_back(std::move(*added));
    // Until the write, the file still holds the events being cancelled.
    const auto after = earliestWake(snapshot.events);
    return commit(snapshot, true, before && (!after || *before < *after) ? before : after);
}

PowerStatus PowerEventStore::rearm() {
    Snapshot snapshot = load();
    if (snapshot.state == Snapshot::State::unreadable) {
        return powerIOError;
    }
    const auto earliest = earliestWake(snapshot.events);
    if (!wake_) {
        return earliest ? powerUnsupported : powerSuccess;
    }
    return wake_->arm(earliest);
}

std::vector<Instant> PowerEventStore::eventTimes(std::span<const std::string_view> types) {
    std::vector<Instant> times;
    for (const auto& event : load().events) {
        if (auto time = powerEventTime(event.value, types)) {
            times.push_back(*time);
        }
    }
    return times;
}

PowerEventStore::Snapshot PowerEventStore::load() {
    Snapshot snapshot;
    std::error_code error;
    const auto status = fs::symlink_status(path_, error);
    if (status.type() == fs::file_type::not_found) {
        return snapshot;
    }
    if (error || status.type() != fs::file_type::regular) {
        daemonLog().error("Cannot read %{public}s: %{public}s", path_.string(),
                          error ? error.message() : std::string("not a regular file"));
        snapshot.state = Snapshot::State::unreadable;
        return snapshot;
    }

    const auto text = readSmallFile(path_, fileSizeLimit);
    std::optional<PowerEventDocument> document;
    if (text) {
        document = parsePowerEventDocument(*text);
    } else if (!fs::exists(path_, error)) {
        return snapshot;
    } else if (const auto size = fs::file_size(path_, error); error || size <= fileSizeLimit) {
        daemonLog().error("Cannot read %{public}s", path_.string());
        snapshot.state = Snapshot::State::unreadable;
        return snapshot;
    }

    if (!document) {
        if (!moveAside(text ? "not JSON" : "too large")) {
            snapshot.state = Snapshot::State::unreadable;
        }
        return snapshot;
    }
    if (document->events) {
        snapshot.state = Snapshot::State::events;
        snapshot.events = std::move(*document->events);
    } else {
        snapshot.state = Snapshot::State::other;
        snapshot.other = std::move(document->other);
    }
    return snapshot;
}

bool PowerEventStore::moveAside(std::string_view reason) {
    const std::string stem = std::string(fileName) + ".corrupt-" + compactTimestamp(now_());
    std::error_code error;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path aside =
            stateDir_ / (attempt == 0 ? stem : stem + "." + std::to_string(attempt));
        error = renameWithoutReplacing(path_, aside);
        if (!error) {
            daemonLog().error(
                "Power event store %{public}s is %{public}s; moved aside to %{public}s",
                path_.string(), reason, aside.filename().string());
            return true;
        }
        if (error != std::errc::file_exists) {
            break;
        }
    }
    daemonLog().error("Power event store %{public}s is %{public}s and cannot be moved aside: "
                      "%{public}s",
                      path_.string(), reason, error.message());
    return false;
}

PowerStatus PowerEventStore::commit(const Snapshot& snapshot, bool adds,
                                    std::optional<Instant> covering) {
    if (adds) {
        if (const PowerStatus status = wake_->arm(covering); status != powerSuccess) {
            rearmAfter("a failed arming");
            return status;
        }
        if (snapshot.state == Snapshot::State::other && !moveAside("not an array")) {
            rearmAfter("a failed scheduling");
            return powerIOError;
        }
    }
    if (const PowerStatus status = write(snapshot.events); status != powerSuccess) {
        if (adds) {
            rearmAfter("a failed scheduling");
        }
        return status;
    }
    const auto earliest = earliestWake(snapshot.events);
    if (!wake_ || (adds && covering == earliest)) {
        return powerSuccess;
    }
    // The cancelled events are gone whatever the hardware says; at worst it wakes the machine once
    // for nothing, so the failure is only logged.
    if (const PowerStatus status = wake_->arm(earliest); status != powerSuccess && firstFault()) {
        daemonLog().error("Failed to arm the %{public}s after a cancellation: 0x%{public}s",
                          wake_->name(), hexStatus(status));
    }
    return powerSuccess;
}

PowerStatus PowerEventStore::write(std::span<const StoredPowerEvent> events) {
    const auto error = writeFileAtomically(path_, renderPowerEventArray(events));
    if (!error) {
        failing_ = false;
        return powerSuccess;
    }
    if (firstFault())
        daemonLog().error("Failed to write %{public}s: %{public}s", path_.string(),
                          error.message());
    return powerIOError;
}

std::optional<Instant>
PowerEventStore::earliestWake(std::span<const StoredPowerEvent> events) const {
    const Instant now = now_();
    std::optional<Instant> earliest;
    for (const auto& event : events) {
        const auto time = powerEventTime(event.value, wakeTypes);
        if (time && *time > now && (!earliest || *time < *earliest)) {
            earliest = time;
        }
    }
    return earliest;
}

bool PowerEventStore::firstFault() {
    return !std::exchange(failing_, true);
}

// Arms for what the file says after a step went wrong or the armed instant has passed. The file
// is read again rather than trusted from memory: a failed write may still have replaced it.
void PowerEventStore::rearmAfter(std::string_view what) {
    if (const PowerStatus status = rearm(); status != powerSuccess && firstFault()) {
        daemonLog().error("Failed to arm the %{public}s after %{public}s: 0x%{public}s",
                          wake_ ? wake_->name() : std::string_view("wake hardware"), what,
                          hexStatus(status));
    }
}

} // namespace sollun::daemon
