// The wake schedule reader: any bytes give a schedule or nothing, never a crash; a schedule it
// accepts survives its own encoding.

#include "shared/WakeSchedule.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto schedule = sollun::decodeWakeSchedule(text);
    if (!schedule)
        return 0;
    // Encoded instants lose their fraction; the rest must come back as it was.
    const auto encoded = sollun::encodeWakeSchedule(*schedule);
    if (!encoded)
        return 0;
    const auto again = sollun::decodeWakeSchedule(*encoded);
    if (!again || again->revision != schedule->revision ||
        again->writerVersion.has_value() != schedule->writerVersion.has_value() ||
        again->wakeDate.has_value() != schedule->wakeDate.has_value())
        std::abort();
    return 0;
}
