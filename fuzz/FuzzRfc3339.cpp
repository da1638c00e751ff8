// The date reader: any text gives an instant or nothing; every instant it reads has a text, which
// reads back as the same instant cut to the second.

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
        std::abort();
    const auto again = sollun::rfc3339::parse(*written);
    if (!again || *again != std::chrono::floor<std::chrono::seconds>(*instant))
        std::abort();
    return 0;
}
