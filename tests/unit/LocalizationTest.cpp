// Dates and texts as the helper shows them, with the catalogues this build made, and the watch on
// the time zone setting.

#include "platform/Localization.h"

#include "platform/TimeZoneWatch.h"
#include "platform/linux/MessageCatalogue.h"
#include "platform/linux/SdEventLoop.h"
#include "tests/support/LoopWatchdog.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"
#include "tests/support/Texts.h"

#include <gtest/gtest.h>
#include <unicode/utypes.h>

#include <time.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace sollun::platform {
namespace {

using test::plain;
using test::ScopedEnvironmentVariable;
using Instant = std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds>;

constexpr Instant winter{std::chrono::seconds(1772433000)};     // 2026-03-02T06:30:00Z
constexpr Instant summer{std::chrono::seconds(1782894600)};     // 2026-07-01T08:30:00Z
constexpr Instant medieval{std::chrono::seconds(-30605016600)}; // 1000-03-02T06:30:00Z

// How the C library sees the instant locally, written as ICU's English medium date.
std::string libcText(Instant instant) {
    const time_t seconds =
        std::chrono::floor<std::chrono::seconds>(instant).time_since_epoch().count();
    tzset(); // localtime_r need not look at TZ again
    tm local{};
    localtime_r(&seconds, &local);
    char text[64];
    return std::string(text, strftime(text, sizeof text, "%b %-d, %Y, %-I:%M %p", &local));
}

class Localization : public ::testing::Test {
protected:
    // The variables a locale comes from, each test setting its own.
    ScopedEnvironmentVariable all{"LC_ALL", std::nullopt};
    ScopedEnvironmentVariable lang{"LANG", "C.UTF-8"};
    ScopedEnvironmentVariable time{"LC_TIME", std::nullopt};
    ScopedEnvironmentVariable messages{"LC_MESSAGES", std::nullopt};
    ScopedEnvironmentVariable language{"LANGUAGE", std::nullopt};
    ScopedEnvironmentVariable zone{"TZ", "UTC"};
};

// Each zone after another, in one process: the formatting keeps none of them. A `right/` zone's
// time_t counts leap seconds: its clock is 27 s behind, as `date` shows it.
TEST_F(Localization, DatesShowTheCLibrarysLocalTimeForAnyZoneItTakes) {
    setUpLocalization();
    const std::pair<const char*, Instant> cases[] = {
        {"CET-1CEST,M3.5.0,M10.5.0/3", winter},
        {"CET-1CEST,M3.5.0,M10.5.0/3", summer},
        {"<+0545>-5:45", winter},
        {"<+24>-24", winter}, // offsets of a day, beyond ICU's own
        {"<-2430>24:30", winter},
        {"America/New_York", summer},
        {"UTC", medieval}, // in the proleptic Gregorian calendar, as the C library counts
        {"Europe/Amsterdam", medieval}, // local mean time: 19 min 32 s ahead
    };
    for (const auto& [tz, instant] : cases) {
        ScopedEnvironmentVariable zoneNow("TZ", tz);
        EXPECT_EQ(plain(mediumDateShortTime(instant)), libcText(instant)) << tz;
    }
    // ICU did its work elsewhere, and left nothing of itself here.
    const auto maps = test::readFile("/proc/self/maps");
    EXPECT_EQ(maps.find("libicu"), std::string::npos);

    if (!std::filesystem::exists("/usr/share/zoneinfo/right/Europe/Berlin"))
        GTEST_SKIP() << "no right/ zones here (Debian 13 has them in tzdata-legacy)";
    ScopedEnvironmentVariable berlin("TZ", "right/Europe/Berlin");
    EXPECT_EQ(plain(mediumDateShortTime(winter)), libcText(winter)); // 7:29 AM
}

// ICU would take its data from where ICU_DATA and ICU_TIMEZONE_FILES_DIR say, here an English
// and a UTC five hours ahead of the user's own making, and fails on a locale that is a path: none
// of it reaches the date.
TEST_F(Localization, DatesTakeNothingOfIcuFromTheEnvironment) {
    test::TempDir data;
    std::filesystem::create_directory(data / U_ICUDATA_NAME);
    test::writeFile(data / "en.txt", "en { calendar { gregorian { DateTimePatterns { \"\", \"\", "
                                     "\"\", \"'made' h:mm\", \"\", \"\", \"'made' d\", \"\", "
                                     "\"{1} {0}\", \"{1} {0}\", \"{1} {0}\", \"{1} {0}\", "
                                     "\"{1} {0}\" } } } }\n");
    test::writeFile(data / "zoneinfo64.txt",
                    "zoneinfo64:table(nofallback) { Zones:array { :table { typeOffsets:intvector { "
                    "18000, 0 } } } Names { \"UTC\" } }\n");
    for (const auto* made : {"en.txt", "zoneinfo64.txt"})
        if (test::runProcess(
                {"genrb", "-q", "-d", (data / U_ICUDATA_NAME).string(), (data / made).string()})
                .exitCode != 0)
            GTEST_SKIP() << "no genrb to make ICU data with (icu-devtools)";
    ScopedEnvironmentVariable icuData("ICU_DATA", data.path().string());
    ScopedEnvironmentVariable zones("ICU_TIMEZONE_FILES_DIR", (data / U_ICUDATA_NAME).string());
    ScopedEnvironmentVariable english("LC_TIME", "en_US.UTF-8");
    setUpLocalization();
    EXPECT_EQ(plain(mediumDateShortTime(summer)), "Jul 1, 2026, 8:30 AM");

    ScopedEnvironmentVariable path("LC_TIME", (data / U_ICUDATA_NAME / "en").string());
    setUpLocalization();
    EXPECT_EQ(plain(mediumDateShortTime(winter)), "Mar 2, 2026, 6:30 AM");
}

// Locales the system need not have: ICU has its own data, and the texts follow LANGUAGE, else the
// language of LC_MESSAGES, whatever the C library makes of C.UTF-8.
TEST_F(Localization, DatesFollowLcTimeAndTextsLanguageOrLcMessages) {
    struct Case {
        const char* lang;
        const char* time;
        const char* messages;
        const char* language;
        const char* date;
        const char* text;
    };
    const Case cases[] = {
        {"C.UTF-8", "de_DE.UTF-8", nullptr, "fr", "02.03.2026, 06:30", "Non configuré"},
        // A locale the system lacks costs its own categories only.
        {"xx_YY.UTF-8", "C.UTF-8", nullptr, "pt_BR", "Mar 2, 2026, 6:30 AM", "Não configurado"},
        {"C.UTF-8", nullptr, "de_DE.UTF-8", nullptr, "Mar 2, 2026, 6:30 AM", "Nicht eingerichtet"},
        // In order, as far as the first that has a catalogue; English from "C" on.
        {"C.UTF-8", nullptr, nullptr, "xx_YY::fr:de", "Mar 2, 2026, 6:30 AM", "Non configuré"},
        {"C.UTF-8", nullptr, nullptr, "xx:C:de", "Mar 2, 2026, 6:30 AM", "Not set up"},
        // A name, never a path (to the German catalogue, here).
        {"C.UTF-8", nullptr, nullptr, "fr/../de", "Mar 2, 2026, 6:30 AM", "Not set up"},
        // The C locale asked for is English, as POSIX has it.
        {"C", nullptr, nullptr, "de", "Mar 2, 2026, 6:30 AM", "Not set up"},
    };
    const auto orUnset = [](const char* value) {
        return value ? std::optional<std::string>(value) : std::nullopt;
    };
    for (const auto& c : cases) {
        ScopedEnvironmentVariable langNow("LANG", c.lang), timeNow("LC_TIME", orUnset(c.time)),
            messagesNow("LC_MESSAGES", orUnset(c.messages)),
            languageNow("LANGUAGE", orUnset(c.language));
        setUpLocalization();
        SCOPED_TRACE(::testing::Message() << c.lang << " " << c.language);
        EXPECT_EQ(plain(mediumDateShortTime(winter)), c.date);
        // The time alone, as it ends the date.
        const std::string_view date = c.date;
        EXPECT_EQ(plain(shortTime(winter)), date.substr(date.rfind(", ") + 2));
        EXPECT_EQ(localized("Not set up"), c.text);
    }
}

// The 32-bit word at `offset` replaced, in the little-endian layout.
std::string patched(std::string bytes, std::size_t offset, std::uint32_t word) {
    for (int byte = 0; byte < 4; ++byte)
        bytes[offset + byte] = static_cast<char>(word >> 8 * byte);
    return bytes;
}

const std::map<std::string, std::string> germanTexts{
    {"", "Content-Type: text/plain; charset=UTF-8\n"},
    {"Not set up", "Nicht eingerichtet"},
    {std::string("%d alarm\0%d alarms", 18), std::string("%d Wecker\0%d Wecker", 19)},
    {"Quit", "Beenden"},
};

TEST(MessageCatalogue, FindsTextsInEitherByteOrderAndThePluralsSingular) {
    for (const bool bigEndian : {false, true}) {
        const auto parsed = MessageCatalogue::parse(test::messageCatalogue(germanTexts, bigEndian));
        ASSERT_TRUE(parsed) << bigEndian;
        EXPECT_EQ(parsed->find("Not set up"), "Nicht eingerichtet");
        EXPECT_EQ(parsed->find("Quit"), "Beenden");
        EXPECT_EQ(parsed->find("%d alarm"), "%d Wecker");
        EXPECT_EQ(parsed->find("%d alarms"), std::nullopt);
        EXPECT_EQ(parsed->find("Quit "), std::nullopt);
        EXPECT_EQ(parsed->find("Checking…"), std::nullopt);
    }
}

// The catalogue comes from a file anyone with the install directory's rights may have replaced:
// whatever it holds, reading stays within it (the sanitizer build checks that).
TEST(MessageCatalogue, RefusesWhatIsNoCatalogueOrPointsOutsideIt) {
    const auto good = test::messageCatalogue(germanTexts);
    const std::pair<const char*, std::string> cases[] = {
        {"empty", ""},
        {"header cut short", good.substr(0, 27)},
        {"other magic", patched(good, 0, 0x950412df)},
        {"later major revision", patched(good, 4, 0x20000)},
        {"originals' table past the end",
         patched(good, 12, static_cast<std::uint32_t>(good.size()))},
        {"translations' table past the end",
         patched(good, 16, static_cast<std::uint32_t>(good.size() - 8))},
        {"count whose tables wrap around", patched(good, 8, 0x20000001)},
        {"text past the end", patched(good, 28 + 4, static_cast<std::uint32_t>(good.size() + 1))},
        {"text running past the end", patched(good, 28 + 8 * 4, 0xFFFFFFFF)},
        {"texts in Latin-1",
         test::messageCatalogue({{"", "Content-Type: text/plain; charset=ISO-8859-1\n"},
                                 {"Not set up", "Non configur\xE9"}})},
    };
    for (const auto& [what, bytes] : cases)
        EXPECT_FALSE(MessageCatalogue::parse(bytes)) << what;
    for (std::size_t size = 0; size < good.size(); ++size)
        if (const auto parsed = MessageCatalogue::parse(good.substr(0, size)))
            parsed->find("Quit");
}

TEST(MessageCatalogue, NamesEachLocalesCataloguesMostSpecificFirst) {
    using Names = std::vector<std::string>;
    EXPECT_EQ(
        catalogueNames("de_DE.UTF-8@euro"),
        (Names{"de_DE.UTF-8@euro", "de_DE.utf8@euro", "de_DE@euro", "de.UTF-8@euro", "de.utf8@euro",
               "de@euro", "de_DE.UTF-8", "de_DE.utf8", "de_DE", "de.UTF-8", "de.utf8", "de"}));
    EXPECT_EQ(catalogueNames("pt_BR"), (Names{"pt_BR", "pt"}));
}

TEST(TimeZoneWatch, CallsBackOnceForEachChangeOfTheSetting) {
    test::TempDir etc;
    const auto setting = etc / "localtime";
    test::writeFile(setting, "UTC");
    SdEventLoop loop;
    int calls = 0;
    auto watch = std::get<Source>(watchTimeZone(
        loop,
        [&] {
            ++calls;
            loop.exit(0);
        },
        setting));
    const std::function<void()> changes[] = {
        [&] { // replaced, as timedatectl does it, among changes of other files
            test::writeFile(etc / "hostname", "host");
            test::writeFile(etc / "localtime.new", "CET");
            std::filesystem::rename(etc / "localtime.new", setting);
        },
        [&] { test::writeFile(setting, "JST"); },
        [&] { std::filesystem::remove(setting); },
    };
    for (const auto& change : changes) {
        calls = 0;
        change();
        ASSERT_EQ(test::runWithWatchdog(loop), 0);
        EXPECT_EQ(calls, 1);
    }
    const auto ignored = [] {};
    EXPECT_TRUE(std::holds_alternative<std::error_code>(
        watchTimeZone(loop, ignored, etc / "missing" / "localtime")));
}

} // namespace
} // namespace sollun::platform
