#include "SollunHelper/HelperCoordinator.h"
#include "shared/AtomicFile.h"
#include "tests/support/FakeDaemonTransport.h"
#include "tests/support/FakeEventLoop.h"
#include "tests/support/FakeLoginItem.h"
#include "tests/support/FakeWorkspace.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <unicode/locid.h>
#include <unicode/timezone.h>

#include <libintl.h>
#include <time.h>

#include <clocale>
#include <map>

namespace sollun::helper {
namespace {

using namespace std::chrono_literals;
using namespace test;

constexpr Instant alarm{std::chrono::seconds(1772433000)}; // 2026-03-02T06:30:00Z
const std::string english = "Next alarm: Mar 2, 2026, 6:30 AM";

// ICU's English has a narrow no-break space before AM; compared as a plain one.
std::string plain(std::string text) {
    for (std::size_t at; (at = text.find("\u202F")) != std::string::npos;)
        text.replace(at, std::string_view("\u202F").size(), " ");
    return text;
}

// A catalogue in the C library's format: native byte order, ids sorted, no hash table.
std::string catalogue(const std::map<std::string, std::string>& messages) {
    const auto count = static_cast<std::uint32_t>(messages.size());
    std::vector<std::uint32_t> words{0x950412de, 0, count, 28, 28 + 8 * count, 0, 0};
    std::string strings;
    for (const bool ids : {true, false})
        for (const auto& [id, translation] : messages) {
            const std::string& text = ids ? id : translation;
            words.push_back(static_cast<std::uint32_t>(text.size()));
            words.push_back(static_cast<std::uint32_t>(28 + 16 * count + strings.size()));
            strings += text + '\0';
        }
    return std::string(reinterpret_cast<const char*>(words.data()), words.size() * 4) + strings;
}

// Starts in C.UTF-8 (ICU's en_US_POSIX) and UTC; leaves the process's locale, ICU's defaults and
// the catalogue directory as it found them.
class StatusLineTest : public ::testing::Test {
protected:
    StatusLineTest() {
        std::setlocale(LC_ALL, "C.UTF-8");
        useIcu("en_US_POSIX", "UTC");
    }
    ~StatusLineTest() override {
        std::setlocale(LC_ALL, previousLocale_.c_str());
        icu::TimeZone::adoptDefault(previousZone_);
        UErrorCode status = U_ZERO_ERROR;
        icu::Locale::setDefault(previousIcuLocale_, status);
        bindtextdomain("sollun-helper", previousCatalogues_.c_str());
    }

    void useIcu(const char* locale, const char* zone) {
        tz_.emplace("TZ", zone);
        tzset();
        icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone(zone));
        UErrorCode status = U_ZERO_ERROR;
        icu::Locale::setDefault(icu::Locale(locale), status);
    }
    // For the language "xx", first in LANGUAGE. A new directory each time: the C library keeps
    // a catalogue it has read for as long as its directory is bound.
    void translate(const std::map<std::string, std::string>& messages) {
        const auto root = catalogues_ / std::to_string(++translations_);
        std::filesystem::create_directories(root / "xx/LC_MESSAGES");
        writeFile(root / "xx/LC_MESSAGES/sollun-helper.mo", catalogue(messages));
        bindtextdomain("sollun-helper", root.c_str());
    }
    // The daemon, enabled, accepts (unless it refuses) a wake an hour ahead with `alarmDate`.
    void schedule(std::optional<Instant> alarmDate, std::optional<std::string> refusal = {}) {
        service.status = serviceEnabled;
        std::filesystem::create_directories(dataHome / "group.com.kestrovane.sollun");
        ASSERT_FALSE(writeFileAtomically(
            dataHome / "group.com.kestrovane.sollun/wake-schedule.json",
            *encodeWakeSchedule({loop.now() + 1h, alarmDate, ++revision, std::nullopt})));
        coordinator->reloadSchedule(false);
        loop.runPending();
        for (const auto& connection : connector->made)
            for (auto& request : std::exchange(connection->requests, {}))
                request.textReply(refusal);
        loop.runPending();
    }
    std::string lineFor(std::int64_t status) {
        service.status = status;
        coordinator->daemon().refreshRegistrationState();
        return plain(coordinator->statusText());
    }

    ScopedEnvironmentVariable language_{"LANGUAGE", "xx"};
    std::optional<ScopedEnvironmentVariable> tz_;
    const std::string previousLocale_ = std::setlocale(LC_ALL, nullptr);
    icu::TimeZone* const previousZone_ = icu::TimeZone::createDefault();
    const icu::Locale previousIcuLocale_ = icu::Locale::getDefault();
    const std::string previousCatalogues_ = bindtextdomain("sollun-helper", nullptr);
    TempDir catalogues_;
    int translations_ = 0;

    TempDir dataHome;
    ScopedEnvironmentVariable xdg{"XDG_DATA_HOME", dataHome.path().string()};
    FakeEventLoop loop;
    platform::ScopedMemoryLog log;
    ServiceScript service;
    std::shared_ptr<FakeConnector> connector = std::make_shared<FakeConnector>();
    std::unique_ptr<HelperCoordinator> coordinator = std::make_unique<HelperCoordinator>(
        loop,
        std::make_unique<WakeDaemonController>(loop, std::make_unique<FakeDaemonService>(service),
                                               connector),
        std::make_unique<FakeWorkspace>(), std::make_unique<FakeSystemWake>(),
        std::make_unique<FakeLoginItem>());
    std::int64_t revision = 0;
};

TEST_F(StatusLineTest, EveryStateHasItsLine) {
    const std::tuple<std::int64_t, bool, std::string> rows[] = {
        {serviceEnabled, false, "Active \xE2\x80\x94 no upcoming alarm"},
        {serviceEnabled, true, english},
        {serviceRequiresApproval, true, "Waiting for approval in Login Items"},
        {serviceNotRegistered, false, "Not set up"},
        {serviceNotFound, true, "Not set up"},
        {4, true, "Checking\xE2\x80\xA6"},
    };
    for (const auto& [status, withAlarm, line] : rows) {
        schedule(withAlarm ? std::optional(alarm) : std::nullopt);
        EXPECT_EQ(lineFor(status), line) << status << " " << withAlarm;
    }
    schedule(alarm + 24h, "refused"); // the alarm goes with the refused wake
    EXPECT_EQ(lineFor(serviceEnabled), std::get<2>(rows[0]));
}

TEST_F(StatusLineTest, TheDateIsInTheLocaleAndZoneOfTheUserTheRestAsTranslated) {
    schedule(alarm);
    useIcu("de_DE", "Asia/Kolkata"); // no German catalogue: only the date is German
    EXPECT_EQ(lineFor(serviceEnabled), "Next alarm: 02.03.2026, 12:00");
    useIcu("en_US_POSIX", "UTC");
    const std::pair<const char*, std::string> translations[] = {
        {"%1$s (100%%)", "Mar 2, 2026, 6:30 AM (100%)"},
        {"%d%n %s %s", "%d%n Mar 2, 2026, 6:30 AM %s"}, // not printf
        {"Wecker", english},                            // lost its argument: not used
    };
    for (const auto& [translation, line] : translations) {
        translate({{"Next alarm: %s", translation}, {"Not set up", "Nicht eingerichtet"}});
        EXPECT_EQ(lineFor(serviceEnabled), line) << translation;
    }
    EXPECT_EQ(lineFor(serviceNotFound), "Nicht eingerichtet");
}

} // namespace
} // namespace sollun::helper
