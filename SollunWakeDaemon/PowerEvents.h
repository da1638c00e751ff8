#pragma once

// The machine's schedule of power events, as the daemon sees it: a list of loosely typed
// dictionaries (so that an event missing a key, or holding a value of another kind under it, can
// be represented and is skipped by the daemon's checks), cancelled by its exact (time, owner,
// type, user) and added one at a time, each with a status in the platform's style. A replacement
// cancels and adds in one change, so that nobody ever sees the schedule between the two.
//
// The owner says which program an event is for; every user's helper schedules under the same
// one, so the product's events also carry the user they were scheduled for, and each user's
// requests touch only that user's events. Other programs' events, and the product's from before
// users were recorded, carry none.

#include "shared/Instant.h"

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace sollun::daemon {

// Statuses: 0 is success, anything else a failure, rendered as its unsigned 32-bit pattern.
using PowerStatus = std::int32_t;
inline constexpr PowerStatus powerSuccess = 0;
inline constexpr PowerStatus powerError = static_cast<PowerStatus>(0xe00002bc);
inline constexpr PowerStatus powerNotPrivileged = static_cast<PowerStatus>(0xe00002c1);
inline constexpr PowerStatus powerBadArgument = static_cast<PowerStatus>(0xe00002c2);
inline constexpr PowerStatus powerUnsupported = static_cast<PowerStatus>(0xe00002c7);
inline constexpr PowerStatus powerIOError = static_cast<PowerStatus>(0xe00002ca);
inline constexpr PowerStatus powerNotFound = static_cast<PowerStatus>(0xe00002f0);

// The status's 32-bit pattern as unsigned lowercase hexadecimal, no leading zeros, no sign.
std::string hexStatus(PowerStatus status);

// A loosely typed value as the schedule lists it.
struct PowerValue;
using PowerArray = std::vector<PowerValue>;
using PowerDictionary = std::map<std::string, PowerValue, std::less<>>;
struct PowerValue {
    std::variant<std::nullptr_t, bool, std::int64_t, double, std::string, Instant, PowerArray,
                 PowerDictionary>
        value;
    bool operator==(const PowerValue&) const = default;
};

// The member `key` of `dictionary` when it holds a T; nothing otherwise.
template <class T>
const T* memberOf(const PowerDictionary& dictionary, std::string_view key) {
    const auto found = dictionary.find(key);
    return found == dictionary.end() ? nullptr : std::get_if<T>(&found->second.value);
}

// The keys and values of the events the daemon reads and writes.
inline constexpr std::string_view powerEventTimeKey = "time";
inline constexpr std::string_view powerEventOwnerKey = "scheduledby";
inline constexpr std::string_view powerEventTypeKey = "eventtype";
inline constexpr std::string_view powerEventUserKey = "uid";
inline constexpr std::string_view powerEventTypeWakePowerOn = "wakepoweron";

// The user of an event: its "uid" when that is a number a uid can be; nothing otherwise, which
// makes it an event of nobody in particular.
std::optional<std::uint32_t> powerEventUser(const PowerDictionary& event);

// The values that tell one event from another: an event without a user is another one than the
// same event with a user.
struct PowerEventKey {
    Instant time;
    std::string owner;
    std::string type;
    std::optional<std::uint32_t> user;
};

class PowerEvents {
public:
    virtual ~PowerEvents() = default;

    // Every event scheduled on the machine, by any program; nothing when none is scheduled.
    // Normally an array of dictionaries, but whatever the store holds is passed on as it is.
    virtual std::optional<PowerValue> copyScheduledPowerEvents() = 0;

    // Removes the event, without a user, that matches all three exactly.
    virtual PowerStatus cancelScheduledPowerEvent(Instant time, const std::string& owner,
                                                  const std::string& type) = 0;

    // Adds an event without a user; a later copy lists it with exactly these three values.
    virtual PowerStatus schedulePowerEvent(Instant time, const std::string& owner,
                                           const std::string& type) = 0;

    // Cancels the events of `cancel` and adds `add`, if given, as one change: it succeeds or fails
    // whole, and a process killed at any moment leaves the schedule as it was before or after it,
    // never between. An event of `cancel` that is not there counts as cancelled.
    virtual PowerStatus replaceScheduledPowerEvents(std::span<const PowerEventKey> cancel,
                                                    const std::optional<PowerEventKey>& add) = 0;
};

} // namespace sollun::daemon
