#pragma once

// Translated texts that take one argument, such as "Next alarm: %s".

#include <string>
#include <string_view>

namespace sollun::helper {

// A translation is data: its one argument is put in by hand, never by printf. The first "%s" (or
// "%1$s") of `format` takes `argument`, "%%" is a percent sign, anything else stays as written. A
// format that lost its "%s" is useless and `fallback` (the English text) is used instead.
std::string withArgument(const std::string& format, std::string_view fallback,
                         std::string_view argument);

} // namespace sollun::helper
