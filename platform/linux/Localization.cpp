#include "platform/Localization.h"

#include "platform/Installation.h"
#include "platform/Log.h"
#include "platform/linux/ChildText.h"
#include "platform/linux/Fd.h"
#include "platform/linux/IcuDateFormat.h"
#include "platform/linux/MessageCatalogue.h"
#include "platform/linux/XdgDirectories.h"

#include <fcntl.h>
#include <libintl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

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
constexpr Category messagesCategory{LC_MESSAGES, "LC_MESSAGES"};
constexpr std::array<Category, 6> categories{{{LC_CTYPE, "LC_CTYPE"},
                                              {LC_NUMERIC, "LC_NUMERIC"},
                                              timeCategory,
                                              {LC_COLLATE, "LC_COLLATE"},
                                              {LC_MONETARY, "LC_MONETARY"},
                                              messagesCategory}};

// What the environment asks for `category`: LC_ALL, its own variable, then LANG.
const char* requestedLocale(const Category& category) {
    for (const char* variable : {"LC_ALL", category.variable, "LANG"})
        if (const char* value = environmentValue(variable))
            return value;
    return "C";
}

// The environment's locale, category by category: one the system lacks (say LC_TIME=en_DK.UTF-8,
// never generated) costs that category only, which falls back to C.UTF-8, instead of taking every
// other one down to "C" with it.
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
// "en_US_POSIX", ICU's equivalent, and so does a name that is none, such as a path: ICU, given
// "/tmp/x", does not even format.
std::string icuLocaleName(const Category& category) {
    const char* name = std::setlocale(category.id, nullptr);
    if (name == nullptr || isCLocale(withoutCodeset(name)))
        name = requestedLocale(category);
    const std::string_view id = withoutCodeset(name);
    const bool named = std::all_of(id.begin(), id.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '-';
    });
    return isCLocale(id) || !named ? "en_US_POSIX" : std::string(id);
}

// The languages whose catalogues the program reads itself, in gettext's order, when the C library
// will not find the texts the environment asks for: the messages locale it took is C.UTF-8 (or
// "C"), where glibc from 2.41 on ignores LANGUAGE and none takes the language of a locale the
// system lacks. Nothing when the C library is to look them up: in a locale the system has, and in
// a plain "C" or "POSIX" asked for, which is English whatever LANGUAGE says.
std::optional<std::vector<std::string>> ownCatalogueLanguages() {
    const char* taken = std::setlocale(LC_MESSAGES, nullptr);
    const std::string_view asked = requestedLocale(messagesCategory);
    if ((taken != nullptr && !isCLocale(withoutCodeset(taken))) || isCLocale(asked))
        return std::nullopt;
    std::vector<std::string> languages;
    std::string_view list = asked;
    if (const char* language = environmentValue("LANGUAGE"))
        list = language;
    for (const std::string_view language : colonSeparated(list)) {
        // A language names a catalogue directory, never a path to one elsewhere: the helper runs
        // setgid, and LANGUAGE is its user's to set.
        if (language.empty() || language.front() == '.' ||
            language.find('/') != std::string_view::npos)
            continue;
        // English, as the texts are: no later language is looked at.
        if (isCLocale(withoutCodeset(language)))
            break;
        languages.emplace_back(language);
    }
    return languages;
}

// The catalogues the program reads itself, most wanted first, and what they were read for.
struct OwnCatalogues {
    std::vector<std::string> languages;
    std::string directory;
    bool read = false;
    std::vector<MessageCatalogue> catalogues;
};
std::optional<OwnCatalogues>& ownCatalogues() {
    static std::optional<OwnCatalogues> catalogues;
    return catalogues;
}

// A catalogue no bigger than any a program ships; a larger file is not taken for one.
constexpr std::uintmax_t catalogueSizeLimit = 16 << 20;

// The catalogue at `path`; nothing when there is none. Opened without waiting: a FIFO's open
// would wait for a writer, and fstat then turns it away.
std::optional<MessageCatalogue> readCatalogue(const std::filesystem::path& path) {
    const Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd)
        return std::nullopt;
    struct stat status = {};
    std::string bytes;
    bool whole = fstat(fd.get(), &status) == 0 && S_ISREG(status.st_mode) &&
                 static_cast<std::uintmax_t>(status.st_size) <= catalogueSizeLimit;
    if (whole) {
        bytes.resize(static_cast<std::size_t>(status.st_size));
        for (std::size_t used = 0; whole && used < bytes.size();) {
            const ssize_t got = read(fd.get(), bytes.data() + used, bytes.size() - used);
            whole = got > 0 || (got < 0 && errno == EINTR);
            used += got > 0 ? static_cast<std::size_t>(got) : 0;
        }
    }
    std::optional<MessageCatalogue> catalogue;
    if (whole)
        catalogue = MessageCatalogue::parse(std::move(bytes));
    if (!catalogue)
        log().error("%{public}s is no catalogue the helper can read, ignoring", path.string());
    return catalogue;
}

