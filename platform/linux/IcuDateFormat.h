#pragma once

// ICU's date formatting, loaded when it is first needed rather than with the program: what it
// touches of ICU's code and data (some 5 MB, half of the helper's memory) then stays with the
// process that formats, which the helper keeps short-lived.

#include <cstdint>
#include <optional>
#include <string>

namespace sollun::platform {

// `milliseconds` since the epoch as `locale` (an ICU locale id, "de_DE") writes a medium date
// with a short time, at the fixed offset from UTC `offsetSeconds`, on the proleptic Gregorian
// calendar as the C library counts days. Nothing when ICU cannot be loaded or cannot format it.
std::optional<std::string> icuMediumDateShortTime(const std::string& locale,
                                                  std::int64_t milliseconds,
                                                  std::int32_t offsetSeconds);

} // namespace sollun::platform
