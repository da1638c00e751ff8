#pragma once

#include "shared/Instant.h"

#include <optional>
#include <string>
#include <string_view>

namespace sollun::rfc3339 {

// The narrow internet date-and-time profile that the shared files use:
//
//   YYYY-MM-DDTHH:MM:SS[.fraction](Z|+hh:mm|-hh:mm)
//
// Everything else is refused: a missing zone, a lower-case 't' or 'z', a space for the 'T',
// out-of-range fields (month 13, 30 February, hour 24, second 60), surrounding whitespace.

// The first and the last instant the profile can write in UTC.
inline constexpr Instant earliest = std::chrono::sys_days{std::chrono::year{0} / 1 / 1};
inline constexpr Instant latest =
    std::chrono::sys_days{std::chrono::year{10000} / 1 / 1} - std::chrono::microseconds{1};

// Every year from 0000 to 9999 is read, the "distant past" and "distant future" that date
// libraries write among them. A fraction of any length is accepted, since other writers on this
// platform commonly emit one, and kept to the microsecond; further digits are dropped, cutting
// towards the past. An offset can carry the first or the last day into a year the profile cannot
// write in UTC; such an instant is read as `earliest` or `latest`, so that whatever is read can be
// written again.
std::optional<Instant> parse(std::string_view text);

// UTC with 'Z' and whole seconds; the fraction is cut off towards the past, never rounded, so
// 1969-12-31T23:59:59.5Z is written as 1969-12-31T23:59:59Z. Instants outside `earliest` to
// `latest` have no such text and give nothing.
std::optional<std::string> format(Instant instant);

} // namespace sollun::rfc3339
