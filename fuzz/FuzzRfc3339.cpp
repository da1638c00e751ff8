// The date reader: any text gives an instant or nothing; an instant it reads is written as a
// text that reads back as the same instant cut to the second.

#include "shared/Rfc3339.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto instant = sollun::rfc3339::parse(text);
    if (!instant)
        return 0;
    const auto written = sollun::rfc3339::format(*instant);
    if (!written)
        return 0;
    const auto again = sollun::rfc3339::parse(*written);
    // The earliest instants cut towards the past land before what the clock can hold.
    if (again && *again != std::chrono::floor<std::chrono::seconds>(*instant))
        std::abort();
    return 0;
}
