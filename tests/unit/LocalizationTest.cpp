// Dates and texts as the helper shows them, with the catalogues this build made, and the watch on
// the time zone setting.

#include "platform/Localization.h"

#include "platform/TimeZoneWatch.h"
#include "platform/linux/SdEventLoop.h"
#include "tests/support/LoopWatchdog.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <time.h>

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace sollun::platform {
namespace {

using test::ScopedEnvironmentVariable;
using Instant = std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds>;

constexpr Instant winter{std::chrono::seconds(1772433000)};     // 2026-03-02T06:30:00Z
constexpr Instant summer{std::chrono::seconds(1782894600)};     // 2026-07-01T08:30:00Z
constexpr Instant medieval{std::chrono::seconds(-30605016600)}; // 1000-03-02T06:30:00Z

// ICU's English has a narrow no-break space before AM; compared as a plain one.
std::string plain(std::string_view text) {
    constexpr std::string_view narrow = "\u202F";
    std::string result;
    for (std::size_t at; (at = text.find(narrow)) != std::string_view::npos;) {
        result.append(text.substr(0, at)).push_back(' ');
        text.remove_prefix(at + narrow.size());
    }
    return result.append(text);
}

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

// Each zone after another, in one process: the formatting keeps none of them.
TEST_F(Localization, DatesShowTheCLibrarysLocalTimeForAnyZoneItTakes) {
    setUpLocalization();
    const std::pair<const char*, Instant> cases[] = {
        {"CET-1CEST,M3.5.0,M10.5.0/3", winter},
        {"CET-1CEST,M3.5.0,M10.5.0/3", summer},
        {"<+0545>-5:45", winter},
        {"America/New_York", summer},
        {"UTC", medieval}, // in the proleptic Gregorian calendar, as the C library counts
        {"Europe/Amsterdam", medieval}, // local mean time: 19 min 32 s ahead
    };
    for (const auto& [tz, instant] : cases) {
        ScopedEnvironmentVariable zoneNow("TZ", tz);
        EXPECT_EQ(plain(mediumDateShortTime(instant)), libcText(instant)) << tz;
    }
    ScopedEnvironmentVariable nepal("TZ", "<+0545>-5:45");
    EXPECT_EQ(plain(mediumDateShortTime(winter)), "Mar 2, 2026, 12:15 PM");

    // ICU did its work elsewhere, and left nothing of itself here.
    const auto maps = test::readFile("/proc/self/maps");
    EXPECT_EQ(maps.find("libicu"), std::string::npos);
}

// Locales the system need not have: ICU has its own data, and C.UTF-8 still takes LANGUAGE.
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
        {"C.UTF-8", nullptr, "de_DE.UTF-8", "de", "Mar 2, 2026, 6:30 AM", "Nicht eingerichtet"},
        // A locale the system lacks costs its own categories only.
        {"xx_YY.UTF-8", "C.UTF-8", nullptr, "pt_BR", "Mar 2, 2026, 6:30 AM", "Não configurado"},
    };
    for (const auto& c : cases) {
        ScopedEnvironmentVariable langNow("LANG", c.lang);
        ScopedEnvironmentVariable timeNow("LC_TIME", c.time ? std::optional(c.time) : std::nullopt);
        ScopedEnvironmentVariable messagesNow("LC_MESSAGES", c.messages ? std::optional(c.messages)
                                                                        : std::nullopt);
        ScopedEnvironmentVariable languageNow("LANGUAGE", c.language);
        setUpLocalization();
        EXPECT_EQ(plain(mediumDateShortTime(winter)), c.date) << c.lang << " " << c.language;
        EXPECT_EQ(localized("Not set up"), c.text) << c.lang << " " << c.language;
    }
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
