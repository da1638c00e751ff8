#include "platform/linux/IcuDateFormat.h"

#include <unicode/ucal.h>
#include <unicode/udat.h>
#include <unicode/ustring.h>

#include <dlfcn.h>

#include <array>
#include <cfloat>
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

} // namespace

std::optional<std::string> icuDateText(IcuDateStyle style, const std::string& locale,
                                       std::int64_t wallClockMilliseconds) {
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

    // The C library has made the wall clock's fields already, for any TZ it takes: ICU only writes
    // them. Its own zones would differ where it knows no such zone (POSIX rules, offsets of a day
    // or more) or counts no leap seconds ("right/" zones).
    constexpr UChar utc[] = u"UTC";
    UErrorCode status = U_ZERO_ERROR;
    const UDateFormatStyle dateStyle =
        style == IcuDateStyle::mediumDateShortTime ? UDAT_MEDIUM : UDAT_NONE;
    const std::unique_ptr<UDateFormat, void (*)(UDateFormat*)> formatter(
        open(UDAT_SHORT, dateStyle, locale.c_str(), utc, 3, nullptr, 0, &status), close);
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
        format(formatter.get(), static_cast<UDate>(wallClockMilliseconds), text.data(),
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
