#include "shared/Rfc3339.h"

#include <gtest/gtest.h>

namespace sollun {
namespace {

using std::chrono::nanoseconds;
using std::chrono::seconds;

Instant at(std::int64_t wholeSeconds, std::int64_t nanos = 0) {
    return Instant{seconds{wholeSeconds}} + nanoseconds{nanos};
}

constexpr std::int64_t wake = 1'772'429'100; // 2026-03-02T05:25:00Z

TEST(Rfc3339Parse, AcceptsTheProfileAndKeepsTheFractionExactly) {
    const struct {
        const char* text;
        Instant expected;
    } cases[] = {
        {"2026-03-02T05:25:00Z", at(wake)},
        {"2026-03-02T07:25:00+02:00", at(wake)},
        {"2026-03-01T23:55:00-05:30", at(wake)},
        {"2026-03-02T05:25:00-00:00", at(wake)},
        {"2026-03-03T05:24:00+23:59", at(wake)},
        {"2026-03-02T05:25:00.5Z", at(wake, 500'000'000)},
        {"2026-03-02T05:25:00.000000001Z", at(wake, 1)},
        {"2026-03-02T05:25:00.123456789+01:00", at(wake - 3600, 123'456'789)},
        {"2000-02-29T00:00:00Z", at(951'782'400)},
        {"1970-01-01T00:00:00Z", at(0)},
        {"1969-12-31T23:59:59.5Z", at(-1, 500'000'000)},
        // The very ends of what the clock holds, also reached through an offset.
        {"2262-04-11T23:47:16.854775807Z", Instant::max()},
        {"2262-04-12T00:47:16.854775807+01:00", Instant::max()},
        {"1677-09-21T00:12:43.145224192Z", Instant::min()},
        {"1677-09-20T23:12:43.145224192-01:00", Instant::min()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(rfc3339::parse(c.text), c.expected);
    }
}

TEST(Rfc3339Parse, RefusesEverythingElse) {
    for (std::string_view text :
         {// Incomplete, or not in the profile's exact shape.
          "", "2026-03-02", "2026-03-02T05:25:00", "2026-03-02T05:25Z", "2026-3-02T05:25:00Z",
          "+2026-03-02T05:25:00Z", "2026-03-0xT05:25:00Z", "2026-03-02t05:25:00Z",
          "2026-03-02T05:25:00z", "2026-03-02 05:25:00Z", " 2026-03-02T05:25:00Z",
          "2026-03-02T05:25:00Z ",
          // Fields out of range.
          "2026-13-01T00:00:00Z", "2026-00-01T00:00:00Z", "2026-01-00T00:00:00Z",
          "2026-04-31T00:00:00Z", "2026-02-29T00:00:00Z", "1900-02-29T00:00:00Z",
          "2026-03-02T24:00:00Z", "2026-03-02T05:60:00Z", "2026-12-31T23:59:60Z",
          // Fraction and zone.
          "2026-03-02T05:25:00.Z", "2026-03-02T05:25:00.1234567890Z", "2026-03-02T05:25:00,5Z",
          "2026-03-02T05:25:00.5", "2026-03-02T05:25:00+0200", "2026-03-02T05:25:00+02",
          "2026-03-02T05:25:00+02:0x", "2026-03-02T05:25:00+24:00", "2026-03-02T05:25:00+02:60",
          "2026-03-02T05:25:00+02:00Z", "2026-03-02T05:25:00Z+02:00", "2026-03-02T05:25:00UTC",
          // Beyond what the clock holds, by one nanosecond or by far.
          "2262-04-11T23:47:16.854775808Z", "1677-09-21T00:12:43.145224191Z",
          "1677-09-21T00:12:43.145224192+00:01", "9999-12-31T23:59:59Z", "0000-01-01T00:00:00Z"}) {
        EXPECT_EQ(rfc3339::parse(text), std::nullopt) << text;
    }
    // A date embedded in a larger buffer is read only as far as the view goes.
    EXPECT_EQ(rfc3339::parse(std::string_view{"2026-03-02T05:25:00Z0", 20}), at(wake));
}

TEST(Rfc3339Format, WritesUtcWholeSecondsCutTowardsThePast) {
    const struct {
        Instant instant;
        const char* expected;
        std::optional<Instant> reread;
    } cases[] = {
        {at(1'772'403'005, 999'000'000), "2026-03-01T22:10:05Z", at(1'772'403'005)},
        {at(wake), "2026-03-02T05:25:00Z", at(wake)},
        {at(0), "1970-01-01T00:00:00Z", at(0)},
        {at(-1, 500'000'000), "1969-12-31T23:59:59Z", at(-1)},
        {Instant{nanoseconds{-1}}, "1969-12-31T23:59:59Z", at(-1)},
        {at(951'782'400), "2000-02-29T00:00:00Z", at(951'782'400)},
        {Instant::max(), "2262-04-11T23:47:16Z", at(9'223'372'036)},
        // Cut towards the past, the earliest instant names a second the clock cannot hold.
        {Instant::min(), "1677-09-21T00:12:43Z", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(rfc3339::format(c.instant), c.expected);
        EXPECT_EQ(rfc3339::parse(c.expected), c.reread) << c.expected;
    }
}

} // namespace
} // namespace sollun
