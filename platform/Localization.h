#pragma once

// User-visible texts are looked up by their English text, which is also what shows when there is
// no translation; dates are shown as the user's locale writes them.

#include <chrono>
#include <string>
#include <string_view>

namespace sollun::platform {

// Takes the locale from the environment (setlocale(LC_ALL, "")), binds the program's message
// catalogue (domain "sollun-helper", in <prefix>/share/locale for a program in <prefix>/bin, text
// in UTF-8) and sets ICU's default locale to the one the messages are in (LC_MESSAGES, or LC_ALL,
// LC_MESSAGES, LANG when the system has no such locale). At start, before other threads exist;
// running it again re-reads the environment, which is how tests switch locales. Without it, ICU
// derives its default once by itself, on first use.
void setUpLocalization();

// The translation of `english` for the current locale, or `english` itself. Call it with the
// literal text: that is where the build finds the texts to translate (xgettext
// --keyword=localized).
std::string localized(const char* english);

// An instant as ICU's default locale writes a medium date with a short time, in ICU's default
// time zone (from TZ or the system's setting, fixed by ICU on first use), e.g. "Mar 2, 2026,
// 6:30 AM" in English. When ICU cannot format it, "2026-03-02 06:30" in the local time zone. The
// instant is in microseconds, as the loop's, so that any year can be shown.
std::string mediumDateShortTime(
    std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds> instant);

} // namespace sollun::platform
