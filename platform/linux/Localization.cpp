#include "platform/Localization.h"

#include "platform/Installation.h"

#include <unicode/datefmt.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <libintl.h>
#include <time.h>

#include <array>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>

namespace sollun::platform {
namespace {

using MicrosecondTime =
    std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds>;

constexpr const char* textDomain = "sollun-helper";

// Where the catalogues of a program installed (or built) as <prefix>/bin/<program> are:
// <prefix>/share/locale, as gettext lays them out.
std::optional<std::filesystem::path> localeDirectory() {
    const auto prefix = installPrefix();
    if (!prefix)
        return std::nullopt;
    return *prefix / "share" / "locale";
}

// An environment variable, with an empty value counting as unset as it does for the C library.
const char* environmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0' ? value : nullptr;
}

// "de_DE.UTF-8@euro" without its codeset and modifier: "de_DE".
std::string_view withoutCodeset(std::string_view name) {
    return name.substr(0, name.find_first_of(".@"));
}

bool isCLocale(std::string_view name) {
    return name.empty() || name == "C" || name == "POSIX";
}

// The locale the messages are in, named for ICU: what the C library took for LC_MESSAGES or, when
// that is the C locale (also because the system lacks the locale asked for), what the environment
// asks for: ICU has data for many locales the system never generated. The C and POSIX locales
// become "en_US_POSIX", ICU's equivalent.
std::string icuLocaleName() {
    const char* name = std::setlocale(LC_MESSAGES, nullptr);
    if (name == nullptr || isCLocale(withoutCodeset(name))) {
        name = nullptr;
        for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"})
            if ((name = environmentValue(variable)) != nullptr)
                break;
    }
    const std::string_view id = withoutCodeset(name != nullptr ? name : "C");
    return isCLocale(id) ? "en_US_POSIX" : std::string(id);
}

// The fallback when ICU cannot format: numeric, in the local time zone.
std::string isoLikeLocalText(MicrosecondTime instant) {
    // Not through system_clock::to_time_t, whose nanoseconds end in 2262.
    const time_t seconds =
        std::chrono::floor<std::chrono::seconds>(instant).time_since_epoch().count();
    tm local{};
    if (localtime_r(&seconds, &local) == nullptr)
        return {};
    std::array<char, 64> text{};
    const std::size_t length = strftime(text.data(), text.size(), "%Y-%m-%d %H:%M", &local);
    return std::string(text.data(), length);
}

} // namespace

void setUpLocalization() {
    std::setlocale(LC_ALL, "");

    if (const auto directory = localeDirectory())
        bindtextdomain(textDomain, directory->c_str());
    bind_textdomain_codeset(textDomain, "UTF-8");

    // ICU would derive its default locale by itself from the same sources, but only once, on
    // first use, and it takes an empty variable for the root locale. Setting it here ties it to
    // the locale just taken, every time this runs.
    const icu::Locale locale(icuLocaleName().c_str());
    UErrorCode status = U_ZERO_ERROR;
    if (!locale.isBogus())
        icu::Locale::setDefault(locale, status);
}

std::string localized(const char* english) {
    // The empty message id is reserved for a catalogue's header.
    if (english[0] == '\0')
        return {};
    return dgettext(textDomain, english);
}

std::string mediumDateShortTime(MicrosecondTime instant) {
    const auto milliseconds =
        std::chrono::floor<std::chrono::milliseconds>(instant).time_since_epoch().count();
    const std::unique_ptr<icu::DateFormat> format(icu::DateFormat::createDateTimeInstance(
        icu::DateFormat::kMedium, icu::DateFormat::kShort, icu::Locale::getDefault()));
    if (format == nullptr)
        return isoLikeLocalText(instant);

    icu::UnicodeString text;
    UErrorCode status = U_ZERO_ERROR;
    format->format(static_cast<UDate>(milliseconds), text, nullptr, status);
    if (U_FAILURE(status) || text.isEmpty())
        return isoLikeLocalText(instant);
    std::string utf8;
    text.toUTF8String(utf8);
    return utf8;
}

} // namespace sollun::platform
