#include "shared/Rfc3339.h"

#include <array>
#include <cstdint>
#include <limits>
#include <type_traits>

namespace sollun::rfc3339 {

namespace {

using std::chrono::nanoseconds;

// The fraction is kept to the nanosecond, and the range checks below are written against a
// nanosecond count; a clock with a coarser tick would need both revisited.
static_assert(std::is_same_v<Instant::duration, nanoseconds>);

constexpr std::int64_t nanosPerSecond = 1'000'000'000;
constexpr std::int64_t nanosMax = std::numeric_limits<nanoseconds::rep>::max();
constexpr std::int64_t nanosMin = std::numeric_limits<nanoseconds::rep>::min();
// The representable range split into whole seconds and a non-negative remainder, floor-wise, so
// that the lowest instant is (secondsMin, nanosOfSecondsMin) with a remainder in [0, 1e9).
constexpr std::int64_t secondsMax = nanosMax / nanosPerSecond;
constexpr std::int64_t nanosOfSecondsMax = nanosMax % nanosPerSecond;
constexpr std::int64_t secondsMin = nanosMin / nanosPerSecond - 1;
constexpr std::int64_t nanosOfSecondsMin = nanosMin % nanosPerSecond + nanosPerSecond;

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Reads exactly `count` decimal digits at `pos`; false (leaving `value` alone) when any is not one.
bool readDigits(std::string_view text, std::size_t pos, std::size_t count, int& value) {
    int result = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const char c = text[pos + i];
        if (!isDigit(c)) {
            return false;
        }
        result = result * 10 + (c - '0');
    }
    value = result;
    return true;
}

void writeDigits(char* out, int value, int count) {
    for (int i = count - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

} // namespace

std::optional<Instant> parse(std::string_view text) {
    // "YYYY-MM-DDTHH:MM:SS" is fixed-width; the fraction and the zone follow.
    constexpr std::size_t dateTimeLength = 19;
    constexpr std::size_t shortestLength = dateTimeLength + 1; // zone 'Z'
    if (text.size() < shortestLength) {
        return std::nullopt;
    }
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    if (!readDigits(text, 0, 4, year) || text[4] != '-' || !readDigits(text, 5, 2, month) ||
        text[7] != '-' || !readDigits(text, 8, 2, day) || text[10] != 'T' ||
        !readDigits(text, 11, 2, hour) || text[13] != ':' || !readDigits(text, 14, 2, minute) ||
        text[16] != ':' || !readDigits(text, 17, 2, second)) {
        return std::nullopt;
    }
    // A leap second (:60) is refused: the instant type cannot tell it from the next second's
    // start, and no writer of these files produces one.
    if (hour > 23 || minute > 59 || second > 59) {
        return std::nullopt;
    }
    const std::chrono::year_month_day date{std::chrono::year{year},
                                           std::chrono::month{static_cast<unsigned>(month)},
                                           std::chrono::day{static_cast<unsigned>(day)}};
    if (!date.ok()) {
        return std::nullopt;
    }

    std::size_t pos = dateTimeLength;
    std::int64_t fractionNanos = 0;
    if (text[pos] == '.') {
        ++pos;
        const std::size_t fractionStart = pos;
        while (pos < text.size() && isDigit(text[pos]) && pos - fractionStart < 9) {
            fractionNanos = fractionNanos * 10 + (text[pos] - '0');
            ++pos;
        }
        const std::size_t digits = pos - fractionStart;
        if (digits == 0) {
            return std::nullopt;
        }
        for (std::size_t i = digits; i < 9; ++i) {
            fractionNanos *= 10;
        }
    }

    // The zone must end the text exactly; a tenth fraction digit lands here and is refused too.
    std::int64_t offsetSeconds = 0;
    const std::size_t zoneLength = text.size() - pos;
    if (zoneLength == 6 && (text[pos] == '+' || text[pos] == '-')) {
        int offsetHours = 0;
        int offsetMinutes = 0;
        if (!readDigits(text, pos + 1, 2, offsetHours) || text[pos + 3] != ':' ||
            !readDigits(text, pos + 4, 2, offsetMinutes) || offsetHours > 23 ||
            offsetMinutes > 59) {
            return std::nullopt;
        }
        offsetSeconds = (offsetHours * 3600 + offsetMinutes * 60) * (text[pos] == '-' ? -1 : 1);
    } else if (zoneLength != 1 || text[pos] != 'Z') {
        return std::nullopt;
    }

    // Years 0000-9999 keep the day count within ±3 million, so the seconds below stay far inside
    // int64; only the step to nanoseconds could overflow, and it is checked first.
    const std::int64_t days = std::chrono::sys_days{date}.time_since_epoch().count();
    const std::int64_t seconds =
        days * 86'400 + hour * 3'600 + minute * 60 + second - offsetSeconds;
    if (seconds > secondsMax || (seconds == secondsMax && fractionNanos > nanosOfSecondsMax) ||
        seconds < secondsMin || (seconds == secondsMin && fractionNanos < nanosOfSecondsMin)) {
        return std::nullopt;
    }
    // Below zero, step from the next second down: secondsMin * 1e9 alone is past INT64_MIN.
    const std::int64_t nanos =
        seconds >= 0 ? seconds * nanosPerSecond + fractionNanos
                     : (seconds + 1) * nanosPerSecond - (nanosPerSecond - fractionNanos);
    return Instant{nanoseconds{nanos}};
}

std::optional<std::string> format(Instant instant) {
    // floor, not duration_cast: before 1970 the count is negative and truncation would round the
    // instant up into the next second.
    const auto wholeSeconds = std::chrono::floor<std::chrono::seconds>(instant);
    const auto dayStart = std::chrono::floor<std::chrono::days>(wholeSeconds);
    const std::chrono::year_month_day date{dayStart};
    const int year = static_cast<int>(date.year());
    if (year < 0 || year > 9999) {
        return std::nullopt;
    }
    const std::chrono::hh_mm_ss timeOfDay{wholeSeconds - dayStart};

    std::array<char, 20> text{};
    writeDigits(&text[0], year, 4);
    text[4] = '-';
    writeDigits(&text[5], static_cast<int>(static_cast<unsigned>(date.month())), 2);
    text[7] = '-';
    writeDigits(&text[8], static_cast<int>(static_cast<unsigned>(date.day())), 2);
    text[10] = 'T';
    writeDigits(&text[11], static_cast<int>(timeOfDay.hours().count()), 2);
    text[13] = ':';
    writeDigits(&text[14], static_cast<int>(timeOfDay.minutes().count()), 2);
    text[16] = ':';
    writeDigits(&text[17], static_cast<int>(timeOfDay.seconds().count()), 2);
    text[19] = 'Z';
    return std::string{text.data(), text.size()};
}

} // namespace sollun::rfc3339
