// The catalogue reader: any bytes give a catalogue or nothing, and looking texts up in what it
// took stays within the bytes.

#include "platform/linux/MessageCatalogue.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto catalogue = sollun::platform::MessageCatalogue::parse(
        std::string(reinterpret_cast<const char*>(data), size));
    if (!catalogue)
        return 0;
    // The texts the helper shows are looked up as any others: one present in the seeds, one not,
    // the header's, and one that sorts after all.
    for (const char* english : {"Not set up", "Quit SollunHelper", "", "\xFF"}) {
        const auto translation = catalogue->find(english);
        if (translation && translation->size() > size)
            std::abort();
    }
    return 0;
}
