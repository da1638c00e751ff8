// The status reader: any bytes give a status or nothing; a status it accepts is written again
// and read back the same, but for the fraction of its instants.

#include "shared/WakeHelperStatus.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto status = sollun::decodeWakeHelperStatus(text);
    if (!status)
        return 0;
    const auto encoded = sollun::encodeWakeHelperStatus(*status);
    if (!encoded)
        return 0;
    const auto again = sollun::decodeWakeHelperStatus(*encoded);
    using std::chrono::floor;
    using std::chrono::seconds;
    if (!again || again->daemonVersion != status->daemonVersion ||
        again->daemonState != status->daemonState ||
        again->lastHeartbeat != floor<seconds>(status->lastHeartbeat))
        std::abort();
    return 0;
}
