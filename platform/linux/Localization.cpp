#include "platform/Localization.h"

#include "platform/Installation.h"
#include "platform/Log.h"
#include "platform/linux/ChildText.h"

#include <unicode/datefmt.h>
#include <unicode/gregocal.h>
#include <unicode/locid.h>
#include <unicode/simpletz.h>
#include <unicode/unistr.h>

#include <libintl.h>
#include <time.h>

#include <array>
#include <cfloat>
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

// ICU takes a few milliseconds from cold; a child still busy after this is given up on.
constexpr std::chrono::milliseconds formattingDeadline{2000};

const Logger& log() {
    static const Logger logger("com.kestrovane.sollun.helper", "localization");
    return logger;
}

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

struct Category {
    int id;
    const char* variable;
};
constexpr Category timeCategory{LC_TIME, "LC_TIME"};
constexpr std::array<Category, 6> categories{{{LC_CTYPE, "LC_CTYPE"},
                                              {LC_NUMERIC, "LC_NUMERIC"},
                                              timeCategory,
                                              {LC_COLLATE, "LC_COLLATE"},
                                              {LC_MONETARY, "LC_MONETARY"},
                                              {LC_MESSAGES, "LC_MESSAGES"}}};

// What the environment asks for `category`: LC_ALL, its own variable, then LANG.
const char* requestedLocale(const Category& category) {
    for (const char* variable : {"LC_ALL", category.variable, "LANG"})
        if (const char* value = environmentValue(variable))
            return value;
    return "C";
}

// The environment's locale, category by category: one the system lacks (say LC_TIME=en_DK.UTF-8,
// never generated) costs that category only, which falls back to C.UTF-8, instead of taking every
// other one down to "C" with it; and in C.UTF-8, unlike in "C", gettext still honours LANGUAGE.
void takeLocaleFromEnvironment() {
    if (std::setlocale(LC_ALL, "") != nullptr)
        return;
    std::string_view reported;
    for (const auto& category : categories) {
        if (std::setlocale(category.id, "") != nullptr)
            continue;
        std::setlocale(category.id, "C.UTF-8");
        // Once for each locale asked for, not for each category that asked for it.
        const std::string_view requested = requestedLocale(category);
        if (requested != reported)
            log().info("The system has no locale %{public}s; C.UTF-8 in its place", requested);
        reported = requested;
    }
}

// The locale of `category`, named for ICU: what the C library took for it or, when that is the C
// locale (also because the system lacks the locale asked for), what the environment asks for: ICU
// has data for many locales the system never generated. The C and POSIX locales become
// "en_US_POSIX", ICU's equivalent.
std::string icuLocaleName(const Category& category) {
    const char* name = std::setlocale(category.id, nullptr);
    if (name == nullptr || isCLocale(withoutCodeset(name)))
        name = requestedLocale(category);
    const std::string_view id = withoutCodeset(name);
    return isCLocale(id) ? "en_US_POSIX" : std::string(id);
}

// The instant as the C library sees it locally, time zone rules of any kind TZ may give
// included. tzset() first: without TZ, it reads /etc/localtime again when that was replaced.
// Years past what `tm` holds are taken in UTC.
tm localTime(MicrosecondTime instant) {
    // Not through system_clock::to_time_t, whose nanoseconds end in 2262.
    const time_t seconds =
        std::chrono::floor<std::chrono::seconds>(instant).time_since_epoch().count();
    tzset();
    tm local{};
    if (localtime_r(&seconds, &local) == nullptr) {
        local = tm{};
        local.tm_zone = "UTC";
    }
    return local;
}

// The fallback when ICU cannot format: numeric.
std::string isoLikeText(const tm& local) {
    std::array<char, 64> text{};
    const std::size_t length = strftime(text.data(), text.size(), "%Y-%m-%d %H:%M", &local);
    return std::string(text.data(), length);
}

// ICU's Gregorian calendar turns Julian before October 1582; the C library's never does.
void makeProlepticGregorian(icu::DateFormat& format) {
    const auto* calendar = dynamic_cast<const icu::GregorianCalendar*>(format.getCalendar());
    if (calendar == nullptr)
        return;
    std::unique_ptr<icu::GregorianCalendar> proleptic(calendar->clone());
    UErrorCode status = U_ZERO_ERROR;
    proleptic->setGregorianChange(-DBL_MAX, status);
    if (U_SUCCESS(status))
        format.adoptCalendar(proleptic.release());
}

// The instant as ICU's default locale writes it, at the C library's local time `local`; nothing
// when ICU cannot format it.
std::optional<std::string> icuText(MicrosecondTime instant, const tm& local) {
    std::unique_ptr<icu::DateFormat> format(icu::DateFormat::createDateTimeInstance(
        icu::DateFormat::kMedium, icu::DateFormat::kShort, icu::Locale::getDefault()));
    if (format == nullptr)
        return std::nullopt;
    makeProlepticGregorian(*format);
    // ICU knows zones by their names only, not POSIX rules such as "CET-1CEST,M3.5.0,M10.5.0/3",
    // and keeps its own default zone from its first use: the zone of this one instant, as the C
    // library has it, shows the same wall time as every other program.
    format->adoptTimeZone(
        new icu::SimpleTimeZone(static_cast<std::int32_t>(local.tm_gmtoff) * 1000,
                                icu::UnicodeString(local.tm_zone != nullptr ? local.tm_zone : "")));

    const auto milliseconds =
        std::chrono::floor<std::chrono::milliseconds>(instant).time_since_epoch().count();
    icu::UnicodeString text;
    UErrorCode status = U_ZERO_ERROR;
    format->format(static_cast<UDate>(milliseconds), text, nullptr, status);
    if (U_FAILURE(status) || text.isEmpty())
        return std::nullopt;
    std::string utf8;
    text.toUTF8String(utf8);
    return utf8;
}

} // namespace

void setUpLocalization() {
    takeLocaleFromEnvironment();

    if (const auto directory = localeDirectory())
        bindtextdomain(textDomain, directory->c_str());
    bind_textdomain_codeset(textDomain, "UTF-8");

    // ICU formats the dates only, so its default locale is the one of LC_TIME. ICU would derive
    // a default by itself, but from the messages' variables, once, on first use, and it takes an
    // empty variable for the root locale. Setting it here ties it to the locale just taken,
    // every time this runs.
    const icu::Locale locale(icuLocaleName(timeCategory).c_str());
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
    const tm local = localTime(instant);
    // The last text made, for what it was made from: a menu rebuilt for other reasons asks again
    // for the same date, and finds it here.
    struct Made {
        MicrosecondTime instant;
        long offset;
        std::string zone;
        std::string locale;
        std::string text;
    };
    static std::optional<Made> last;
    const std::string zone = local.tm_zone != nullptr ? local.tm_zone : "";
    const std::string locale = icu::Locale::getDefault().getName();
    if (last && last->instant == instant && last->offset == local.tm_gmtoff && last->zone == zone &&
        last->locale == locale)
        return last->text;

    // What formatting touches of ICU's code and data (3.5 MB, a third of the helper's memory)
    // would stay resident for the life of a program that shows a new date a few times a day; a
    // child process formats it instead. Where none can be made, this process does.
    auto text = textFromChild([&] { return icuText(instant, local); }, formattingDeadline);
    if (!text)
        text = icuText(instant, local);
    last = Made{instant, local.tm_gmtoff, zone, locale, text ? *text : isoLikeText(local)};
    return last->text;
}

} // namespace sollun::platform
