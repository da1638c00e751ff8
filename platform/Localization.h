#pragma once

// User-visible texts are looked up by their English text, which is also what shows when there is
// no translation; dates are shown as the user's locale writes them.

#include <chrono>
#include <string>
#include <string_view>

namespace sollun::platform {

// Binds the program's message catalogue (domain "sollun-helper") and takes the locale from the
// environment. Once, at start.
void setUpLocalization();

// The translation of `english` for the current locale, or `english` itself.
std::string localized(const char* english);

// An instant as the current locale writes a medium date with a short time, in the local time
// zone, e.g. "Mar 2, 2026, 6:30 AM" in English.
std::string mediumDateShortTime(std::chrono::system_clock::time_point instant);

} // namespace sollun::platform
