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

// The strict profile: the shape exactly, fields in range, the fraction to the nanosecond, and
// nothing the clock cannot hold.
TEST(Rfc3339, ParsesTheProfileExactlyAndNothingElse) {
    const std::pair<const char*, std::optional<Instant>> cases[] = {
        {"2026-03-02T05:25:00Z", at(wake)},
        {"2026-03-01T23:55:00-05:30", at(wake)},
        {"2026-03-03T05:24:00+23:59", at(wake)},
        {"2026-03-02T05:25:00.123456789+01:00", at(wake - 3600, 123'456'789)},
        {"2000-02-29T00:00:00Z", at(951'782'400)},
        {"1969-12-31T23:59:59.5Z", at(-1, 500'000'000)},
        {"2262-04-12T00:47:16.854775807+01:00", Instant::max()},
        {"1677-09-21T00:12:43.145224192Z", Instant::min()},
        {"2026-03-02T05:25:00", {}},
        {"2026-3-02T05:25:00Z", {}},
        {"2026-03-02t05:25:00Z", {}},
        {"2026-03-02T05:25:00z", {}},
        {" 2026-03-02T05:25:00Z", {}},
        {"2026-02-29T00:00:00Z", {}},
        {"1900-02-29T00:00:00Z", {}},
        {"2026-03-02T24:00:00Z", {}},
        {"2026-12-31T23:59:60Z", {}},
        {"2026-03-02T05:25:00.Z", {}},
        {"2026-03-02T05:25:00.1234567890Z", {}},
        {"2026-03-02T05:25:00+0200", {}},
        {"2026-03-02T05:25:00+24:00", {}},
        {"2026-03-02T05:25:00+02:00Z", {}},
        {"2262-04-11T23:47:16.854775808Z", {}},
        {"1677-09-21T00:12:43.145224192+00:01", {}},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(rfc3339::parse(text), expected) << text;
    // A date embedded in a larger buffer is read only as far as the view goes.
    EXPECT_EQ(rfc3339::parse(std::string_view{"2026-03-02T05:25:00Z0", 20}), at(wake));
}

TEST(Rfc3339, FormatsUtcWholeSecondsCutTowardsThePast) {
    const std::pair<Instant, const char*> cases[] = {
        {at(1'772'403'005, 999'000'000), "2026-03-01T22:10:05Z"},
        {Instant{nanoseconds{-1}}, "1969-12-31T23:59:59Z"},
        {Instant::max(), "2262-04-11T23:47:16Z"},
        {Instant::min(), "1677-09-21T00:12:43Z"}, // a second the clock cannot hold whole
    };
    for (const auto& [instant, text] : cases)
        EXPECT_EQ(rfc3339::format(instant), text);
}

} // namespace
} // namespace sollun
