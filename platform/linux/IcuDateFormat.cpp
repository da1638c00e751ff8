#include "platform/linux/IcuDateFormat.h"

#include <unicode/ucal.h>
#include <unicode/udat.h>
#include <unicode/ustring.h>

#include <dlfcn.h>

#include <array>
#include <cfloat>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace sollun::platform {
namespace {

// ICU's headers rename every function to carry its version ("udat_open" is "udat_open_72"); the
// library is looked up as that version's, and each function under the name the headers give it.
#define SOLLUN_ICU_SYMBOL_TEXT(name) #name
#define SOLLUN_ICU_SYMBOL(name) SOLLUN_ICU_SYMBOL_TEXT(name)
#define SOLLUN_ICU_FUNCTION(library, name)                                                         \
    reinterpret_cast<decltype(&name)>(dlsym(library, SOLLUN_ICU_SYMBOL(name)))

constexpr const char* libraryName = "libicui18n.so." U_ICU_VERSION_SHORT;

// "GMT+05:45", "GMT-00:25:21": ICU's id of a zone that is a fixed offset, seconds included.
std::array<UChar, 16> offsetZoneId(std::int32_t offsetSeconds, std::int32_t& length) {
    const char sign = offsetSeconds < 0 ? '-' : '+';
    const std::int32_t magnitude = std::abs(offsetSeconds);
    std::array<char, 16> text{};
    length = std::snprintf(text.data(), text.size(), "GMT%c%02d:%02d:%02d", sign, magnitude / 3600,
                           magnitude / 60 % 60, magnitude % 60);
    std::array<UChar, 16> id{};
    for (std::int32_t i = 0; i < length; ++i)
        id[static_cast<std::size_t>(i)] = static_cast<UChar>(text[static_cast<std::size_t>(i)]);
    return id;
}

} // namespace

std::optional<std::string> icuDateText(IcuDateStyle style, const std::string& locale,
                                       std::int64_t milliseconds, std::int32_t offsetSeconds) {
    void* const library = dlopen(libraryName, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr)
        return std::nullopt;
    const std::unique_ptr<void, int (*)(void*)> loaded(library, dlclose);
    const auto open = SOLLUN_ICU_FUNCTION(library, udat_open);
    const auto close = SOLLUN_ICU_FUNCTION(library, udat_close);
    const auto calendarOf = SOLLUN_ICU_FUNCTION(library, udat_getCalendar);
    const auto setCalendar = SOLLUN_ICU_FUNCTION(library, udat_setCalendar);
    const auto cloneCalendar = SOLLUN_ICU_FUNCTION(library, ucal_clone);
    const auto closeCalendar = SOLLUN_ICU_FUNCTION(library, ucal_close);
    const auto setGregorianChange = SOLLUN_ICU_FUNCTION(library, ucal_setGregorianChange);
    const auto format = SOLLUN_ICU_FUNCTION(library, udat_format);
    const auto toUtf8 = SOLLUN_ICU_FUNCTION(library, u_strToUTF8);
    if (!open || !close || !calendarOf || !setCalendar || !cloneCalendar || !closeCalendar ||
        !setGregorianChange || !format || !toUtf8)
        return std::nullopt;

    // ICU knows zones by their names, not POSIX rules such as "CET-1CEST,M3.5.0,M10.5.0/3": the
    // offset the C library has for this one instant shows the same wall time as every other
    // program.
    std::int32_t zoneLength = 0;
    const auto zone = offsetZoneId(offsetSeconds, zoneLength);
    UErrorCode status = U_ZERO_ERROR;
    const UDateFormatStyle dateStyle =
        style == IcuDateStyle::mediumDateShortTime ? UDAT_MEDIUM : UDAT_NONE;
    const std::unique_ptr<UDateFormat, void (*)(UDateFormat*)> formatter(
        open(UDAT_SHORT, dateStyle, locale.c_str(), zone.data(), zoneLength, nullptr, 0, &status),
        close);
    if (U_FAILURE(status) || !formatter)
        return std::nullopt;

    // ICU's Gregorian calendar turns Julian before October 1582; the C library's never does.
    const std::unique_ptr<UCalendar, void (*)(UCalendar*)> proleptic(
        cloneCalendar(calendarOf(formatter.get()), &status), closeCalendar);
    if (U_SUCCESS(status)) {
        setGregorianChange(proleptic.get(), -DBL_MAX, &status);
        if (U_SUCCESS(status))
            setCalendar(formatter.get(), proleptic.get());
    }

    std::array<UChar, 128> text{};
    status = U_ZERO_ERROR;
    const std::int32_t length =
        format(formatter.get(), static_cast<UDate>(milliseconds), text.data(),
               static_cast<std::int32_t>(text.size()), nullptr, &status);
    if (U_FAILURE(status) || length <= 0)
        return std::nullopt;
    std::array<char, 512> utf8{};
    std::int32_t utf8Length = 0;
    toUtf8(utf8.data(), static_cast<std::int32_t>(utf8.size()), &utf8Length, text.data(), length,
           &status);
    if (U_FAILURE(status))
        return std::nullopt;
    return std::string(utf8.data(), static_cast<std::size_t>(utf8Length));
}

} // namespace sollun::platform
