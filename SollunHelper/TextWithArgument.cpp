#include "SollunHelper/TextWithArgument.h"

namespace sollun::helper {

std::string withArgument(const std::string& format, std::string_view fallback,
                         std::string_view argument) {
    std::string text;
    bool substituted = false;
    for (std::size_t i = 0; i < format.size(); ++i) {
        const std::string_view rest = std::string_view(format).substr(i);
        if (rest.starts_with("%%")) {
            text += '%';
            ++i;
        } else if (!substituted && (rest.starts_with("%s") || rest.starts_with("%1$s"))) {
            text += argument;
            i += rest[1] == 's' ? 1 : 3;
            substituted = true;
        } else {
            text += format[i];
        }
    }
    if (!substituted && format != fallback)
        return withArgument(std::string(fallback), fallback, argument);
    return text;
}

} // namespace sollun::helper
