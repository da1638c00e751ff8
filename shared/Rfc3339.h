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
// A fraction of one to nine digits is accepted and kept to the nanosecond, since other writers on
// this platform commonly emit one. An instant that std::chrono::system_clock cannot hold (before
// 1678 or after 2262 with libstdc++) is refused rather than wrapped.
std::optional<Instant> parse(std::string_view text);

// UTC with 'Z' and whole seconds; the fraction is cut off towards the past, never rounded, so
// 1969-12-31T23:59:59.5Z is written as 1969-12-31T23:59:59Z. Instants outside the years 0000 to
// 9999 have no such text and give nothing.
std::optional<std::string> format(Instant instant);

} // namespace sollun::rfc3339
