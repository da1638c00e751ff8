#include "shared/WakeSchedule.h"

#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

namespace sollun {
namespace {

using std::chrono::seconds;
using namespace std::string_literals;

const Instant wakeAt{seconds{1'772'429'100}};  // 2026-03-02T05:25:00Z
const Instant alarmAt{seconds{1'772'429'400}}; // 2026-03-02T05:30:00Z
const std::string example = R"({"wakeDate":"2026-03-02T05:25:00Z","alarmDate":)"
                            R"("2026-03-02T05:30:00Z","revision":42,"writerVersion":"3.1"})";

TEST(WakeScheduleDecode, AcceptsValidDocuments) {
    const struct {
        std::string json;
        WakeSchedule expected;
    } cases[] = {
        {example, {wakeAt, alarmAt, 42, "3.1"}},
        {R"({"revision":43})", {{}, {}, 43, {}}},
        {R"({"wakeDate":null,"alarmDate":null,"revision":1,"writerVersion":null})",
         {{}, {}, 1, {}}},
        {" {\n \"revision\" : 2 ,\t\"wakeDate\":\"2026-03-02T07:25:00+02:00\" } \n",
         {wakeAt, {}, 2, {}}},
        // Unknown keys, differently cased known ones among them, are ignored whatever they hold.
        {R"({"revision":3,"extra":{"a":[1,2.5,null]},"WakeDate":"soon","REVISION":"x"})",
         {{}, {}, 3, {}}},
        {R"({"revision":-9223372036854775808})", {{}, {}, INT64_MIN, {}}},
        {R"({"revision":9223372036854775807})", {{}, {}, INT64_MAX, {}}},
        {R"({"revision":5,"writerVersion":"\u00e9\ud83d\ude00"})",
         {{}, {}, 5, "\xc3\xa9\xf0\x9f\x98\x80"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decodeWakeSchedule(c.json), c.expected) << c.json;
    }
    EXPECT_NE(decodeWakeSchedule(example), (WakeSchedule{wakeAt, alarmAt, 42, std::nullopt}));
}

TEST(WakeScheduleDecode, RejectsInvalidDocumentsWhole) {
    for (const std::string& json :
         {// Not one JSON object.
          ""s, " \n"s, "null"s, "[]"s, "43"s, R"({"revision":1)"s,
          R"({"revision":1}{"revision":2})"s, R"({"revision":1},)"s, R"(/* c */{"revision":1})"s,
          R"({'revision':1})"s, "{\"revision\":1,\"writerVersion\":\"\xff\"}"s,
          // Nesting deep enough to overflow a recursive parser or destructor.
          std::string(100'000, '['), std::string(100'000, '[') + std::string(100'000, ']'),
          std::string(50'000, '{') + "\"revision\":1",
          // Revision missing, null or not an int64 integer.
          "{}"s, R"({"revision":null})"s, R"({"revision":"42"})"s, R"({"revision":42.0})"s,
          R"({"revision":4.2e1})"s, R"({"revision":true})"s, R"({"revision":9223372036854775808})"s,
          R"({"revision":-9223372036854775809})"s,
          // Optional fields of the wrong type or form.
          R"({"revision":1,"wakeDate":"2026-03-02T05:25:00"})"s,
          R"({"revision":1,"alarmDate":"2026-03-02T05:30:00.000+0000"})"s,
          R"({"revision":1,"wakeDate":1772429100})"s, R"({"revision":1,"wakeDate":{}})"s,
          R"({"revision":1,"writerVersion":3.1})"s, R"({"revision":1,"writerVersion":["3.1"]})"s}) {
        EXPECT_EQ(decodeWakeSchedule(json), std::nullopt) << json.substr(0, 80);
    }
}

TEST(WakeScheduleEncode, WritesDeclarationOrderAndLeavesAbsentOut) {
    const struct {
        std::string expected;
        WakeSchedule schedule;
    } cases[] = {
        {example, {wakeAt, alarmAt, 42, "3.1"}},
        {R"({"revision":-43})", {{}, {}, -43, {}}},
        {R"({"alarmDate":"2026-03-02T05:30:00Z","revision":0,"writerVersion":"a\"b\\"})",
         {{}, alarmAt, 0, "a\"b\\"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(encodeWakeSchedule(c.schedule), c.expected);
        EXPECT_EQ(decodeWakeSchedule(c.expected), c.schedule);
    }
}

TEST(ReadWakeSchedule, ReadsRegularFilesUpToTheSizeLimitOnly) {
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
    test::writeFile(path, "");
    EXPECT_EQ(readWakeSchedule(path), std::nullopt);

    std::filesystem::remove(path);
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    // Should opening the FIFO wait for a writer after all, SIGALRM ends the run instead.
    ::alarm(10);
    EXPECT_EQ(readWakeSchedule(path), std::nullopt);
    ::alarm(0);
}

} // namespace
} // namespace sollun