// The catalogues of `own`'s languages in the directory the domain is bound to now (the tests bind
// their own), read again when that has changed: as the C library, a catalogue once read is kept.
const std::vector<MessageCatalogue>& catalogues(OwnCatalogues& own) {
    const char* bound = bindtextdomain(textDomain, nullptr);
    const std::string directory = bound != nullptr ? bound : "";
    if (own.read && own.directory == directory)
        return own.catalogues;
    own.read = true;
    own.directory = directory;
    own.catalogues.clear();
    for (const auto& language : own.languages)
        for (const auto& name : catalogueNames(language))
            if (auto catalogue = readCatalogue(std::filesystem::path(directory) / name /
                                               "LC_MESSAGES" / (std::string(textDomain) + ".mo")))
                own.catalogues.push_back(std::move(*catalogue));
    return own.catalogues;
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
std::string isoLikeText(const tm& local, IcuDateStyle style) {
    std::array<char, 64> text{};
    const std::size_t length = style == IcuDateStyle::shortTime
                                   ? strftime(text.data(), text.size(), "%H:%M", &local)
                                   : strftime(text.data(), text.size(), "%Y-%m-%d %H:%M", &local);
    return std::string(text.data(), length);
}

// The local time as icuDateText() takes it: the milliseconds from 1970-01-01 00:00 to it on the
// wall clock the C library gave. Those fields, not an offset from the instant, are what every
// other program shows: a `right/` zone's clock is behind by the leap seconds, whose 23:59:60
// stays in its minute here. Nothing for a year the calendar cannot hold.
std::optional<std::int64_t> wallClockMilliseconds(const tm& local) {
    using namespace std::chrono;
    const long long fullYear = local.tm_year + 1900LL;
    if (fullYear < int{year::min()} || fullYear > int{year::max()})
        return std::nullopt;
    const year_month_day date{year{static_cast<int>(fullYear)},
                              month{static_cast<unsigned>(local.tm_mon + 1)},
                              day{static_cast<unsigned>(local.tm_mday)}};
    if (!date.ok())
        return std::nullopt;
    const auto time = sys_days{date} + hours{local.tm_hour} + minutes{local.tm_min} +
                      seconds{std::min(local.tm_sec, 59)};
    return duration_cast<milliseconds>(time.time_since_epoch()).count();
}

// The ICU locale that writes the dates: LC_TIME's, as setUpLocalization() last took it.
std::string& dateLocale() {
    static std::string locale;
    return locale;
}

// `instant` in `style`, as the locale taken for dates writes it at its local time.
std::string formattedDate(MicrosecondTime instant, IcuDateStyle style) {
    const tm local = localTime(instant);
    if (dateLocale().empty())
        dateLocale() = icuLocaleName(timeCategory);
    const auto wallClock = wallClockMilliseconds(local);
    if (!wallClock)
        return isoLikeText(local, style);

    // The last text made in each style, for what it was made from: a menu rebuilt for other
    // reasons asks again for the same date, and finds it here.
    struct Made {
        std::int64_t wallClock;
        std::string locale;
        std::string text;
    };
    static std::array<std::optional<Made>, 2> made;
    auto& last = made[static_cast<std::size_t>(style)];
    if (last && last->wallClock == *wallClock && last->locale == dateLocale())
        return last->text;

    // ICU is loaded and run in a child process, which ends with it: what formatting touches of
    // ICU would otherwise stay resident for the life of a program that shows a new date a few
    // times a day. A child that cannot be made or fails gives the numeric text, kept as any
    // other: no menu waits for a failing child again.
    const auto text = textFromChild([&] { return icuDateText(style, dateLocale(), *wallClock); },
                                    formattingDeadline);
    last = Made{*wallClock, dateLocale(), text ? *text : isoLikeText(local, style)};
    return last->text;
}

} // namespace

void setUpLocalization() {
    takeLocaleFromEnvironment();

    if (const auto directory = localeDirectory())
        bindtextdomain(textDomain, directory->c_str());
    bind_textdomain_codeset(textDomain, "UTF-8");
    if (auto languages = ownCatalogueLanguages())
        ownCatalogues() = OwnCatalogues{std::move(*languages), {}, false, {}};
    else
        ownCatalogues().reset();

    // ICU formats the dates only, so they follow LC_TIME.
    dateLocale() = icuLocaleName(timeCategory);
}

std::string localized(const char* english) {
    // The empty message id is reserved for a catalogue's header.
    if (english[0] == '\0')
        return {};
    if (auto& own = ownCatalogues()) {
        for (const auto& catalogue : catalogues(*own)) {
            const auto translation = catalogue.find(english);
            if (translation && !translation->empty())
                return std::string(*translation);
        }
        return english;
    }
    return dgettext(textDomain, english);
}

std::string mediumDateShortTime(MicrosecondTime instant) {
    return formattedDate(instant, IcuDateStyle::mediumDateShortTime);
}

std::string shortTime(MicrosecondTime instant) {
    return formattedDate(instant, IcuDateStyle::shortTime);
}

} // namespace sollun::platform
