#include "shared/DateText.h"

#include <chrono>
#include <cstdio>

namespace sollun {

std::string dateText(Instant date) {
    using namespace std::chrono;
    const auto seconds = floor<std::chrono::seconds>(date);
    const auto days = floor<std::chrono::days>(seconds);
    const year_month_day ymd(days);
    const hh_mm_ss time(seconds - days);
    char text[48];
    const int length = std::snprintf(
        text, sizeof text, "%04d-%02u-%02u %02d:%02d:%02d +0000", static_cast<int>(ymd.year()),
        static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
        static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
        static_cast<int>(time.seconds().count()));
    return std::string(text, static_cast<std::size_t>(length));
}

} // namespace sollun
