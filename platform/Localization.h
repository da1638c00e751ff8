#pragma once

// User-visible texts are looked up by their English text, which is also what shows when there is
// no translation; dates are shown as the user's locale writes them.

#include <chrono>
#include <string>
#include <string_view>

namespace sollun::platform {

// Takes the locale from the environment, category by category (a category whose locale the system
// lacks gets C.UTF-8, and the others keep theirs), binds the program's message catalogue (domain
// "sollun-helper", in <prefix>/share/locale for a program in <prefix>/bin, text in UTF-8) and takes
// the locale that formats the dates: the one of LC_TIME (or LC_ALL, LC_TIME, LANG when the system
// has no such locale). Texts follow gettext's rules: the languages of LANGUAGE in their order,
// unless the messages locale asked for (LC_ALL, LC_MESSAGES, LANG) is plain "C" or "POSIX", which
// is English; without LANGUAGE, the language of that locale, also when the system lacks it; and
// the same in C.UTF-8 whatever the C library's release does there. At start, before other threads
// exist; running it again re-reads the environment, which is how tests switch locales. Without it,
// dates follow the environment's LC_TIME as it is at their first formatting.
void setUpLocalization();

// The translation of `english` for the current locale, or `english` itself. Call it with the
// literal text: that is where the build finds the texts to translate (xgettext
// --keyword=localized).
std::string localized(const char* english);

// An instant as ICU writes a medium date with a short time in the locale taken for dates, e.g.
// "Mar 2, 2026, 6:30 AM" in English, at the local time the C library gives for it: any TZ it
// accepts (zone names, files, POSIX rules), or the system's time zone, read again when that has
// changed since the last call. When ICU cannot format it, "2026-03-02 06:30". The instant is in
// microseconds, as the loop's, so that any year can be shown. ICU writes the wall clock's fields
// the C library made, so that the time shown is the one `date` shows. It runs in a short-lived
// child process, with the user's own group alone and none of the environment, for at most 2 s
// (the caller waits), and only when the local time or the locale differ from the last call's:
// otherwise the last text is given again.
std::string mediumDateShortTime(
    std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds> instant);

// The instant's time of day alone, as ICU writes a short time in the same locale and made in the
// same way, e.g. "6:30 AM" in English and "06:30" in German; "06:30" when ICU cannot. It keeps a
// last text of its own.
std::string
shortTime(std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds> instant);

} // namespace sollun::platform
