#include "shared/WakeSchedule.h"

#include "shared/AppGroup.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace sollun {
namespace {

using std::chrono::seconds;
using namespace std::string_literals;

const Instant wakeAt{seconds{1'772'429'100}};  // 2026-03-02T05:25:00Z
const Instant alarmAt{seconds{1'772'429'400}}; // 2026-03-02T05:30:00Z

// Round trips and arbitrary input are the fuzzer's; here, what the main application may write.
TEST(WakeSchedule, DecodesWhatTheMainApplicationWritesAndRefusesAnyOtherDocumentWhole) {
    const std::pair<std::string, std::optional<WakeSchedule>> cases[] = {
        {R"({"wakeDate":"2026-03-02T05:25:00Z","alarmDate":"2026-03-02T05:30:00Z",)"
         R"("revision":42,"writerVersion":"3.1"})",
         WakeSchedule{wakeAt, alarmAt, 42, "3.1"}},
        {R"({"wakeDate":null,"revision":-9223372036854775808,"writerVersion":null})",
         WakeSchedule{{}, {}, INT64_MIN, {}}},
        // Offsets, and unknown keys (differently cased known ones among them) ignored.
        {R"({"revision":2,"wakeDate":"2026-03-02T07:25:00+02:00","WakeDate":"soon","x":[1]})",
         WakeSchedule{wakeAt, {}, 2, {}}},
        {"null", {}},
        {R"({"revision":1}{"revision":2})", {}},
        {std::string(100'000, '['), {}},
        {R"({})", {}},
        {R"({"revision":"42"})", {}},
        {R"({"revision":42.0})", {}},
        {R"({"revision":9223372036854775808})", {}},
        {R"({"revision":1,"wakeDate":"2026-03-02T05:25:00"})", {}},
        {R"({"revision":1,"alarmDate":1772429100})", {}},
        {R"({"revision":1,"writerVersion":3.1})", {}},
    };
    for (const auto& [json, expected] : cases)
        EXPECT_EQ(decodeWakeSchedule(json), expected) << json.substr(0, 80);
    EXPECT_EQ(encodeWakeSchedule({{}, alarmAt, 0, "a\"b"}),
              R"({"alarmDate":"2026-03-02T05:30:00Z","revision":0,"writerVersion":"a\"b"})");
}

TEST(WakeSchedule, ReadsRegularFilesUpToTheSizeLimitOnly) {
    test::TempDir dir;
    const auto path = dir / wakeScheduleFileName;
    EXPECT_EQ(readWakeSchedule(path), std::nullopt);
    // Trailing whitespace keeps the document valid at any size.
    std::string json = R"({"revision":7})";
    json.resize(wakeScheduleSizeLimit, ' ');
    test::writeFile(path, json);
    EXPECT_EQ(readWakeSchedule(path), (WakeSchedule{{}, {}, 7, {}}));
    test::writeFile(path, json + ' ');
    EXPECT_EQ(readWakeSchedule(path), std::nullopt);

    std::filesystem::remove(path);
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    // Should opening the FIFO wait for a writer after all, SIGALRM ends the run instead.
    ::alarm(10);
    EXPECT_EQ(readWakeSchedule(path), std::nullopt);
    ::alarm(0);
}

TEST(AppGroupContainerURL, FollowsTheXdgDataHomeRulesAfresh) {
    const std::optional<std::string> unset;
    const std::tuple<std::optional<std::string>, std::optional<std::string>,
                     std::optional<std::filesystem::path>>
        cases[] = {
            {"/xdg/", unset, "/xdg/group.com.kestrovane.sollun"},
            {"xdg", "/home/u", "/home/u/.local/share/group.com.kestrovane.sollun"},
            {"", "/home/u", "/home/u/.local/share/group.com.kestrovane.sollun"},
            {unset, "home/u", std::nullopt},
            {"xdg", "", std::nullopt},
            {unset, unset, std::nullopt},
        };
    for (const auto& [dataHome, home, expected] : cases) {
        test::ScopedEnvironmentVariable dataHomeVariable{"XDG_DATA_HOME", dataHome};
        test::ScopedEnvironmentVariable homeVariable{"HOME", home};
        EXPECT_EQ(appGroupContainerURL(), expected) << dataHome.value_or("-") << home.value_or("-");
        EXPECT_EQ(wakeScheduleFileURL(),
                  expected ? std::optional{*expected / "wake-schedule.json"} : std::nullopt);
    }
}

} // namespace
} // namespace sollun
