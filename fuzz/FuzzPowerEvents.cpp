// The daemon's store reader: any file gives a document or nothing, and nothing once anything
// follows the document; an array it reads is written again element for element and reads back
// the same.

#include "SollunWakeDaemon/PowerEventFile.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace sollun::daemon;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto document = parsePowerEventDocument(text);
    if (!document)
        return 0;
    // A NUL is where the JSON parser itself stops reading.
    if (parsePowerEventDocument(std::string(text) + '\0' + ']'))
        std::abort();
    if (!document->events)
        return 0;
    const auto written = renderPowerEventArray(*document->events);
    const auto again = parsePowerEventDocument(written);
    if (!again || !again->events || again->events->size() != document->events->size())
        std::abort();
    for (std::size_t i = 0; i < again->events->size(); ++i)
        if ((*again->events)[i].text != (*document->events)[i].text ||
            !((*again->events)[i].value == (*document->events)[i].value))
            std::abort();
    return 0;
}
