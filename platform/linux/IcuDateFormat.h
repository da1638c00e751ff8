#pragma once

// ICU's date formatting, loaded when it is first needed rather than with the program: what it
// touches of ICU's code and data (some 5 MB, half of the helper's memory) then stays with the
// process that formats, which the helper keeps short-lived.

#include <cstdint>
#include <optional>
#include <string>

namespace sollun::platform {

// How much of an instant is written: a medium date with a short time ("Mar 2, 2026, 6:30 AM"), or
// the short time alone ("6:30 AM").
enum class IcuDateStyle { mediumDateShortTime, shortTime };

// A wall-clock time as `locale` (an ICU locale id, "de_DE") writes it in `style`. The time is
// given as the milliseconds from 1970-01-01 00:00 to it on that same wall clock, on the proleptic
// Gregorian calendar as the C library counts days, and written as if it were UTC: ICU shows the
// fields it was given, whatever zone, offset or leap seconds made them. Nothing when ICU cannot
// be loaded or cannot format it.
std::optional<std::string> icuDateText(IcuDateStyle style, const std::string& locale,
                                       std::int64_t wallClockMilliseconds);

} // namespace sollun::platform
