#include "platform/Localization.h"

#include "platform/Installation.h"
#include "platform/Log.h"
#include "platform/linux/ChildText.h"
#include "platform/linux/IcuDateFormat.h"

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

// The ICU locale that writes the dates: LC_TIME's, as setUpLocalization() last took it.
std::string& dateLocale() {
    static std::string locale;
    return locale;
}

} // namespace

void setUpLocalization() {
    takeLocaleFromEnvironment();

    if (const auto directory = localeDirectory())
        bindtextdomain(textDomain, directory->c_str());
    bind_textdomain_codeset(textDomain, "UTF-8");

    // ICU formats the dates only, so they follow LC_TIME.
    dateLocale() = icuLocaleName(timeCategory);
}

std::string localized(const char* english) {
    // The empty message id is reserved for a catalogue's header.
    if (english[0] == '\0')
        return {};
    return dgettext(textDomain, english);
}

std::string mediumDateShortTime(MicrosecondTime instant) {
    const tm local = localTime(instant);
    if (dateLocale().empty())
        dateLocale() = icuLocaleName(timeCategory);
    const auto milliseconds =
        std::chrono::floor<std::chrono::milliseconds>(instant).time_since_epoch().count();
    const auto offset = static_cast<std::int32_t>(local.tm_gmtoff);

    // The last text made, for what it was made from: a menu rebuilt for other reasons asks again
    // for the same date, and finds it here.
    struct Made {
        std::int64_t milliseconds;
        std::int32_t offset;
        std::string locale;
        std::string text;
    };
    static std::optional<Made> last;
    if (last && last->milliseconds == milliseconds && last->offset == offset &&
        last->locale == dateLocale())
        return last->text;

    // ICU is loaded and run in a child process, which ends with it: what formatting touches of
    // ICU would otherwise stay resident for the life of a program that shows a new date a few
    // times a day. A child that cannot be made or fails gives the numeric text, kept as any
    // other: no menu waits for a failing child again.
    const auto text =
        textFromChild([&] { return icuMediumDateShortTime(dateLocale(), milliseconds, offset); },
                      formattingDeadline);
    last = Made{milliseconds, offset, dateLocale(), text ? *text : isoLikeText(local)};
    return last->text;
}

} // namespace sollun::platform
