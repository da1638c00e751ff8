#pragma once

// The text of power-events.json and what it says. The file is a JSON array with one object per
// event, in the order the events were scheduled:
//
//   [
//     {"time":"2026-12-05T06:30:00.250000Z","scheduledby":"com.example.clock","eventtype":"wake"}
//   ]
//
// The product's own events add the user they were scheduled for, as a number (its uid), after
// the three members every event has:
//
//     {"time":"2026-12-05T06:30:00.000000Z","scheduledby":"com.kestrovane.sollun",
//      "eventtype":"wakepoweron","uid":1000}
//
// A reader that knows nothing of "uid" still finds the event by its three members, and keeps it.
//
// Other programs may write to it too, so each element is kept as the exact text it was read
// from: a rewrite after adding or removing one event leaves every other element byte for byte
// as it was, whatever its shape, number spellings or key order. Only the array around the
// elements is laid out anew.
//
// A string under a key "time" that reads as an RFC 3339 date is a date (JSON has no date type of
// its own); every other JSON value maps to the PowerValue of the same kind, integers that fit
// int64 to integers and other numbers to doubles.

#include "SollunWakeDaemon/PowerEvents.h"
#include "shared/Instant.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sollun::daemon {

// Event types beside the daemon's own "wakepoweron": "wake" only wakes from sleep, "poweron"
// only powers on from off.
inline constexpr std::string_view powerEventTypeWake = "wake";
inline constexpr std::string_view powerEventTypePowerOn = "poweron";

// One element of the array: its text as stored and what it says.
struct StoredPowerEvent {
    std::string text;
    PowerValue value;
};

// What a file holds when it is JSON at all: an array of events, or some other value that the
// schedule passes on as it is.
struct PowerEventDocument {
    std::optional<std::vector<StoredPowerEvent>> events;
    PowerValue other;
};

// Nothing when `text` is not a single JSON value with nothing but whitespace after it, or nests
// deeper than anything a schedule needs (which also keeps the recursive conversion off the end of
// the stack).
std::optional<PowerEventDocument> parsePowerEventDocument(std::string_view text);

// The array of `events` with each element's text as it is.
std::string renderPowerEventArray(std::span<const StoredPowerEvent> events);

// A new element, with a user if given; nothing when the values cannot be stored (an instant
// outside the years 0000 to 9999, text that is not UTF-8).
std::optional<StoredPowerEvent> makeStoredPowerEvent(Instant time, const std::string& owner,
                                                     const std::string& type,
                                                     std::optional<std::uint32_t> user = {});

// The stored form of a time: UTC, with the microseconds, cut off towards the past.
std::optional<std::string> formatStoredTime(Instant instant);

// The time of an element that is an object with a date under "time" and a string under
// "eventtype" that is one of `types` (any type, given none). The owner does not matter: the
// machine wakes for other programs' events as for its own.
std::optional<Instant> powerEventTime(const PowerValue& event,
                                      std::span<const std::string_view> types);

// Whether an element is the event (time, owner, type, user). The file keeps microseconds, so times
// are compared as they would be stored; an event written by another program with a finer fraction
// still matches the instant it lists.
bool isPowerEvent(const PowerValue& event, const PowerEventKey& key);

} // namespace sollun::daemon
