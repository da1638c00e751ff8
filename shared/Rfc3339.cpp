#include "shared/Rfc3339.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <type_traits>

namespace sollun::rfc3339 {

namespace {

constexpr std::int64_t microsPerSecond = 1'000'000;
constexpr std::size_t fractionDigitsKept = 6;
// The fraction is kept to an Instant's tick.
static_assert(std::is_same_v<Instant::duration, std::chrono::microseconds>);

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
    std::int64_t fractionMicros = 0;
    if (text[pos] == '.') {
        ++pos;
        const std::size_t fractionStart = pos;
        while (pos < text.size() && isDigit(text[pos])) {
            if (pos - fractionStart < fractionDigitsKept) {
                fractionMicros = fractionMicros * 10 + (text[pos] - '0');
            }
            ++pos;
        }
        const std::size_t digits = pos - fractionStart;
        if (digits == 0) {
            return std::nullopt;
        }
        for (std::size_t i = digits; i < fractionDigitsKept; ++i) {
            fractionMicros *= 10;
        }
    }

    // The zone must end the text exactly.
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

    // Years 0000-9999 keep the day count within ±3 million, so the microseconds below stay far
    // inside 64 bits.
    const std::int64_t days = std::chrono::sys_days{date}.time_since_epoch().count();
    const std::int64_t seconds =
        days * 86'400 + hour * 3'600 + minute * 60 + second - offsetSeconds;
    const Instant instant{std::chrono::microseconds{seconds * microsPerSecond + fractionMicros}};
    return std::clamp(instant, earliest, latest);
}

std::optional<std::string> format(Instant instant) {
    // Checked before any calendar arithmetic: a year past 32767 does not fit year_month_day and
    // would come out as another year.
    if (instant < earliest || instant > latest) {
        return std::nullopt;
    }
    // floor, not duration_cast: before 1970 the count is negative and truncation would round the
    // instant up into the next second.
    const auto wholeSeconds = std::chrono::floor<std::chrono::seconds>(instant);
    const auto dayStart = std::chrono::floor<std::chrono::days>(wholeSeconds);
    const std::chrono::year_month_day date{dayStart};
    const int year = static_cast<int>(date.year());
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
