#pragma once

// The machine's schedule of power events, kept in power-events.json in the daemon's state
// directory, and the wake hardware armed for its earliest wake event.
//
// The file is the only state: every call reads it afresh, since the daemon holds nothing between
// requests and another program may have edited it. Every change rewrites it whole, atomically and
// durably, keeping the other elements' text as it was (see PowerEventFile.h).
//
// A file that is not JSON (anything but whitespace after its value included), nests absurdly
// deep, or is larger than the store will read, is moved aside as
// power-events.json.corrupt-<UTC time>, never deleted, and the schedule counts as empty until the
// next change writes a fresh one. A valid JSON value that is not an array is listed as it is; the
// next schedule moves it aside in the same way, since nothing can be added to it.
//
// Whatever fails, the hardware stays armed for at least every event in the file: adding an event
// arms before it writes, removing one writes before it arms. A failure between the two steps
// thus costs at most a wake-up for an event that is not there, never a missed one.

#include "SollunWakeDaemon/PowerEventFile.h"
#include "SollunWakeDaemon/PowerEvents.h"
#include "SollunWakeDaemon/WakeAlarm.h"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace sollun::daemon {

// Where the daemon keeps its state: the first of the colon-separated absolute paths systemd puts
// in $STATE_DIRECTORY, else /var/lib/sollun-wakedaemon.
std::filesystem::path stateDirectory();

class PowerEventStore final : public PowerEvents {
public:
    using Clock = std::function<Instant()>;

    static constexpr std::string_view fileName = "power-events.json";
    static constexpr std::size_t fileSizeLimit = 4 << 20;

    // `wake` may be null: the schedule can then be listed and cancelled from, but nothing can be
    // added, since nothing would wake the machine for it. `now` decides which events are still
    // ahead (the system clock when empty). The directory is never created.
    PowerEventStore(std::filesystem::path stateDir, std::unique_ptr<WakeAlarm> wake,
                    Clock now = {});

    PowerEventStore(const PowerEventStore&) = delete;
    PowerEventStore& operator=(const PowerEventStore&) = delete;

    std::optional<PowerValue> copyScheduledPowerEvents() override;
    PowerStatus cancelScheduledPowerEvent(Instant time, const std::string& owner,
                                          const std::string& type) override;
    // Fails with powerBadArgument for an empty owner or type or values the file cannot hold,
    // with powerUnsupported when there is no wake hardware, and with the hardware's status when
    // it cannot be armed; in every case the file stays as it was.
    PowerStatus schedulePowerEvent(Instant time, const std::string& owner,
                                   const std::string& type) override;
    // One rewrite of the file, or none when nothing changes. Fails as schedulePowerEvent does,
    // and then cancels nothing either.
    PowerStatus replaceScheduledPowerEvents(std::span<const PowerEventKey> cancel,
                                            const std::optional<PowerEventKey>& add) override;

    // Arms the hardware for the earliest future wake event in the file, or disarms it; what the
    // daemon does when it starts. Without hardware: success when there is nothing to arm, else
    // powerUnsupported.
    PowerStatus rearm();

    // The times of the events of `types` (any type, given none), in the file's order.
    std::vector<Instant> eventTimes(std::span<const std::string_view> types);

    // The types the hardware is armed for.
    static constexpr std::string_view wakeTypes[] = {powerEventTypeWake, powerEventTypeWakePowerOn};

    const std::filesystem::path& stateDir() const { return stateDir_; }
    const std::filesystem::path& path() const { return path_; }

private:
    struct Snapshot;

    Snapshot load();
    bool moveAside(std::string_view reason);
    // Puts the snapshot's events in the file. Adding, the hardware is armed before the write for
    // `covering`, the earliest wake of the file before and after it; after the write, it is armed
    // for the new file's earliest wake unless that is what it already covers.
    PowerStatus commit(const Snapshot& snapshot, bool adds, std::optional<Instant> covering = {});
    PowerStatus write(std::span<const StoredPowerEvent> events);
    std::optional<Instant> earliestWake(std::span<const StoredPowerEvent> events) const;
    void rearmAfter(std::string_view what);
    // Whether a failing write or arming is the first since the last write that went through, and
    // so to be logged. A fault that lasts, a full disk above all, fails every step of every
    // request until it clears: the store says it once, and each request it costs is said by the
    // service that answers it.
    bool firstFault();

    std::filesystem::path stateDir_;
    std::filesystem::path path_;
    Clock now_;
    std::unique_ptr<WakeAlarm> wake_;
    // A step failed, and no write has gone through since.
    bool failing_ = false;
};

} // namespace sollun::daemon
